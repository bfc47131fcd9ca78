#include "redis_stream.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>

namespace vantriel::signal {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

namespace {

class PlainStream : public RedisStream, public std::enable_shared_from_this<PlainStream> {
 public:
  explicit PlainStream(net::io_context& ioc) : socket_(ioc) {}
  void connect(const tcp::resolver::results_type& endpoints,
               std::function<void(const std::string&)> done) override {
    net::async_connect(socket_, endpoints,
                       [self = shared_from_this(), done](const error_code& ec, const tcp::endpoint&) {
                         if (!ec) {
                           error_code ignored;
                           self->socket_.set_option(tcp::no_delay(true), ignored);
                         }
                         done(ec ? ec.message() : std::string());
                       });
  }
  void read_some(net::mutable_buffer into, Done done) override {
    socket_.async_read_some(into, [self = shared_from_this(), done](const error_code& ec,
                                                                    size_t n) { done(ec, n); });
  }
  void write(net::const_buffer bytes, Done done) override {
    net::async_write(socket_, bytes, [self = shared_from_this(), done](const error_code& ec,
                                                                       size_t n) { done(ec, n); });
  }
  void close() override {
    error_code ignored;
    socket_.close(ignored);
  }

 private:
  tcp::socket socket_;
};

}  // namespace

std::shared_ptr<RedisStream> make_plain_stream(net::io_context& ioc) {
  return std::make_shared<PlainStream>(ioc);
}

}  // namespace vantriel::signal
