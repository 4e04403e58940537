// Subscriber: a stand-in market-data object, logged in and subscribed to some instruments (rb2605
// unless told), that hands every snapshot it gets to a callback. Released with it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "ThostFtdcMdApi.h"
#include "recording_spi.h"

namespace qvsim_test {

class Subscriber {
 public:
  explicit Subscriber(std::function<void(const CThostFtdcDepthMarketDataField&)> onDepth,
                      std::vector<std::string> instruments = {"rb2605"}) {
    spi.onDepth = std::move(onDepth);
    md = CThostFtdcMdApi::CreateFtdcMdApi("");
    md->RegisterSpi(&spi);
    md->Init();
    spi.recorder.waitFor("OnFrontConnected");
    CThostFtdcReqUserLoginField login{};
    md->ReqUserLogin(&login, 1);
    spi.recorder.waitFor("OnRspUserLogin");
    std::vector<char*> ids;
    for (std::string& id : instruments) ids.push_back(id.data());
    md->SubscribeMarketData(ids.data(), static_cast<int>(ids.size()));
    spi.recorder.waitFor("OnRspSubMarketData", static_cast<int>(ids.size()));
  }
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;
  ~Subscriber() { md->Release(); }

  RecordingMdSpi spi;
  CThostFtdcMdApi* md = nullptr;
};

}  // namespace qvsim_test
