// RspError: the error id and message of a CTP response info, read safely. A null info means
// success (0 and an empty message); the message is copied bounded and always terminated, even when
// the library filled all 81 bytes. Raw GB2312 bytes are kept: decoding happens at the host.
#ifndef QV_CTP_RSP_ERROR_H
#define QV_CTP_RSP_ERROR_H

#include <cstdint>

#include "ThostFtdcUserApiStruct.h"
#include "base/text.h"

namespace qv {

struct RspError {
  int32_t id = 0;
  char message[sizeof(CThostFtdcRspInfoField::ErrorMsg) + 1] = {};

  RspError() = default;
  explicit RspError(const CThostFtdcRspInfoField* info) {
    if (info == nullptr) return;
    id = info->ErrorID;
    copyText(message, sizeof message, info->ErrorMsg);
  }
  RspError(int32_t errorId, const char* text, size_t width) : id(errorId) {
    copyText(message, width + 1 < sizeof message ? width + 1 : sizeof message, text);
  }
  bool failed() const { return id != 0; }
};

}  // namespace qv

#endif  // QV_CTP_RSP_ERROR_H
