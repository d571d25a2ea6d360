#include "server/http/client_connection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace server {
namespace {

// A ConnectionHost without a core: a real completion port driven by the test,
// an empty configuration, and a record of the slots given back.
class TestHost final : public ConnectionHost {
 public:
  net::CompletionPort& Port() override { return port; }
  ConfigSnapshotPtr Config() const override { return std::make_shared<const ConfigSnapshot>(); }
  bool EnableNameLookup() const override { return false; }
  void ReleaseClientSlot(uint32_t slot) override { released.push_back(slot); }
  bool RunOnLargeMessageThread(std::function<void()>) override { return false; }
  SoapDispatch* Dispatch() const override { return nullptr; }
  RequestLogger* Logger() const override { return nullptr; }
  void LogEvent(const std::string& line) const override { events.push_back(line); }
  void AddBytesSent(uint64_t) override {}
  void CountHTTPError() override {}
  void CountInternalError() override {}
  void CountNetError() override {}

  net::CompletionPort port;
  std::vector<uint32_t> released;
  mutable std::vector<std::string> events;
};

class ClientConnectionTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kSlot = 7;

  // Hands the server end of a fresh socket pair to the connection.
  void Accept() {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    client_ = net::UniqueFd(fds[0]);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_TRUE(connection_.ResetClient(net::UniqueFd(fds[1]), peer));
  }
  // Feeds completions to the connection until it gives its slot back (at
  // most `limit` of them); returns the last one taken.
  net::Completion RunUntilReleased(int limit = 100) {
    net::Completion c;
    for (int i = 0; i < limit && host_.released.empty(); ++i) {
      if (host_.port.Wait(&c, 5000) != net::WaitResult::Completed) break;
      connection_.OnIoComplete(c);
    }
    return c;
  }
  // What the client end reads until the connection closes it.
  std::string ReadToClose() {
    std::string all;
    char buf[4096];
    for (;;) {
      pollfd p{client_.Get(), POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0) break;
      const ssize_t n = ::read(client_.Get(), buf, sizeof buf);
      if (n <= 0) break;
      all.append(buf, static_cast<size_t>(n));
    }
    return all;
  }

  TestHost host_;
  ClientConnection connection_{host_, kSlot};
  net::UniqueFd client_;
};

TEST_F(ClientConnectionTest, AnsweredConnectionGivesItsSlotBackOnce) {
  Accept();
  const std::string request = "GET /nothing HTTP/1.0\r\n\r\n";
  ASSERT_EQ(::write(client_.Get(), request.data(), request.size()),
            static_cast<ssize_t>(request.size()));
  // After an error page the server reads on until the client's end.
  ASSERT_EQ(::shutdown(client_.Get(), SHUT_WR), 0);
  const net::Completion last = RunUntilReleased();
  EXPECT_EQ(ReadToClose().rfind("HTTP/1.0 404 ", 0), 0u);
  EXPECT_EQ(host_.released, std::vector<uint32_t>{kSlot});

  // A completion of the finished connection changes nothing, and the watchdog
  // finds nothing of it to expire.
  connection_.OnIoComplete(last);
  EXPECT_FALSE(connection_.Expire(last.generation));
  uint32_t generation = 0;
  EXPECT_FALSE(connection_.TimedOut(-1, &generation));
  EXPECT_EQ(host_.released, std::vector<uint32_t>{kSlot});
  EXPECT_EQ(host_.port.OpenSocketsForTest(), 0u);
}

TEST_F(ClientConnectionTest, ExpiringAnIdleConnectionClosesItOnce) {
  Accept();
  uint32_t generation = 0;
  ASSERT_TRUE(connection_.TimedOut(-1, &generation));  // any age is past -1 seconds
  EXPECT_TRUE(connection_.Expire(generation));
  EXPECT_EQ(host_.released, std::vector<uint32_t>{kSlot});
  EXPECT_EQ(ReadToClose(), "");
  // The receive it had posted completes as cancelled and is dropped as stale.
  net::Completion c;
  ASSERT_EQ(host_.port.Wait(&c, 5000), net::WaitResult::Completed);
  EXPECT_FALSE(c.ok);
  connection_.OnIoComplete(c);
  EXPECT_FALSE(connection_.Expire(generation));
  EXPECT_EQ(host_.released, std::vector<uint32_t>{kSlot});
  EXPECT_TRUE(host_.events.empty());
}

TEST_F(ClientConnectionTest, DiscardKeepsTheSlot) {
  Accept();
  connection_.Discard();
  EXPECT_TRUE(host_.released.empty()) << "the stopping server frees the slots itself";
  EXPECT_EQ(ReadToClose(), "");
  EXPECT_EQ(host_.port.OpenSocketsForTest(), 0u);
}

}  // namespace
}  // namespace server
