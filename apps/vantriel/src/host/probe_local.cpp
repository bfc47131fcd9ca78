#include <chrono>
#include <functional>
#include <utility>  // Boost 1.74 asio needs std::exchange declared before it under C++20

#include <boost/asio.hpp>

#include "host/instance.h"
#include "morvane/core/text/utf8.h"

namespace vantriel {

std::optional<std::string> probe_local(std::uint16_t port, const std::string& path) {
  namespace asio = boost::asio;
  using tcp = asio::ip::tcp;
  using boost::system::error_code;

  asio::io_context io;
  tcp::socket socket(io);
  asio::steady_timer timer(io);

  // Connect, waiting at most 1.5 s.
  error_code connect_error = asio::error::would_block;
  socket.async_connect(tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), port),
                       [&](error_code ec) {
                         connect_error = ec;
                         timer.cancel();
                       });
  timer.expires_after(std::chrono::milliseconds(1500));
  timer.async_wait([&](error_code ec) {
    if (!ec) socket.close();
  });
  io.run();
  if (connect_error || !socket.is_open()) return std::nullopt;

  std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  error_code ec;
  asio::write(socket, asio::buffer(request), ec);
  if (ec) return std::nullopt;

  // Read until the other side closes, an error, 2 s without completion, or 64 KiB.
  std::string reply;
  std::array<char, 4096> chunk{};
  io.restart();
  bool done = false;
  std::function<void()> read_more = [&] {
    socket.async_read_some(asio::buffer(chunk), [&](error_code read_ec, std::size_t n) {
      reply.append(chunk.data(), std::min(n, 65536 - reply.size()));
      if (read_ec || reply.size() >= 65536) {
        done = true;
        timer.cancel();
        return;
      }
      read_more();
    });
  };
  read_more();
  timer.expires_after(std::chrono::milliseconds(2000));
  timer.async_wait([&](error_code timer_ec) {
    if (!timer_ec && !done) socket.close();
  });
  io.run();
  return morvane::sanitize_utf8(reply);
}

}  // namespace vantriel
