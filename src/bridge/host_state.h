// Process-wide values of the bridge: the run mode, which switches response and snapshot text on
// and off, and the text processor, the host callable that receives every event text. Both start
// at their load-time defaults (run mode '0', no processor) and are read without a lock by any
// raising thread; each is one atomic value, so a change takes effect on the next event.
#ifndef QV_BRIDGE_HOST_STATE_H
#define QV_BRIDGE_HOST_STATE_H

#include <cstdint>

#include "bridge/host_object.h"

namespace qv::bridge {

inline constexpr char kRunModeText = '0';

// Stores the low byte of `mode`; '0' (48) keeps response and snapshot text on, anything else
// (including the byte 0) turns it off. Order-event text ignores the run mode.
void setRunMode(int32_t mode);
char runMode();

// Stores `processor` (a borrowed reference) as the text processor when it is callable; returns 0,
// or kErrNotCallable for nullptr, None or a non-callable, keeping the previous processor. Takes
// the interpreter lock for the check.
int32_t setTextProcessor(HostObject processor);

// The current text processor: nullptr until one is set or the host's print has been looked up.
HostObject textProcessor();

// Hands `text` (GB2312, undecodable bytes dropped) to the text processor as its one argument,
// under the interpreter lock. With no processor set, the host's print is looked up once
// (__main__.__builtins__.print) and kept as the processor. When no interpreter is running (native
// tests of other parts), the text goes to standard output instead. nullptr text is "".
void handOverText(const char* text);

// Test hook: back to the load-time state of no processor, so that the next text looks print up.
void TEST_forgetTextProcessor();

}  // namespace qv::bridge

#endif  // QV_BRIDGE_HOST_STATE_H
