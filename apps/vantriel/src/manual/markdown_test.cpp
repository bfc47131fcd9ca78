#include "manual/markdown.h"

#include <string>

#include <gtest/gtest.h>

namespace vantriel {
namespace {

std::string html(std::string_view text) { return render_markdown(text).html; }

TEST(RenderInline, EscapesMarkupBeforeFormatting) {
  EXPECT_EQ(render_inline("a < b && \"c\" > 'd'"), "a &lt; b &amp;&amp; &quot;c&quot; &gt; 'd'");
  EXPECT_EQ(render_inline("<script>alert(1)</script>"), "&lt;script&gt;alert(1)&lt;/script&gt;");
  // Formatting markers inside escaped text still work, and text inside stays escaped.
  EXPECT_EQ(render_inline("**<b>**"), "<b>&lt;b&gt;</b>");
}

TEST(RenderInline, BoldAndItalic) {
  EXPECT_EQ(render_inline("**bold** and *it*"), "<b>bold</b> and <i>it</i>");
  EXPECT_EQ(render_inline("2 * 3 * 4"), "2 * 3 * 4");
  EXPECT_EQ(render_inline("ends with *"), "ends with *");
  EXPECT_EQ(render_inline("*"), "*");
  // A star before a no-break space is a star.
  EXPECT_EQ(render_inline("a *\xC2\xA0"
                          "b"),
            "a *\xC2\xA0"
            "b");
  // Unclosed markers are closed at the end: italic first, then bold.
  EXPECT_EQ(render_inline("**a *b"), "<b>a <i>b</i></b>");
  EXPECT_EQ(render_inline("*open"), "<i>open</i>");
  // A closing single star closes italic even before white space.
  EXPECT_EQ(render_inline("*a* b"), "<i>a</i> b");
}

TEST(RenderInline, CodeSpansAreLiteral) {
  EXPECT_EQ(render_inline("run `a **b** [c](#d)` now"), "run <code>a **b** [c](#d)</code> now");
  EXPECT_EQ(render_inline("``"), "<code></code>");
  EXPECT_EQ(render_inline("one ` only"), "one ` only");
  EXPECT_EQ(render_inline("last `"), "last `");
  EXPECT_EQ(render_inline("`<x>`"), "<code>&lt;x&gt;</code>");
}

TEST(RenderInline, LinksOnlyForSafeTargets) {
  EXPECT_EQ(render_inline("see [the site](https://vantriel.app/) now"),
            "see <a href=\"https://vantriel.app/\">the site</a> now");
  EXPECT_EQ(render_inline("[mail](mailto:a@b.c)"), "<a href=\"mailto:a@b.c\">mail</a>");
  EXPECT_EQ(render_inline("[up](#inicio)"), "<a href=\"#inicio\">up</a>");
  EXPECT_EQ(render_inline("[**x**](#y)"), "<a href=\"#y\">**x**</a>");

  for (const char* bad : {"[x](http://a.b)", "[x](javascript:alert(1))", "[x](JavaScript:alert(1))",
                          "[x](data:text/html,hi)", "[x](vbscript:x)", "[x]( https://a.b)",
                          "[x](HTTPS://a.b)", "[x](//evil.example)", "[x](file:///c:/)"}) {
    const std::string out = render_inline(bad);
    EXPECT_EQ(out.find("<a"), std::string::npos) << bad << " -> " << out;
  }
  // A quote cannot leave the attribute, and markup cannot enter it.
  EXPECT_EQ(render_inline("[x](https://a.b/\"onmouseover=\"alert(1))"),
            "<a href=\"https://a.b/&quot;onmouseover=&quot;alert(1\">x</a>)");
  EXPECT_EQ(render_inline("[x](#a<script>)"), "<a href=\"#a&lt;script&gt;\">x</a>");
}

TEST(RenderInline, UnmatchedLinkMarkersStayText) {
  EXPECT_EQ(render_inline("[no target]"), "[no target]");
  EXPECT_EQ(render_inline("[open](#never closed"), "[open](#never closed");
  EXPECT_EQ(render_inline("[a] [b](#c)"), "<a href=\"#c\">a] [b</a>");
  EXPECT_EQ(render_inline("[[x](#y)"), "<a href=\"#y\">[x</a>");
  EXPECT_EQ(render_inline("[x](http://a) [y](#z)"), "[x](http://a) <a href=\"#z\">y</a>");
}

TEST(RenderInline, LongRunsOfUnmatchedMarkers) {
  // Must stay linear: a naive search per marker would be quadratic here.
  const std::string brackets(200000, '[');
  EXPECT_EQ(render_inline(brackets), brackets);
  const std::string bad_links = std::string(100000, '[') + "](javascript:x)";
  EXPECT_EQ(render_inline(bad_links), bad_links);
  const std::string stars(100001, '*');
  EXPECT_FALSE(render_inline(stars).empty());
}

TEST(HeadingId, FoldsSpanishAndCollapsesSymbols) {
  EXPECT_EQ(heading_id("Configuración avanzada"), "configuracion-avanzada");
  EXPECT_EQ(heading_id("¿CÓMO ESTÁ? Ñandú, pingüino"), "como-esta-nandu-pinguino");
  EXPECT_EQ(heading_id("  A -- b  "), "a-b");
  EXPECT_EQ(heading_id("**Bold** title"), "bold-title");
  EXPECT_EQ(heading_id("Größe 2"), "gr-e-2");
  EXPECT_EQ(heading_id("!!! ??? ***"), "s");
  EXPECT_EQ(heading_id(""), "s");
  EXPECT_EQ(heading_id("\xE2\x84\xAA"
                       "elvin"),
            "kelvin");  // KELVIN SIGN
}

TEST(RenderMarkdown, HeadingsIdsAndContents) {
  const RenderedMarkdown r = render_markdown(
      "# Manual\n"
      "### Early\n"
      "## Configuración avanzada\n"
      "### Red\n"
      "### **Puerto**\n"
      "## Configuración avanzada\n"
      "#### not a heading\n"
      "##no space\n");
  EXPECT_EQ(r.html,
            "<h1 id=\"manual\">Manual</h1>\n"
            "<h3 id=\"early\">Early</h3>\n"
            "<h2 id=\"configuracion-avanzada\">Configuración avanzada</h2>\n"
            "<h3 id=\"red\">Red</h3>\n"
            "<h3 id=\"puerto\"><b>Puerto</b></h3>\n"
            "<h2 id=\"configuracion-avanzada-2\">Configuración avanzada</h2>\n"
            "<p>#### not a heading ##no space</p>\n");
  ASSERT_EQ(r.toc.size(), 2u);
  EXPECT_EQ(r.toc[0].id, "configuracion-avanzada");
  ASSERT_EQ(r.toc[0].sub.size(), 2u);
  EXPECT_EQ(r.toc[0].sub[1].id, "puerto");
  EXPECT_EQ(r.toc[0].sub[1].title, "Puerto");
  EXPECT_EQ(r.toc[1].id, "configuracion-avanzada-2");
  EXPECT_TRUE(r.toc[1].sub.empty());
}

TEST(RenderMarkdown, DuplicateIdsSkipTakenSuffixes) {
  const RenderedMarkdown r = render_markdown("## A\n## A-2\n## A\n## ***\n## !\n");
  ASSERT_EQ(r.toc.size(), 5u);
  EXPECT_EQ(r.toc[0].id, "a");
  EXPECT_EQ(r.toc[1].id, "a-2");
  EXPECT_EQ(r.toc[2].id, "a-3");
  EXPECT_EQ(r.toc[3].id, "s");
  EXPECT_EQ(r.toc[4].id, "s-2");

  std::string many;
  for (int i = 0; i < 20000; ++i) many += "### Paso\n";
  EXPECT_NE(render_markdown(many).html.find("<h3 id=\"paso-20000\">"), std::string::npos);
}

TEST(RenderMarkdown, ParagraphsJoinLinesAndEndAtBlanks) {
  EXPECT_EQ(html("one\n  two  \r\nthree\n\nfour\r\n"), "<p>one two three</p>\n<p>four</p>\n");
  EXPECT_EQ(html(""), "");
  EXPECT_EQ(html("\n\n \n"), "");
}

TEST(RenderMarkdown, CommentsProduceNothingAndBreakNothing) {
  EXPECT_EQ(html("before\n<!-- one\nstill\n-- > not yet\nend -->\nafter"), "<p>before after</p>\n");
  EXPECT_EQ(html("a\n<!-- single -->\nb"), "<p>a b</p>\n");
  EXPECT_EQ(html("| x |\n<!-- c -->\n| y |"),
            "<table><tr><th>x</th></tr><tr><td>y</td></tr></table>\n");
  EXPECT_EQ(html("- a\n<!-- c -->\n- b"), "<ul><li>a</li><li>b</li></ul>\n");
  // An unterminated comment swallows the rest.
  EXPECT_EQ(html("a\n<!--\n## hidden\n"), "<p>a</p>\n");
}

TEST(RenderMarkdown, Notes) {
  EXPECT_EQ(html("text\n> **Ojo:** cuidado\n>\nmore"),
            "<p>text</p>\n<div class=\"mnote\"><b>Ojo:</b> cuidado</div>\n"
            "<div class=\"mnote\"></div>\n<p>more</p>\n");
  EXPECT_EQ(html(">not a note"), "<p>&gt;not a note</p>\n");
  // A note keeps the list open.
  EXPECT_EQ(html("- a\n> n\n- b"), "<ul><li>a</li><div class=\"mnote\">n</div>\n<li>b</li></ul>\n");
}

TEST(RenderMarkdown, Tables) {
  EXPECT_EQ(html("| A | **B** |\n|:--|--:|\n| 1 | `2` |\n| 3 |"),
            "<table><tr><th>A</th><th><b>B</b></th></tr><tr><td>1</td><td><code>2</code></td>"
            "</tr><tr><td>3</td></tr></table>\n");
  EXPECT_EQ(html("| only |"), "<table><tr><th>only</th></tr></table>\n");
  EXPECT_EQ(html("|a|\n| - | : |"), "<table><tr><th>a</th></tr></table>\n");
  // An alignment-looking row anywhere else is data.
  EXPECT_EQ(html("|a|\n|b|\n|--|"),
            "<table><tr><th>a</th></tr><tr><td>b</td></tr><tr><td>--</td></tr></table>\n");
  // Text right after a table ends it; a table row ends a paragraph.
  EXPECT_EQ(html("p\n|a|\nq"), "<p>p</p>\n<table><tr><th>a</th></tr></table>\n<p>q</p>\n");
  EXPECT_EQ(html("|||"), "<table><tr><th></th></tr></table>\n");
  EXPECT_EQ(html("| <i> |"), "<table><tr><th>&lt;i&gt;</th></tr></table>\n");
}

TEST(RenderMarkdown, Lists) {
  EXPECT_EQ(html("- a\n* b\n\n1. one\n22. two\n- c"),
            "<ul><li>a</li><li>b</li></ul>\n<ol><li>one</li><li>two</li></ol>\n"
            "<ul><li>c</li></ul>\n");
  EXPECT_EQ(html("intro\n- a\nafter"), "<p>intro</p>\n<ul><li>a</li><p>after</p>\n</ul>\n");
  EXPECT_EQ(html("1.5 is not an item\n3.no\n.5 no"), "<p>1.5 is not an item 3.no .5 no</p>\n");
  EXPECT_EQ(html("-no\n- \n-"), "<p>-no - -</p>\n");
  // A heading closes the list.
  EXPECT_EQ(html("- a\n## H"), "<ul><li>a</li></ul>\n<h2 id=\"h\">H</h2>\n");
}

TEST(RenderMarkdown, IndentedLinesUnderItems) {
  EXPECT_EQ(html("- first\n  more **text**\n- second"),
            "<ul><li>first more <b>text</b></li><li>second</li></ul>\n");
  // Indented numbered or star items continue the item; an indented "- " starts one.
  EXPECT_EQ(html("1. a\n   2. b\n   * c\n  - d"),
            "<ol><li>a 2. b * c</li></ol>\n<ul><li>d</li></ul>\n");
  // Indented without an open list: ordinary text or items.
  EXPECT_EQ(html("  text\n  - item"), "<p>text</p>\n<ul><li>item</li></ul>\n");
  // After a note the output no longer ends with an item: the line becomes text.
  EXPECT_EQ(html("- a\n> n\n  tail"),
            "<ul><li>a</li><div class=\"mnote\">n</div>\n<p>tail</p>\n</ul>\n");
  // One space is not an indent.
  EXPECT_EQ(html("- a\n 1. b"), "<ul><li>a</li></ul>\n<ol><li>b</li></ol>\n");
}

TEST(RenderMarkdown, EndOfTextClosesEverything) {
  EXPECT_EQ(html("- a"), "<ul><li>a</li></ul>\n");
  EXPECT_EQ(html("|a|"), "<table><tr><th>a</th></tr></table>\n");
  EXPECT_EQ(html("**a"), "<p><b>a</b></p>\n");
}

}  // namespace
}  // namespace vantriel
