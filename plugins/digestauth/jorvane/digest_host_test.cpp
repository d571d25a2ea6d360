#include "plugins/digestauth/jorvane/digest_host.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace jorvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The digest host on this thread's loop, with a clock the test moves and an
// event-log file of its own.
class DigestHostTest : public testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/jorvanehost-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    setenv("QUORVEL_EVENTLOG_FILE", (dir_ / "events.txt").c_str(), 1);
    std::ofstream(dir_ / "auth-config.xml")
        << "<authConfig><defaultRealm>R</defaultRealm><nonceLife>60</nonceLife></authConfig>";
  }
  void TearDown() override {
    unsetenv("QUORVEL_EVENTLOG_FILE");
    fs::remove_all(dir_);
  }
  size_t EventCount(const std::string& line) const {
    std::ifstream in(dir_ / "events.txt");
    size_t n = 0;
    for (std::string l; std::getline(in, l);) n += l == std::string(kServiceName) + ": " + line;
    return n;
  }
  digestauth::Clock FakeClock() {
    return [this] { return now_.load(); };
  }

  fs::path dir_;
  std::atomic<int64_t> now_{1000};
  service::EventReporter events_{kServiceName};
};

TEST_F(DigestHostTest, PurgeTimerOnTheLoopDeletesEachStaleNonceOnce) {
  UINT_PTR askedId = 0;
  UINT askedPeriod = 0;
  // The real thread timer, fired at once instead of after a minute.
  DigestHost host(events_, FakeClock(), [&](UINT_PTR id, UINT ms, TIMERPROC cb) {
    askedId = id;
    askedPeriod = ms;
    return SetTimer(nullptr, id, 10, cb);
  });
  ASSERT_EQ(host.Prepare(dir_.string()), S_OK);
  EXPECT_EQ(askedId, kPurgeTimerId);
  EXPECT_EQ(askedPeriod, kPurgePeriodMs);
  ASSERT_TRUE(host.TimerSet());
  digestauth::NonceStore& nonces = host.Context()->nonces;
  EXPECT_EQ(nonces.NonceLife(), 60);  // the file beside was read

  for (int i = 0; i < 3; ++i) nonces.Record(nonces.Issue());
  now_ = 1050;
  const digestauth::NonceStore::Nonce fresh = nonces.Issue();
  nonces.Record(fresh);
  now_ = 1061;  // the first three are stale, the last is not

  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (nonces.Size() != 1 && std::chrono::steady_clock::now() < deadline) {
    MSG msg;
    if (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
      DispatchMessage(&msg);
    } else {
      std::this_thread::sleep_for(2ms);
    }
  }
  EXPECT_EQ(nonces.Size(), 1u);
  EXPECT_TRUE(nonces.Contains(fresh.text));
  // One entry for the pass that found them, none for the passes after it.
  EXPECT_EQ(EventCount("Deleted stale server nonce! 3"), 1u);

  host.Shutdown();
  EXPECT_FALSE(host.TimerSet());
  EXPECT_EQ(nonces.Size(), 0u);
  EXPECT_FALSE(KillTimer(nullptr, kPurgeTimerId)) << "the timer outlived the shutdown";
}

TEST_F(DigestHostTest, MissingTimerIsLoggedOnceAndTheServiceRunsOn) {
  DigestHost host(events_, FakeClock(), [](UINT_PTR, UINT, TIMERPROC) { return UINT_PTR{0}; });
  ASSERT_EQ(host.Prepare(dir_.string()), S_OK);
  EXPECT_FALSE(host.TimerSet());
  EXPECT_EQ(EventCount("Attempt to create Watchdog Timer failed!"), 1u);
  ASSERT_TRUE(host.Context());
  host.Context()->nonces.Record(host.Context()->nonces.Issue());
  EXPECT_EQ(host.Context()->nonces.Size(), 1u);
  host.Shutdown();
  EXPECT_EQ(host.Context()->nonces.Size(), 0u);
  EXPECT_EQ(EventCount("Attempt to create Watchdog Timer failed!"), 1u);
}

// A configuration that cannot be found (no directory, as when the program's
// path cannot be read whole) leaves empty tables, and the host still starts.
TEST_F(DigestHostTest, UnnamedDirectoryGivesEmptyTables) {
  DigestHost host(events_, FakeClock(), [](UINT_PTR, UINT, TIMERPROC) { return UINT_PTR{1}; });
  ASSERT_EQ(host.Prepare(""), S_OK);
  EXPECT_EQ(host.Context()->config.Path(), "");
  EXPECT_EQ(host.Context()->config.DefaultRealm(), "");
  EXPECT_EQ(host.Context()->nonces.NonceLife(), 0);
}

TEST(ExecutableDirectoryTest, IsTheDirectoryOfThisProgram) {
  const std::string dir = ExecutableDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_TRUE(fs::exists(fs::path(dir) / "jorvane_host_test"));
}

}  // namespace
}  // namespace jorvane
