#include "acceptor.h"

#include <chrono>
#include <memory>
#include <utility>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/steady_timer.hpp>

#include "http_session.h"
#include "server_state.h"

namespace vantriel::signal {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

void accept_connections(ServerState& state) {
  state.acceptor.async_accept([&state](error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors, usually: wait instead of spinning on the error.
      state.env.log("accept failed: " + ec.message());
      auto timer = std::make_shared<net::steady_timer>(state.ioc, std::chrono::milliseconds(100));
      timer->async_wait([&state, timer](error_code) { accept_connections(state); });
      return;
    }
    // Counted from here on, upgraded or not: bare connections hold descriptors too.
    error_code ec2;
    const auto peer = socket.remote_endpoint(ec2);
    std::string addr = ec2 ? std::string() : address_key(peer.address().to_string());
    if (addr.empty()) addr = "unknown";
    const bool per_address = !state.config.trust_proxy;
    const bool full = state.conns.full();
    if (full || (per_address && state.conns.address_full(addr))) {
      state.counters.refuse(full ? ConnLimit::kTotal : ConnLimit::kPerAddress);
      state.conns.log_refusal(addr, state.env);
      socket.close(ec2);
      accept_connections(state);
      return;
    }
    Slot slot(state.conns.counts());
    ++state.counters.connections;
    if (per_address) slot.count_address(addr);
    error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    start_http_session(std::move(socket), state, std::move(slot));
    accept_connections(state);
  });
}

std::string address_key(const std::string& text) {
  error_code ec;
  auto addr = net::ip::make_address(text, ec);
  if (ec) return {};
  if (addr.is_v6() && addr.to_v6().is_v4_mapped()) {
    return net::ip::make_address_v4(net::ip::v4_mapped, addr.to_v6()).to_string();
  }
  if (addr.is_v4()) return addr.to_string();
  auto bytes = addr.to_v6().to_bytes();
  for (size_t i = 8; i < bytes.size(); ++i) bytes[i] = 0;
  return net::ip::address_v6(bytes).to_string() + "/64";
}

}  // namespace vantriel::signal
