#include "bindings.h"

#include <algorithm>
#include <cstdio>
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

// `text` as a JSON string. Values are digits and hex when we made them, but a loaded
// file may hold anything, and the next load must still read what we write.
void append_string(std::string& out, std::string_view text) {
  out += '"';
  const bool plain = std::none_of(text.begin(), text.end(), [](char c) {
    return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
  });
  if (plain) {
    out += text;
    out += '"';
    return;
  }
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
      out += esc;
    } else {
      out += c;
    }
  }
  out += '"';
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

// The file is written by hand rather than through a JSON document: with ten thousand IDs
// a document costs tens of milliseconds, a stall the relay would feel.
void BindingStore::snapshot(std::string& out) {
  out.clear();
  out.reserve(32 + entries_.size() * 128);
  out += R"({"v":1,"ids":{)";
  bool first = true;
  for (const auto& [id, e] : entries_) {
    if (!first) out += ',';
    first = false;
    append_string(out, id);
    out += R"(:{"salt":)";
    append_string(out, e.salt);
    out += R"(,"hash":)";
    append_string(out, e.hash);
    out += R"(,"seen":)";
    out += std::to_string(e.seen);
    out += '}';
  }
  out += "}}";
  dirty_ = false;
}

morvane::Status BindingStore::write_file(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp";
  std::error_code ec;
  // The server may start before anything else has made the data folder.
  const auto parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) return morvane::make_error("cannot write " + tmp);
  }
  std::filesystem::rename(tmp, path, ec);
  if (ec) return morvane::make_error("cannot replace " + path + ": " + ec.message());
  return {};
}

morvane::Status BindingStore::flush() {
  if (!dirty_) return {};
  std::string text;
  snapshot(text);
  auto st = write_file(path_, text);
  if (!st) dirty_ = true;
  return st;
}

}  // namespace vantriel::signal
