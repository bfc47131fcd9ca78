#include "input/monitors.h"

#include <algorithm>
#include <limits>

namespace vantriel {
namespace {

bool read_int(const nlohmann::json& obj, const char* key, int& out) {
  const auto it = obj.find(key);
  if (it == obj.end() || !it->is_number_integer()) return false;
  constexpr int64_t kLimit = int64_t{1} << 30;  // far beyond any screen, far from overflow
  if (it->is_number_unsigned() && it->get<uint64_t>() > static_cast<uint64_t>(kLimit)) {
    return false;
  }
  const int64_t v = it->get<int64_t>();
  if (v < -kLimit || v > kLimit) return false;
  out = static_cast<int>(v);
  return true;
}

}  // namespace

std::optional<std::vector<MonitorInfo>> parse_monitor_list(std::string_view json_text) {
  const nlohmann::json doc = nlohmann::json::parse(json_text, nullptr, false);
  if (!doc.is_array()) return std::nullopt;
  std::vector<MonitorInfo> out;
  for (const nlohmann::json& item : doc) {
    if (!item.is_object()) return std::nullopt;
    MonitorInfo m;
    if (!read_int(item, "x", m.x) || !read_int(item, "y", m.y) || !read_int(item, "w", m.w) ||
        !read_int(item, "h", m.h) || m.w <= 0 || m.h <= 0) {
      return std::nullopt;
    }
    if (const auto p = item.find("primary"); p != item.end() && p->is_boolean()) {
      m.primary = p->get<bool>();
    }
    if (const auto n = item.find("name"); n != item.end() && n->is_string()) {
      m.name = n->get<std::string>();
    }
    m.i = static_cast<int>(out.size());
    out.push_back(std::move(m));
  }
  return out;
}

VirtualDesktop bounding_desktop(const std::vector<MonitorInfo>& monitors) {
  if (monitors.empty()) return {};
  int64_t left = std::numeric_limits<int>::max();
  int64_t top = std::numeric_limits<int>::max();
  int64_t right = std::numeric_limits<int>::min();
  int64_t bottom = std::numeric_limits<int>::min();
  for (const MonitorInfo& m : monitors) {
    left = std::min<int64_t>(left, m.x);
    top = std::min<int64_t>(top, m.y);
    right = std::max<int64_t>(right, int64_t{m.x} + m.w);
    bottom = std::max<int64_t>(bottom, int64_t{m.y} + m.h);
  }
  return VirtualDesktop{static_cast<int>(left), static_cast<int>(top),
                        static_cast<int>(right - left), static_cast<int>(bottom - top)};
}

MonitorSource::MonitorSource(std::optional<std::vector<MonitorInfo>> fixed)
    : fixed_(std::move(fixed)), system_(fixed_ ? nullptr : std::make_unique<System>()) {}

MonitorSource::~MonitorSource() = default;

std::vector<MonitorInfo> MonitorSource::list() {
  if (fixed_) return *fixed_;
  std::vector<MonitorInfo> monitors = system_->monitors();
  for (std::size_t k = 0; k < monitors.size(); ++k) monitors[k].i = static_cast<int>(k);
  return monitors;
}

VirtualDesktop MonitorSource::virtual_desktop() {
  if (fixed_) return bounding_desktop(*fixed_);
  return system_->virtual_desktop();
}

KeptLayout::Layout KeptLayout::get(bool places_pointer, Clock::time_point now, const Read& read) {
  {
    morvane::MutexLock lock(mu_);
    if (!places_pointer && kept_ && now - read_at_ < kKeptFor) return *kept_;
  }
  Layout fresh = read();
  morvane::MutexLock lock(mu_);
  if (!kept_ || now >= read_at_) {
    kept_ = fresh;
    read_at_ = now;
  }
  return fresh;
}

nlohmann::ordered_json monitors_json(const std::vector<MonitorInfo>& monitors) {
  nlohmann::ordered_json out = nlohmann::ordered_json::array();
  for (const MonitorInfo& m : monitors) {
    out.push_back({{"i", m.i}, {"x", m.x}, {"y", m.y}, {"w", m.w}, {"h", m.h},
                   {"primary", m.primary}, {"name", m.name}});
  }
  return out;
}

}  // namespace vantriel
