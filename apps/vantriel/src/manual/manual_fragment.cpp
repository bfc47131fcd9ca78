#include "manual/manual_fragment.h"

#include <set>
#include <vector>

#include "manual/manual.h"

namespace vantriel {
namespace {

using json = nlohmann::ordered_json;

struct TechnicianHeadings {
  std::vector<const char*> sections;  // level 2, in the fragment's order
  const char* parent;                 // the level-2 section that holds ...
  const char* check_code;             // ... this level-3 one
};

const TechnicianHeadings kSpanish = {
    {"Dar soporte", "Llamadas de voz", "Chat y archivos",
     "Prot\xC3\xA9gete de las estafas"},
    "Lo que controlas y c\xC3\xB3mo detenerlo",
    "El c\xC3\xB3" "digo de comprobaci\xC3\xB3n",
};

const TechnicianHeadings kEnglish = {
    {"Giving support", "Voice calls", "Chat and files", "Staying safe from scams"},
    "What you control and how to stop it",
    "The check code",
};

// The rendered HTML from the heading with `id` at `level` to the next heading at that
// level or above (the renderer starts every heading on a line of its own).
std::string section_html(const std::string& html, const std::string& id, int level) {
  const std::string open = "<h" + std::to_string(level) + " id=\"" + id + "\">";
  const std::size_t begin = html.find(open);
  if (begin == std::string::npos) return {};
  std::size_t end = html.size();
  for (int l = 2; l <= level; ++l) {
    const std::size_t next = html.find("\n<h" + std::to_string(l) + " ", begin + open.size());
    if (next != std::string::npos && next + 1 < end) end = next + 1;
  }
  return html.substr(begin, end - begin);
}

std::set<std::string> heading_ids(const std::string& html) {
  std::set<std::string> ids;
  for (std::size_t at = html.find("<h"); at != std::string::npos; at = html.find("<h", at + 1)) {
    if (html.compare(at + 3, 5, " id=\"") != 0) continue;
    const std::size_t begin = at + 8;
    const std::size_t end = html.find('"', begin);
    if (end != std::string::npos) ids.insert(html.substr(begin, end - begin));
  }
  return ids;
}

// Links to "#id" where no heading of `html` has that id are left as their text.
std::string unlink_missing(const std::string& html, const std::set<std::string>& ids) {
  constexpr std::string_view kOpen = "<a href=\"#";
  std::string out;
  std::size_t from = 0;
  for (;;) {
    const std::size_t at = html.find(kOpen, from);
    if (at == std::string::npos) break;
    const std::size_t id_end = html.find("\">", at + kOpen.size());
    const std::size_t close = id_end == std::string::npos ? id_end : html.find("</a>", id_end);
    if (close == std::string::npos) break;
    const std::string id = html.substr(at + kOpen.size(), id_end - at - kOpen.size());
    out.append(html, from, at - from);
    if (ids.count(id) != 0) {
      out.append(html, at, close + 4 - at);
    } else {
      out.append(html, id_end + 2, close - id_end - 2);
    }
    from = close + 4;
  }
  out.append(html, from, std::string::npos);
  return out;
}

const json* find_entry(const json& entries, std::string_view title) {
  for (const json& entry : entries) {
    if (entry.value("title", "") == title) return &entry;
  }
  return nullptr;
}

}  // namespace

morvane::Result<std::string> technician_manual_fragment(std::string_view language,
                                                        std::string_view text,
                                                        std::string_view version) {
  const TechnicianHeadings& wanted = language == "en" ? kEnglish : kSpanish;
  const json document = manual_document_from_text(language, text, version);
  const std::string html = document.value("html", "");
  const json toc = document.value("toc", json::array());

  std::string fragment;
  for (const char* title : wanted.sections) {
    const json* entry = find_entry(toc, title);
    if (entry == nullptr) {
      return morvane::make_error("no level-2 section \"" + std::string(title) + "\"");
    }
    fragment += section_html(html, entry->value("id", ""), 2);
  }
  const json* parent = find_entry(toc, wanted.parent);
  const json* check = parent == nullptr ? nullptr : find_entry((*parent)["sub"], wanted.check_code);
  if (check == nullptr) {
    return morvane::make_error("no level-3 section \"" + std::string(wanted.check_code) +
                               "\" under \"" + wanted.parent + "\"");
  }
  std::string part = section_html(html, check->value("id", ""), 3);
  // On its own here, without the section around it: a section of the fragment.
  part.replace(0, 3, "<h2");
  if (const std::size_t end = part.find("</h3>"); end != std::string::npos) {
    part.replace(end, 5, "</h2>");
  }
  fragment += part;
  return unlink_missing(fragment, heading_ids(fragment));
}

}  // namespace vantriel
