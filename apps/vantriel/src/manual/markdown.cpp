#include "manual/markdown.h"

#include <map>
#include <set>

#include "morvane/core/text/utf8.h"

namespace vantriel {
namespace {

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Whether the character that starts at text[i] is white space.
bool space_at(std::string_view text, std::size_t i) {
  const auto byte = static_cast<unsigned char>(text[i]);
  if (byte < 0x80) return byte == ' ' || (byte >= 0x09 && byte <= 0x0D);
  // A character is at most four bytes long.
  const std::u32string first = morvane::decode_utf8(text.substr(i, 4));
  return !first.empty() && morvane::is_unicode_space(first.front());
}

// Link targets that cannot run anything: web pages, mail and places in the manual.
bool allowed_target(std::string_view target) {
  return starts_with(target, "https://") || starts_with(target, "mailto:") ||
         starts_with(target, "#");
}

// The length of the numbered-item marker ("12. ") at the start of `line`, or 0.
std::size_t numbered_marker(std::string_view line) {
  const std::size_t dot = line.find(". ");
  if (dot == 0 || dot == std::string_view::npos) return 0;
  for (std::size_t i = 0; i < dot; ++i) {
    if (line[i] < '0' || line[i] > '9') return 0;
  }
  return dot + 2;
}

// Cells of a table row: every leading and trailing "|" removed, split at "|".
std::vector<std::string> split_row(std::string_view line) {
  while (!line.empty() && line.front() == '|') line.remove_prefix(1);
  while (!line.empty() && line.back() == '|') line.remove_suffix(1);
  std::vector<std::string> cells;
  for (;;) {
    const std::size_t bar = line.find('|');
    cells.emplace_back(line.substr(0, bar));
    if (bar == std::string_view::npos) break;
    line.remove_prefix(bar + 1);
  }
  return cells;
}

bool is_alignment_row(const std::vector<std::string>& cells) {
  for (const std::string& cell : cells) {
    if (cell.find_first_not_of("-: ") != std::string::npos) return false;
  }
  return true;
}

class Renderer {
 public:
  RenderedMarkdown run(std::string_view text) {
    for (;;) {
      const std::size_t feed = text.find('\n');
      std::string_view line = text.substr(0, feed);
      if (feed != std::string_view::npos && ends_with(line, "\r")) line.remove_suffix(1);
      handle_line(line);
      if (feed == std::string_view::npos) break;
      text.remove_prefix(feed + 1);
    }
    flush_paragraph();
    flush_table();
    close_list();
    return std::move(result_);
  }

 private:
  enum class List { kNone, kBullet, kNumbered };

  void handle_line(std::string_view raw) {
    const bool indented = starts_with(raw, "  ");
    const std::string line = morvane::trim_unicode(raw);

    if (in_comment_) {
      if (line.find("-->") != std::string::npos) in_comment_ = false;
      return;
    }
    if (starts_with(line, "<!--")) {
      if (line.find("-->") == std::string::npos) in_comment_ = true;
      return;
    }
    if (!starts_with(line, "|")) flush_table();

    if (line.empty()) {
      flush_paragraph();
      close_list();
      return;
    }
    if (heading(line)) return;
    if (starts_with(line, "> ") || line == ">") {
      flush_paragraph();
      const std::string_view rest =
          line == ">" ? std::string_view() : std::string_view(line).substr(2);
      out() += "<div class=\"mnote\">" + render_inline(rest) + "</div>\n";
      return;
    }
    if (starts_with(line, "|")) {
      flush_paragraph();
      rows_.push_back(split_row(line));
      return;
    }
    list_line(line, indented);
  }

  bool heading(const std::string& line) {
    int level = 0;
    if (starts_with(line, "### ")) {
      level = 3;
    } else if (starts_with(line, "## ")) {
      level = 2;
    } else if (starts_with(line, "# ")) {
      level = 1;
    } else {
      return false;
    }
    flush_paragraph();
    close_list();
    const std::string_view text =
        std::string_view(line).substr(static_cast<std::size_t>(level) + 1);
    const std::string id = unique_id(heading_id(text));
    const std::string tag = "h" + std::to_string(level);
    out() += "<" + tag + " id=\"" + id + "\">" + render_inline(text) + "</" + tag + ">\n";
    if (level == 2) {
      result_.toc.push_back(TocEntry{id, toc_title(text), {}});
    } else if (level == 3 && !result_.toc.empty()) {
      result_.toc.back().sub.push_back(TocSubEntry{id, toc_title(text)});
    }
    return true;
  }

  void list_line(const std::string& line, bool indented) {
    List kind = List::kNone;
    std::size_t marker = 0;
    if (starts_with(line, "- ") || starts_with(line, "* ")) {
      kind = List::kBullet;
      marker = 2;
    } else if (const std::size_t n = numbered_marker(line); n != 0) {
      kind = List::kNumbered;
      marker = n;
    }
    const bool list_open = list_ != List::kNone;
    if (indented && list_open && !starts_with(line, "- ")) {
      // A continuation of the last item, whatever the line looks like.
      if (ends_with(out(), "</li>")) {
        out().resize(out().size() - 5);
        out() += " " + render_inline(line) + "</li>";
      } else {
        paragraph_.push_back(line);
      }
      return;
    }
    if (kind == List::kNone) {
      paragraph_.push_back(line);
      return;
    }
    flush_paragraph();
    if (list_ != kind) {
      close_list();
      list_ = kind;
      out() += kind == List::kBullet ? "<ul>" : "<ol>";
    }
    out() += "<li>" + render_inline(std::string_view(line).substr(marker)) + "</li>";
  }

  void flush_paragraph() {
    if (paragraph_.empty()) return;
    std::string joined;
    for (const std::string& piece : paragraph_) {
      if (!joined.empty()) joined += ' ';
      joined += piece;
    }
    paragraph_.clear();
    out() += "<p>" + render_inline(joined) + "</p>\n";
  }

  void flush_table() {
    if (rows_.empty()) return;
    std::string& html = out();
    html += "<table>";
    for (std::size_t r = 0; r < rows_.size(); ++r) {
      if (r == 1 && is_alignment_row(rows_[r])) continue;
      const char* cell_tag = r == 0 ? "th" : "td";
      html += "<tr>";
      for (const std::string& cell : rows_[r]) {
        html += std::string("<") + cell_tag + ">" + render_inline(morvane::trim_unicode(cell)) + "</" +
                cell_tag + ">";
      }
      html += "</tr>";
    }
    html += "</table>\n";
    rows_.clear();
  }

  void close_list() {
    if (list_ == List::kNone) return;
    out() += list_ == List::kBullet ? "</ul>\n" : "</ol>\n";
    list_ = List::kNone;
  }

  // The first of id, id-2, id-3 ... not used yet. The next suffix to try is kept per id,
  // so a text with thousands of equal headings stays linear.
  std::string unique_id(std::string id) {
    if (used_ids_.count(id) != 0) {
      unsigned& next = next_suffix_.try_emplace(id, 2u).first->second;
      std::string candidate;
      do {
        candidate = id + "-" + std::to_string(next++);
      } while (used_ids_.count(candidate) != 0);
      id = std::move(candidate);
    }
    used_ids_.insert(id);
    return id;
  }

  static std::string toc_title(std::string_view text) {
    std::string title;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '*' && i + 1 < text.size() && text[i + 1] == '*') {
        ++i;
      } else {
        title += text[i];
      }
    }
    return title;
  }

  std::string& out() { return result_.html; }

  RenderedMarkdown result_;
  bool in_comment_ = false;
  List list_ = List::kNone;
  std::vector<std::string> paragraph_;
  std::vector<std::vector<std::string>> rows_;
  std::set<std::string> used_ids_;
  std::map<std::string, unsigned> next_suffix_;
};

}  // namespace

std::string escape_html(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string render_inline(std::string_view text) {
  const std::string escaped = escape_html(text);
  const std::string_view s = escaped;
  const std::size_t n = s.size();
  std::string out;
  out.reserve(n + 16);
  bool bold = false;
  bool italic = false;
  // Searches only move forwards, so a failed search is remembered: a line full of
  // unmatched "[" or "`" stays linear.
  bool no_more_backquotes = false;
  bool no_more_links = false;
  std::size_t next_opener = 0;  // the first "](" after the last "[" looked at
  std::size_t opener_end = 0;   // the first ")" after next_opener
  bool opener_known = false;

  std::size_t i = 0;
  while (i < n) {
    const char c = s[i];
    if (c == '*') {
      if (i + 1 < n && s[i + 1] == '*') {
        bold = !bold;
        out += bold ? "<b>" : "</b>";
        i += 2;
      } else if (italic) {
        out += "</i>";
        italic = false;
        ++i;
      } else if (i + 1 < n && !space_at(s, i + 1)) {
        out += "<i>";
        italic = true;
        ++i;
      } else {
        out += '*';
        ++i;
      }
      continue;
    }
    if (c == '`' && i + 1 < n && !no_more_backquotes) {
      const std::size_t close = s.find('`', i + 1);
      if (close != std::string_view::npos) {
        out += "<code>";
        out += s.substr(i + 1, close - i - 1);
        out += "</code>";
        i = close + 1;
        continue;
      }
      no_more_backquotes = true;
    }
    if (c == '[' && !no_more_links) {
      if (!opener_known || next_opener <= i) {
        next_opener = s.find("](", i + 1);
        opener_end =
            next_opener == std::string_view::npos ? next_opener : s.find(')', next_opener + 2);
        opener_known = true;
      }
      const std::size_t end = opener_end;
      if (end == std::string_view::npos) {
        no_more_links = true;
      } else {
        const std::string_view target = s.substr(next_opener + 2, end - next_opener - 2);
        if (allowed_target(target)) {
          out += "<a href=\"";
          out += target;
          out += "\">";
          out += s.substr(i + 1, next_opener - i - 1);
          out += "</a>";
          i = end + 1;
          continue;
        }
      }
    }
    out += c;
    ++i;
  }
  if (italic) out += "</i>";
  if (bold) out += "</b>";
  return out;
}

std::string heading_id(std::string_view text) {
  std::string id;
  const auto keep = [&](char c) { id += c; };
  const auto other = [&] {
    if (id.empty() || id.back() != '-') id += '-';
  };
  for (const char32_t cp : morvane::decode_utf8(text)) {
    if ((cp >= 'a' && cp <= 'z') || (cp >= '0' && cp <= '9')) {
      keep(static_cast<char>(cp));
    } else if (cp >= 'A' && cp <= 'Z') {
      keep(static_cast<char>(cp - 'A' + 'a'));
    } else {
      // The only characters whose lower case is an ASCII letter or one of the folded
      // Spanish letters; every other one becomes "-" whatever its case.
      switch (cp) {
        case 0xC1:  // Á
        case 0xE1:  // á
          keep('a');
          break;
        case 0xC9:  // É
        case 0xE9:  // é
          keep('e');
          break;
        case 0xCD:  // Í
        case 0xED:  // í
          keep('i');
          break;
        case 0xD1:  // Ñ
        case 0xF1:  // ñ
          keep('n');
          break;
        case 0xD3:  // Ó
        case 0xF3:  // ó
          keep('o');
          break;
        case 0xDA:  // Ú
        case 0xFA:  // ú
        case 0xDC:  // Ü
        case 0xFC:  // ü
          keep('u');
          break;
        case 0x212A:  // KELVIN SIGN lower-cases to "k"
          keep('k');
          break;
        case 0x0130:  // capital I with dot lower-cases to "i" and a combining dot
          keep('i');
          other();
          break;
        default:
          other();
      }
    }
  }
  const std::size_t first = id.find_first_not_of('-');
  if (first == std::string::npos) return "s";
  const std::size_t last = id.find_last_not_of('-');
  return id.substr(first, last - first + 1);
}

RenderedMarkdown render_markdown(std::string_view text) { return Renderer().run(text); }

}  // namespace vantriel
