#include "config.h"

#include <gtest/gtest.h>

#include <map>

namespace vantriel::signal {
namespace {

auto env_of(std::map<std::string, std::string> vars) {
  return [vars](const std::string& name) -> std::optional<std::string> {
    auto it = vars.find(name);
    if (it == vars.end()) return std::nullopt;
    return it->second;
  };
}

TEST(Config, SwitchesBeatTheEnvironment) {
  auto c = parse_config({"--port", "9000", "--data=/tmp/b.json", "--stun", "stun:a", "--stun",
                         "stun:b", "--trust-proxy"},
                        env_of({{"VTR_SIGNAL_PORT", "7000"},
                                {"VTR_SIGNAL_HOST", "0.0.0.0"},
                                {"VTR_SIGNAL_STUN", "stun:env1, stun:env2"},
                                {"VTR_SIGNAL_TURN", "turn:x,turn:y"},
                                {"VTR_SIGNAL_TURN_SECRET", "s3cret"},
                                {"VTR_SIGNAL_ID_LOCK", "60"}}));
  ASSERT_TRUE(c.ok()) << c.error();
  EXPECT_EQ(c->port, 9000);
  EXPECT_EQ(c->host, "0.0.0.0");
  EXPECT_EQ(c->data, "/tmp/b.json");
  EXPECT_EQ(c->stun, (std::vector<std::string>{"stun:a", "stun:b"}));
  EXPECT_EQ(c->turn, (std::vector<std::string>{"turn:x", "turn:y"}));
  EXPECT_TRUE(c->trust_proxy);
  EXPECT_EQ(c->policy.id_lock, 60);

  const std::string shown = describe_config(*c);
  EXPECT_NE(shown.find("turn-secret = (set)"), std::string::npos);
  EXPECT_EQ(shown.find("s3cret"), std::string::npos);
}

TEST(Config, MetricsListenTakesAnAddressAndAPort) {
  auto v6 = parse_config({}, env_of({{"VTR_SIGNAL_METRICS_LISTEN", "[::1]:9464"}}));
  ASSERT_TRUE(v6.ok()) << v6.error();
  EXPECT_EQ(v6->metrics_host, "::1");
  EXPECT_EQ(v6->metrics_port, 9464);
  auto v4 = parse_config({"--metrics-listen=10.0.0.5:0"}, env_of({}));
  ASSERT_TRUE(v4.ok()) << v4.error();
  EXPECT_EQ(v4->metrics_host, "10.0.0.5");
  EXPECT_EQ(v4->metrics_port, 0);
  EXPECT_TRUE(parse_config({}, env_of({})).value().metrics_listen.empty());
}

TEST(Config, RefusesWhatItCannotUse) {
  auto none = env_of({});
  EXPECT_FALSE(parse_config({"--port", "http"}, none).ok());
  EXPECT_FALSE(parse_config({"--port", "70000"}, none).ok());
  EXPECT_FALSE(parse_config({"--port"}, none).ok());
  EXPECT_FALSE(parse_config({"--colour", "blue"}, none).ok());
  EXPECT_FALSE(parse_config({"stray"}, none).ok());
  EXPECT_FALSE(parse_config({"--msg-rate", "0"}, none).ok());
  EXPECT_FALSE(parse_config({}, env_of({{"VTR_SIGNAL_ID_LOCK", "-5"}})).ok());
  auto help = parse_config({"--help"}, none);
  ASSERT_FALSE(help.ok());
  EXPECT_NE(help.error().find("--request-timeout"), std::string::npos);
}

}  // namespace
}  // namespace vantriel::signal
