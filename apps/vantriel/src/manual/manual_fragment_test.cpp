#include "manual/manual_fragment.h"

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vantriel {
namespace {

std::vector<std::string> matches(const std::string& html, const std::string& pattern) {
  const std::regex re(pattern);
  std::vector<std::string> out;
  for (auto it = std::sregex_iterator(html.begin(), html.end(), re); it != std::sregex_iterator();
       ++it) {
    out.push_back((*it)[1]);
  }
  return out;
}

constexpr char kManual[] = R"(<!-- manual-version: 9 -->
# Manual

## General
Intro for **Vantriel {{VERSION}}**.

## What you control and how to stop it
### Taking control back
Press the button.
### The check code
Compare it; see [giving support](#giving-support) and [settings](#general-2).
### What your helper can do
Not for the technician.

## Giving support
### General
Type the ID, then read [the check code](#the-check-code) and [the intro](#general).

## Voice calls
Calls.

## Settings
### General
Settings text.

## Chat and files
Files.

## Staying safe from scams
Never let a stranger in.
)";

TEST(TechnicianManualFragment, PicksTheSectionsInOrderWithTheWholeManualsIds) {
  auto fragment = technician_manual_fragment("en", kManual, "1.2.3");
  ASSERT_TRUE(fragment.ok()) << fragment.error();
  const std::string& html = *fragment;
  // The check code comes last, raised to a section of its own.
  EXPECT_EQ(matches(html, "<h2 id=\"([^\"]+)\">"),
            (std::vector<std::string>{"giving-support", "voice-calls", "chat-and-files",
                                      "staying-safe-from-scams", "the-check-code"}));
  EXPECT_EQ(html.find("<h3 id=\"the-check-code\""), std::string::npos);
  // "General" under "Giving support" is the manual's second of that name; the third (in
  // Settings) and the sections around the check code stay out.
  EXPECT_EQ(matches(html, "<h3 id=\"([^\"]+)\">"), (std::vector<std::string>{"general-2"}));
  for (const char* absent : {"Not for the technician", "Settings text", "Press the button",
                             "Intro for"}) {
    EXPECT_EQ(html.find(absent), std::string::npos) << absent;
  }
  // Links within the fragment stay; links to sections left out become their text.
  EXPECT_EQ(matches(html, "<a href=\"#([^\"]+)\">"),
            (std::vector<std::string>{"the-check-code", "giving-support", "general-2"}));
  EXPECT_NE(html.find("and the intro."), std::string::npos);
  EXPECT_EQ(html.find("</a></a>"), std::string::npos);
  EXPECT_EQ(html.find("{{VERSION}}"), std::string::npos);
}

TEST(TechnicianManualFragment, NamesTheSectionItCannotFind) {
  std::string renamed = kManual;
  renamed.replace(renamed.find("## Voice calls"), 14, "## Calls");
  auto fragment = technician_manual_fragment("en", renamed, "1");
  ASSERT_FALSE(fragment.ok());
  EXPECT_EQ(fragment.error(), "no level-2 section \"Voice calls\"");

  // The check code found only under its own section.
  std::string moved = kManual;
  moved.replace(moved.find("### The check code"), 18, "### Check code");
  moved += "### The check code\nElsewhere.\n";
  fragment = technician_manual_fragment("en", moved, "1");
  ASSERT_FALSE(fragment.ok());
  EXPECT_NE(fragment.error().find("\"The check code\" under \"What you control"),
            std::string::npos);
  // The Spanish manual is looked up by its own headings.
  fragment = technician_manual_fragment("es", kManual, "1");
  ASSERT_FALSE(fragment.ok());
  EXPECT_EQ(fragment.error(), "no level-2 section \"Dar soporte\"");
}

#ifdef VANTRIEL_MANUAL_SOURCE_DIR
TEST(TechnicianManualFragment, BothManualsHaveEverySectionAndNoDeadLink) {
  for (const char* lang : {"es", "en"}) {
    std::ifstream in(std::string(VANTRIEL_MANUAL_SOURCE_DIR) + "/manual_" + lang + ".md",
                     std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto fragment = technician_manual_fragment(lang, text, "1.2.3");
    ASSERT_TRUE(fragment.ok()) << lang << ": " << fragment.error();
    EXPECT_EQ(matches(*fragment, "<h2 id=\"([^\"]+)\">").size(), 5u) << lang;
    std::set<std::string> ids;
    for (auto& id : matches(*fragment, " id=\"([^\"]+)\">")) ids.insert(id);
    for (auto& target : matches(*fragment, "<a href=\"#([^\"]+)\">")) {
      EXPECT_EQ(ids.count(target), 1u) << lang << ": #" << target;
    }
  }
}
#endif

}  // namespace
}  // namespace vantriel
