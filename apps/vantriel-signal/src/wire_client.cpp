#include "wire_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

namespace vantriel::signal::wire {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

constexpr auto kConnectTimeout = std::chrono::seconds(5);

std::string HttpReply::header(const std::string& name) const {
  for (auto& [k, v] : headers) {
    if (beast::iequals(k, name)) return v;
  }
  return {};
}

namespace {

HttpReply http_request(http::verb verb, int port, const std::string& target,
                       const Headers& headers) {
  HttpReply out;
  net::io_context ioc;
  beast::tcp_stream stream(ioc);
  stream.expires_after(kConnectTimeout);
  http::request<http::empty_body> req(verb, target, 11);
  req.set(http::field::host, "127.0.0.1");
  for (auto& [k, v] : headers) req.set(k, v);
  http::response_parser<http::string_body> parser;
  parser.body_limit(16 * 1024 * 1024);
  // A reply to HEAD names the length of a body it does not send.
  parser.skip(verb == http::verb::head);
  beast::flat_buffer buffer;
  bool done = false;
  stream.async_connect(tcp::endpoint(net::ip::make_address("127.0.0.1"),
                                     static_cast<unsigned short>(port)),
                       [&](beast::error_code ec) {
                         if (ec) return;
                         http::async_write(stream, req, [&](beast::error_code ec2, size_t) {
                           if (ec2) return;
                           http::async_read(stream, buffer, parser,
                                            [&](beast::error_code ec3, size_t) { done = !ec3; });
                         });
                       });
  ioc.run();
  if (!done) return out;
  const auto& res = parser.get();
  out.status = static_cast<int>(res.result_int());
  out.body = res.body();
  for (auto& f : res) out.headers.emplace_back(std::string(f.name_string()), std::string(f.value()));
  return out;
}

}  // namespace

HttpReply http_get(int port, const std::string& target, const Headers& headers) {
  return http_request(http::verb::get, port, target, headers);
}

HttpReply http_head(int port, const std::string& target, const Headers& headers) {
  return http_request(http::verb::head, port, target, headers);
}

struct WsClient::Impl {
  net::io_context ioc;
  websocket::stream<beast::tcp_stream> ws{ioc};
  beast::flat_buffer buffer;
  int status = 0;
  bool open = false;
  bool reading = false;     // an async_read is outstanding
  bool have_frame = false;  // it completed with a frame
  bool closed = false;      // it completed with an error: the connection is gone
  std::string frame;

  void start_read() {
    reading = true;
    ws.async_read(buffer, [this](beast::error_code ec, size_t) {
      reading = false;
      if (ec) {
        closed = true;
        return;
      }
      frame = beast::buffers_to_string(buffer.cdata());
      buffer.consume(buffer.size());
      have_frame = ws.got_text();
      if (!have_frame) start_read();  // binary frames are not what tests look for
    });
  }
  // Runs the loop until `done()` or the time-out.
  template <typename Pred>
  void run_until(Pred done, milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done() && std::chrono::steady_clock::now() < end) {
      ioc.restart();
      ioc.run_one_for(end - std::chrono::steady_clock::now());
    }
  }
};

WsClient::WsClient() : impl_(std::make_unique<Impl>()) {}
WsClient::~WsClient() {
  beast::error_code ignored;
  beast::get_lowest_layer(impl_->ws).socket().close(ignored);
  impl_->ioc.restart();
  impl_->ioc.poll();
}

bool WsClient::connect(int port, const std::string& path, const Headers& headers) {
  Impl& m = *impl_;
  bool finished = false, ok = false;
  websocket::response_type res;
  m.ws.set_option(websocket::stream_base::decorator([headers](websocket::request_type& req) {
    for (auto& [k, v] : headers) req.set(k, v);
  }));
  auto& tcp_layer = beast::get_lowest_layer(m.ws);
  tcp_layer.expires_after(kConnectTimeout);
  tcp_layer.async_connect(
      tcp::endpoint(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)),
      [&](beast::error_code ec) {
        if (ec) {
          finished = true;
          return;
        }
        m.ws.async_handshake(res, "127.0.0.1", path, [&](beast::error_code ec2) {
          finished = true;
          ok = !ec2;
        });
      });
  m.run_until([&] { return finished; }, kConnectTimeout + milliseconds(500));
  tcp_layer.expires_never();
  m.status = static_cast<int>(res.result_int());
  m.open = ok;
  return ok;
}

int WsClient::status() const { return impl_->status; }

void WsClient::send(const std::string& text) {
  Impl& m = *impl_;
  if (!m.open || m.closed) return;
  bool done = false;
  m.ws.text(true);
  m.ws.async_write(net::buffer(text), [&](beast::error_code, size_t) { done = true; });
  m.run_until([&] { return done; }, kConnectTimeout);
}

void WsClient::send_binary(const std::string& bytes) {
  Impl& m = *impl_;
  if (!m.open || m.closed) return;
  bool done = false;
  m.ws.binary(true);
  m.ws.async_write(net::buffer(bytes), [&](beast::error_code, size_t) { done = true; });
  m.run_until([&] { return done; }, kConnectTimeout);
}

std::optional<std::string> WsClient::recv(milliseconds timeout) {
  Impl& m = *impl_;
  if (!m.open) return std::nullopt;
  if (!m.reading && !m.have_frame && !m.closed) m.start_read();
  m.run_until([&] { return m.have_frame || m.closed; }, timeout);
  if (!m.have_frame) return std::nullopt;
  m.have_frame = false;
  return std::move(m.frame);
}

bool WsClient::wait_closed(milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!impl_->closed && std::chrono::steady_clock::now() < end) {
    recv(std::chrono::duration_cast<milliseconds>(end - std::chrono::steady_clock::now()));
  }
  return impl_->closed;
}

bool WsClient::is_closed() const { return impl_->closed; }

RawConn::RawConn(int port, const std::string& from) {
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd_ < 0) return;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, from.c_str(), &local.sin_addr);
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
  timeval tv{5, 0};
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

RawConn::~RawConn() {
  if (fd_ >= 0) ::close(fd_);
}

int RawConn::upgrade(const std::string& path) {
  if (!write("GET " + path +
             " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
             "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")) {
    return 0;
  }
  // Byte by byte up to the blank line, so that nothing after the head is consumed.
  std::string head;
  const auto end = std::chrono::steady_clock::now() + kConnectTimeout;
  while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
    pollfd p{fd_, POLLIN, 0};
    const auto left =
        std::chrono::duration_cast<milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return 0;
    char c;
    if (::read(fd_, &c, 1) != 1) return 0;
    head += c;
  }
  return head.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(head.c_str() + 9) : 0;
}

bool RawConn::write(const std::string& bytes) {
  size_t done = 0;
  while (fd_ >= 0 && done < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return fd_ >= 0;
}

bool RawConn::wait_eof(milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  char buf[65536];
  while (fd_ >= 0 && !eof_) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) eof_ = true;  // an orderly close or a reset
    if (n > 0) received_.append(buf, static_cast<size_t>(n));
  }
  return eof_;
}

std::string client_frame(int opcode, const std::string& payload) {
  std::string out;
  out += static_cast<char>(0x80 | opcode);
  const size_t n = payload.size();
  if (n < 126) {
    out += static_cast<char>(0x80 | n);
  } else if (n <= 0xFFFF) {
    out += static_cast<char>(0x80 | 126);
    out += static_cast<char>(n >> 8);
    out += static_cast<char>(n);
  } else {
    out += static_cast<char>(0x80 | 127);
    for (int i = 7; i >= 0; --i) out += static_cast<char>(static_cast<uint64_t>(n) >> (8 * i));
  }
  const char mask[4] = {0x12, 0x34, 0x56, 0x78};
  out.append(mask, 4);
  for (size_t i = 0; i < n; ++i) out += static_cast<char>(payload[i] ^ mask[i % 4]);
  return out;
}

size_t resident_bytes(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

}  // namespace vantriel::signal::wire
