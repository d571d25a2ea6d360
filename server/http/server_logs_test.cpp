#include "server/http/server_logs.h"

#include <errno.h>
#include <sys/stat.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "server/http/testing/test_files.h"

namespace server {
namespace {

namespace fs = std::filesystem;

constexpr time_t k2003Dec31At1530Utc = 1072884600;

class FakeClock final : public LogClock {
 public:
  uint64_t TickCount() const override { return tick.load(); }
  time_t Now() const override { return now.load(); }
  std::atomic<uint64_t> tick{1000};
  std::atomic<time_t> now{k2003Dec31At1530Utc};
};

// Sets TZ for one test and puts the old value back.
class ScopedTz {
 public:
  explicit ScopedTz(const char* tz) {
    if (const char* old = ::getenv("TZ")) old_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~ScopedTz() {
    if (old_) {
      ::setenv("TZ", old_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::optional<std::string> old_;
};

using server_testing::ReadFile;

TEST(LogFormatTest, ServerLogLinesAreCommonLogFormatWithControlsEscaped) {
  ScopedTz tz("XST5");  // five hours behind UTC, no daylight time
  struct Case {
    std::string peer;
    std::string request_line;
    int status;
    uint64_t bytes;
    std::string expected;
  };
  const Case cases[] = {
      {"127.0.0.1", "GET /index.html HTTP/1.0", 200, 1234,
       "127.0.0.1 - - [31/Dec/2003:10:30:00 -0500] \"GET /index.html HTTP/1.0\" 200 1234\n"},
      {"loopback", "POST /soap/* HTTP/1.1", 500, 0,
       "loopback - - [31/Dec/2003:10:30:00 -0500] \"POST /soap/* HTTP/1.1\" 500 0\n"},
      // A bare LF would start a forged line; a quote would end the field early.
      {"10.0.0.1", "GET /a\n10.0.0.2 - - [x] \"GET /b\" 200 1", 404, 17,
       "10.0.0.1 - - [31/Dec/2003:10:30:00 -0500] "
       "\"GET /a\\x0A10.0.0.2 - - [x] \\x22GET /b\\x22 200 1\" 404 17\n"},
      {"h\rost", "GET /\t\x7F\x01 HTTP/1.0", 400, 5,
       "h\\x0Dost - - [31/Dec/2003:10:30:00 -0500] \"GET /\\x09\\x7F\\x01 HTTP/1.0\" 400 5\n"},
      // Other bytes stay as they are, a backslash and UTF-8 included.
      {"1.2.3.4", "GET /caf\xC3\xA9\\x HTTP/1.0", 200, 5000000000ull,
       "1.2.3.4 - - [31/Dec/2003:10:30:00 -0500] \"GET /caf\xC3\xA9\\x HTTP/1.0\" 200 "
       "5000000000\n"},
      {"", "", 200, 0, " - - [31/Dec/2003:10:30:00 -0500] \"\" 200 0\n"},
      {"p", "GET / HTTP/1.0", -1, 0,
       "p - - [31/Dec/2003:10:30:00 -0500] \"GET / HTTP/1.0\" -1 0\n"},
  };
  for (const Case& c : cases) {
    RequestRecord r;
    r.peer = c.peer;
    r.request_time = k2003Dec31At1530Utc;
    r.request_line = c.request_line;
    r.status = c.status;
    r.bytes_sent = c.bytes;
    EXPECT_EQ(FormatLogEntry(r, ZoneText(-300)), c.expected);
  }
}

TEST(LogFormatTest, LinesOfOneSecondTakeTheZoneInForceWhenWritten) {
  RequestRecord r;
  r.peer = "p";
  r.request_time = k2003Dec31At1530Utc;
  r.request_line = "GET / HTTP/1.0";
  r.status = 200;
  const std::pair<const char*, const char*> zones[] = {
      {"XST5", "p - - [31/Dec/2003:10:30:00 Z] \"GET / HTTP/1.0\" 200 0\n"},
      {"XET-1", "p - - [31/Dec/2003:16:30:00 Z] \"GET / HTTP/1.0\" 200 0\n"},
      {"XST5", "p - - [31/Dec/2003:10:30:00 Z] \"GET / HTTP/1.0\" 200 0\n"},
  };
  for (auto [tz, expected] : zones) {
    ScopedTz scoped(tz);
    EXPECT_EQ(FormatLogEntry(r, "Z"), expected) << tz;
  }
}

TEST(LogFormatTest, ZoneTextAndLocalStandardOffset) {
  const std::pair<int, const char*> zones[] = {
      {-300, "-0500"}, {60, "+0100"}, {0, "-0000"}, {330, "+0530"}, {-570, "-0930"}, {840, "+1400"},
  };
  for (auto [minutes, text] : zones) EXPECT_EQ(ZoneText(minutes), text) << minutes;

  const std::pair<const char*, int> tzs[] = {
      {"UTC", 0}, {"XST5", -300}, {"XET-1", 60}, {"XST5XDT,M3.2.0,M11.1.0", -300},  // standard, not daylight
      {"XIST-5:30", 330},
  };
  for (auto [tz, minutes] : tzs) {
    ScopedTz scoped(tz);
    EXPECT_EQ(LocalStandardOffsetMinutes(), minutes) << tz;
  }
}

TEST(LogFormatTest, RotatedNamesPutTheSuffixBeforeTheExtension) {
  EXPECT_EQ(RotationSuffix(k2003Dec31At1530Utc), "_0312311530GMT");
  EXPECT_EQ(RotationSuffix(0), "_7001010000GMT");
  const std::pair<std::string, std::string> cases[] = {
      {"logs/server.log", "logs/server_0312311530GMT.log"},
      {"/var/log/q/server", "/var/log/q/server_0312311530GMT"},
      {"a.d/server", "a.d/server_0312311530GMT"},
      {"x.tar.gz", "x.tar_0312311530GMT.gz"},
      {"dir/.log", "dir/_0312311530GMT.log"},
      {"/" + std::string(240, 'a') + ".log", ""},  // over 255 characters: no rename
  };
  for (const auto& [path, rotated] : cases) {
    EXPECT_EQ(RotatedName(path, "_0312311530GMT"), rotated) << path;
  }
}

class LogFilesTest : public testing::Test {
 protected:
  void SetUp() override {
    char dir_template[] = "/tmp/qvlogs-XXXXXX";
    ASSERT_NE(::mkdtemp(dir_template), nullptr);
    dir_ = dir_template;
  }
  void TearDown() override { fs::remove_all(dir_); }

  LogSettings AllEnabled() {
    LogSettings s;
    s.server_log_path = (dir_ / "server.log").string();
    s.enable_server_log = true;
    s.user_agent_log_path = (dir_ / "agents.log").string();
    s.enable_user_agent_log = true;
    s.trace_log_path = (dir_ / "trace.log").string();
    s.enable_trace_log = true;
    return s;
  }
  static RequestRecord Record(const std::string& line) {
    RequestRecord r;
    r.peer = "127.0.0.1";
    r.request_time = k2003Dec31At1530Utc;
    r.request_line = line;
    return r;
  }
  std::vector<std::string> Files() {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // What a management change does: publish the settings, then reopen.
  void Publish(const LogSettings& settings) {
    std::lock_guard<std::mutex> lock(config_.Lock());
    auto next = std::make_shared<ConfigSnapshot>(*config_.Current());
    next->logs = settings;
    config_.Publish(std::move(next));
  }
  bool OpenWith(LogFiles& logs, const LogSettings& settings) {
    Publish(settings);
    return logs.OpenLogs();
  }

  fs::path dir_;
  FakeClock clock_;
  ConfigStore config_;
};

TEST_F(LogFilesTest, WritesOnlyToOpenEnabledLogs) {
  LogFiles logs(config_, clock_, 0);
  LogSettings s = AllEnabled();
  s.enable_user_agent_log = false;
  s.enable_trace_log = false;  // the trace log opens all the same
  Publish(s);
  logs.WriteLogEntry(Record("GET /early HTTP/1.0"));  // nothing is open yet
  EXPECT_TRUE(Files().empty());

  ASSERT_TRUE(logs.OpenLogs());
  logs.WriteLogEntry(Record("GET / HTTP/1.0"));
  logs.WriteUserAgentLine("curl/8.0");
  logs.WriteTraceRecord("<trace>\n  body\n</trace>");
  EXPECT_EQ(Files(), (std::vector<std::string>{"server.log", "trace.log"}));
  const std::string server_log = ReadFile(dir_ / "server.log");
  EXPECT_EQ(server_log.rfind("127.0.0.1 - - [31/Dec/2003:", 0), 0u) << server_log;
  EXPECT_EQ(server_log.find(" -0000] \"GET / HTTP/1.0\" 200 0\n"), 35u) << server_log;
  EXPECT_EQ(ReadFile(dir_ / "trace.log"), "<trace>\n  body\n</trace>\n");

  // Reopening with new settings takes effect at once.
  s.enable_user_agent_log = true;
  s.enable_server_log = false;
  ASSERT_TRUE(OpenWith(logs, s));
  logs.WriteLogEntry(Record("GET /second HTTP/1.0"));
  logs.WriteUserAgentLine("");  // no User-Agent: an empty line
  logs.WriteUserAgentLine("evil\nforged line");
  EXPECT_EQ(ReadFile(dir_ / "agents.log"), "\nevil\\x0Aforged line\n");
  EXPECT_EQ(ReadFile(dir_ / "server.log").find("second"), std::string::npos);
  EXPECT_FALSE(logs.Settings().enable_server_log);
  EXPECT_TRUE(logs.Settings().enable_user_agent_log);
}

// Until the logs reopen, a published change moves no line: writes and rotation
// keep to the files the logs were opened from.
TEST_F(LogFilesTest, APublishedChangeTakesEffectAtTheNextOpen) {
  LogFiles logs(config_, clock_, 0);
  ASSERT_TRUE(OpenWith(logs, AllEnabled()));
  logs.SetRotationInterval(1);
  LogSettings changed = AllEnabled();
  changed.enable_server_log = false;
  changed.user_agent_log_path = (dir_ / "agents2.log").string();
  Publish(changed);
  EXPECT_EQ(logs.Settings(), changed);

  logs.WriteLogEntry(Record("GET /before HTTP/1.0"));
  logs.WriteUserAgentLine("before");
  clock_.tick += 1;
  logs.RotateLogs();
  logs.WriteUserAgentLine("rotated");
  EXPECT_NE(ReadFile(dir_ / "server_0312311530GMT.log").find("/before"), std::string::npos);
  EXPECT_EQ(ReadFile(dir_ / "agents_0312311530GMT.log"), "before\n");
  EXPECT_EQ(ReadFile(dir_ / "agents.log"), "rotated\n");
  EXPECT_FALSE(fs::exists(dir_ / "agents2.log"));

  ASSERT_TRUE(logs.OpenLogs());
  logs.WriteLogEntry(Record("GET /after HTTP/1.0"));
  logs.WriteUserAgentLine("after");
  EXPECT_EQ(ReadFile(dir_ / "server.log"), "") << "the server log is off";
  EXPECT_EQ(ReadFile(dir_ / "agents2.log"), "after\n");
  EXPECT_EQ(ReadFile(dir_ / "agents.log"), "rotated\n");
}

TEST_F(LogFilesTest, UnopenablePathsAreSilentlySkipped) {
  LogFiles logs(config_, clock_, 0);
  LogSettings s = AllEnabled();
  s.server_log_path = (dir_ / "missing-dir" / "server.log").string();
  s.trace_log_path.clear();
  ASSERT_TRUE(OpenWith(logs, s));
  logs.WriteLogEntry(Record("GET / HTTP/1.0"));
  logs.WriteTraceRecord("x");
  logs.WriteUserAgentLine("ua");
  EXPECT_EQ(Files(), std::vector<std::string>{"agents.log"});
}

// A log path pointing through a symlink at another file (a planted
// authorized_keys, say) writes nothing there; a new log is the owner's alone.
TEST_F(LogFilesTest, SymlinkedLogIsNotFollowedAndNewLogsArePrivate) {
  server_testing::WriteFile(dir_ / "victim", "keep\n");
  fs::create_symlink(dir_ / "victim", dir_ / "trace.log");
  const mode_t old_mask = ::umask(0);  // the mode must not rest on the umask
  LogFiles logs(config_, clock_, 0);
  ASSERT_TRUE(OpenWith(logs, AllEnabled()));
  ::umask(old_mask);
  logs.WriteTraceRecord("planted line");
  logs.WriteLogEntry(Record("GET / HTTP/1.0"));
  EXPECT_EQ(ReadFile(dir_ / "victim"), "keep\n");
  EXPECT_TRUE(fs::is_symlink(dir_ / "trace.log"));
  struct stat st {};
  ASSERT_EQ(::stat((dir_ / "server.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(LogFilesTest, RotationMovesEachLogAsideOnceTheIntervalHasPassed) {
  LogFiles logs(config_, clock_, 0);
  ASSERT_TRUE(OpenWith(logs, AllEnabled()));
  logs.SetRotationInterval(3600000);
  logs.WriteLogEntry(Record("GET /a HTTP/1.0"));
  logs.WriteUserAgentLine("A");
  logs.WriteTraceRecord("TA");

  clock_.tick += 3599999;
  logs.RotateLogs();
  EXPECT_EQ(Files().size(), 3u) << "rotated early";

  clock_.tick += 1;
  logs.RotateLogs();
  EXPECT_EQ(Files(), (std::vector<std::string>{
                         "agents.log", "agents_0312311530GMT.log", "server.log",
                         "server_0312311530GMT.log", "trace.log", "trace_0312311530GMT.log"}));
  EXPECT_EQ(ReadFile(dir_ / "agents_0312311530GMT.log"), "A\n");
  EXPECT_EQ(ReadFile(dir_ / "trace_0312311530GMT.log"), "TA\n");
  EXPECT_NE(ReadFile(dir_ / "server_0312311530GMT.log").find("/a"), std::string::npos);
  EXPECT_EQ(ReadFile(dir_ / "agents.log"), "");

  // The next hour ends in the same minute of UTC: the name is taken, so the
  // old rotated file is kept and the current log goes on.
  logs.WriteUserAgentLine("B");
  clock_.tick += 3600000;
  logs.RotateLogs();
  logs.WriteUserAgentLine("C");
  EXPECT_EQ(ReadFile(dir_ / "agents_0312311530GMT.log"), "A\n");
  EXPECT_EQ(ReadFile(dir_ / "agents.log"), "B\nC\n");
  EXPECT_EQ(Files().size(), 6u);

  clock_.now += 60;
  clock_.tick += 3600000;
  logs.RotateLogs();
  EXPECT_EQ(ReadFile(dir_ / "agents_0312311531GMT.log"), "B\nC\n");
}

TEST_F(LogFilesTest, TwoLogsOnOnePathNeverOverwriteTheRotatedFile) {
  LogFiles logs(config_, clock_, 0);
  LogSettings s = AllEnabled();
  s.user_agent_log_path = s.server_log_path;
  ASSERT_TRUE(OpenWith(logs, s));
  logs.SetRotationInterval(1);
  logs.WriteLogEntry(Record("GET /x HTTP/1.0"));
  logs.WriteUserAgentLine("agent");
  const std::string before = ReadFile(dir_ / "server.log");
  clock_.tick += 1;
  logs.RotateLogs();
  EXPECT_EQ(ReadFile(dir_ / "server_0312311530GMT.log"), before);
  logs.WriteUserAgentLine("after");
  EXPECT_EQ(ReadFile(dir_ / "server.log"), "after\n");
}

TEST_F(LogFilesTest, NoRotationWithoutAnIntervalAndOneAtDestructionWhenDue) {
  {
    LogFiles logs(config_, clock_, 0);
    ASSERT_TRUE(OpenWith(logs, AllEnabled()));
    clock_.tick += 1000ull * 3600 * 24 * 365;
    logs.RotateLogs();
    EXPECT_EQ(Files().size(), 3u);
    logs.SetRotationInterval(3600000);
  }
  EXPECT_EQ(Files().size(), 6u);
}

TEST_F(LogFilesTest, RenameNoReplaceRefusesAnExistingName) {
  std::ofstream(dir_ / "a") << "A";
  std::ofstream(dir_ / "b") << "B";
  const std::string a = (dir_ / "a").string(), b = (dir_ / "b").string();
  const std::string c = (dir_ / "c").string();
  errno = 0;
  EXPECT_FALSE(RenameNoReplace(a.c_str(), b.c_str()));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(ReadFile(b), "B");
  EXPECT_EQ(ReadFile(a), "A");
  EXPECT_TRUE(RenameNoReplace(a.c_str(), c.c_str()));
  EXPECT_EQ(ReadFile(c), "A");
  EXPECT_FALSE(fs::exists(a));
}

// Writers on several threads while the settings change and the logs rotate:
// no line may be lost, torn or written to a closed stream.
TEST_F(LogFilesTest, WritersSurviveConcurrentReopenAndRotation) {
  LogFiles logs(config_, clock_, 0);
  LogSettings first = AllEnabled();
  LogSettings second = first;
  second.server_log_path = (dir_ / "server2.log").string();
  second.user_agent_log_path = (dir_ / "agents2.log").string();
  ASSERT_TRUE(OpenWith(logs, first));
  logs.SetRotationInterval(1);

  constexpr int kWriters = 4;
  constexpr int kLines = 2000;
  std::atomic<bool> done{false};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < kLines; ++i) {
        logs.WriteLogEntry(Record("GET /" + std::to_string(w) + "/" + std::to_string(i) +
                                  " HTTP/1.0"));
        logs.WriteUserAgentLine("agent " + std::to_string(w));
      }
    });
  }
  std::thread manager([&] {
    for (int i = 0; !done.load(); ++i) {
      OpenWith(logs, i % 2 ? first : second);
      ::usleep(200);
    }
  });
  std::thread rotator([&] {
    while (!done.load()) {
      clock_.tick += 1;
      clock_.now += 60;
      logs.RotateLogs();
      ::usleep(300);
    }
  });
  for (auto& t : writers) t.join();
  done = true;
  manager.join();
  rotator.join();

  size_t server_lines = 0, agent_lines = 0;
  for (auto& e : fs::directory_iterator(dir_)) {
    std::ifstream in(e.path());
    const bool server = e.path().filename().string().rfind("server", 0) == 0;
    for (std::string line; std::getline(in, line);) {
      if (server) {
        EXPECT_EQ(line.rfind("127.0.0.1 - - [", 0), 0u) << line;
        EXPECT_NE(line.find("\" 200 0"), std::string::npos) << line;
        ++server_lines;
      } else if (line.rfind("agent ", 0) == 0 && line.size() == 7) {
        ++agent_lines;
      } else {
        ADD_FAILURE() << e.path() << ": " << line;
      }
    }
  }
  EXPECT_EQ(server_lines, size_t{kWriters * kLines});
  EXPECT_EQ(agent_lines, size_t{kWriters * kLines});
}


}  // namespace
}  // namespace server
