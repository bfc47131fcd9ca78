#include "redis_link.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "redis_sentinels.h"

namespace vantriel::signal {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

namespace {
constexpr const char* kLostText = "ERR vantriel: link to redis down";
}

void split_redis_address(const std::string& address, std::string& host, std::string& port) {
  // "host:port", "[v6]:port" or a bare host (port 6379).
  host = address;
  port = "6379";
  if (!address.empty() && address.front() == '[') {
    const size_t close = address.find(']');
    host = address.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    if (close != std::string::npos && close + 1 < address.size() && address[close + 1] == ':') {
      port = address.substr(close + 2);
    }
  } else if (const size_t colon = address.rfind(':');
             colon != std::string::npos && address.find(':') == colon) {
    host = address.substr(0, colon);
    port = address.substr(colon + 1);
  }
}

RedisLink::RedisLink(net::io_context& ioc, HubEnv& env, RedisServer server, std::string what)
    : ioc_(ioc),
      env_(env),
      server_(std::move(server)),
      what_(std::move(what)),
      resolver_(ioc),
      retry_timer_(ioc),
      watch_timer_(ioc),
      in_(64 << 10) {
  if (!server_.sentinels) split_redis_address(server_.address, host_, port_);
}

RedisLink::~RedisLink() {
  *alive_ = false;
  stop();
}

void RedisLink::subscribe(std::string channel, std::function<void(std::string_view)> on_message) {
  channel_ = std::move(channel);
  on_message_ = std::move(on_message);
}

bool RedisLink::lost(const RespValue& reply) {
  return reply.type == RespValue::kError && reply.str == kLostText;
}

void RedisLink::start() {
  stopped_ = false;
  connect();
  watch();
}

void RedisLink::stop() {
  stopped_ = true;
  retry_timer_.cancel();
  watch_timer_.cancel();
  resolver_.cancel();
  if (stream_) stream_->close();
}

void RedisLink::master_is(const std::string& master) {
  if (stopped_ || master.empty()) return;
  if (up_ && connected_ != master) {
    fail("the sentinels name " + master + " as the master now");
  }
}

void RedisLink::connect() {
  if (stopped_ || connecting_) return;
  connecting_ = true;
  connect_started_ = env_.now();
  const unsigned gen = ++generation_;
  if (!server_.sentinels) {
    connect_to(server_.address, gen);
    return;
  }
  server_.sentinels->ask([this, gen, alive = alive_](const std::string& master,
                                                      const std::string& error) {
    if (!*alive || gen != generation_ || stopped_) return;
    if (master.empty()) {
      connecting_ = false;
      fail(error);
      return;
    }
    connect_to(master, gen);
  });
}

void RedisLink::connect_to(const std::string& address, unsigned gen) {
  split_redis_address(address, host_, port_);
  resolver_.async_resolve(
      host_, port_,
      [this, gen, alive = alive_](const error_code& ec, tcp::resolver::results_type results) {
        if (!*alive || gen != generation_ || stopped_) return;
        if (ec) {
          connecting_ = false;
          fail("cannot resolve " + host_ + ": " + ec.message());
          return;
        }
        stream_ = server_.tls ? server_.tls->stream(ioc_, server_.tls_name.empty() ? host_
                                                                                   : server_.tls_name)
                              : make_plain_stream(ioc_);
        if (!stream_) {
          connecting_ = false;
          fail("cannot start a TLS session");
          return;
        }
        stream_->connect(results, [this, gen, alive](const std::string& error) {
          if (!*alive || gen != generation_ || stopped_) return;
          connecting_ = false;
          if (!error.empty()) {
            fail(error);
            return;
          }
          on_connected();
        });
      });
}

void RedisLink::on_connected() {
  reader_.clear();
  handshake_left_ = 0;
  auto handshake = [this](std::vector<std::string> args,
                          std::function<std::string(const RespValue&)> check = nullptr) {
    ++handshake_left_;
    append_command(out_, args);
    pending_.push_back({[this, check](const RespValue& r) {
                          if (r.is_error()) {
                            fail(what_ + " refused: " + r.str);
                            return;
                          }
                          if (check) {
                            if (std::string why = check(r); !why.empty()) {
                              fail(why);
                              return;
                            }
                          }
                          if (--handshake_left_ == 0) {
                            if (publish_only_) {
                              append_command(out_, {"CLIENT", "REPLY", "OFF"});
                              schedule_flush();
                            }
                            up_ = true;
                            logged_down_ = false;
                            retry_ms_ = kFirstRetryMs;
                            // As the sentinels write it, for master_is().
                            connected_ = host_.find(':') != std::string::npos
                                             ? "[" + host_ + "]:" + port_
                                             : host_ + ":" + port_;
                            env_.log("redis: " + what_ + " connected to " + host_ + ":" + port_);
                            if (on_state_) on_state_(true);
                          }
                        },
                        env_.now()});
  };
  if (!server_.password.empty()) handshake({"AUTH", server_.password});
  if (server_.sentinels) {
    // A sentinel's answer may be stale (a failover under way): only a master will do.
    handshake({"ROLE"}, [this](const RespValue& r) -> std::string {
      const std::string role = r.type == RespValue::kArray && !r.items.empty() ? r.items[0].str : "";
      if (role == "master") return {};
      return host_ + ":" + port_ + " is not the master (its role: " +
             (role.empty() ? "unknown" : role) + ")";
    });
  }
  if (!channel_.empty()) {
    handshake({"SUBSCRIBE", channel_});
  } else {
    handshake({"PING"});
  }
  read();
  flush();
}

void RedisLink::command(std::vector<std::string> args, Reply done) {
  if (!up_) {
    if (done) {
      net::post(ioc_, [done = std::move(done)] {
        RespValue v;
        v.type = RespValue::kError;
        v.str = kLostText;
        done(v);
      });
    }
    return;
  }
  append_command(out_, args);
  pending_.push_back({std::move(done), env_.now()});
  schedule_flush();
}

void RedisLink::publish(std::string_view channel, std::string_view payload) {
  if (!up_) return;
  out_ += "*3\r\n$7\r\nPUBLISH\r\n$";
  out_ += std::to_string(channel.size());
  out_ += "\r\n";
  out_ += channel;
  out_ += "\r\n$";
  out_ += std::to_string(payload.size());
  out_ += "\r\n";
  out_ += payload;
  out_ += "\r\n";
  if (!publish_only_) pending_.push_back({nullptr, env_.now()});
  schedule_flush();
}

void RedisLink::schedule_flush() {
  if (writing_ || flush_posted_) return;
  // Commands issued in one round of the I/O loop leave in one write.
  flush_posted_ = true;
  net::post(ioc_, [this, alive = alive_] {
    if (!*alive) return;
    flush_posted_ = false;
    flush();
  });
}

void RedisLink::flush() {
  if (writing_ || out_.empty() || !stream_ || connecting_) return;
  writing_ = true;
  sending_.swap(out_);
  const unsigned gen = generation_;
  stream_->write(net::buffer(sending_), [this, gen, alive = alive_](const error_code& ec, size_t) {
                     if (!*alive) return;
                     writing_ = false;
                     sending_.clear();
                     if (gen != generation_) return;
                     if (ec) {
                       fail(ec.message());
                       return;
                     }
                     flush();
                   });
}

void RedisLink::read() {
  const unsigned gen = generation_;
  stream_->read_some(net::buffer(in_), [this, gen, alive = alive_](const error_code& ec, size_t n) {
    if (!*alive || gen != generation_) return;
    if (ec) {
      fail(ec == net::error::eof ? "closed by redis" : ec.message());
      return;
    }
    reader_.feed(std::string_view(in_.data(), n));
    RespValue value;
    for (;;) {
      const auto r = reader_.next(value);
      if (r == RespReader::kNeedMore) break;
      if (r == RespReader::kBad) {
        fail("not a RESP reply");
        return;
      }
      dispatch(value);
      if (gen != generation_) return;  // a handler dropped the link
    }
    read();
  });
}

void RedisLink::dispatch(RespValue& value) {
  // A subscriber's pushes: ["message", channel, payload]; the rest answer commands.
  if (!channel_.empty() && up_ && value.type == RespValue::kArray && value.items.size() == 3 &&
      value.items[0].str == "message") {
    if (on_message_) on_message_(value.items[2].str);
    return;
  }
  if (value.is_error() && (value.str.rfind("READONLY", 0) == 0 ||
                           value.str.find("READONLY You can't write") != std::string::npos)) {
    // The server became a replica (a failover): nothing more is written there.
    fail(host_ + ":" + port_ + " is a replica now (READONLY)");
    return;
  }
  if (pending_.empty()) return;
  Pending p = std::move(pending_.front());
  pending_.pop_front();
  if (p.done) p.done(value);
}

void RedisLink::fail(const std::string& why) {
  ++generation_;
  connecting_ = false;
  if (stream_) stream_->close();
  resolver_.cancel();
  connected_.clear();
  out_.clear();
  writing_ = false;
  const bool was_up = up_;
  up_ = false;
  if (was_up || !logged_down_) {
    env_.log("redis: " + what_ + " to " + (host_.empty() ? "redis" : host_ + ":" + port_) +
             " down: " + why + "; retrying" + (server_.sentinels ? ", asking the sentinels" : "") +
             " within a second");
    logged_down_ = true;
  }
  auto pending = std::move(pending_);
  pending_.clear();
  RespValue lost_reply;
  lost_reply.type = RespValue::kError;
  lost_reply.str = kLostText;
  for (auto& p : pending) {
    if (p.done) p.done(lost_reply);
  }
  if (was_up && on_state_) on_state_(false);
  if (stopped_) return;
  retry_timer_.expires_after(std::chrono::milliseconds(retry_ms_));
  retry_ms_ = std::min(retry_ms_ * 2, kMaxRetryMs);
  retry_timer_.async_wait([this, alive = alive_](const error_code& ec) {
    if (*alive && !ec) connect();
  });
}

// A Redis that stops answering (stopped, or a network that drops packets) is found by
// the age of the oldest unanswered command.
void RedisLink::watch() {
  watch_timer_.expires_after(std::chrono::milliseconds(500));
  watch_timer_.async_wait([this, alive = alive_](const error_code& ec) {
    if (!*alive || ec || stopped_) return;
    const auto now = env_.now();
    const auto limit = std::chrono::milliseconds(kReplyTimeoutMs);
    if (!pending_.empty() && now - pending_.front().sent > limit) {
      fail("no reply within " + std::to_string(kReplyTimeoutMs) + " ms");
    } else if (connecting_ && now - connect_started_ > limit) {
      fail("no connection within " + std::to_string(kReplyTimeoutMs) + " ms");
    }
    watch();
  });
}

}  // namespace vantriel::signal
