#include "bridge/event_text.h"

#include <cfloat>
#include <cstdio>

#include "bridge/host_state.h"
#include "bridge/record_text.h"

namespace qv::bridge {
namespace {

constexpr const char kRule[] = "-------";

// Everything of a response text but its record, which the caller appends between `head` and the
// closing part.
std::string responseHead(int32_t eventId, const char* userId, int32_t errorId, const char* message) {
  std::string text;
  text.reserve(256);
  text += kRule;
  text += "\nEventName:";
  text += eventName(eventId);
  text += "EventID:";
  text += std::to_string(eventId);
  text += ",UserID:";
  if (userId != nullptr) text += userId;
  text += ",ErrorID:";
  text += std::to_string(errorId);
  text += ",Message:";
  if (message != nullptr) text += message;
  text += ".\nCTPField>>>\n";
  return text;
}

void closeBlock(std::string& text) {
  text += '\n';
  text += kRule;
}

}  // namespace

std::string formatCash(double usableCash) {
  if (!(usableCash + 0.000001 < DBL_MAX)) return "1.79e+308";
  char buffer[400];  // %.2f of the largest finite double needs 312 characters
  std::snprintf(buffer, sizeof buffer, "%.2f", usableCash);
  return buffer;
}

std::string formatResponseEvent(int32_t eventId, const void* record, const char* userId,
                                int32_t errorId, const char* message) {
  std::string text = responseHead(eventId, userId, errorId, message);
  appendResponseRecordText(text, eventId, record);
  closeBlock(text);
  return text;
}

std::string formatOrderEvent(int32_t eventId, const CQVOrderField* order,
                             const CQVPositionField* position, double usableCash) {
  std::string text;
  text.reserve(4096);
  text += kRule;
  text += "\nEventName:";
  text += orderEventName(eventId);
  text += "QVOrderField>>>\n";
  appendRecordText(text, order);
  text += "\nQVPositionField>>>\n";
  appendRecordText(text, position);
  text += "\nUsableCash:";
  text += formatCash(usableCash);
  closeBlock(text);
  return text;
}

std::string formatSnapshotEvent(const CQVMarketDataField* snapshot) {
  std::string text;
  text.reserve(4096);
  text += kRule;
  text += "\nEventName:MarketDataSnap.\nCQVMarketDataField>>>\n";
  appendRecordText(text, snapshot);
  closeBlock(text);
  return text;
}

void printResponseEvent(int32_t eventId, const void* record, bool /*isLast*/, const char* userId,
                        int32_t errorId, const char* message) {
  if (runMode() != kRunModeText) return;
  handOverText(formatResponseEvent(eventId, record, userId, errorId, message).c_str());
}

void printBankBalanceEvent(int32_t eventId, const void* record, bool /*isLast*/, const char* userId,
                           int32_t errorId, const char* message) {
  if (runMode() != kRunModeText) return;
  std::string text = responseHead(eventId, userId, errorId, message);
  appendRecordText(text, static_cast<const CThostFtdcNotifyQueryAccountField*>(record));
  closeBlock(text);
  handOverText(text.c_str());
}

}  // namespace qv::bridge
