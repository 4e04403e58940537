// Record text inside event texts: one record printed with names, the separator " || " and
// precision 2, and the table saying which record type each response event carries. Runs on the
// raising thread; the printer's result is copied out at once, before any other record of the same
// type can be printed on this thread.
#ifndef QV_BRIDGE_RECORD_TEXT_H
#define QV_BRIDGE_RECORD_TEXT_H

#include <cstdint>
#include <string>

#include "records/print_helper.h"

namespace qv::bridge {

// Appends the record's text; a null record appends nothing.
template <typename R>
void appendRecordText(std::string& out, const R* record) {
  if (record != nullptr) out += CQVPrintHelper::toText(record, true, " || ", 2);
}

// Appends the text of the record that response event `eventId` carries at `record`, read as the
// type the event table gives for that id. Appends nothing for a null record, for an id without a
// record type (11001 to 11003, 11307, unknown ids) and for 11208 (see event_text.h).
void appendResponseRecordText(std::string& out, int32_t eventId, const void* record);

}  // namespace qv::bridge

#endif  // QV_BRIDGE_RECORD_TEXT_H
