#include <Python.h>

#include "book_engine.h"

#include <cstdio>

#include "base/reentrant_lock.h"
#include "base/text.h"
#include "bridge/callables.h"
#include "trading/instrument_key.h"
#include "trading/instrument_table.h"
#include "trading/position_sides.h"

namespace qv_test {
namespace {

CQVLoginField bookLogin() {
  CQVLoginField login{};
  login.UserType = 20001;
  qv::copyText(login.UserID, "book");
  qv::copyText(login.BrokerID, "9999");
  qv::copyText(login.MdFront, "tcp://md");
  return login;
}

std::mutex gEventMutex;
std::vector<RecordedEvent> gEvents;
std::function<void(const RecordedEvent&)> gHook;

PyObject* recordEvent(PyObject*, PyObject* args) {
  int eventId = 0;
  Py_ssize_t orderAddress = 0;
  Py_ssize_t positionAddress = 0;
  double cash = 0;
  if (!PyArg_ParseTuple(args, "innd", &eventId, &orderAddress, &positionAddress, &cash)) {
    return nullptr;
  }
  const auto* order = reinterpret_cast<const CQVOrderField*>(orderAddress);
  RecordedEvent event{eventId, order->OrderID, order->TradedVolumeChange, order->OrderStatus,
                      reinterpret_cast<const CQVPositionField*>(positionAddress), cash};
  std::function<void(const RecordedEvent&)> hook;
  {
    std::lock_guard<std::mutex> guard(gEventMutex);
    gEvents.push_back(event);
    hook = gHook;
  }
  if (hook) {
    // The hook acts as a host callable would through the exports: without the interpreter lock.
    Py_BEGIN_ALLOW_THREADS
    hook(event);
    Py_END_ALLOW_THREADS
  }
  Py_RETURN_NONE;
}

PyMethodDef gRecordDef = {"record_event", recordEvent, METH_VARARGS, nullptr};

PyObject* recorder() {
  static PyObject* function = [] {
    PyGILState_STATE state = PyGILState_Ensure();
    PyObject* made = PyCFunction_New(&gRecordDef, nullptr);
    PyGILState_Release(state);
    return made;
  }();
  return function;
}

}  // namespace

BookEngine::BookEngine(uint16_t clientIndex)
    : OrderEngine(clientIndex, bookLogin(), nullptr, nullptr, nullptr) {
  exchangeSessionState(qv::kStateReady);
}

qv::OrderHolder* BookEngine::book(qv::InstrumentInfo* instrument, char direction,
                                  char offsetFlag, int32_t volume, double price) {
  auto* order = new qv::OrderHolder{};
  CQVOrderField& r = order->record;
  r.OrderID = orderCounter_.fetch_add(1) * 100 + 100;
  qv::copyText(r.UserID, login().UserID);
  qv::copyText(r.ExchangeID, instrument->ExchangeID);
  qv::copyText(r.StandardID, instrument->InstrumentID);
  r.FrontID = frontId_.load();
  r.SessionID = sessionId_.load();
  r.Direction = direction;
  r.OffsetFlag = offsetFlag;
  r.OrderType = '0';
  r.OriginalVolume = volume;
  r.OriginalPrice = price;
  r.OrderStatus = '1';
  qv::copyText(order->instrumentKey, instrument->key);
  order->instrument = instrument;
  order->position = positionOf(instrument);
  return order;
}

qv::OrderHolder* BookEngine::send(qv::InstrumentInfo* instrument, char direction,
                                  char offsetFlag, int32_t volume, double price) {
  qv::OrderHolder* order = book(instrument, direction, offsetFlag, volume, price);
  if (offsetFlag == '0') {
    addUsableCash(-volume * price * instrument->VolumeMultiple * instrument->marginRatio);
  } else {
    freezeClose(*order->position, volume, direction == '1', offsetFlag);
  }
  enterOrder(order);
  return order;
}

qv::OrderHolder* BookEngine::sendClose(qv::InstrumentInfo* instrument, char direction,
                                       int32_t volume, double price) {
  qv::PositionHolder* position = positionOf(instrument);
  qv::OrderHolder* order = nullptr;
  {
    qv::HolderWriteGuard<qv::PositionHolder> guard(position);
    qv::PositionSide side = qv::closedSide(position->record, direction == '1');
    // Yesterday's lots first, else today's; nothing when neither can carry the order.
    char offset = 0;
    if (side.closableHistory() >= volume) {
      offset = '1';
    } else if (side.closableToday() >= volume) {
      offset = '3';
    } else {
      return nullptr;
    }
    order = book(instrument, direction, offset, volume, price);
    freezeClose(*position, volume, direction == '1', offset);
  }
  enterOrder(order);
  return order;
}

std::vector<qv::OrderHolder*> BookEngine::orders() const {
  qv::ReadGuard guard(orderBookLock_);
  std::vector<qv::OrderHolder*> all;
  all.reserve(allOrders_.size());
  for (const auto& entry : allOrders_) all.push_back(entry.second);
  return all;
}

size_t BookEngine::workingCount() const {
  qv::ReadGuard guard(orderBookLock_);
  return workingOrders_.size();
}

bool BookEngine::isWorking(int32_t orderId) const {
  qv::ReadGuard guard(orderBookLock_);
  return workingOrders_.count(orderId) != 0;
}

qv::PositionHolder* BookEngine::positionOf(qv::InstrumentInfo* instrument) {
  return positionFor(instrument->key, true, instrument, nullptr, instrument->ExchangeID,
                     instrument->InstrumentID);
}

std::vector<int32_t> BookEngine::takeCancelRequests() {
  std::lock_guard<std::mutex> guard(cancelMutex_);
  std::vector<int32_t> taken;
  taken.swap(cancelRequests_);
  return taken;
}

int32_t BookEngine::cancelOrder(const char*, const char*, const char*, int32_t orderId, int32_t,
                                int32_t) {
  std::lock_guard<std::mutex> guard(cancelMutex_);
  cancelRequests_.push_back(orderId);
  return 0;
}

BookEngine& keptBookEngine(uint16_t clientIndex) {
  static auto* kept = new std::vector<BookEngine*>();
  kept->push_back(new BookEngine(clientIndex));
  return *kept->back();
}

qv::InstrumentInfo* bookInstrument(const char* instrumentId, const char* exchangeId,
                                   int volumeMultiple, double marginRatio) {
  CThostFtdcInstrumentField record{};
  qv::copyText(record.InstrumentID, instrumentId);
  qv::copyText(record.ExchangeID, exchangeId);
  record.VolumeMultiple = volumeMultiple;
  record.LongMarginRatio = marginRatio;
  record.ShortMarginRatio = marginRatio;
  record.MaxLimitOrderVolume = 500;
  record.MinLimitOrderVolume = 1;
  record.MaxMarketOrderVolume = 500;
  record.MinMarketOrderVolume = 1;
  record.PriceTick = 1;
  return qv::enterInstrument(record);
}

CThostFtdcOrderField orderReport(const CQVOrderField& order, char status, int32_t volumeTraded,
                                 char submitStatus) {
  CThostFtdcOrderField report{};
  std::snprintf(report.OrderRef, sizeof report.OrderRef, "%d", order.OrderID);
  qv::copyText(report.InstrumentID, order.StandardID);
  qv::copyText(report.ExchangeID, order.ExchangeID);
  qv::copyText(report.OrderSysID, "SYS1");
  qv::copyText(report.InsertTime, "09:00:00");
  qv::copyText(report.UpdateTime, "09:00:01");
  qv::copyText(report.CancelTime, "09:00:02");
  qv::copyText(report.StatusMsg, "report");
  report.FrontID = order.FrontID;
  report.SessionID = order.SessionID;
  report.Direction = order.Direction;
  report.CombOffsetFlag[0] = order.OffsetFlag;
  report.LimitPrice = order.OriginalPrice;
  report.VolumeTotalOriginal = order.OriginalVolume;
  report.VolumeTraded = volumeTraded;
  report.VolumeTotal = status == '5' || status == '0' ? 0 : order.OriginalVolume - volumeTraded;
  report.OrderStatus = status;
  report.OrderSubmitStatus = submitStatus;
  return report;
}

CThostFtdcTradeField tradeReport(const CQVOrderField& order, int32_t volume, double price,
                                 const char* tradeId, const char* orderSysId) {
  CThostFtdcTradeField trade{};
  std::snprintf(trade.OrderRef, sizeof trade.OrderRef, "%d", order.OrderID);
  qv::copyText(trade.InstrumentID, order.StandardID);
  qv::copyText(trade.ExchangeID, order.ExchangeID);
  qv::copyText(trade.TradeID, tradeId);
  qv::copyText(trade.OrderSysID, orderSysId);
  qv::copyText(trade.TradeTime, "09:00:03");
  trade.Direction = order.Direction;
  trade.OffsetFlag = order.OffsetFlag;
  trade.Volume = volume;
  trade.Price = price;
  return trade;
}

void EventLog::attach(qv::OrderEngine& engine) {
  for (int32_t id = qv::kFirstOrderEvent; id <= qv::kLastOrderEvent; ++id) {
    qv::bridge::setCallable(*engine.orderEventSlot(id), recorder());
  }
}

void EventLog::clear() {
  std::lock_guard<std::mutex> guard(gEventMutex);
  gEvents.clear();
  gHook = nullptr;
}

std::vector<RecordedEvent> EventLog::events() {
  std::lock_guard<std::mutex> guard(gEventMutex);
  return gEvents;
}

std::vector<int32_t> EventLog::ids() {
  std::vector<int32_t> ids;
  for (const RecordedEvent& event : events()) ids.push_back(event.eventId);
  return ids;
}

int EventLog::count(int32_t eventId) {
  int n = 0;
  for (const RecordedEvent& event : events()) n += event.eventId == eventId;
  return n;
}

void EventLog::setHook(std::function<void(const RecordedEvent&)> hook) {
  std::lock_guard<std::mutex> guard(gEventMutex);
  gHook = std::move(hook);
}

}  // namespace qv_test
