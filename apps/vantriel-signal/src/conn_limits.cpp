#include "conn_limits.h"

namespace vantriel::signal {

Slot::Slot(ConnCounts& counts) : counts_(&counts) { ++counts.total; }

void Slot::count_address(const std::string& address) {
  if (counts_ == nullptr || !address_.empty()) return;
  address_ = address;
  ++counts_->per_address[address_];
}

void Slot::release() {
  if (counts_ == nullptr) return;
  if (!address_.empty()) {
    auto it = counts_->per_address.find(address_);
    if (it != counts_->per_address.end() && --it->second <= 0) counts_->per_address.erase(it);
  }
  --counts_->total;
  counts_ = nullptr;
}

bool ConnLimits::address_full(const std::string& address) const {
  auto it = counts_.per_address.find(address);
  return it != counts_.per_address.end() && it->second >= per_address_;
}

void ConnLimits::log_refusal(const std::string& address, HubEnv& env) {
  ++refused_unlogged_;
  const auto t = env.now();
  if (t - refusal_logged_ < std::chrono::seconds(1)) return;
  std::string line = "connection from " + address + " refused: too many connections";
  if (refused_unlogged_ > 1) {
    line += " (and " + std::to_string(refused_unlogged_ - 1) + " more since the last such line)";
  }
  env.log(line);
  refused_unlogged_ = 0;
  refusal_logged_ = t;
}

}  // namespace vantriel::signal
