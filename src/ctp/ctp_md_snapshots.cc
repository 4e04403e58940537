// CtpMdClient's snapshots: the market-data callback folds each CTP depth record into the
// instrument's snapshot entry (SnapshotFolder) and raises the snapshot event.
#include <array>
#include <cstring>
#include <string_view>

#include "base/text.h"
#include "bridge/raise.h"
#include "ctp/ctp_md_client.h"
#include "ctp/snapshot_fold.h"
#include "trading/instrument_key.h"
#include "trading/instrument_table.h"

namespace qv {
namespace {

constexpr int32_t kEventSnapshot = 10010;

// The fields every snapshot refreshes. Prices are copied unchanged, so the library's "no value"
// (the largest finite double) stays as it came.
void writeEverySnapshot(CQVMarketDataField& out, const CThostFtdcDepthMarketDataField& in) {
  static_assert(sizeof out.UpdateTime == sizeof in.UpdateTime);
  std::memcpy(out.UpdateTime, in.UpdateTime, sizeof out.UpdateTime);
  out.UpdateTime[sizeof out.UpdateTime - 1] = '\0';
  out.UpdateMillisec = in.UpdateMillisec;
  out.LastPrice = in.LastPrice;
  out.OpenPrice = in.OpenPrice;
  out.HighestPrice = in.HighestPrice;
  out.LowestPrice = in.LowestPrice;
  out.BidPrice1 = in.BidPrice1;
  out.BidVolume1 = in.BidVolume1;
  out.AskPrice1 = in.AskPrice1;
  out.AskVolume1 = in.AskVolume1;
  out.UpperLimitPrice = in.UpperLimitPrice;
  out.LowerLimitPrice = in.LowerLimitPrice;
  out.OpenInterest = in.OpenInterest;
  out.Volume = static_cast<int64_t>(in.Volume);
  out.Turnover = in.Turnover;
  out.BidPrice2 = in.BidPrice2;
  out.BidVolume2 = in.BidVolume2;
  out.AskPrice2 = in.AskPrice2;
  out.AskVolume2 = in.AskVolume2;
  out.BidPrice3 = in.BidPrice3;
  out.BidVolume3 = in.BidVolume3;
  out.AskPrice3 = in.AskPrice3;
  out.AskVolume3 = in.AskVolume3;
  out.BidPrice4 = in.BidPrice4;
  out.BidVolume4 = in.BidVolume4;
  out.AskPrice4 = in.AskPrice4;
  out.AskVolume4 = in.AskVolume4;
  out.BidPrice5 = in.BidPrice5;
  out.BidVolume5 = in.BidVolume5;
  out.AskPrice5 = in.AskPrice5;
  out.AskVolume5 = in.AskVolume5;
}

// The fields fixed for a trading day by its first snapshot. They move only when a snapshot of
// another trading day arrives (after a day roll), so a strategy living across days reads the new
// day and its previous close and settlement, not the first day's.
void followTradingDay(CQVMarketDataField& out, const CThostFtdcDepthMarketDataField& in) {
  static_assert(sizeof out.TradingDay >= sizeof in.TradingDay);
  // The same bytes are the common case, and settle it without a call.
  if (in.TradingDay[0] == '\0' || std::memcmp(out.TradingDay, in.TradingDay, sizeof in.TradingDay) == 0 ||
      std::strncmp(out.TradingDay, in.TradingDay, sizeof in.TradingDay) == 0) {
    return;
  }
  copyText(out.TradingDay, in.TradingDay);
  out.PreClosePrice = in.PreClosePrice;
  out.PreSettlementPrice = in.PreSettlementPrice;
}

// A new entry: the fields fixed by the instrument's first snapshot, then the fresh ones.
SnapshotEntry* makeEntry(const CThostFtdcDepthMarketDataField& in) {
  auto* entry = new SnapshotEntry{};
  char instrumentId[sizeof in.InstrumentID + 1];
  char exchangeId[sizeof in.ExchangeID + 1];
  copyText(instrumentId, sizeof instrumentId, in.InstrumentID);
  copyText(exchangeId, sizeof exchangeId, in.ExchangeID);
  entry->instrument = findInstrument(instrumentId, exchangeId);

  CQVMarketDataField& record = entry->record;
  copyText(record.TradingDay, in.TradingDay);
  copyText(record.StandardID, instrumentId);
  if (exchangeId[0] != '\0') {
    copyText(record.ExchangeID, exchangeId);
  } else if (entry->instrument != nullptr) {
    copyText(record.ExchangeID, entry->instrument->ExchangeID);
  }
  record.PreClosePrice = in.PreClosePrice;
  record.PreSettlementPrice = in.PreSettlementPrice;
  makeInstrumentKey(entry->key, record.StandardID, record.ExchangeID);
  writeEverySnapshot(record, in);
  return entry;
}

}  // namespace

SnapshotFolder::CodeIndex::Code SnapshotFolder::CodeIndex::codeOf(const char* text, size_t length) {
  char padded[32];
  std::memcpy(padded, text, kMaxLength);
  padded[31] = '\0';
  // Bytes from `length` on are cleared: the field may hold anything after its terminator.
  static constexpr auto kKeep = [] {
    std::array<Code, kMaxLength + 1> keep{};
    for (size_t n = 0; n <= kMaxLength; ++n) {
      for (size_t i = 0; i < 4; ++i) {
        const size_t kept = n > 8 * i ? n - 8 * i : 0;
        keep[n].words[i] = kept >= 8 ? ~0ull : (1ull << (8 * kept)) - 1;
      }
    }
    return keep;
  }();
  Code code;
  std::memcpy(code.words, padded, sizeof padded);
  for (size_t i = 0; i < 4; ++i) code.words[i] &= kKeep[length].words[i];
  return code;
}

size_t SnapshotFolder::CodeIndex::hash(const Code& code) {
  const uint64_t h = code.words[0] * 0x9E3779B97F4A7C15ull + code.words[1] * 0xC2B2AE3D27D4EB4Full +
                     code.words[2] * 0x165667B19E3779F9ull + code.words[3] * 0xD6E8FEB86659FD93ull;
  return static_cast<size_t>(h ^ (h >> 29));
}

bool SnapshotFolder::CodeIndex::same(const Code& a, const Code& b) {
  return ((a.words[0] ^ b.words[0]) | (a.words[1] ^ b.words[1]) | (a.words[2] ^ b.words[2]) |
          (a.words[3] ^ b.words[3])) == 0;
}

SnapshotEntry* SnapshotFolder::CodeIndex::find(const Code& code) const {
  const size_t mask = slots_.size() - 1;
  for (size_t i = hash(code) & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.entry == nullptr) return nullptr;
    if (same(slot.code, code)) return slot.entry;
  }
}

void SnapshotFolder::CodeIndex::insert(const Code& code, SnapshotEntry* entry) {
  if (2 * (used_ + 1) > slots_.size()) grow();
  const size_t mask = slots_.size() - 1;
  size_t i = hash(code) & mask;
  while (slots_[i].entry != nullptr) i = (i + 1) & mask;
  slots_[i] = Slot{code, entry};
  ++used_;
}

void SnapshotFolder::CodeIndex::grow() {
  std::vector<Slot> old(slots_.size() * 2);
  old.swap(slots_);
  used_ = 0;
  for (const Slot& slot : old) {
    if (slot.entry != nullptr) insert(slot.code, slot.entry);
  }
}

SnapshotEntry* SnapshotFolder::fold(const CThostFtdcDepthMarketDataField& depth) {
  const std::string_view code(depth.InstrumentID, strnlen(depth.InstrumentID, sizeof depth.InstrumentID));
  static_assert(sizeof depth.InstrumentID >= CodeIndex::kMaxLength);
  const bool indexed = code.size() <= CodeIndex::kMaxLength;  // always, with the 6.3.15 field
  const CodeIndex::Code words = indexed ? CodeIndex::codeOf(depth.InstrumentID, code.size()) : CodeIndex::Code{};
  if (SnapshotEntry* entry = indexed ? byCode_.find(words) : nullptr) {
    WriteGuard guard(entry->lock);
    followTradingDay(entry->record, depth);
    writeEverySnapshot(entry->record, depth);
    return entry;
  }
  char lookup[kInstrumentKeySize];
  makeInstrumentKey(lookup, std::string(code).c_str(), nullptr);
  SnapshotEntry* entry = snapshots_.find(std::string_view(lookup));
  if (entry != nullptr) {
    WriteGuard guard(entry->lock);
    followTradingDay(entry->record, depth);
    writeEverySnapshot(entry->record, depth);
  } else {
    // Only this thread makes entries, so nothing else can be filling the same one; the entry is
    // complete before it becomes reachable through the map.
    entry = makeEntry(depth);
    snapshots_.insert(lookup, entry);
    if (std::strcmp(entry->key, lookup) != 0) snapshots_.insert(entry->key, entry);
  }
  if (indexed) byCode_.insert(words, entry);
  return entry;
}

void CtpMdClient::OnRtnDepthMarketData(CThostFtdcDepthMarketDataField* depth) {
  if (depth == nullptr) return;
  SnapshotEntry* entry = folder_.fold(*depth);
  // Delivered after the write lock is released: a host callable that prices an order from this
  // snapshot reads the entry under its read lock, and only this thread ever writes it.
  bridge::raiseSnapshot(*snapshotSlot(kEventSnapshot), kEventSnapshot, &entry->record);
}

}  // namespace qv
