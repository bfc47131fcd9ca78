// The Markdown subset the manual is written in, rendered to HTML with a table of
// contents. Pure functions of the text: no files, no globals, safe on any input.
//
// Block grammar, one trimmed line at a time: "<!--" ... "-->" comments (which skip
// lines and break nothing), "# ", "## ", "### " headings with ids, "> " notes, "|" table
// rows (an alignment row after the first one is dropped), "- " / "* " bullet items and
// "1. " numbered items (an indented line continues the last item), blank lines, and
// paragraph text. Inline: **bold**, *italic*, `code` and [text](target) links, whose
// target must start with "https://", "mailto:" or "#".
#ifndef VANTRIEL_MANUAL_MARKDOWN_H_
#define VANTRIEL_MANUAL_MARKDOWN_H_

#include <string>
#include <string_view>
#include <vector>

namespace vantriel {

struct TocSubEntry {
  std::string id;
  std::string title;
};

// A level-2 heading and the level-3 headings under it.
struct TocEntry {
  std::string id;
  std::string title;  // the heading text without "**"
  std::vector<TocSubEntry> sub;
};

struct RenderedMarkdown {
  std::string html;
  std::vector<TocEntry> toc;
};

RenderedMarkdown render_markdown(std::string_view text);

// One line of inline text to HTML: escaped first (& < > and the double quote), then
// bold, italic, code and links. Unmatched markers are written as they are; an open
// italic and then an open bold are closed at the end.
std::string render_inline(std::string_view text);

// "&", "<", ">" and the double quote as entities; the single quote is kept.
std::string escape_html(std::string_view text);

// The id of a heading before it is made unique: lower-cased, Spanish accents folded,
// ASCII letters and digits kept, every run of other characters one "-", no "-" at either
// end, "s" when nothing is left.
std::string heading_id(std::string_view text);

}  // namespace vantriel

#endif  // VANTRIEL_MANUAL_MARKDOWN_H_
