#include "platform/net/listener.h"
#include "platform/net/testing/connect_loopback.h"

#include <arpa/inet.h>
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

namespace net {
namespace {

using testing::ConnectLoopback;

TEST(ListenerSetTest, PortZeroBindsAFreePortThatAccepts) {
  ListenerSet set;
  ASSERT_TRUE(set.Valid());
  int error = -1;
  ASSERT_EQ(set.Add("127.0.0.1", 0, &error), 0) << error;
  EXPECT_EQ(error, 0);
  ASSERT_NE(set.Port(0), 0);
  EXPECT_EQ(set.Port(1), 0);

  UniqueFd client = ConnectLoopback(set.Port(0));
  ASSERT_TRUE(client.Valid());
  size_t index = 99;
  ASSERT_EQ(set.WaitForAccept(&index, 5000), ListenerSet::WaitResult::Ready);
  EXPECT_EQ(index, 0u);
  sockaddr_in peer{};
  UniqueFd accepted = set.Accept(index, &peer, &error);
  ASSERT_TRUE(accepted.Valid()) << error;
  EXPECT_EQ(FormatIPv4(peer), "127.0.0.1");

  // Nothing else is waiting: a second accept reports EAGAIN instead of blocking.
  EXPECT_FALSE(set.Accept(0, &peer, &error).Valid());
  EXPECT_EQ(error, EAGAIN);
}

TEST(ListenerSetTest, RefusesBadArgumentsAndAFifthSocket) {
  ListenerSet set;
  struct Case {
    const char* address;
    int port;
    int error;
  };
  const Case bad[] = {
      {"", 65536, EINVAL}, {"", 70000, EINVAL}, {"", -1, EINVAL},
      {"999.1.1.1", 0, EINVAL}, {"localhost", 0, EINVAL}, {"127.0.0.1.5.6.7.8.9", 0, EINVAL},
  };
  for (const Case& c : bad) {
    int error = 0;
    EXPECT_EQ(set.Add(c.address, c.port, &error), -1) << c.address << ":" << c.port;
    EXPECT_EQ(error, c.error) << c.address << ":" << c.port;
  }
  EXPECT_EQ(set.Count(), 0u);

  for (int i = 0; i < 4; ++i) ASSERT_EQ(set.Add("127.0.0.1", 0, nullptr), i);
  int error = 0;
  EXPECT_EQ(set.Add("127.0.0.1", 0, &error), -1);
  EXPECT_EQ(error, EMFILE);
  EXPECT_EQ(set.Count(), 4u);
}

TEST(ListenerSetTest, SecondSocketOnTheSamePortFailsAndIsSkipped) {
  ListenerSet set;
  ASSERT_EQ(set.Add("127.0.0.1", 0, nullptr), 0);
  int error = 0;
  EXPECT_EQ(set.Add("127.0.0.1", set.Port(0), &error), -1);
  EXPECT_EQ(error, EADDRINUSE);
  EXPECT_EQ(set.Count(), 1u);
}

TEST(ListenerSetTest, WakeInterruptsAWaitWithAndWithoutSockets) {
  for (bool with_socket : {false, true}) {
    ListenerSet set;
    if (with_socket) {
      ASSERT_EQ(set.Add("127.0.0.1", 0, nullptr), 0);
    }
    size_t index = 0;
    EXPECT_EQ(set.WaitForAccept(&index, 10), ListenerSet::WaitResult::TimedOut);
    ListenerSet::WaitResult result = ListenerSet::WaitResult::Error;
    std::thread waiter([&] { result = set.WaitForAccept(&index); });
    set.Wake();
    waiter.join();
    EXPECT_EQ(result, ListenerSet::WaitResult::Woken);
    // The wake is sticky, so a listener loop that comes back around ends too.
    EXPECT_EQ(set.WaitForAccept(&index, 0), ListenerSet::WaitResult::Woken);
  }
}

TEST(ListenerSetTest, ReadySocketIsReportedByItsIndex) {
  ListenerSet set;
  ASSERT_EQ(set.Add("127.0.0.1", 0, nullptr), 0);
  ASSERT_EQ(set.Add("", 0, nullptr), 1);
  UniqueFd client = ConnectLoopback(set.Port(1));
  ASSERT_TRUE(client.Valid());
  size_t index = 0;
  ASSERT_EQ(set.WaitForAccept(&index, 5000), ListenerSet::WaitResult::Ready);
  EXPECT_EQ(index, 1u);
  EXPECT_TRUE(set.Accept(index, nullptr, nullptr).Valid());
}

}  // namespace
}  // namespace net
