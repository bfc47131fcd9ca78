// TLS to Redis on Boost.Asio's OpenSSL stream. The peer's certificate must chain to the
// given CA (or the system's) and name the expected host: an IP address is checked
// against the certificate's IP entries, a name against its DNS entries (and sent as
// SNI). Nothing is ever accepted unverified.
#include <boost/asio/connect.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
// Asio's SSL part is compiled here, once, like the rest of Asio in beast_build.cpp.
#include <boost/asio/ssl/impl/src.hpp>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "redis_stream.h"

namespace vantriel::signal {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

namespace {

class TlsStream : public RedisStream, public std::enable_shared_from_this<TlsStream> {
 public:
  TlsStream(net::io_context& ioc, ssl::context& ctx, std::string name)
      : stream_(ioc, ctx), name_(std::move(name)) {}

  void connect(const tcp::resolver::results_type& endpoints,
               std::function<void(const std::string&)> done) override {
    SSL* ssl = stream_.native_handle();
    error_code as_ip;
    net::ip::make_address(name_, as_ip);
    bool set = false;
    if (!as_ip) {
      set = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name_.c_str()) == 1;
    } else {
      set = SSL_set1_host(ssl, name_.c_str()) == 1 &&
            SSL_set_tlsext_host_name(ssl, const_cast<char*>(name_.c_str())) == 1;
    }
    if (!set) {
      done("cannot check the certificate against \"" + name_ + "\"");
      return;
    }
    stream_.set_verify_mode(ssl::verify_peer);
    net::async_connect(
        stream_.next_layer(), endpoints,
        [self = shared_from_this(), done](const error_code& ec, const tcp::endpoint&) {
          if (ec) {
            done(ec.message());
            return;
          }
          error_code ignored;
          self->stream_.next_layer().set_option(tcp::no_delay(true), ignored);
          self->stream_.async_handshake(ssl::stream_base::client, [self, done](const error_code& hec) {
            if (!hec) {
              done("");
              return;
            }
            const long verify = SSL_get_verify_result(self->stream_.native_handle());
            std::string why = "TLS handshake failed: " + hec.message();
            if (verify != X509_V_OK) {
              why += " (" + std::string(X509_verify_cert_error_string(verify)) +
                     "; the certificate must chain to --redis-ca and name \"" + self->name_ + "\")";
            }
            done(why);
          });
        });
  }
  void read_some(net::mutable_buffer into, Done done) override {
    stream_.async_read_some(into, [self = shared_from_this(), done](const error_code& ec,
                                                                    size_t n) { done(ec, n); });
  }
  void write(net::const_buffer bytes, Done done) override {
    net::async_write(stream_, bytes, [self = shared_from_this(), done](const error_code& ec,
                                                                       size_t n) { done(ec, n); });
  }
  void close() override {
    // No close_notify: the link is dropped, as a plain one is.
    error_code ignored;
    stream_.next_layer().close(ignored);
  }

 private:
  ssl::stream<tcp::socket> stream_;
  std::string name_;
};

class OpenSslTls : public RedisTls {
 public:
  OpenSslTls() : ctx_(ssl::context::tls_client) {}
  morvane::Status load(const Config& config) {
    error_code ec;
    ctx_.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                         ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1,
                     ec);
    if (config.redis_ca.empty()) {
      ctx_.set_default_verify_paths(ec);
      if (ec) return morvane::make_error("cannot read the system's CA certificates: " + ec.message());
    } else {
      ctx_.load_verify_file(config.redis_ca, ec);
      if (ec) return morvane::make_error("cannot read --redis-ca " + config.redis_ca + ": " + ec.message());
    }
    if (!config.redis_cert.empty()) {
      ctx_.use_certificate_chain_file(config.redis_cert, ec);
      if (ec) return morvane::make_error("cannot read --redis-cert " + config.redis_cert + ": " + ec.message());
      ctx_.use_private_key_file(config.redis_key, ssl::context::pem, ec);
      if (ec) return morvane::make_error("cannot read --redis-key " + config.redis_key + ": " + ec.message());
    }
    ctx_.set_verify_mode(ssl::verify_peer, ec);
    return {};
  }
  std::shared_ptr<RedisStream> stream(net::io_context& ioc, const std::string& name) override {
    try {
      return std::make_shared<TlsStream>(ioc, ctx_, name);
    } catch (const std::exception&) {
      return nullptr;  // OpenSSL could not make a session (out of memory)
    }
  }

 private:
  ssl::context ctx_;
};

}  // namespace

morvane::Result<std::shared_ptr<RedisTls>> RedisTls::make(const Config& config) {
  if (!config.redis_tls) return std::shared_ptr<RedisTls>();
  try {
    auto tls = std::make_shared<OpenSslTls>();
    if (auto st = tls->load(config); !st) return morvane::make_error(st.error());
    return std::shared_ptr<RedisTls>(std::move(tls));
  } catch (const std::exception& e) {
    return morvane::make_error(std::string("cannot set up TLS: ") + e.what());
  }
}

}  // namespace vantriel::signal
