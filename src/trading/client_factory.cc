#include "trading/client_factory.h"

#include <atomic>

namespace qv {
namespace {

std::atomic<TraderClientFactory> traderFactory{nullptr};
std::atomic<MdClientFactory> mdFactory{nullptr};

}  // namespace

void registerClientFactories(TraderClientFactory trader, MdClientFactory md) {
  traderFactory.store(trader, std::memory_order_release);
  mdFactory.store(md, std::memory_order_release);
}

TraderClientFactory traderClientFactory() { return traderFactory.load(std::memory_order_acquire); }

MdClientFactory mdClientFactory() { return mdFactory.load(std::memory_order_acquire); }

}  // namespace qv
