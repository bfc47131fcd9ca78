#include "bindings.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "crypto.h"

namespace vantriel::signal {
namespace {

std::string key_hash(std::string_view salt, std::string_view key) {
  return hex_encode(as_bytes(hmac_sha1(salt, key)));
}

}  // namespace

morvane::Status BindingStore::load(int64_t now_unix, int max_age_days) {
  entries_.clear();
  dirty_ = false;
  std::error_code ec;
  if (!std::filesystem::exists(path_, ec)) return {};
  std::ifstream in(path_, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  auto doc = nlohmann::json::parse(text.str(), nullptr, false);
  const bool usable = !doc.is_discarded() && doc.is_object() && doc.contains("ids") &&
                      doc["ids"].is_object();
  if (!usable) {
    in.close();
    std::filesystem::rename(path_, path_ + ".damaged", ec);
    return morvane::make_error("unreadable bindings file moved to " + path_ + ".damaged");
  }
  const int64_t oldest = now_unix - int64_t{max_age_days} * 86400;
  for (auto& [id, e] : doc["ids"].items()) {
    if (!e.is_object() || !e.contains("salt") || !e["salt"].is_string() || !e.contains("hash") ||
        !e["hash"].is_string()) {
      continue;
    }
    const int64_t seen = e.value("seen", int64_t{0});
    if (seen < oldest) {
      dirty_ = true;
      continue;
    }
    entries_[id] = Entry{e["salt"].get<std::string>(), e["hash"].get<std::string>(), seen};
  }
  return {};
}

BindingStore::Check BindingStore::check(const std::string& id, std::string_view key) const {
  auto it = entries_.find(id);
  if (it == entries_.end()) return Check::kNew;
  return constant_time_equal(key_hash(it->second.salt, key), it->second.hash) ? Check::kMatch
                                                                             : Check::kMismatch;
}

void BindingStore::bind(const std::string& id, std::string_view key, int64_t now_unix) {
  Entry e;
  e.salt = random_hex(16);
  e.hash = key_hash(e.salt, key);
  e.seen = now_unix;
  entries_[id] = std::move(e);
  dirty_ = true;
}

void BindingStore::touch(const std::string& id, int64_t now_unix) {
  auto it = entries_.find(id);
  if (it == entries_.end() || now_unix - it->second.seen < 86400) return;
  it->second.seen = now_unix;
  dirty_ = true;
}

morvane::Status BindingStore::flush() {
  if (!dirty_) return {};
  nlohmann::json ids = nlohmann::json::object();
  for (auto& [id, e] : entries_) ids[id] = {{"salt", e.salt}, {"hash", e.hash}, {"seen", e.seen}};
  nlohmann::json doc = {{"v", 1}, {"ids", std::move(ids)}};
  const std::string tmp = path_ + ".tmp";
  std::error_code ec;
  // The server may start before anything else has made the data folder.
  const auto parent = std::filesystem::path(path_).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << doc.dump();
    out.flush();
    if (!out) return morvane::make_error("cannot write " + tmp);
  }
  std::filesystem::rename(tmp, path_, ec);
  if (ec) return morvane::make_error("cannot replace " + path_ + ": " + ec.message());
  dirty_ = false;
  return {};
}

}  // namespace vantriel::signal
