#include "platform/net/client_socket.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/net/socket_errors.h"
#include "platform/net/testing/loopback_peer.h"

namespace net {
namespace {

using net::testing::LoopbackAddress;
using net::testing::LoopbackPeer;
using net::testing::PeerConnection;
using net::testing::RefusingPort;

constexpr uint32_t kWaitMs = 5000;  // a wait that must end with an event

// Opens `s` and connects it to 127.0.0.1:port; returns the connect error
// whether it came at once or as the connect event.
int ConnectLoopback(ClientSocket& s, uint16_t port, uint32_t wait_ms = kWaitMs) {
  if (int err = s.Open(AF_INET); err != 0) return err;
  const sockaddr_in a = LoopbackAddress(port);
  if (int err = s.Connect(reinterpret_cast<const sockaddr*>(&a), sizeof(a)); err != 0) return err;
  NetworkEvents ev;
  if (int err = s.Wait(wait_ms, &ev); err != 0) return err;
  if (!(ev.events & kConnectEvent)) return -1;
  return ev.connect_error;
}

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

TEST(SocketErrorsTest, ErrnoMapsToWinsockNumbers) {
  const struct {
    int err;
    int wsa;
  } cases[] = {
      {0, 0},
      {ETIMEDOUT, 10060},
      {ECONNREFUSED, 10061},
      {ECONNRESET, 10054},
      {EPIPE, 10054},
      {EAGAIN, 10035},
      {EINTR, 10004},
      {EDOM, WSASYSCALLFAILURE},
  };
  for (const auto& c : cases) EXPECT_EQ(WsaErrorFromErrno(c.err), c.wsa) << "errno " << c.err;
}

TEST(GetHostByNameTest, NumericAddressResolvesToItsBytes) {
  HostEntry e;
  ASSERT_EQ(GetHostByName("127.0.0.1", &e), 0);
  ASSERT_FALSE(e.addresses.empty());
  EXPECT_EQ(e.addresses[0], (std::array<uint8_t, 4>{127, 0, 0, 1}));
  EXPECT_EQ(e.address_type, AF_INET);
  EXPECT_EQ(e.address_length, 4);
}

TEST(GetHostByNameTest, RefusesNamesTheResolverMustNotSee) {
  const std::string cases[] = {"", std::string("127.0.0.1\0evil", 14), std::string(256, 'a')};
  for (const auto& name : cases) {
    HostEntry e;
    e.name = "untouched";
    EXPECT_EQ(GetHostByName(name, &e), WSAHOST_NOT_FOUND) << name.size();
    EXPECT_EQ(e.name, "untouched");
  }
}

TEST(ClientSocketTest, RefusedConnectReportsConnectionRefused) {
  RefusingPort refusing;
  ClientSocket s;
  EXPECT_EQ(ConnectLoopback(s, refusing.port()), WSAECONNREFUSED);
}

TEST(ClientSocketTest, ListenerWithFullBacklogTimesOut) {
  // A backlog of 0 queues one connection; the handshakes of later ones are
  // dropped, so their connect never completes.
  LoopbackPeer peer(/*backlog=*/0);
  std::vector<std::unique_ptr<ClientSocket>> held;
  int result = 0;
  for (int i = 0; i < 16 && result != WSA_WAIT_TIMEOUT; ++i) {
    held.push_back(std::make_unique<ClientSocket>());
    result = ConnectLoopback(*held.back(), peer.port(), /*wait_ms=*/300);
    ASSERT_TRUE(result == 0 || result == WSA_WAIT_TIMEOUT) << result;
  }
  EXPECT_EQ(result, WSA_WAIT_TIMEOUT);
}

TEST(ClientSocketTest, WriteEventOnceAfterConnectThenOnlyAfterWouldBlock) {
  LoopbackPeer peer;
  std::atomic<bool> drain{false};
  std::string received;
  const std::string payload = Pattern(32u << 20);
  peer.Serve([&](PeerConnection& c) {
    for (int i = 0; i < 1000 && !drain; ++i) c.Pause(5);
    received = c.ReadExactly(payload.size());
    c.Pause(300);  // stay open while the client checks for a stray write event
  });

  ClientSocket s;
  ASSERT_EQ(s.Open(AF_INET), 0);
  const sockaddr_in a = peer.address();
  ASSERT_EQ(s.Connect(reinterpret_cast<const sockaddr*>(&a), sizeof(a)), 0);
  NetworkEvents ev;
  ASSERT_EQ(s.Wait(kWaitMs, &ev), 0);
  EXPECT_EQ(ev.events, kConnectEvent | kWriteEvent);
  EXPECT_EQ(ev.connect_error, 0);
  // Writable all along, but nothing would block: no second write event.
  EXPECT_EQ(s.Wait(100, &ev), WSA_WAIT_TIMEOUT);

  IoResult r = s.Send(payload.data(), payload.size());
  ASSERT_EQ(r.error, WSAEWOULDBLOCK) << "the peer reads nothing yet, so the send must block";
  ASSERT_LT(r.bytes, payload.size());
  size_t sent = r.bytes;
  EXPECT_EQ(s.Wait(100, &ev), WSA_WAIT_TIMEOUT) << "still full: no write event";
  drain = true;
  int write_events = 0;
  while (sent < payload.size()) {
    ASSERT_EQ(s.Wait(kWaitMs, &ev), 0);
    ASSERT_EQ(ev.events, kWriteEvent);
    ASSERT_LT(++write_events, 100000);
    r = s.Send(payload.data() + sent, payload.size() - sent);
    sent += r.bytes;
    ASSERT_TRUE(r.error == 0 || r.error == WSAEWOULDBLOCK) << r.error;
  }
  EXPECT_EQ(s.Wait(100, &ev), WSA_WAIT_TIMEOUT) << "all sent: no write event";
  peer.Join();
  EXPECT_TRUE(received == payload) << "received " << received.size() << " bytes";
}

TEST(ClientSocketTest, ReadEventWaitsForReceiveAndCloseWaitsForTheLastByte) {
  LoopbackPeer peer;
  const std::string data = Pattern(10000);
  peer.Serve([&](PeerConnection& c) { c.Write(data); });  // closes right after the data

  ClientSocket s;
  ASSERT_EQ(ConnectLoopback(s, peer.port()), 0);
  peer.Join();  // the data and the close are both on their way now

  NetworkEvents ev;
  ASSERT_EQ(s.Wait(kWaitMs, &ev), 0);
  ASSERT_EQ(ev.events, kReadEvent);
  EXPECT_EQ(s.Wait(100, &ev), WSA_WAIT_TIMEOUT) << "no second read event before a receive";

  std::string got;
  for (int i = 0; i < 1000; ++i) {
    char buf[100];
    const IoResult r = s.Receive(buf, sizeof(buf));
    ASSERT_EQ(r.error, 0);
    got.append(buf, r.bytes);
    ASSERT_EQ(s.Wait(kWaitMs, &ev), 0);
    if (ev.events & kCloseEvent) break;
    ASSERT_EQ(ev.events, kReadEvent);
  }
  EXPECT_EQ(ev.events, kCloseEvent);
  EXPECT_EQ(ev.close_error, 0);
  EXPECT_TRUE(got == data) << "close came after " << got.size() << " of " << data.size();
}

TEST(ClientSocketTest, ResetIsReportedAsResetNeverAsOrderlyClose) {
  LoopbackPeer peer;
  peer.Serve([&](PeerConnection& c) {
    c.ReadExactly(1);  // the client has seen its connect event
    c.Write(Pattern(1000));
    c.Pause(20);
    c.Reset();
  });
  ClientSocket s;
  ASSERT_EQ(ConnectLoopback(s, peer.port()), 0);
  ASSERT_EQ(s.Send("g", 1).error, 0);
  peer.Join();

  int error = 0;
  for (int i = 0; i < 100 && error == 0; ++i) {
    NetworkEvents ev;
    ASSERT_EQ(s.Wait(kWaitMs, &ev), 0);
    if (ev.events & kCloseEvent) {
      error = ev.close_error;
      ASSERT_NE(error, 0) << "a reset reported as an orderly close";
    } else if (ev.events & kReadEvent) {
      char buf[256];
      const IoResult r = s.Receive(buf, sizeof(buf));
      error = r.error;
      ASSERT_FALSE(r.error == 0 && r.bytes == 0) << "a reset read as the end of the stream";
    }
  }
  EXPECT_EQ(error, WSAECONNRESET);
}

int g_sigpipes = 0;
void CountSigpipe(int) { ++g_sigpipes; }

TEST(ClientSocketTest, SendToAGonePeerFailsWithoutSigpipe) {
  struct sigaction count{}, old{};
  count.sa_handler = CountSigpipe;
  sigemptyset(&count.sa_mask);
  ASSERT_EQ(sigaction(SIGPIPE, &count, &old), 0);
  g_sigpipes = 0;

  LoopbackPeer peer;
  peer.Serve([](PeerConnection& c) {
    c.ReadExactly(1);  // a reset before the connect event would fail the connect instead
    c.Reset();
  });
  ClientSocket s;
  ASSERT_EQ(ConnectLoopback(s, peer.port()), 0);
  ASSERT_EQ(s.Send("g", 1).error, 0);
  peer.Join();
  const std::string chunk(4096, 'x');
  // Every send after the reset fails; the later ones are those that would
  // raise the signal.
  int failures = 0;
  for (int i = 0; i < 200 && failures < 5; ++i) {
    const IoResult r = s.Send(chunk.data(), chunk.size());
    if (r.error != 0 && r.error != WSAEWOULDBLOCK) {
      EXPECT_EQ(r.error, WSAECONNRESET);
      ++failures;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(failures, 5);
  EXPECT_EQ(g_sigpipes, 0);
  sigaction(SIGPIPE, &old, nullptr);
}

std::atomic<int> g_interruptions{0};
void CountInterruption(int) { ++g_interruptions; }

TEST(ClientSocketTest, InterruptedWaitAndReceiveAreRetried) {
  struct sigaction count{}, old{};
  count.sa_handler = CountInterruption;  // no SA_RESTART: calls fail with EINTR
  sigemptyset(&count.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &count, &old), 0);
  g_interruptions = 0;

  LoopbackPeer peer;
  peer.Serve([](PeerConnection& c) {
    c.Pause(300);
    c.Write("x");
    c.Pause(300);
  });
  ClientSocket s;
  ASSERT_EQ(ConnectLoopback(s, peer.port()), 0);

  std::atomic<bool> done{false};
  const pthread_t waiter = pthread_self();
  std::thread interrupter([&] {
    for (int i = 0; i < 200 && !done; ++i) {
      pthread_kill(waiter, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  NetworkEvents ev;
  const int wait_result = s.Wait(kWaitMs, &ev);
  done = true;
  interrupter.join();
  sigaction(SIGUSR1, &old, nullptr);
  peer.Join();

  EXPECT_GT(g_interruptions.load(), 0);
  ASSERT_EQ(wait_result, 0);
  EXPECT_EQ(ev.events, kReadEvent);
  char c = 0;
  const IoResult r = s.Receive(&c, 1);
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(c, 'x');
}

TEST(ClientSocketTest, ConnectTwiceIsRefused) {
  LoopbackPeer peer;
  peer.Serve([](PeerConnection& c) { c.ReadToEnd(); });
  ClientSocket s;
  ASSERT_EQ(ConnectLoopback(s, peer.port()), 0);
  const sockaddr_in a = peer.address();
  EXPECT_EQ(s.Connect(reinterpret_cast<const sockaddr*>(&a), sizeof(a)), WSAEISCONN);
  s.Close();
  peer.Join();
}

// Shutdown must not wait on a silent peer: a wait in progress ends at once,
// waits begun while the cancel lasts end at once, and waits after it behave
// as before.
TEST(ClientSocketTest, CancelEndsWaitsInProgressAndLaterOnesUntilItGoes) {
  LoopbackPeer peer;
  peer.Serve([](PeerConnection& c) { c.ReadToEnd(); });
  ClientSocket s;
  ASSERT_EQ(ConnectLoopback(s, peer.port()), 0);  // the write event came with it
  NetworkEvents ev;

  using Clock = std::chrono::steady_clock;
  std::unique_ptr<ClientWaitsCancel> cancel;
  std::atomic<int> waiting_result{-1};
  std::atomic<int64_t> waited_ms{0};

  std::thread waiter([&] {
    const auto start = Clock::now();
    NetworkEvents e;
    waiting_result = s.Wait(60000, &e);
    waited_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  cancel = std::make_unique<ClientWaitsCancel>();
  waiter.join();
  EXPECT_EQ(waiting_result.load(), WSAEINTR);
  EXPECT_LT(waited_ms.load(), 5000);
  {
    // Holders nest: the first to go leaves waits cancelled.
    const ClientWaitsCancel nested;
  }
  EXPECT_TRUE(ClientWaitsCancelled());
  EXPECT_EQ(s.Wait(60000, &ev), WSAEINTR);
  cancel.reset();
  EXPECT_FALSE(ClientWaitsCancelled());
  EXPECT_EQ(s.Wait(100, &ev), WSA_WAIT_TIMEOUT);
  s.Close();
  peer.Join();
}

}  // namespace
}  // namespace net
