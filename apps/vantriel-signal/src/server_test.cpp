#include "server.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

namespace vantriel::signal {
namespace {

namespace fs = std::filesystem;
namespace net = boost::asio;
using tcp = net::ip::tcp;

// A server run in this process: stop() from another thread ends run(), and the port is
// free for the next server at once, even while a client of the first one is still
// connected. A server that cannot listen says why and how it failed.
TEST(SignalServer, StopEndsRunAndGivesThePortBack) {
  const fs::path dir = fs::temp_directory_path() /
                       ("vantriel-signal-server-" +
                        std::to_string(testing::UnitTest::GetInstance()->random_seed()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  Config config;
  config.port = 0;
  config.data = (dir / "signal.json").string();

  auto first = std::make_unique<Server>(config);
  const std::optional<OpenError> failed = first->open();
  ASSERT_FALSE(failed) << failed->message;
  const uint16_t port = first->port();
  ASSERT_NE(port, 0);

  // Thread: the first server's I/O thread, from run() until stop() ends it.
  std::thread io([&] { first->run(); });
  net::io_context client_ioc;
  tcp::socket client(client_ioc);
  client.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
  net::write(client, net::buffer(std::string("GET /health HTTP/1.1\r\n")));  // half a request
  first->stop();
  first->stop();  // a second call changes nothing
  io.join();

  config.port = port;
  Server second(config);
  const std::optional<OpenError> reopened = second.open();
  ASSERT_FALSE(reopened) << reopened->message;
  EXPECT_EQ(second.port(), port);

  Server third(config);
  const std::optional<OpenError> taken = third.open();
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->exit_code, 1);
  EXPECT_NE(taken->message.find("cannot listen on 127.0.0.1:" + std::to_string(port)),
            std::string::npos)
      << taken->message;

  second.stop();  // before run(): run() returns at once
  second.run();
  first.reset();
  fs::remove_all(dir);
}

}  // namespace
}  // namespace vantriel::signal
