// Conversion of the stand-in's own texts (kept as UTF-8 in the source) to the GB2312 bytes that a
// CTP front sends in ErrorMsg, StatusMsg and InstrumentName. Any thread (each keeps its own converter).
#pragma once

#include <string>
#include <string_view>

namespace qvsim {

// Characters GB2312 cannot hold become '?'; plain ASCII passes unchanged.
std::string toGb2312(std::string_view utf8);

}  // namespace qvsim
