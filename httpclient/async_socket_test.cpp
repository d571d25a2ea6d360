#include "httpclient/async_socket.h"

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/net/socket_errors.h"
#include "platform/net/testing/loopback_peer.h"

namespace httpclient {
namespace {

using net::testing::LoopbackAddress;
using net::testing::LoopbackPeer;
using net::testing::PeerConnection;
using net::testing::RefusingPort;

// An AsyncSocket whose notifications are set by each test.
class ScriptedSocket : public AsyncSocket {
 public:
  explicit ScriptedSocket(uint32_t timeout_ms = 5000) : AsyncSocket(timeout_ms) {}

  std::function<bool()> on_connect = [] { return true; };
  std::function<bool()> on_send = [] { return true; };
  // Default: read everything waiting into `received`, go on.
  std::function<bool()> on_receive = [this] { return ReadAvailable(); };
  int closes = 0;
  std::string received;

  // Reads until nothing is waiting; the answer of the last Receive.
  bool ReadAvailable() {
    for (int i = 0; i < 10000; ++i) {
      char buf[512];
      size_t n = 0;
      if (!Receive(buf, sizeof(buf), &n)) return false;
      if (n == 0) return true;
      received.append(buf, n);
    }
    return true;
  }

 protected:
  bool OnConnect() override { return on_connect(); }
  bool OnSend() override { return on_send(); }
  bool OnReceive() override { return on_receive(); }
  void OnClose() override { ++closes; }
};

std::string Pattern(size_t n, char first) {
  std::string s(n, first);
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(first + i % 23);
  return s;
}

TEST(AsyncSocketTest, PeerClosingRightAfterTheDataEndsNormally) {
  LoopbackPeer peer;
  peer.Serve([](PeerConnection& c) { c.Write("hello"); });
  ScriptedSocket s;
  EXPECT_TRUE(s.Connect(peer.address())) << s.GetLastError();
  EXPECT_EQ(s.received, "hello");
  EXPECT_EQ(s.closes, 1);
  EXPECT_FALSE(s.IsConnected());
}

TEST(AsyncSocketTest, ConnectFailuresCarryTheirCause) {
  RefusingPort refusing;
  LoopbackPeer silent;
  silent.Serve([](PeerConnection& c) { c.Pause(1000); });
  const struct {
    const char* what;
    uint16_t port;
    uint32_t error;
  } cases[] = {
      {"refused", refusing.port(), WSAECONNREFUSED},
      {"never answers", silent.port(), WSA_WAIT_TIMEOUT},
  };
  for (const auto& c : cases) {
    ScriptedSocket s(/*timeout_ms=*/200);
    errno = EDOM;  // a stale error the result must not show
    EXPECT_FALSE(s.Connect(LoopbackAddress(c.port))) << c.what;
    EXPECT_EQ(s.GetLastError(), c.error) << c.what;
    EXPECT_FALSE(s.IsConnected()) << c.what;
  }
}

TEST(AsyncSocketTest, APeerTricklingBytesCannotStretchTheExchangePastItsBound) {
  // Each byte comes well inside the per-wait time-out; only the bound on the
  // whole exchange ends it.
  for (const bool absolute : {false, true}) {
    LoopbackPeer peer;
    peer.Serve([](PeerConnection& c) {
      for (int i = 0; i < 40; ++i) {
        c.Write("x");
        c.Pause(50);
      }
    });
    ScriptedSocket s(/*timeout_ms=*/1000);
    if (absolute) {
      s.SetDeadline(AsyncSocket::Clock::now() + std::chrono::milliseconds(300));
    } else {
      s.SetExchangeTimeout(300);
    }
    EXPECT_FALSE(s.Connect(peer.address())) << absolute;
    EXPECT_EQ(s.GetLastError(), uint32_t{WSA_WAIT_TIMEOUT}) << absolute;
    EXPECT_LT(s.received.size(), 40u) << absolute;
    EXPECT_FALSE(s.IsConnected());
    peer.Join();
  }
  // A deadline already past fails the next exchange before anything is read.
  LoopbackPeer peer;
  peer.Serve([](PeerConnection& c) { c.Write("late"); });
  ScriptedSocket s;
  s.SetDeadline(AsyncSocket::Clock::now());
  EXPECT_FALSE(s.Connect(peer.address()));
  EXPECT_EQ(s.GetLastError(), uint32_t{WSA_WAIT_TIMEOUT});
  EXPECT_EQ(s.received, "");
}

TEST(AsyncSocketTest, ResetMidStreamFailsWhateverTheNotificationAnswers) {
  // The reset reaches the client either as a failed receive (it arrived
  // while the notification was still reading) or as the close event.
  for (const bool reset_while_reading : {true, false}) {
    for (const bool answer : {false, true}) {
      LoopbackPeer peer;
      peer.Serve([](PeerConnection& c) {
        c.Write(Pattern(3000, 'a'));
        c.Pause(100);
        c.Reset();
      });
      ScriptedSocket s;
      bool receive_failed = false;
      s.on_receive = [&] {
        if (reset_while_reading) std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const bool ok = s.ReadAvailable();
        receive_failed = receive_failed || !ok;
        return ok || answer;
      };
      EXPECT_FALSE(s.Connect(peer.address())) << reset_while_reading << answer;
      EXPECT_EQ(s.GetLastError(), uint32_t{WSAECONNRESET}) << reset_while_reading << answer;
      EXPECT_EQ(s.closes, 0);
      if (reset_while_reading) {
        EXPECT_TRUE(receive_failed);
      }
      EXPECT_EQ(s.received, Pattern(3000, 'a')) << "the bytes before the reset are delivered";
    }
  }
}

TEST(AsyncSocketTest, QueuedBytesLeaveInOrderBehindABlockedSend) {
  const std::string big = Pattern(16u << 20, 'a');
  const std::string tail = Pattern(1000, 'A');
  std::string moved = Pattern(5000, '0');
  const std::string expected = big + tail + moved;
  std::string got;
  LoopbackPeer peer;
  peer.Serve([&](PeerConnection& c) {
    c.Pause(200);  // let the client's first send block
    got = c.ReadExactly(expected.size());
  });
  ScriptedSocket s;
  size_t queued_after_sends = 0;
  std::vector<size_t> queued_at_write;
  s.on_connect = [&] {
    const bool ok = s.Send(big.data(), big.size()) && s.Send(tail.data(), tail.size()) &&
                    s.Send(std::move(moved));
    queued_after_sends = s.QueuedBytes();
    return ok;
  };
  s.on_send = [&] {
    queued_at_write.push_back(s.QueuedBytes());
    return true;
  };
  EXPECT_TRUE(s.Connect(peer.address())) << s.GetLastError();
  peer.Join();
  EXPECT_TRUE(got == expected) << "peer got " << got.size() << " of " << expected.size();
  // The kernel took part of the first send; the rest, the tail and the moved
  // string waited, and the queue was drained by the time writing resumed.
  EXPECT_GT(queued_after_sends, tail.size() + 5000);
  EXPECT_LT(queued_after_sends, expected.size());
  ASSERT_FALSE(queued_at_write.empty());
  EXPECT_EQ(queued_at_write.back(), 0u);
  EXPECT_EQ(s.QueuedBytes(), 0u);  // the queue is dropped with the socket
}

TEST(AsyncSocketTest, SendFailureEndsTheExchangeWithFalse) {
  LoopbackPeer peer;
  peer.Serve([](PeerConnection& c) { c.Reset(); });
  ScriptedSocket s;
  const std::string chunk(64 * 1024, 'x');
  s.on_connect = [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the reset arrives
    return true;
  };
  s.on_send = [&] {
    for (int i = 0; i < 100; ++i) {
      if (!s.Send(chunk.data(), chunk.size())) return false;
    }
    return true;
  };
  EXPECT_FALSE(s.Connect(peer.address()));
  EXPECT_EQ(s.GetLastError(), uint32_t{WSAECONNRESET});
}

TEST(AsyncSocketTest, NotificationStopsNormallyAndTheObjectConnectsAgain) {
  LoopbackPeer peer;
  std::string seen;
  peer.Serve([&](PeerConnection& c) { seen += c.ReadToEnd() + "|"; }, 2);
  ScriptedSocket s;
  int connects = 0;
  s.on_connect = [&] {
    ++connects;
    // Connecting again from inside the exchange is refused.
    EXPECT_FALSE(s.Connect(peer.address()));
    EXPECT_EQ(s.GetLastError(), uint32_t{WSAEISCONN});
    EXPECT_TRUE(s.Send("bye", 3));
    return false;
  };
  EXPECT_TRUE(s.Connect(peer.address()));
  EXPECT_FALSE(s.IsConnected());
  EXPECT_TRUE(s.Connect(peer.address()));
  peer.Join();
  EXPECT_EQ(connects, 2);
  EXPECT_EQ(seen, "bye|bye|");
}

}  // namespace
}  // namespace httpclient
