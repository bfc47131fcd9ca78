// Feeds arbitrary text to the manual renderer and the printable page, and checks the
// promises the help tab relies on: no markup from the text reaches the HTML, and every
// link goes to a web page, a mail address or a place in the manual.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "manual/manual.h"
#include "manual/markdown.h"

namespace {

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Tags the renderer writes itself; anything else after "<" came from the text.
bool known_tag(std::string_view at) {
  for (std::string_view tag : {"<h1 ",
                               "<h2 ",
                               "<h3 ",
                               "</h1>",
                               "</h2>",
                               "</h3>",
                               "<p>",
                               "</p>",
                               "<b>",
                               "</b>",
                               "<i>",
                               "</i>",
                               "<code>",
                               "</code>",
                               "<a href=\"",
                               "</a>",
                               "<ul>",
                               "</ul>",
                               "<ol>",
                               "</ol>",
                               "<li>",
                               "</li>",
                               "<table>",
                               "</table>",
                               "<tr>",
                               "</tr>",
                               "<th>",
                               "</th>",
                               "<td>",
                               "</td>",
                               "<div class=\"mnote\">",
                               "</div>"}) {
    if (starts_with(at, tag)) return true;
  }
  return false;
}

void check_html(std::string_view html) {
  for (std::size_t at = html.find('<'); at != std::string_view::npos; at = html.find('<', at + 1)) {
    if (!known_tag(html.substr(at))) std::abort();
  }
  constexpr std::string_view kHref = "<a href=\"";
  for (std::size_t at = html.find(kHref); at != std::string_view::npos;
       at = html.find(kHref, at + 1)) {
    const std::string_view target = html.substr(at + kHref.size());
    if (!starts_with(target, "https://") && !starts_with(target, "mailto:") &&
        !starts_with(target, "#")) {
      std::abort();
    }
    const std::size_t end = target.find('"');
    if (end == std::string_view::npos ||
        target.substr(0, end).find('<') != std::string_view::npos) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const vantriel::RenderedMarkdown rendered = vantriel::render_markdown(text);
  check_html(rendered.html);
  for (const vantriel::TocEntry& entry : rendered.toc) {
    if (entry.id.empty() ||
        entry.id.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") != std::string::npos) {
      std::abort();
    }
  }
  check_html(vantriel::render_inline(text));

  const auto document = vantriel::manual_document_from_text("en", text, "0.1.1");
  const std::string page = vantriel::print_page_from_document("en", document);
  // The page is the rendered body in a fixed frame.
  if (page.find(document["html"].get<std::string>()) == std::string::npos) std::abort();
  (void)document.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  return 0;
}
