// The byte stream under a Redis link: a plain TCP connection, or TLS over it
// (redis_tls.cpp, or redis_tls_none.cpp in builds without OpenSSL). A link makes a new
// stream for each connection and keeps it alive in its handlers, so a stream closed
// while an operation is under way is freed only after that operation's handler ran.
// Runs on the I/O thread only.
#ifndef VANTRIEL_SIGNAL_REDIS_STREAM_H_
#define VANTRIEL_SIGNAL_REDIS_STREAM_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "config.h"
#include "morvane/core/result.h"

namespace vantriel::signal {

class RedisStream {
 public:
  using Done = std::function<void(const boost::system::error_code&, size_t)>;
  virtual ~RedisStream() = default;
  // Connects to one of `endpoints` and, with TLS, completes the handshake. `done` gets
  // "" or what went wrong, in words fit for the log.
  virtual void connect(const boost::asio::ip::tcp::resolver::results_type& endpoints,
                       std::function<void(const std::string& error)> done) = 0;
  virtual void read_some(boost::asio::mutable_buffer into, Done done) = 0;
  virtual void write(boost::asio::const_buffer bytes, Done done) = 0;
  // Ends the connection at once; pending operations complete with an error.
  virtual void close() = 0;
};

// What every TLS connection to Redis shares: the CA to check the server against, the
// client certificate. Made once at start, so a missing or unreadable file stops the start.
class RedisTls {
 public:
  virtual ~RedisTls() = default;
  // The TLS settings of `config`; nullptr when it asks for no TLS. An error when a file
  // cannot be read or this build has no TLS.
  static morvane::Result<std::shared_ptr<RedisTls>> make(const Config& config);
  // A stream whose peer's certificate must name `name` (an address or a DNS name);
  // nullptr when OpenSSL cannot make one.
  virtual std::shared_ptr<RedisStream> stream(boost::asio::io_context& ioc,
                                              const std::string& name) = 0;
};

std::shared_ptr<RedisStream> make_plain_stream(boost::asio::io_context& ioc);

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_REDIS_STREAM_H_
