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
  copyText(out.UpdateTime, in.UpdateTime);
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

SnapshotEntry* SnapshotFolder::fold(const CThostFtdcDepthMarketDataField& depth) {
  const std::string_view code(depth.InstrumentID, strnlen(depth.InstrumentID, sizeof depth.InstrumentID));
  auto known = byCode_.find(code);
  if (known != byCode_.end()) {
    SnapshotEntry* entry = known->second;
    WriteGuard guard(entry->lock);
    writeEverySnapshot(entry->record, depth);
    return entry;
  }
  char lookup[kInstrumentKeySize];
  makeInstrumentKey(lookup, std::string(code).c_str(), nullptr);
  SnapshotEntry* entry = snapshots_.find(std::string_view(lookup));
  if (entry != nullptr) {
    WriteGuard guard(entry->lock);
    writeEverySnapshot(entry->record, depth);
  } else {
    // Only this thread makes entries, so nothing else can be filling the same one; the entry is
    // complete before it becomes reachable through the map.
    entry = makeEntry(depth);
    snapshots_.insert(lookup, entry);
    if (std::strcmp(entry->key, lookup) != 0) snapshots_.insert(entry->key, entry);
  }
  byCode_.emplace(std::string(code), entry);
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
