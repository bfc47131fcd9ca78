// The Windows half with a process that this one starts: the table names it as the owner of
// its socket, and it runs under this process's token, as the browser window the host opens
// does (also when the host runs under another account than the desktop's user).
#include <utility>  // Boost 1.74 asio needs std::exchange declared before it under C++20

#include <boost/asio.hpp>

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "http/peer_owner_win.h"

namespace vantriel {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// Set for the child: the port it connects to.
constexpr wchar_t kConnectTo[] = L"VANTRIEL_TEST_CONNECT_TO";

TcpEnd end_of(const tcp::endpoint& endpoint) {
  TcpEnd end;
  end.address = {127, 0, 0, 1};
  end.port = endpoint.port();
  return end;
}

TEST(PeerOwnerWinTest, AProcessThisOneStartedIsItsOwnUsers) {
  asio::io_context io;
  if (const char* port = std::getenv("VANTRIEL_TEST_CONNECT_TO")) {
    // The child: connects and waits for the parent to close the connection.
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"),
                                 static_cast<unsigned short>(std::atoi(port))));
    char byte;
    boost::system::error_code ec;
    socket.read_some(asio::buffer(&byte, 1), ec);
    return;
  }

  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
  acceptor.non_blocking(true);
  wchar_t exe[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, exe, MAX_PATH), 0u);
  std::wstring command_line =
      L"\"" + std::wstring(exe) +
      L"\" --gtest_filter=PeerOwnerWinTest.AProcessThisOneStartedIsItsOwnUsers";
  SetEnvironmentVariableW(kConnectTo, std::to_wstring(acceptor.local_endpoint().port()).c_str());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  const BOOL started = CreateProcessW(exe, command_line.data(), nullptr, nullptr, FALSE,
                                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &child);
  SetEnvironmentVariableW(kConnectTo, nullptr);
  ASSERT_TRUE(started) << GetLastError();
  CloseHandle(child.hThread);

  tcp::socket accepted(io);
  boost::system::error_code ec = asio::error::would_block;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ec == asio::error::would_block && std::chrono::steady_clock::now() < deadline) {
    acceptor.accept(accepted, ec);
    if (ec == asio::error::would_block) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_FALSE(ec) << "the child did not connect: " << ec.message();
  const TcpEnd here = end_of(accepted.local_endpoint());
  const TcpEnd peer = end_of(accepted.remote_endpoint());
  auto rows = read_tcp_table(false);
  ASSERT_TRUE(rows);
  EXPECT_EQ(owning_pid(*rows, peer, here), child.dwProcessId);
  EXPECT_EQ(owner_of_process(child.dwProcessId), PeerOwner::kOwnUser);
  EXPECT_EQ(loopback_peer_owner(here, peer), PeerOwner::kOwnUser);
  accepted.close();
  ASSERT_EQ(WaitForSingleObject(child.hProcess, 60000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(child.hProcess, &code);
  CloseHandle(child.hProcess);
  EXPECT_EQ(code, 0u);
}

}  // namespace
}  // namespace vantriel
