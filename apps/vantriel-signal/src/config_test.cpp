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

  // The page for browsers is served unless the operator turns it off, either way.
  EXPECT_FALSE(c->no_web);
  EXPECT_TRUE(parse_config({"--no-web"}, env_of({})).value().no_web);
  EXPECT_TRUE(parse_config({}, env_of({{"VTR_SIGNAL_NO_WEB", "yes"}})).value().no_web);
  EXPECT_FALSE(parse_config({}, env_of({{"VTR_SIGNAL_NO_WEB", "0"}})).value().no_web);
  EXPECT_FALSE(parse_config({"--no-web=no"}, env_of({{"VTR_SIGNAL_NO_WEB", "1"}})).value().no_web);
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

TEST(Config, RedisThroughSentinelsAndTls) {
  auto via = parse_config({"--redis-master", "vtr"},
                          env_of({{"VTR_SIGNAL_REDIS_SENTINELS", "10.0.0.5:26379, 10.0.0.6:26379"},
                                  {"VTR_SIGNAL_REDIS_SENTINEL_PASSWORD", "hedgehog-7"},
                                  {"VTR_SIGNAL_REDIS_TLS", "yes"}}));
  ASSERT_TRUE(via.ok()) << via.error();
  EXPECT_TRUE(via->uses_redis());
  EXPECT_EQ(via->redis_sentinels, (std::vector<std::string>{"10.0.0.5:26379", "10.0.0.6:26379"}));
  EXPECT_EQ(via->redis_replicas, 1);  // a failover must not lose an acknowledged binding
  EXPECT_EQ(via->redis_place(), "master \"vtr\" of sentinels rediss://10.0.0.5:26379,10.0.0.6:26379");
  EXPECT_EQ(describe_config(*via).find("hedgehog-7"), std::string::npos);

  auto url = parse_config({"--redis", "rediss://redis.internal:6380/"}, env_of({}));
  ASSERT_TRUE(url.ok()) << url.error();
  EXPECT_EQ(url->redis, "redis.internal:6380");
  EXPECT_TRUE(url->redis_tls);
  EXPECT_EQ(url->redis_replicas, 0);  // one Redis: nothing to wait for
  auto plain = parse_config({"--redis", "redis://10.0.0.5:6379"}, env_of({}));
  ASSERT_TRUE(plain.ok());
  EXPECT_EQ(plain->redis, "10.0.0.5:6379");
  EXPECT_FALSE(plain->redis_tls);

  auto none = env_of({});
  EXPECT_FALSE(parse_config({"--redis", "a:1", "--redis-sentinels", "b:2", "--redis-master", "m"}, none).ok());
  EXPECT_FALSE(parse_config({"--redis-sentinels", "b:2"}, none).ok());
  EXPECT_FALSE(parse_config({"--redis", "a:1", "--redis-cert", "c.pem"}, none).ok());
  EXPECT_FALSE(parse_config({"--redis", "a:1", "--redis-replicas", "1", "--redis-wait-ms", "0"}, none).ok());
  EXPECT_FALSE(parse_config({"--redis", "a:1", "--redis-wait-ms", "5000"}, none).ok());
  EXPECT_TRUE(parse_config({"--import-bindings", "f.json", "--redis-sentinels", "b:2",
                            "--redis-master", "m"}, none).ok());
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
  EXPECT_NE(help.error().find("--no-web"), std::string::npos);
}

}  // namespace
}  // namespace vantriel::signal
