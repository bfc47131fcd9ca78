#include "bindings.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "crypto.h"
#include "durable_file.h"
#include "support_id.h"

namespace vantriel::signal {
namespace {

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

std::string_view bytes_of(const std::array<uint8_t, 16>& b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;  // upper case too: hex_encode would not give the same text back
}

// Exactly 2 * size lower-case hex digits into `out`.
bool hex_decode(std::string_view hex, uint8_t* out, size_t size) {
  if (hex.size() != 2 * size) return false;
  for (size_t i = 0; i < size; ++i) {
    const int hi = hex_digit(hex[2 * i]), lo = hex_digit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

// One file's text, or why there is none.
struct FileText {
  enum State { kMissing, kRead, kUnreadable } state = kMissing;
  std::string text;
  std::string error;
};

FileText read_text(const std::string& path) {
  FileText out;
  std::error_code ec;
  const bool exists = std::filesystem::exists(path, ec);
  if (ec) {
    out.state = FileText::kUnreadable;
    out.error = "cannot read " + path + ": " + ec.message();
    return out;
  }
  if (!exists) return out;
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  if (in) text << in.rdbuf();
  if (!in || in.bad()) {
    out.state = FileText::kUnreadable;
    out.error = "cannot read " + path;
    return out;
  }
  out.state = FileText::kRead;
  out.text = text.str();
  return out;
}

// Moves a damaged file to the first free name "<path>.damaged", "<path>.damaged.2", ...
morvane::Result<std::string> move_aside(const std::string& path) {
  for (int n = 1; n <= 1000; ++n) {
    const std::string to = path + ".damaged" + (n == 1 ? "" : "." + std::to_string(n));
    std::error_code ec;
    if (std::filesystem::exists(to, ec) || ec) continue;
    std::filesystem::rename(path, to, ec);
    if (ec) return morvane::make_error("cannot move " + path + " to " + to + ": " + ec.message());
    return to;
  }
  return morvane::make_error("cannot move " + path + " aside: 1000 damaged copies beside it");
}

}  // namespace

bool BindingStore::parse(const std::string& text, int64_t now_unix, int max_age_days) {
  clear();
  auto doc = nlohmann::json::parse(text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object() || !doc.contains("ids") || !doc["ids"].is_object()) {
    return false;
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
    const auto& salt = e["salt"].get_ref<const std::string&>();
    const auto& hash = e["hash"].get_ref<const std::string&>();
    Packed p;
    if (const uint32_t n = id_number(id); n != 0 && pack(salt, hash, seen, p)) {
      packed_[n] = p;
    } else {
      odd_[id] = Entry{salt, hash, seen};
    }
  }
  return true;
}

morvane::Result<std::string> BindingStore::load(int64_t now_unix, OnDamage on_damage,
                                                int max_age_days) {
  clear();
  dirty_ = false;
  const std::string prev = path_ + ".prev";
  const FileText current = read_text(path_);
  if (current.state == FileText::kUnreadable) return morvane::make_error(current.error);
  if (current.state == FileText::kRead && parse(current.text, now_unix, max_age_days)) {
    return std::string();
  }
  const FileText previous = read_text(prev);
  if (previous.state == FileText::kUnreadable) return morvane::make_error(previous.error);
  if (current.state == FileText::kMissing && previous.state == FileText::kMissing) {
    return std::string();
  }
  const bool previous_usable =
      previous.state == FileText::kRead && parse(previous.text, now_unix, max_age_days);
  if (!previous_usable) {
    clear();
    dirty_ = false;
    if (on_damage == OnDamage::kRefuse) {
      // Nothing is moved, so the next start finds the same files and refuses again.
      return morvane::make_error(
          path_ + (current.state == FileText::kRead ? " is damaged" : " is missing") +
          (previous.state == FileText::kRead ? " and so is its previous copy " + prev
                                             : " and there is no previous copy " + prev) +
          ". Without the bindings any key could take any ID: restore a good copy, or start "
          "with --accept-binding-loss to go on without them");
    }
  }
  std::string note;
  auto keep_aside = [&note](const std::string& damaged) -> morvane::Status {
    auto moved = move_aside(damaged);
    if (!moved) return morvane::make_error(moved.error());
    note += damaged + " is damaged, kept as " + *moved + "; ";
    return {};
  };
  if (current.state == FileText::kRead) {
    if (auto st = keep_aside(path_); !st) return morvane::make_error(st.error());
  }
  if (previous.state == FileText::kRead && !previous_usable) {
    if (auto st = keep_aside(prev); !st) return morvane::make_error(st.error());
  }
  if (!previous_usable) return note + "starting without bindings (--accept-binding-loss)";
  dirty_ = true;  // written back as the file
  return note + "read the previous copy " + prev + " (" + std::to_string(size()) +
         " IDs; bindings made after it was written are lost)";
}

std::string BindingStore::secret_hash(std::string_view salt, std::string_view secret) {
  return hex_encode(as_bytes(hmac_sha1(salt, secret)));
}

bool BindingStore::pack(std::string_view salt, std::string_view hash, int64_t seen,
                        Packed& out) {
  if (!hex_decode(salt, out.salt.data(), out.salt.size()) ||
      !hex_decode(hash, out.hash.data(), out.hash.size())) {
    return false;
  }
  out.set_seen(seen);
  return true;
}

BindingStore::Entry BindingStore::unpack(const Packed& p) {
  return Entry{hex_encode(bytes_of(p.salt)), hex_encode(as_bytes(p.hash)), p.seen()};
}

BindingStore::Check BindingStore::check(const std::string& id, std::string_view secret) const {
  if (auto it = packed_.find(id_number(id)); it != packed_.end()) {
    const Packed& p = it->second;
    return constant_time_equal(as_bytes(hmac_sha1(hex_encode(bytes_of(p.salt)), secret)),
                               as_bytes(p.hash))
               ? Check::kMatch
               : Check::kMismatch;
  }
  auto it = odd_.find(id);
  if (it == odd_.end()) return Check::kNew;
  return constant_time_equal(secret_hash(it->second.salt, secret), it->second.hash)
             ? Check::kMatch
             : Check::kMismatch;
}

void BindingStore::bind(const std::string& id, std::string_view secret, int64_t now_unix) {
  const std::string salt = random_hex(16);
  const std::string hash = secret_hash(salt, secret);
  Packed p;
  if (const uint32_t n = id_number(id); n != 0 && pack(salt, hash, now_unix, p)) {
    packed_[n] = p;
    odd_.erase(id);
  } else {
    odd_[id] = Entry{salt, hash, now_unix};
  }
  dirty_ = true;
}

void BindingStore::touch(const std::string& id, int64_t now_unix) {
  if (auto it = packed_.find(id_number(id)); it != packed_.end()) {
    if (now_unix - it->second.seen() < 86400) return;
    it->second.set_seen(now_unix);
    dirty_ = true;
    return;
  }
  auto it = odd_.find(id);
  if (it == odd_.end() || now_unix - it->second.seen < 86400) return;
  it->second.seen = now_unix;
  dirty_ = true;
}

void BindingStore::for_each(
    const std::function<void(const std::string& id, const Entry& e)>& f) const {
  for (const auto& [n, p] : packed_) f(std::to_string(n), unpack(p));
  for (const auto& [id, e] : odd_) f(id, e);
}

// The file is written by hand rather than through a JSON document: with ten thousand IDs
// a document costs tens of milliseconds, a stall the relay would feel.
void BindingStore::snapshot(std::string& out) {
  out.clear();
  out.reserve(32 + size() * 128);
  out += R"({"v":1,"ids":{)";
  bool first = true;
  auto append_entry = [&out, &first](std::string_view id, const Entry& e) {
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
  };
  for (const auto& [n, p] : packed_) {
    char id[16];
    const int len = std::snprintf(id, sizeof id, "%u", static_cast<unsigned>(n));
    append_entry(std::string_view(id, static_cast<size_t>(len)), unpack(p));
  }
  for (const auto& [id, e] : odd_) append_entry(id, e);
  out += "}}";
  dirty_ = false;
}

morvane::Status BindingStore::write_file(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp";
  std::error_code ec;
  // The server may start before anything else has made the data folder.
  const auto parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  // The text is on the disk before it replaces anything: a power cut leaves either the
  // old file or the new one, never an empty one.
  if (auto st = write_synced(tmp, text); !st) return st;
  // Between the two renames there is no file at all; load() then reads the previous copy.
  if (std::filesystem::exists(path, ec)) {
    if (auto st = replace_file(path, path + ".prev"); !st) return st;
  }
  if (auto st = replace_file(tmp, path); !st) return st;
  return sync_folder(parent.string());
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
