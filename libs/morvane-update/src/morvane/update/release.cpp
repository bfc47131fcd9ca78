#include "morvane/update/release.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "morvane/core/json_depth.h"
#include "morvane/core/text/ascii.h"
#include "morvane/core/text/utf8.h"
#include "morvane/update/ed25519/ed25519.h"
#include "morvane/update/sha/hex.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

// The file beside the program that may hold the update key's hexadecimal text, as
// installs name it.
constexpr char kUpdateKeyFileName[] = "clave_actualizaciones.pub";

// Deeper documents are refused: the values are copied, written and walked recursively,
// and no release description needs more than a handful of levels.
constexpr int kMaxDepth = 256;

// Whitespace as the text functions of the release tools count it (str.isspace).
bool is_space(uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20) || cp == 0x85 || cp == 0xA0 ||
         cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
         cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

std::u32string_view trim(std::u32string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

int digit_value(uint32_t cp) {
  static constexpr uint32_t kZeros[] = {0x0030, 0x0660, 0x06F0, 0x07C0, 0x0966, 0x09E6, 0x0A66,
                                        0x0AE6, 0x0B66, 0x0BE6, 0x0C66, 0x0CE6, 0x0D66, 0x0DE6,
                                        0x0E50, 0x0ED0, 0x0F20, 0x1040, 0x1090, 0x17E0, 0x1810,
                                        0xFF10};
  for (const uint32_t zero : kZeros) {
    if (cp >= zero && cp <= zero + 9) return static_cast<int>(cp - zero);
  }
  return -1;
}

std::optional<VersionPart> parse_part(std::u32string_view part) {
  part = trim(part);
  bool negative = false;
  if (!part.empty() && (part.front() == U'+' || part.front() == U'-')) {
    negative = part.front() == U'-';
    part.remove_prefix(1);
  }
  if (part.empty()) return std::nullopt;
  __extension__ typedef unsigned __int128 Magnitude;
  const Magnitude limit = (Magnitude{1} << 127) - (negative ? 0 : 1);
  Magnitude value = 0;
  bool previous_digit = false;
  for (const char32_t c : part) {
    if (c == U'_') {
      if (!previous_digit) return std::nullopt;
      previous_digit = false;
      continue;
    }
    const int d = digit_value(c);
    if (d < 0) return std::nullopt;
    if (value > (limit - static_cast<Magnitude>(d)) / 10) return std::nullopt;
    value = value * 10 + static_cast<Magnitude>(d);
    previous_digit = true;
  }
  if (!previous_digit) return std::nullopt;  // empty, or ends with "_"
  if (negative) return value == (Magnitude{1} << 127) ? -static_cast<VersionPart>(value - 1) - 1
                                                      : -static_cast<VersionPart>(value);
  return static_cast<VersionPart>(value);
}

void append_canonical_string(std::string* out, const std::string& s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out->push_back('"');
  for (const char c : s) {
    switch (c) {
      case '"': *out += "\\\""; break;
      case '\\': *out += "\\\\"; break;
      case '\b': *out += "\\b"; break;
      case '\f': *out += "\\f"; break;
      case '\n': *out += "\\n"; break;
      case '\r': *out += "\\r"; break;
      case '\t': *out += "\\t"; break;
      default:
        if (static_cast<uint8_t>(c) < 0x20) {
          *out += "\\u00";
          out->push_back(kHex[static_cast<uint8_t>(c) >> 4]);
          out->push_back(kHex[c & 15]);
        } else {
          out->push_back(c);
        }
    }
  }
  out->push_back('"');
}

void append_canonical(std::string* out, const Json& v) {
  switch (v.type()) {
    case Json::value_t::null: *out += "null"; return;
    case Json::value_t::boolean: *out += v.get<bool>() ? "true" : "false"; return;
    case Json::value_t::number_integer: *out += std::to_string(v.get<int64_t>()); return;
    case Json::value_t::number_unsigned: *out += std::to_string(v.get<uint64_t>()); return;
    case Json::value_t::number_float: *out += float_text(v.get<double>()); return;
    case Json::value_t::string: append_canonical_string(out, v.get_ref<const std::string&>()); return;
    case Json::value_t::array: {
      out->push_back('[');
      bool first = true;
      for (const Json& e : v) {
        if (!first) out->push_back(',');
        first = false;
        append_canonical(out, e);
      }
      out->push_back(']');
      return;
    }
    case Json::value_t::object: {
      std::vector<const std::pair<const std::string, Json>*> members;
      for (const auto& m : v.get_ref<const Json::object_t&>()) members.push_back(&m);
      std::sort(members.begin(), members.end(),
                [](const auto* a, const auto* b) { return a->first < b->first; });
      out->push_back('{');
      bool first = true;
      for (const auto* m : members) {
        if (!first) out->push_back(',');
        first = false;
        append_canonical_string(out, m->first);
        out->push_back(':');
        append_canonical(out, m->second);
      }
      out->push_back('}');
      return;
    }
    case Json::value_t::binary:
    case Json::value_t::discarded:
      *out += "null";
      return;
  }
}

// Built by appending: GCC 12 warns falsely (-Wrestrict) on "'" + std::string + "...".
std::string quoted_type(const Json& v, const char* tail) {
  std::string text(1, '\'');
  text += type_name(v);
  text += tail;
  return text;
}

std::string no_attribute(const Json& v) { return quoted_type(v, "' object has no attribute 'get'"); }

const Json& member(const Json& object, const char* name) {
  static const Json kNull;
  const auto it = object.find(name);
  return it == object.end() ? kNull : *it;
}

// Parses with nlohmann's DOM builder, keeping the parser's description of the first fault
// and refusing documents nested deeper than kMaxDepth.
class Sax : public nlohmann::detail::json_sax_dom_parser<Json> {
 public:
  using Base = nlohmann::detail::json_sax_dom_parser<Json>;
  explicit Sax(Json& result) : Base(result, false) {}

  bool start_object(std::size_t n) { return ++depth_ <= kMaxDepth && Base::start_object(n); }
  bool end_object() { return --depth_, Base::end_object(); }
  bool start_array(std::size_t n) { return ++depth_ <= kMaxDepth && Base::start_array(n); }
  bool end_array() { return --depth_, Base::end_array(); }

  template <class Exception>
  bool parse_error(std::size_t position, const std::string& token, const Exception& ex) {
    message_ = ex.what();
    return Base::parse_error(position, token, ex);
  }

  const std::string& message() const { return message_; }

 private:
  int depth_ = 0;
  std::string message_;
};

// Line and column (counted in characters, from 1) of byte |pos|.
std::string line_column(std::string_view text, size_t pos) {
  size_t line = 1, column = 1;
  size_t i = 0;
  while (i < pos && i < text.size()) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
      ++i;
    } else {
      decode_code_point(text, &i);
      ++column;
    }
  }
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

// "[json.exception.parse_error.101] parse error at line 1, column 2: <description>"
// becomes "<description> at line 1 column 2".
std::string parse_error_text(const std::string& what) {
  const std::string marker = "parse error at line ";
  const size_t at = what.find(marker);
  const size_t comma = at == std::string::npos ? at : what.find(", column ", at);
  const size_t colon = comma == std::string::npos ? comma : what.find(": ", comma);
  if (colon == std::string::npos) return what;
  const std::string line = what.substr(at + marker.size(), comma - at - marker.size());
  const std::string column = what.substr(comma + 9, colon - comma - 9);
  return what.substr(colon + 2) + " at line " + line + " column " + column;
}

std::optional<UpdateKey> key_from_text(std::string_view text) {
  const std::u32string cps = decode_utf8(text);
  const std::u32string_view trimmed = trim(cps);
  // Trimming removes whole code points from both ends; map that back onto the bytes.
  size_t lead = 0, i = 0;
  for (size_t k = 0; k < static_cast<size_t>(trimmed.data() - cps.data()); ++k) {
    decode_code_point(text, &i);
  }
  lead = i;
  for (size_t k = 0; k < trimmed.size(); ++k) decode_code_point(text, &i);
  auto bytes = hex_decode(text.substr(lead, i - lead));
  if (!bytes.ok() || bytes->size() != 32) return std::nullopt;
  UpdateKey key;
  std::copy(bytes->begin(), bytes->end(), key.begin());
  return key;
}

std::optional<UpdateKey> key_from_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  const std::string raw = text.str();
  if (find_utf8_fault(raw)) return std::nullopt;
  return key_from_text(raw);
}

ReleaseFailure early(std::string message) { return ReleaseFailure{std::move(message), false}; }
ReleaseFailure late(std::string message) { return ReleaseFailure{std::move(message), true}; }

}  // namespace

std::string float_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof(buf), value, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<size_t>(r.ptr - buf));  // [-]d[.ddd]e(+|-)dd
  const size_t e_pos = sci.find('e');
  std::string_view mantissa = sci.substr(0, e_pos);
  const bool negative = mantissa.front() == '-';
  if (negative) mantissa.remove_prefix(1);
  std::string digits;
  for (const char c : mantissa) {
    if (c != '.') digits.push_back(c);
  }
  int exponent = 0;
  std::from_chars(sci.data() + e_pos + (sci[e_pos + 1] == '+' ? 2 : 1), sci.data() + sci.size(),
                  exponent);
  std::string out = negative ? "-" : "";
  if (exponent < -4 || exponent >= 16) {
    out += digits[0];
    if (digits.size() > 1) out += "." + digits.substr(1);
    out += exponent < 0 ? "e-" : "e+";
    const int magnitude = std::abs(exponent);
    if (magnitude < 10) out += "0";
    out += std::to_string(magnitude);
  } else if (exponent < 0) {
    out += "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
  } else {
    const auto whole = static_cast<size_t>(exponent) + 1;
    if (digits.size() <= whole) {
      out += digits + std::string(whole - digits.size(), '0') + ".0";
    } else {
      out += digits.substr(0, whole) + "." + digits.substr(whole);
    }
  }
  return out;
}

std::string canonical_json(const Json& value) {
  std::string out;
  append_canonical(&out, value);
  return out;
}

std::string value_text(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null: return "None";
    case Json::value_t::boolean: return value.get<bool>() ? "True" : "False";
    case Json::value_t::number_integer: return std::to_string(value.get<int64_t>());
    case Json::value_t::number_unsigned: return std::to_string(value.get<uint64_t>());
    case Json::value_t::number_float: return float_text(value.get<double>());
    case Json::value_t::string: return value.get<std::string>();
    default: return value.dump(-1, ' ', false, Json::error_handler_t::replace);
  }
}

VersionKey version_key(std::string_view text) {
  const std::u32string cps = decode_utf8(text);
  std::u32string_view s = trim(cps);
  while (!s.empty() && s.front() == U'v') s.remove_prefix(1);
  VersionKey key;
  size_t start = 0;
  for (;;) {
    const size_t dot = s.find(U'.', start);
    const auto part = parse_part(s.substr(start, dot == s.npos ? s.npos : dot - start));
    if (!part) return VersionKey{0};
    key.push_back(*part);
    if (dot == s.npos) break;
    start = dot + 1;
  }
  return key;
}

bool truthy(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null: return false;
    case Json::value_t::boolean: return v.get<bool>();
    case Json::value_t::number_integer: return v.get<int64_t>() != 0;
    case Json::value_t::number_unsigned: return v.get<uint64_t>() != 0;
    case Json::value_t::number_float: return v.get<double>() != 0.0;  // NaN is truthy
    case Json::value_t::string: return !v.get_ref<const std::string&>().empty();
    case Json::value_t::array:
    case Json::value_t::object: return !v.empty();
    default: return true;
  }
}

std::string type_name(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null: return "NoneType";
    case Json::value_t::boolean: return "bool";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: return "int";
    case Json::value_t::number_float: return "float";
    case Json::value_t::string: return "str";
    case Json::value_t::array: return "list";
    case Json::value_t::object: return "dict";
    default: return "bytes";
  }
}

std::optional<UpdateKey> load_update_key(const fs::path& install_folder) {
  return load_update_key(install_folder, compiled_update_key_text());
}

std::optional<UpdateKey> load_update_key(const fs::path& install_folder,
                                         std::string_view compiled_key_text) {
  if (auto key = key_from_text(compiled_key_text)) return key;
  if (auto key = key_from_file(install_folder / kUpdateKeyFileName)) return key;
  return key_from_file(install_folder / "mrv" / kUpdateKeyFileName);
}

std::string manifest_url(const UpdateProduct& product) {
  const char* env = std::getenv("MRV_UPDATE_URL");
  if (env != nullptr && *env != '\0') return env;
  return product.manifest_url;
}

ReleaseCheck evaluate_release(int http_status, std::string_view body,
                              std::string_view running_version,
                              const std::optional<UpdateKey>& key, const UpdateProduct& product) {
  try {
    if (http_status > 399) return early("HTTP Error " + std::to_string(http_status));
    const std::string_view text = body.substr(0, kMaxDocumentBytes);
    if (const auto fault = find_utf8_fault(text)) {
      static constexpr char kHex[] = "0123456789abcdef";
      const auto b = static_cast<uint8_t>(text[fault->index]);
      return early("'utf-8' codec can't decode bytes: " + fault->reason + " 0x" + kHex[b >> 4] +
                   kHex[b & 15] + " in position " + std::to_string(fault->index));
    }
    if (text.starts_with("\xEF\xBB\xBF")) {
      // The parser would skip a byte order mark; a document must not start with one.
      return early("Unexpected UTF-8 BOM (decode using utf-8-sig) at line 1 column 1");
    }
    Json document;
    Sax sax(document);
    const bool parsed = Json::sax_parse(text, &sax, Json::input_format_t::json, true, false);
    if (!parsed || sax.is_errored()) {
      if (!sax.message().empty()) return early(parse_error_text(sax.message()));
      return early("nesting too deep" +
                   line_column(text, json_too_deep_at(text, kMaxDepth).value_or(text.size())));
    }
    // The parser takes a NUL byte for the end of its input, so "123\0..." parses as 123.
    // A NUL inside a string is refused above, so one that is left follows the value; the
    // document is its whole byte string, and that is not JSON.
    if (const size_t nul = text.find('\0'); nul != std::string_view::npos) {
      return early("syntax error while parsing value - unexpected NUL byte; expected end of input" +
                   line_column(text, nul));
    }

    if (!document.is_object()) return early(no_attribute(document));
    const Json& manifest = member(document, "manifest");
    const Json description = truthy(manifest) ? manifest : Json::object();
    const Json& sig = member(document, "sig");

    bool valid = false;
    if (key && truthy(sig)) {
      if (!sig.is_string()) return early("fromhex() argument must be str, not " + type_name(sig));
      auto signature = hex_decode(sig.get_ref<const std::string&>());
      if (!signature.ok()) return early(signature.error());
      if (signature->size() == 64) {
        const std::string canonical = canonical_json(description);
        valid = verify_signature(
            *key,
            std::span(reinterpret_cast<const uint8_t*>(canonical.data()), canonical.size()),
            *signature);
      }
    }
    if (!description.is_object()) return early(no_attribute(description));
    const Json& version = member(description, "version");
    if (!truthy(version)) return late("respuesta sin versión");
    if (key && !valid) return late("la firma de la actualización no es válida; no se instalará nada");
    const Json& app = member(description, "app");
    if (!app.is_null() && !(app.is_string() && app.get_ref<const std::string&>() == product.app_id)) {
      return late("el archivo de versión es de otra app de la suite; no se instalará nada");
    }

    const VersionKey current = version_key(running_version);
    Json changes = Json::array();
    const Json& listed = member(description, "changes");
    if (truthy(listed)) {
      if (listed.is_string() || listed.is_object()) {
        return late("'str' object has no attribute 'get'");
      }
      if (!listed.is_array()) return late(quoted_type(listed, "' object is not iterable"));
      for (const Json& change : listed) {
        if (!change.is_object()) return late(no_attribute(change));
        if (version_key(value_text(member(change, "version"))) > current) {
          if (changes.size() < 12) changes.push_back(change);
        }
      }
    }

    Release release;
    Json& info = release.info;
    info["version"] = version;
    for (const char* name : {"date", "url", "size", "sha256"}) info[name] = member(description, name);
    const Json& page = member(description, "page");
    info["page"] = truthy(page) ? page : Json(product.support_page_url);
    info["changes"] = std::move(changes);
    info["signed"] = valid;
    release.version = value_text(version);
    release.newer = version_key(release.version) > current;
    return release;
  } catch (const std::exception& e) {
    // The JSON library throws only on misuse; keep any such fault inside the module.
    return early(e.what());
  }
}

bool package_matches(const Json& release_info, std::string_view package_sha256_hex) {
  const Json& published = member(release_info, "sha256");
  if (!published.is_string()) return false;
  return ascii_lower(published.get_ref<const std::string&>()) == package_sha256_hex;
}

}  // namespace morvane
