#include "core/sessions/callback_table.h"

#include <map>

#include "ThostFtdcMdApi.h"
#include "ThostFtdcTraderApi.h"
#include "core/sessions/spi_callbacks.h"

namespace qvsim {

namespace {

using Info = CThostFtdcRspInfoField;

// One overload per callback shape; the record type and size come from the member's own signature.
template <class Spi, class Rec>
CallbackEntry entry(void (Spi::*m)(Rec*, Info*, int, bool)) {
  return {sizeof(Rec), [m](void* spi, CallbackArgs& a) {
            (static_cast<Spi*>(spi)->*m)(static_cast<Rec*>(a.record), a.info, a.requestId, a.isLast);
          }};
}

template <class Spi, class Rec>
CallbackEntry entry(void (Spi::*m)(Rec*, Info*)) {
  return {sizeof(Rec), [m](void* spi, CallbackArgs& a) { (static_cast<Spi*>(spi)->*m)(static_cast<Rec*>(a.record), a.info); }};
}

template <class Spi, class Rec>
CallbackEntry entry(void (Spi::*m)(Rec*)) {
  return {sizeof(Rec), [m](void* spi, CallbackArgs& a) { (static_cast<Spi*>(spi)->*m)(static_cast<Rec*>(a.record)); }};
}

template <class Spi>
CallbackEntry entry(void (Spi::*m)(Info*, int, bool)) {
  return {0, [m](void* spi, CallbackArgs& a) { (static_cast<Spi*>(spi)->*m)(a.info, a.requestId, a.isLast); }};
}

template <class Spi>
CallbackEntry entry(void (Spi::*m)(int)) {
  return {0, [m](void* spi, CallbackArgs& a) { (static_cast<Spi*>(spi)->*m)(a.number); }};
}

template <class Spi>
CallbackEntry entry(void (Spi::*m)()) {
  return {0, [m](void* spi, CallbackArgs&) { (static_cast<Spi*>(spi)->*m)(); }};
}

const std::map<std::string, CallbackEntry>& traderTable() {
#define QVSIM_TRADER_ENTRY(name) {#name, entry(&CThostFtdcTraderSpi::name)},
  static const std::map<std::string, CallbackEntry> table = {QVSIM_TRADER_CALLBACKS(QVSIM_TRADER_ENTRY)};
#undef QVSIM_TRADER_ENTRY
  return table;
}

const std::map<std::string, CallbackEntry>& mdTable() {
#define QVSIM_MD_ENTRY(name) {#name, entry(&CThostFtdcMdSpi::name)},
  static const std::map<std::string, CallbackEntry> table = {QVSIM_MD_CALLBACKS(QVSIM_MD_ENTRY)};
#undef QVSIM_MD_ENTRY
  return table;
}

}  // namespace

const CallbackEntry* traderCallback(const std::string& name) {
  const auto& table = traderTable();
  auto it = table.find(name);
  return it == table.end() ? nullptr : &it->second;
}

const CallbackEntry* mdCallback(const std::string& name) {
  const auto& table = mdTable();
  auto it = table.find(name);
  return it == table.end() ? nullptr : &it->second;
}

}  // namespace qvsim
