#include "metrics.h"

#include <gtest/gtest.h>

namespace vantriel::signal {
namespace {

TEST(MetricsText, EscapesLabelValuesAndHelp) {
  EXPECT_EQ(escape_label_value("plain 0.1.1"), "plain 0.1.1");
  EXPECT_EQ(escape_label_value("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");

  MetricsText out;
  out.family("x_total", "counter", "one \\ two\nthree \"quoted\"");
  out.sample("x_total", 18446744073709551615u, {{"k", "v\"1"}, {"j", "\\"}});
  out.sample("x_total", 0);
  // Help keeps its quotes; a newline never ends a line early.
  EXPECT_EQ(out.take(),
            "# HELP x_total one \\\\ two\\nthree \"quoted\"\n"
            "# TYPE x_total counter\n"
            "x_total{k=\"v\\\"1\",j=\"\\\\\"} 18446744073709551615\n"
            "x_total 0\n");
}

TEST(MetricsText, CountersEndInTotalAndEveryFamilyHasSamples) {
  MetricsSnapshot s;
  s.version = "1.2.3";
  s.clustered = true;
  s.redis.node = "abc";
  const std::string text = render_metrics(s);
  size_t families = 0;
  for (size_t at = 0; (at = text.find("# TYPE ", at)) != std::string::npos; ++families) {
    const size_t end = text.find('\n', at);
    const std::string line = text.substr(at + 7, end - at - 7);
    const std::string name = line.substr(0, line.find(' '));
    EXPECT_EQ(name.ends_with("_total"), line.ends_with(" counter")) << line;
    const std::string next = text.substr(end + 1, name.size() + 1);
    EXPECT_TRUE(next == name + " " || next == name + "{") << name << " has no sample";
    at = end;
  }
  EXPECT_GT(families, 20u);  // the loop above saw them
  EXPECT_NE(text.find("vantriel_signal_build_info{version=\"1.2.3\",node=\"abc\"} 1\n"),
            std::string::npos);
  EXPECT_NE(text.find("vantriel_signal_redis_up 0\n"), std::string::npos);
}

}  // namespace
}  // namespace vantriel::signal
