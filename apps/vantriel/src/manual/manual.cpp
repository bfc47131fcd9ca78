#include "manual/manual.h"

#include <cstddef>

#include "main/app_version.h"
#include "base/file_util.h"
#include "base/json_member.h"
#include "base/log.h"
#include "manual/markdown.h"
#include "morvane/core/process/executable_path.h"
#include "morvane/core/text/utf8.h"

namespace vantriel {
namespace {

using json = nlohmann::ordered_json;

// Shown under the manual and on the printed page.
constexpr char kAuthor[] = "Suite MRV";
constexpr char kContact[] = "soporte@vantriel.app";

// The manual is a few dozen kilobytes; anything far larger is not ours.
constexpr std::size_t kMaxManualBytes = 4u * 1024u * 1024u;

constexpr std::string_view kVersionMarker = "manual-version:";
constexpr std::string_view kVersionPlaceholder = "{{VERSION}}";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

struct Labels {
  const char* title;
  const char* ver;
  const char* toc;
  const char* by;
  const char* missing;
  const char* failed;
  const char* print;
};

constexpr Labels kSpanish = {
    "Manual de usuario",
    "Manual de la",
    "Contenido",
    "App desarrollada por",
    "No encontr\xC3\xA9 el manual (carpeta manual junto a Vantriel.exe).",
    "No se pudo preparar el manual. Vuelve a intentarlo; si sigue igual, reinicia Vantriel.",
    "Imprimir / Guardar como PDF",
};

constexpr Labels kEnglish = {
    "User manual",
    "Manual for",
    "Contents",
    "App developed by",
    "Manual not found (manual folder).",
    "The manual could not be prepared. Try again; if it keeps happening, restart Vantriel.",
    "Print / Save as PDF",
};

const Labels& labels_for(std::string_view language) {
  return language == "en" ? kEnglish : kSpanish;
}

// The manual's own version from the first line ("<!-- manual-version: 1.2 -->"), or
// nothing when the marker is missing.
std::optional<std::string> manual_version(std::string_view text) {
  std::string_view first = text.substr(0, text.find('\n'));
  if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
  const std::size_t marker = first.find(kVersionMarker);
  if (marker == std::string_view::npos) return std::nullopt;
  std::string value = morvane::trim_unicode(first.substr(marker + kVersionMarker.size()));
  if (const std::size_t end = value.find("-->"); end != std::string::npos) value.resize(end);
  return morvane::trim_unicode(value);
}

std::string replace_all(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  for (;;) {
    const std::size_t at = text.find(from);
    out += text.substr(0, at);
    if (at == std::string_view::npos) break;
    out += to;
    text.remove_prefix(at + from.size());
  }
  return out;
}

// The whole manual file of `language`, or nothing when it cannot be read or is not UTF-8.
std::optional<std::string> read_manual(const std::filesystem::path& folder,
                                       std::string_view language) {
  auto bytes = read_file(folder / ("manual_" + std::string(language) + ".md"), kMaxManualBytes);
  if (!bytes || !morvane::is_valid_utf8(*bytes)) return std::nullopt;
  return std::move(*bytes);
}

std::filesystem::path default_folder() {
  const auto exe = morvane::executable_path();
  return (exe ? exe->parent_path() : std::filesystem::path(".")) / "manual";
}

constexpr char kPrintStyle[] =
    "<style>"
    "body{font:14px/1.6 \"Segoe UI\",Arial,sans-serif;color:#111;max-width:820px;"
    "margin:30px auto;padding:0 24px}"
    "h2{border-bottom:2px solid #18A86B}"
    "h3{color:#0E7A4D}"
    "table{border-collapse:collapse;width:100%}"
    "th,td{border:1px solid #ccc;padding:6px 8px;text-align:left;vertical-align:top}"
    "th{background:#E2F8EE}"
    "code{background:#f3f3f3;border-radius:3px}"
    ".mnote{border-left:3px solid #18A86B;background:#EEFBF5;padding:8px 12px;margin:10px 0}"
    ".top{display:flex;align-items:center;gap:16px}"
    ".top img{width:80px;height:80px}"
    ".sign{text-align:center;color:#555;margin-top:30px}"
    ".sign img{width:200px;display:block;margin:0 auto}"
    "@media print{.noprint{display:none}}"
    "</style>";

}  // namespace

std::string manual_language(const std::optional<std::string>& lang) {
  return lang && *lang == "en" ? "en" : "es";
}

json manual_missing(std::string_view language) {
  json reply = json::object();
  reply["ok"] = false;
  reply["msg"] = labels_for(language).missing;
  return reply;
}

json manual_document_from_text(std::string_view language, std::string_view text,
                               std::string_view app_version) {
  // Editors on Windows may save a byte order mark; it is not part of the text.
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    text.remove_prefix(kByteOrderMark.size());
  }
  const std::string version = manual_version(text).value_or(std::string(app_version));
  const RenderedMarkdown rendered =
      render_markdown(replace_all(text, kVersionPlaceholder, app_version));

  json toc = json::array();
  for (const TocEntry& entry : rendered.toc) {
    json sub = json::array();
    for (const TocSubEntry& child : entry.sub) {
      json item = json::object();
      item["id"] = child.id;
      item["title"] = child.title;
      sub.push_back(std::move(item));
    }
    json item = json::object();
    item["id"] = entry.id;
    item["title"] = entry.title;
    item["sub"] = std::move(sub);
    toc.push_back(std::move(item));
  }

  const Labels& labels = labels_for(language);
  json txt = json::object();
  txt["title"] = labels.title;
  txt["ver"] = labels.ver;
  txt["toc"] = labels.toc;
  txt["by"] = labels.by;

  json reply = json::object();
  reply["ok"] = true;
  reply["lang"] = language == "en" ? "en" : "es";
  reply["html"] = rendered.html;
  reply["toc"] = std::move(toc);
  reply["version"] = "v" + version;
  reply["author"] = kAuthor;
  reply["contact"] = kContact;
  reply["txt"] = std::move(txt);
  return reply;
}

std::string print_page_from_document(std::string_view language, const json& document) {
  // A refusal has no language, title, version or body: those parts stay empty.
  std::string lang = text_member(document, "lang");
  if (lang.empty()) lang = "es";
  std::string title;
  if (const auto txt = document.find("txt"); txt != document.end() && txt->is_object()) {
    title = text_member(*txt, "title");
  }
  const std::string version = text_member(document, "version");
  const std::string html = text_member(document, "html");
  const Labels& labels = labels_for(language);

  std::string page;
  page.reserve(html.size() + 2048);
  page += "<!doctype html><html lang=\"" + escape_html(lang) +
          "\"><head><meta charset=\"utf-8\"><title>Vantriel \xC2\xB7 " + escape_html(title) +
          "</title>\n";
  page += kPrintStyle;
  page += "</head><body>\n";
  page +=
      "<div class=\"top\"><img src=\"/img/emblema-512.png\" alt=\"\"><div><h1 "
      "style=\"margin:0\">Vantriel \xC2\xB7 " +
      escape_html(title) + "</h1><div>" + escape_html(version) + "</div></div></div>\n";
  page += "<p class=\"noprint\"><button onclick=\"print()\">\xF0\x9F\x96\xA8 " +
          std::string(labels.print) + "</button></p>" + html + "\n";
  page += "<div class=\"sign\"><img src=\"/img/firma.png\" alt=\"" + escape_html(kAuthor) +
          "\"><div>" + escape_html(kAuthor) + " \xC2\xB7 " + escape_html(kContact) +
          "</div></div>\n";
  page += "<script>setTimeout(function(){print();},600);</script></body></html>";
  return page;
}

json manual_document_in(const std::filesystem::path& folder,
                        const std::optional<std::string>& lang) {
  const std::string language = manual_language(lang);
  const std::optional<std::string> text = read_manual(folder, language);
  if (!text) return manual_missing(language);
  return manual_document_from_text(language, *text, kAppVersion);
}

std::string manual_print_page_in(const std::filesystem::path& folder,
                                 const std::optional<std::string>& lang) {
  return print_page_from_document(manual_language(lang), manual_document_in(folder, lang));
}

json manual_failed(std::string_view language) {
  json reply = json::object();
  reply["ok"] = false;
  reply["msg"] = labels_for(language).failed;
  return reply;
}

morvane::Result<std::string> manual_guarded(std::string_view language, const Log& log,
                                            const std::function<std::string()>& make) {
  try {
    return make();
  } catch (...) {
    // Out of memory or a failing path operation.
    log.line("[MANUAL] No se pudo preparar el manual (" + std::string(language) +
             "): " + exception_reason());
    return morvane::make_error(labels_for(language).failed);
  }
}

json manual_document(const std::optional<std::string>& lang, const Log& log) {
  const std::string language = manual_language(lang);
  json document;
  const morvane::Result<std::string> made = manual_guarded(language, log, [&] {
    document = manual_document_in(default_folder(), lang);
    return std::string();
  });
  return made ? std::move(document) : manual_failed(language);
}

morvane::Result<std::string> manual_print_page(const std::optional<std::string>& lang,
                                               const Log& log) {
  return manual_guarded(manual_language(lang), log,
                        [&] { return manual_print_page_in(default_folder(), lang); });
}

std::string print_failure_page(std::string_view language, std::string_view message) {
  return "<!doctype html><html lang=\"" + std::string(language == "en" ? "en" : "es") +
         "\"><head><meta charset=\"utf-8\"><title>Vantriel</title></head><body><p>" +
         escape_html(message) + "</p></body></html>";
}

}  // namespace vantriel
