#include "platform/net/completion_port.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/net/listener.h"
#include "platform/net/testing/connect_loopback.h"

namespace net {
namespace {

constexpr int kWaitMs = 10000;  // generous: only reached when something hangs

size_t CountOpenFds() {
  size_t n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d)) ++n;
    ::closedir(d);
  }
  return n;
}

void SetTimeouts(int fd) {
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// Resets the connection on close instead of a orderly FIN.
void CloseWithReset(UniqueFd& fd) {
  linger lg{1, 0};
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  fd.Reset();
}

bool WriteAll(int fd, const char* p, size_t n) {
  while (n) {
    ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool ReadExactly(int fd, char* p, size_t n) {
  while (n) {
    ssize_t r = ::recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

std::vector<char> Pattern(size_t n, unsigned seed) {
  std::vector<char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xFF);
  return v;
}

UniqueFd Connect(uint16_t port) {
  UniqueFd client = testing::ConnectLoopback(port);
  EXPECT_TRUE(client.Valid());
  SetTimeouts(client.Get());
  return client;
}

// A loopback TCP listener that hands out connected (client, server) pairs.
class Loopback {
 public:
  Loopback() { EXPECT_EQ(set_.Add("127.0.0.1", 0, nullptr), 0); }
  std::pair<UniqueFd, UniqueFd> Pair() {
    UniqueFd client = Connect(set_.Port(0));
    size_t index = 0;
    EXPECT_EQ(set_.WaitForAccept(&index, kWaitMs), ListenerSet::WaitResult::Ready);
    UniqueFd server = set_.Accept(index, nullptr, nullptr);
    EXPECT_TRUE(server.Valid());
    return {std::move(client), std::move(server)};
  }

 private:
  ListenerSet set_;
};

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, kWaitMs) == 1;
}

class CompletionPortTest : public ::testing::Test {
 protected:
  Completion Next() {
    Completion c;
    EXPECT_EQ(port_.Wait(&c, kWaitMs), WaitResult::Completed);
    return c;
  }
  void ExpectNothing() {
    Completion c;
    EXPECT_EQ(port_.Wait(&c, 50), WaitResult::TimedOut)
        << "unexpected completion kind " << int(c.kind) << " bytes " << c.bytes;
  }

  Loopback loopback_;
  CompletionPort port_;
};

TEST_F(CompletionPortTest, ReceiveGetsBytesThenZeroWhenThePeerCloses) {
  auto [client, server] = loopback_.Pair();
  SocketId id = port_.Associate(std::move(server), 7, 3);
  ASSERT_TRUE(id.Valid());
  char buf[16];
  ASSERT_TRUE(port_.PostReceive(id, buf, sizeof buf));
  EXPECT_FALSE(port_.PostReceive(id, buf, sizeof buf)) << "one receive at a time";
  ExpectNothing();
  ASSERT_TRUE(WriteAll(client.Get(), "hello", 5));
  Completion c = Next();
  EXPECT_EQ(c.key, 7u);
  EXPECT_EQ(c.generation, 3u);
  EXPECT_EQ(c.kind, IoKind::Receive);
  EXPECT_TRUE(c.ok);
  ASSERT_EQ(c.bytes, 5u);
  EXPECT_EQ(std::string(buf, 5), "hello");

  ASSERT_TRUE(port_.PostReceive(id, buf, sizeof buf));
  client.Reset();
  c = Next();
  EXPECT_EQ(c.kind, IoKind::Receive);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.bytes, 0u);
  EXPECT_TRUE(port_.CloseSocket(id));
  ExpectNothing();
}

TEST_F(CompletionPortTest, DataThatArrivedBeforeThePostIsNotLost) {
  auto [client, server] = loopback_.Pair();
  ASSERT_TRUE(WriteAll(client.Get(), "abcdefg", 7));
  SocketId id = port_.Associate(std::move(server), 1, 1);
  ::usleep(20000);  // let the bytes land before anything is posted
  std::string got;
  char buf[3];
  while (got.size() < 7) {
    ASSERT_TRUE(port_.PostReceive(id, buf, sizeof buf));
    Completion c = Next();
    ASSERT_TRUE(c.ok);
    ASSERT_GT(c.bytes, 0u);
    got.append(buf, c.bytes);
  }
  EXPECT_EQ(got, "abcdefg");
  ExpectNothing();
}

// A socket whose operations finish when they are posted stays out of the
// epoll set; the first one that has to wait puts it there, and its input
// still arrives.
TEST_F(CompletionPortTest, ASocketJoinsTheSetOnlyWhenAnOperationWaits) {
  auto [client, server] = loopback_.Pair();
  ASSERT_TRUE(WriteAll(client.Get(), "ping", 4));
  ASSERT_TRUE(Readable(server.Get()));
  SocketId id = port_.Associate(std::move(server), 1, 1);
  char buf[16];
  ASSERT_TRUE(port_.PostReceive(id, buf, sizeof buf));
  Completion c = Next();
  ASSERT_EQ(c.kind, IoKind::Receive);
  EXPECT_EQ(std::string(buf, c.bytes), "ping");
  ASSERT_TRUE(port_.PostSend(id, {'p', 'o', 'n', 'g'}));
  EXPECT_EQ(Next().kind, IoKind::Send);
  EXPECT_FALSE(port_.InSetForTest(id));

  ASSERT_TRUE(port_.PostReceive(id, buf, sizeof buf));
  EXPECT_TRUE(port_.InSetForTest(id));
  ExpectNothing();
  ASSERT_TRUE(WriteAll(client.Get(), "again", 5));
  c = Next();
  ASSERT_EQ(c.kind, IoKind::Receive);
  EXPECT_EQ(std::string(buf, c.bytes), "again");
  EXPECT_TRUE(port_.CloseSocket(id));
}

TEST_F(CompletionPortTest, SendCompletesOnlyWhenTheWholeBufferIsGone) {
  auto [client, server] = loopback_.Pair();
  SocketId id = port_.Associate(std::move(server), 2, 9);
  // Far more than the socket buffers of both ends hold.
  constexpr size_t kBig = 64u << 20;
  const std::vector<char> expected = Pattern(kBig, 1);
  ASSERT_TRUE(port_.PostSend(id, std::vector<char>(expected)));
  ExpectNothing();  // the peer reads nothing yet, so the send cannot finish

  std::vector<char> got(kBig);
  bool read_ok = false;
  std::thread reader([&] { read_ok = ReadExactly(client.Get(), got.data(), got.size()); });
  Completion c = Next();
  reader.join();
  EXPECT_EQ(c.kind, IoKind::Send);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.bytes, kBig);
  ASSERT_TRUE(read_ok);
  EXPECT_TRUE(got == expected);
}

TEST_F(CompletionPortTest, QueuedSendsCompleteOnceEachInOrder) {
  auto [client, server] = loopback_.Pair();
  SocketId id = port_.Associate(std::move(server), 4, 1);
  const size_t sizes[] = {3u << 20, 0, 10, 5u << 20, 1};
  std::vector<char> all;
  for (size_t i = 0; i < std::size(sizes); ++i) {
    std::vector<char> part = Pattern(sizes[i], static_cast<unsigned>(i));
    all.insert(all.end(), part.begin(), part.end());
    ASSERT_TRUE(port_.PostSend(id, std::move(part)));
  }
  std::vector<char> got(all.size());
  bool read_ok = false;
  std::thread reader([&] { read_ok = ReadExactly(client.Get(), got.data(), got.size()); });
  std::vector<size_t> completed;
  for (size_t i = 0; i < std::size(sizes); ++i) {
    Completion c = Next();
    EXPECT_TRUE(c.ok);
    EXPECT_EQ(c.kind, IoKind::Send);
    completed.push_back(c.bytes);
  }
  reader.join();
  EXPECT_EQ(completed, std::vector<size_t>(std::begin(sizes), std::end(sizes)));
  ASSERT_TRUE(read_ok);
  EXPECT_TRUE(got == all);
  ExpectNothing();
}

class TempFile {
 public:
  explicit TempFile(const std::vector<char>& contents) {
    char name[] = "/tmp/qvport-XXXXXX";
    fd_.Reset(::mkstemp(name));
    ::unlink(name);
    EXPECT_TRUE(WriteAllFile(contents));
  }
  UniqueFd Dup() const { return UniqueFd(::dup(fd_.Get())); }

 private:
  bool WriteAllFile(const std::vector<char>& v) {
    return ::pwrite(fd_.Get(), v.data(), v.size(), 0) == static_cast<ssize_t>(v.size());
  }
  UniqueFd fd_;
};

TEST_F(CompletionPortTest, SendFileSendsExactlyTheRangeAndFailsOnAShortFile) {
  auto [client, server] = loopback_.Pair();
  SocketId id = port_.Associate(std::move(server), 5, 1);
  const std::vector<char> contents = Pattern(3u << 20, 5);
  TempFile file(contents);

  constexpr off_t kOffset = 1000;
  constexpr size_t kCount = (2u << 20) + 17;
  ASSERT_TRUE(port_.PostSendFile(id, file.Dup(), kOffset, kCount));
  ASSERT_TRUE(port_.PostSendFile(id, file.Dup(), 0, 0));
  std::vector<char> got(kCount);
  bool read_ok = false;
  std::thread reader([&] { read_ok = ReadExactly(client.Get(), got.data(), got.size()); });
  Completion c = Next();
  reader.join();
  EXPECT_EQ(c.kind, IoKind::SendFile);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.bytes, kCount);
  ASSERT_TRUE(read_ok);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), contents.begin() + kOffset));
  c = Next();
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.bytes, 0u);

  // A file that ends early must not pass for a complete reply.
  ASSERT_TRUE(port_.PostSendFile(id, file.Dup(), contents.size() - 10, 100));
  c = Next();
  EXPECT_EQ(c.kind, IoKind::SendFile);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.error, EIO);
  EXPECT_EQ(c.bytes, 10u);
}

TEST(CompletionPortSigpipeTest, ResetPeerFailsPendingReceivesAndSendsWithoutSigpipe) {
  // Default SIGPIPE disposition would kill the test process on a plain send;
  // the port must take care of it from the moment it exists.
  struct sigaction old_action {};
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &dfl, &old_action);
  Loopback loopback_;
  CompletionPort port_;
  auto Next = [&port_] {
    Completion c;
    EXPECT_EQ(port_.Wait(&c, kWaitMs), WaitResult::Completed);
    return c;
  };
  auto ExpectNothing = [&port_] {
    Completion c;
    EXPECT_EQ(port_.Wait(&c, 50), WaitResult::TimedOut);
  };

  for (IoKind kind : {IoKind::Receive, IoKind::Send, IoKind::SendFile}) {
    SCOPED_TRACE(int(kind));
    auto [client, server] = loopback_.Pair();
    SocketId id = port_.Associate(std::move(server), 6, 2);
    char buf[64];
    TempFile file(Pattern(8u << 20, 2));
    if (kind == IoKind::Receive) {
      ASSERT_TRUE(port_.PostReceive(id, buf, sizeof buf));
      CloseWithReset(client);
    } else {
      CloseWithReset(client);
      ::usleep(20000);
      ASSERT_TRUE(kind == IoKind::Send ? port_.PostSend(id, Pattern(8u << 20, 3))
                                       : port_.PostSendFile(id, file.Dup(), 0, 8u << 20));
    }
    Completion c = Next();
    EXPECT_EQ(c.kind, kind);
    EXPECT_EQ(c.key, 6u);
    EXPECT_FALSE(c.ok);
    EXPECT_TRUE(c.error == ECONNRESET || c.error == EPIPE) << c.error;
    EXPECT_TRUE(port_.CloseSocket(id));
    ExpectNothing();
  }
  // A send after our own write side is shut raises SIGPIPE every time.
  for (IoKind kind : {IoKind::Send, IoKind::SendFile}) {
    SCOPED_TRACE(int(kind));
    auto [client, server] = loopback_.Pair();
    SocketId id = port_.Associate(std::move(server), 6, 3);
    TempFile file(Pattern(1000, 2));
    ASSERT_TRUE(port_.ShutdownSocket(id));
    ASSERT_TRUE(kind == IoKind::Send ? port_.PostSend(id, Pattern(1000, 3))
                                     : port_.PostSendFile(id, file.Dup(), 0, 1000));
    Completion c = Next();
    EXPECT_EQ(c.kind, kind);
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.error, EPIPE);
    EXPECT_TRUE(port_.CloseSocket(id));
  }
  ::sigaction(SIGPIPE, &old_action, nullptr);
}

TEST_F(CompletionPortTest, CloseCancelsPendingOperationsOnceEachAndRetiresTheId) {
  auto [client, server] = loopback_.Pair();
  SocketId id = port_.Associate(std::move(server), 8, 4);
  auto buf = std::make_unique<char[]>(32);
  ASSERT_TRUE(port_.PostReceive(id, buf.get(), 32));
  ASSERT_TRUE(port_.PostSend(id, Pattern(64u << 20, 4)));  // stays pending: nobody reads
  ASSERT_TRUE(port_.PostSend(id, Pattern(10, 5)));
  ExpectNothing();
  ASSERT_TRUE(port_.CloseSocket(id));
  buf.reset();  // the port must not touch it any more
  EXPECT_FALSE(port_.CloseSocket(id));
  EXPECT_FALSE(port_.PostReceive(id, nullptr, 1));
  char other[4];
  EXPECT_FALSE(port_.PostReceive(id, other, sizeof other));
  EXPECT_FALSE(port_.PostSend(id, Pattern(1, 1)));
  EXPECT_FALSE(port_.ShutdownSocket(id));

  std::map<IoKind, int> seen;
  for (int i = 0; i < 3; ++i) {
    Completion c = Next();
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.error, ECANCELED);
    EXPECT_EQ(c.generation, 4u);
    ++seen[c.kind];
  }
  EXPECT_EQ(seen[IoKind::Receive], 1);
  EXPECT_EQ(seen[IoKind::Send], 2);
  ExpectNothing();
  EXPECT_EQ(port_.OpenSocketsForTest(), 0u);

  // The table slot is reused, under a new serial: the old id stays dead and
  // the completions carry the new generation.
  auto [client2, server2] = loopback_.Pair();
  SocketId id2 = port_.Associate(std::move(server2), 8, 5);
  EXPECT_EQ(id2.index, id.index);
  EXPECT_NE(id2.serial, id.serial);
  EXPECT_FALSE(port_.PostReceive(id, other, sizeof other));
  ASSERT_TRUE(port_.PostReceive(id2, other, sizeof other));
  ASSERT_TRUE(WriteAll(client2.Get(), "x", 1));
  Completion c = Next();
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.generation, 5u);
  EXPECT_EQ(c.bytes, 1u);
}

// A socket taken to be closed at once stays in the epoll set until its close:
// what its peer does meanwhile must reach no one, and the next socket in its
// slot (already non-blocking, as accepted) must get only its own completions.
TEST_F(CompletionPortTest, ASocketTakenToBeClosedLeavesNoEventBehind) {
  auto [client, server] = loopback_.Pair();
  SocketId id = port_.Associate(std::move(server), 3, 1, /*nonblocking=*/true);
  ASSERT_TRUE(id.Valid());
  UniqueFd taken = port_.TakeSocket(id, /*closing_at_once=*/true);
  ASSERT_TRUE(taken.Valid());
  ASSERT_TRUE(WriteAll(client.Get(), "late", 4));
  ExpectNothing();
  taken.Reset();
  client.Reset();
  ExpectNothing();
  EXPECT_EQ(port_.OpenSocketsForTest(), 0u);

  auto [client2, server2] = loopback_.Pair();
  SocketId id2 = port_.Associate(std::move(server2), 3, 2, /*nonblocking=*/true);
  EXPECT_EQ(id2.index, id.index);
  char buf[8];
  ASSERT_TRUE(port_.PostReceive(id2, buf, sizeof buf));
  ASSERT_TRUE(WriteAll(client2.Get(), "new", 3));
  Completion c = Next();
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.generation, 2u);
  EXPECT_EQ(std::string(buf, c.bytes), "new");
  ExpectNothing();
}

TEST_F(CompletionPortTest, ShutdownSocketMakesThePendingReceiveSeeAClose) {
  auto [client, server] = loopback_.Pair();
  SocketId id = port_.Associate(std::move(server), 9, 1);
  char buf[8];
  ASSERT_TRUE(port_.PostReceive(id, buf, sizeof buf));
  ASSERT_TRUE(port_.ShutdownSocket(id));
  Completion c = Next();
  EXPECT_EQ(c.kind, IoKind::Receive);
  EXPECT_TRUE(!c.ok || c.bytes == 0);
  // The socket is still the owner's to close, exactly once.
  EXPECT_TRUE(port_.CloseSocket(id));
  EXPECT_FALSE(port_.CloseSocket(id));
}

TEST_F(CompletionPortTest, PostedCompletionWakesABlockedWorker) {
  Completion got;
  WaitResult result = WaitResult::TimedOut;
  std::thread worker([&] { result = port_.Wait(&got); });
  ::usleep(20000);
  ASSERT_TRUE(port_.PostCompletion(11, 12, 13));
  worker.join();
  ASSERT_EQ(result, WaitResult::Completed);
  EXPECT_EQ(got.kind, IoKind::User);
  EXPECT_EQ(got.key, 11u);
  EXPECT_EQ(got.generation, 12u);
  EXPECT_EQ(got.bytes, 13u);
  EXPECT_TRUE(got.ok);
}

// Idle workers share one port; a single ready completion, queued or found on
// a socket, must wake exactly one of them and no one else.
TEST_F(CompletionPortTest, OneCompletionWakesOneIdleWorker) {
  constexpr int kWorkers = 4;
  enum class Source { Posted, SocketData };
  for (Source source : {Source::Posted, Source::SocketData}) {
    SCOPED_TRACE(int(source));
    CompletionPort port;
    auto [client, server] = loopback_.Pair();
    SocketId id = port.Associate(std::move(server), 5, 1);
    ASSERT_TRUE(id.Valid());
    char buf[64];
    ASSERT_TRUE(port.PostReceive(id, buf, sizeof buf));
    // The writable edge of a new socket is not what this test counts.
    Completion drained;
    ASSERT_EQ(port.Wait(&drained, 50), WaitResult::TimedOut);

    std::atomic<int> completed{0};
    std::vector<std::thread> workers;
    for (int i = 0; i < kWorkers; ++i) {
      workers.emplace_back([&] {
        Completion c;
        while (port.Wait(&c) == WaitResult::Completed) ++completed;
      });
    }
    for (int i = 0; i < 1000 && port.WaitingForTest() < kWorkers; ++i) ::usleep(1000);
    ASSERT_EQ(port.WaitingForTest(), size_t{kWorkers});
    ::usleep(20000);  // let them all fall asleep in the kernel
    const uint64_t before = port.WakeupsForTest();

    if (source == Source::Posted) {
      ASSERT_TRUE(port.PostCompletion(9, 9, 9));
    } else {
      ASSERT_TRUE(WriteAll(client.Get(), "x", 1));
    }
    for (int i = 0; i < 1000 && completed.load() == 0; ++i) ::usleep(1000);
    // Time for any stray wake-up to show itself.
    ::usleep(100000);
    EXPECT_EQ(completed.load(), 1);
    EXPECT_EQ(port.WakeupsForTest() - before, 1u);

    port.Shutdown();
    for (auto& t : workers) t.join();
    EXPECT_TRUE(port.CloseSocket(id));
  }
}

// A send that a handler posts and that finishes at once comes back to the
// same thread: no other worker is woken for it.
TEST_F(CompletionPortTest, HandlersOwnFinishedSendComesBackToItWithoutAWakeUp) {
  constexpr int kWorkers = 4;
  CompletionPort port;
  auto [client, server] = loopback_.Pair();
  SocketId id = port.Associate(std::move(server), 5, 1);
  ASSERT_TRUE(id.Valid());
  char buf[64];
  ASSERT_TRUE(port.PostReceive(id, buf, sizeof buf));

  std::mutex mu;
  std::vector<std::pair<IoKind, std::thread::id>> seen;  // Guarded by mu.
  std::vector<std::thread> workers;
  for (int i = 0; i < kWorkers; ++i) {
    workers.emplace_back([&] {
      Completion c;
      while (port.Wait(&c) == WaitResult::Completed) {
        {
          std::lock_guard<std::mutex> lock(mu);
          seen.emplace_back(c.kind, std::this_thread::get_id());
        }
        if (c.kind == IoKind::Receive && c.ok && c.bytes > 0) {
          EXPECT_TRUE(port.PostSend(id, {'p', 'o', 'n', 'g'}));
        }
      }
    });
  }
  for (int i = 0; i < 1000 && port.WaitingForTest() < kWorkers; ++i) ::usleep(1000);
  ::usleep(20000);
  const uint64_t before = port.WakeupsForTest();
  ASSERT_TRUE(WriteAll(client.Get(), "x", 1));
  char reply[4];
  ASSERT_TRUE(ReadExactly(client.Get(), reply, sizeof reply));
  EXPECT_EQ(std::string(reply, sizeof reply), "pong");
  for (int i = 0; i < 1000; ++i) {
    {
      std::lock_guard<std::mutex> lock(mu);
      if (seen.size() >= 2) break;
    }
    ::usleep(1000);
  }
  ::usleep(100000);
  const uint64_t wakeups = port.WakeupsForTest() - before;
  port.Shutdown();
  for (auto& t : workers) t.join();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].first, IoKind::Receive);
  EXPECT_EQ(seen[1].first, IoKind::Send);
  EXPECT_EQ(seen[0].second, seen[1].second);
  EXPECT_EQ(wakeups, 1u);
  EXPECT_TRUE(port.CloseSocket(id));
}

// Completions queued while no thread sleeps wake no one: the next Wait takes
// them. A handler that will not do the work its own post finished hands it to
// a sleeping waiter.
TEST_F(CompletionPortTest, QueuedWorkWakesOnlyASleeperAndCanBeHandedOn) {
  CompletionPort port;
  ASSERT_TRUE(port.PostCompletion(1, 1, 1));
  Completion c;
  ASSERT_EQ(port.Wait(&c, 0), WaitResult::Completed);
  EXPECT_EQ(c.key, 1u);
  EXPECT_EQ(port.WakeupsForTest(), 0u);

  // This thread now handles that completion; another one sleeps.
  auto [client, server] = loopback_.Pair();
  ASSERT_TRUE(WriteAll(client.Get(), "x", 1));
  ASSERT_TRUE(Readable(server.Get()));
  SocketId id = port.Associate(std::move(server), 5, 1);
  std::atomic<bool> received{false};
  std::thread sleeper([&] {
    Completion got;
    while (port.Wait(&got) == WaitResult::Completed) {
      if (got.kind == IoKind::Receive && got.bytes == 1) received = true;
    }
  });
  for (int i = 0; i < 1000 && port.WaitingForTest() < 1; ++i) ::usleep(1000);
  ::usleep(20000);
  char buf[8];
  ASSERT_TRUE(port.PostReceive(id, buf, sizeof buf));  // finishes at once, kept for this thread
  ::usleep(50000);
  EXPECT_FALSE(received.load());
  port.HandOnOwnCompletions();
  for (int i = 0; i < 1000 && !received; ++i) ::usleep(1000);
  EXPECT_TRUE(received.load());
  port.Shutdown();
  sleeper.join();
  EXPECT_TRUE(port.CloseSocket(id));
}

// A watched listening socket raises Accept completions: connections that
// arrive together may raise one, so its taker accepts until none is left; a
// later arrival raises another; an unwatched socket raises none.
TEST(CompletionPortListenerTest, WatchedListenerRaisesAcceptCompletions) {
  ListenerSet set;
  ASSERT_EQ(set.Add("127.0.0.1", 0, nullptr), 0);
  CompletionPort port;
  ASSERT_TRUE(port.WatchListener(set.Descriptor(0), 3));
  auto acceptAll = [&] {
    int n = 0;
    while (set.Accept(0, nullptr, nullptr).Valid()) ++n;
    return n;
  };
  std::vector<UniqueFd> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(Connect(set.Port(0)));
  Completion c;
  ASSERT_EQ(port.Wait(&c, kWaitMs), WaitResult::Completed);
  EXPECT_EQ(c.kind, IoKind::Accept);
  EXPECT_EQ(c.key, 3u);
  EXPECT_EQ(acceptAll(), 3);
  while (port.Wait(&c, 50) == WaitResult::Completed) {  // as many as raced the accepts
    EXPECT_EQ(c.kind, IoKind::Accept);
    EXPECT_EQ(acceptAll(), 0);
  }

  clients.push_back(Connect(set.Port(0)));
  ASSERT_EQ(port.Wait(&c, kWaitMs), WaitResult::Completed);
  EXPECT_EQ(c.kind, IoKind::Accept);
  EXPECT_EQ(acceptAll(), 1);

  // Passing the turn on, as a taker that stopped before the queue was empty.
  ASSERT_TRUE(port.PostCompletion(3, 0, 0, IoKind::Accept));
  ASSERT_EQ(port.Wait(&c, kWaitMs), WaitResult::Completed);
  EXPECT_EQ(c.kind, IoKind::Accept);
  EXPECT_EQ(c.key, 3u);

  ASSERT_TRUE(port.UnwatchListener(set.Descriptor(0)));
  clients.push_back(Connect(set.Port(0)));
  EXPECT_EQ(port.Wait(&c, 100), WaitResult::TimedOut);
  EXPECT_EQ(acceptAll(), 1);
}

TEST_F(CompletionPortTest, ShutdownReleasesEveryWaiterAndRefusesPosts) {
  constexpr int kWaiters = 8;
  std::atomic<int> released{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < kWaiters; ++i) {
    workers.emplace_back([&] {
      Completion c;
      if (port_.Wait(&c) == WaitResult::Shutdown) ++released;
    });
  }
  ::usleep(20000);
  port_.Shutdown();
  for (auto& t : workers) t.join();
  EXPECT_EQ(released.load(), kWaiters);
  Completion c;
  EXPECT_EQ(port_.Wait(&c, 0), WaitResult::Shutdown);
  EXPECT_FALSE(port_.PostCompletion(1, 1, 1));
}

TEST(CompletionPortShutdownTest, DestroyingWithPendingOperationsReleasesEverything) {
  const size_t fds_before = CountOpenFds();
  {
    Loopback loopback;
    CompletionPort port;
    std::vector<UniqueFd> clients;
    std::vector<std::unique_ptr<char[]>> buffers;
    for (int i = 0; i < 16; ++i) {
      auto [client, server] = loopback.Pair();
      SocketId id = port.Associate(std::move(server), i, 1);
      ASSERT_TRUE(id.Valid());
      buffers.push_back(std::make_unique<char[]>(64));
      ASSERT_TRUE(port.PostReceive(id, buffers.back().get(), 64));
      ASSERT_TRUE(port.PostSend(id, Pattern(8u << 20, i)));
      clients.push_back(std::move(client));
    }
    ASSERT_TRUE(port.PostCompletion(1, 1, 1));
    std::thread waiter([&] {
      Completion c;
      while (port.Wait(&c) == WaitResult::Completed) {
      }
    });
    port.Shutdown();
    waiter.join();
  }
  // Leaked buffers show up under the leak checker; leaked sockets here.
  EXPECT_EQ(CountOpenFds(), fds_before);
}

// Many workers echo on many connections while other threads post user
// completions: every operation must complete exactly once.
TEST(CompletionPortLoadTest, NoCompletionIsLostOrDuplicatedUnderLoad) {
  constexpr int kWorkers = 8;
  constexpr int kClientThreads = 4;
  constexpr int kConnsPerClient = 8;
  constexpr int kConns = kClientThreads * kConnsPerClient;
  constexpr int kRounds = 150;
  constexpr int kPosters = 4;
  constexpr int kUserPerPoster = 5000;

  Loopback loopback;
  CompletionPort port;

  struct Conn {
    std::mutex mu;
    SocketId id;
    char buf[4096];
    int posted_recv = 0, done_recv = 0;  // Guarded by mu.
    int posted_send = 0, done_send = 0;  // Guarded by mu.
    bool closed = false;                 // Guarded by mu.
  };
  std::vector<std::unique_ptr<Conn>> conns;
  std::vector<UniqueFd> clients;
  for (int i = 0; i < kConns; ++i) {
    auto [client, server] = loopback.Pair();
    auto conn = std::make_unique<Conn>();
    conn->id = port.Associate(std::move(server), static_cast<uint64_t>(i), 1);
    ASSERT_TRUE(conn->id.Valid());
    conns.push_back(std::move(conn));
    clients.push_back(std::move(client));
  }
  for (auto& conn : conns) {
    std::lock_guard<std::mutex> lock(conn->mu);
    ASSERT_TRUE(port.PostReceive(conn->id, conn->buf, sizeof conn->buf));
    ++conn->posted_recv;
  }

  constexpr uint64_t kUserKeyBase = 1u << 20;
  std::mutex user_mu;
  std::multiset<size_t> user_seen;
  std::atomic<int> closed{0};
  std::atomic<int> bad{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&] {
      Completion c;
      while (port.Wait(&c) == WaitResult::Completed) {
        if (c.kind == IoKind::User) {
          if (c.key != kUserKeyBase) ++bad;
          std::lock_guard<std::mutex> lock(user_mu);
          user_seen.insert(c.bytes);
          continue;
        }
        if (c.key >= conns.size()) {
          ++bad;
          continue;
        }
        Conn& conn = *conns[c.key];
        std::lock_guard<std::mutex> lock(conn.mu);
        if (c.kind == IoKind::Send) {
          ++conn.done_send;
          if (!c.ok) ++bad;
          continue;
        }
        ++conn.done_recv;
        if (!c.ok || c.bytes == 0) {
          if (!c.ok) ++bad;
          if (!conn.closed && port.CloseSocket(conn.id)) ++closed;
          conn.closed = true;
          continue;
        }
        if (port.PostSend(conn.id, std::vector<char>(conn.buf, conn.buf + c.bytes))) {
          ++conn.posted_send;
        } else {
          ++bad;
        }
        if (port.PostReceive(conn.id, conn.buf, sizeof conn.buf)) {
          ++conn.posted_recv;
        } else {
          ++bad;
        }
      }
    });
  }

  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&, p] {
      for (int i = 0; i < kUserPerPoster; ++i) {
        if (!port.PostCompletion(kUserKeyBase, 0, static_cast<size_t>(p * kUserPerPoster + i))) {
          ++bad;
        }
      }
    });
  }

  std::atomic<int> client_failures{0};
  std::vector<std::thread> client_threads;
  for (int t = 0; t < kClientThreads; ++t) {
    client_threads.emplace_back([&, t] {
      std::vector<char> reply;
      for (int round = 0; round < kRounds; ++round) {
        for (int k = 0; k < kConnsPerClient; ++k) {
          const int conn = t * kConnsPerClient + k;
          const size_t len = 1 + static_cast<size_t>((round * 977 + conn * 131) % 9000);
          std::vector<char> msg = Pattern(len, static_cast<unsigned>(round * kConns + conn));
          reply.resize(len);
          if (!WriteAll(clients[conn].Get(), msg.data(), len) ||
              !ReadExactly(clients[conn].Get(), reply.data(), len) || reply != msg) {
            ++client_failures;
            return;
          }
        }
      }
    });
  }
  for (auto& t : client_threads) t.join();
  for (auto& t : posters) t.join();
  for (auto& client : clients) client.Reset();

  // Wait (bounded) until every connection saw its close.
  for (int i = 0; i < 1000 && closed.load() < kConns; ++i) ::usleep(10000);
  port.Shutdown();
  for (auto& t : workers) t.join();

  EXPECT_EQ(client_failures.load(), 0);
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(closed.load(), kConns);
  EXPECT_EQ(port.OpenSocketsForTest(), 0u);
  for (auto& conn : conns) {
    EXPECT_EQ(conn->posted_recv, conn->done_recv);
    EXPECT_EQ(conn->posted_send, conn->done_send);
    EXPECT_GE(conn->posted_send, kRounds);
  }
  ASSERT_EQ(user_seen.size(), size_t{kPosters * kUserPerPoster});
  size_t expected = 0;
  for (size_t v : user_seen) EXPECT_EQ(v, expected++) << "lost or duplicated user completion";
}

}  // namespace
}  // namespace net
