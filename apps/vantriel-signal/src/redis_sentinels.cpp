#include "redis_sentinels.h"

#include <boost/asio/post.hpp>

namespace vantriel::signal {

namespace net = boost::asio;

RedisSentinels::RedisSentinels(net::io_context& ioc, HubEnv& env,
                               const std::vector<std::string>& addresses,
                               std::string master_name, const RedisServer& sentinel)
    : ioc_(ioc), name_(std::move(master_name)), check_timer_(ioc) {
  for (const auto& address : addresses) {
    RedisServer s = sentinel;
    s.address = address;
    s.sentinels = nullptr;
    links_.push_back(std::make_unique<RedisLink>(ioc, env, std::move(s), "sentinel link"));
  }
}

RedisSentinels::~RedisSentinels() {
  *alive_ = false;
  stop();
}

void RedisSentinels::start() {
  for (auto& link : links_) link->start();
  check();
}

void RedisSentinels::stop() {
  check_timer_.cancel();
  for (auto& link : links_) link->stop();
}

void RedisSentinels::ask(std::function<void(const std::string&, const std::string&)> done) {
  ask_from(next_, links_.size(), "", std::move(done));
}

void RedisSentinels::ask_from(size_t index, size_t left, std::string errors,
                              std::function<void(const std::string&, const std::string&)> done) {
  if (left == 0) {
    net::post(ioc_, [done = std::move(done), errors = std::move(errors), name = name_] {
      done("", "no sentinel names a master \"" + name + "\" (" + errors + ")");
    });
    return;
  }
  index %= links_.size();
  RedisLink& link = *links_[index];
  auto note = [&errors](const std::string& what) { errors += (errors.empty() ? "" : "; ") + what; };
  if (!link.up()) {
    note("sentinel " + std::to_string(index + 1) + " unreachable");
    ask_from(index + 1, left - 1, std::move(errors), std::move(done));
    return;
  }
  link.command({"SENTINEL", "get-master-addr-by-name", name_},
               [this, index, left, errors, done, alive = alive_](const RespValue& r) mutable {
                 if (!*alive) return;
                 if (r.type == RespValue::kArray && r.items.size() == 2 &&
                     r.items[0].type == RespValue::kString && r.items[1].type == RespValue::kString &&
                     !r.items[0].str.empty()) {
                   next_ = index;
                   const std::string& host = r.items[0].str;
                   const std::string master = host.find(':') != std::string::npos
                                                  ? "[" + host + "]:" + r.items[1].str
                                                  : host + ":" + r.items[1].str;
                   done(master, "");
                   return;
                 }
                 errors += (errors.empty() ? "" : "; ") + std::string("sentinel ") +
                           std::to_string(index + 1) +
                           (r.is_error() ? ": " + r.str : " knows no such master");
                 ask_from(index + 1, left - 1, std::move(errors), std::move(done));
               });
}

void RedisSentinels::check() {
  check_timer_.expires_after(std::chrono::seconds(2));
  check_timer_.async_wait([this, alive = alive_](const boost::system::error_code& ec) {
    if (!*alive || ec) return;
    ask([this, alive](const std::string& master, const std::string&) {
      if (*alive && !master.empty() && on_master_) on_master_(master);
    });
    check();
  });
}

}  // namespace vantriel::signal
