// The end of a trading day at the simulated broker: working orders expire, the accounts settle
// their positions at the day's settlement prices and roll their funds into the next day's
// pre-balance, and the exchange centres the next day's price bands on those prices. Also the
// snapshots of the day, which the exchange matches and the broker books.
// Called under the world lock, like every Broker method.
#include "ThostFtdcUserApiDataType.h"
#include "core/broker/broker.h"
#include "core/text/fields.h"

namespace qvsim {

std::vector<Report> Broker::onSnapshot(const CThostFtdcDepthMarketDataField& depth) {
  std::vector<Report> out;
  for (const CThostFtdcInstrumentStatusField& status : exchange_.statusChanges()) {
    Report r;
    r.isStatus = true;
    r.status = status;
    out.push_back(std::move(r));
  }
  book(exchange_.matchSnapshot(depth), out);
  persist(out);
  return out;
}

std::vector<Report> Broker::settleDay(const std::string& nextTradingDay) {
  std::vector<Report> expired;
  for (std::size_t i = 0; i < exchange_.orders().size(); ++i) {
    if (!exchange_.orders()[i].working()) continue;
    end(i, "已撤单", "");
    const auto& f = exchange_.orders()[i].field;
    Report r;
    r.investorId = getText(f.InvestorID);
    r.order = f;
    expired.push_back(r);
  }

  std::map<std::string, double> settled;
  for (const auto& [id, ins] : exchange_.instruments()) settled[id] = exchange_.settlementPrice(id);
  accounts_.settleDay(settled);
  exchange_.closeDay(settled);
  reindexOrders();
  trades_.clear();
  transfers_.clear();
  scenario_.tradingDay = nextTradingDay;

  for (auto& [investor, store] : stores_) {
    store->clearDay();
    save(investor, nullptr, nullptr);
  }
  return expired;
}

}  // namespace qvsim
