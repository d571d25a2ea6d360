#include "platform/service/eventlog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/service/service_host.h"

namespace {

class EventLogTest : public testing::Test {
 protected:
  void SetUp() override {
    path_ = std::filesystem::temp_directory_path() /
            ("eventlog-" + std::to_string(getpid()) + ".txt");
    std::filesystem::remove(path_);
    setenv("QUORVEL_EVENTLOG_FILE", path_.c_str(), 1);
  }
  void TearDown() override { std::filesystem::remove(path_); }
  std::string Read() const {
    std::ifstream in(path_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::filesystem::path path_;
};

TEST_F(EventLogTest, EntryReachesTheFileWithItsSourceName) {
  HANDLE h = RegisterEventSourceA(nullptr, "Quorvel DIME Parser");
  ASSERT_NE(h, nullptr);
  const char* strings[] = {"Error: %s%n bad"};  // data, never a format
  EXPECT_TRUE(ReportEventA(h, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr));
  EXPECT_TRUE(DeregisterEventSource(h));
  EXPECT_EQ(Read(), "Quorvel DIME Parser: Error: %s%n bad\n");
}

TEST_F(EventLogTest, ControlCharactersCannotForgeASecondEntry) {
  HANDLE h = RegisterEventSourceA(nullptr, "src");
  const char* strings[] = {"one\ntwo\r", "three"};
  ReportEventA(h, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 2, 0, strings, nullptr);
  DeregisterEventSource(h);
  EXPECT_EQ(Read(), "src: one\\x0Atwo\\x0D three\n");
}

TEST_F(EventLogTest, NullHandlesAndRemoteServersAreRefused) {
  EXPECT_EQ(RegisterEventSourceA("otherhost", "src"), nullptr);
  EXPECT_EQ(RegisterEventSourceA(nullptr, nullptr), nullptr);
  EXPECT_FALSE(ReportEventA(nullptr, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 0, 0, nullptr, nullptr));
  EXPECT_FALSE(DeregisterEventSource(nullptr));
  EXPECT_EQ(Read(), "");
}

TEST_F(EventLogTest, ReporterPrintsOutsideTheServiceCutsAndAlwaysReports) {
  service::EventReporter reporter("Quorvel SOAP Service");
  testing::internal::CaptureStdout();
  reporter.LogEvent("Host: %s... Number of listening sockets: %d", "box", 1);
  reporter.LogEvent("%s", std::string(300, 'x').c_str());
  reporter.SetRunningAsService(true);
  reporter.LogEvent("Service started");
  const std::string console = testing::internal::GetCapturedStdout();

  const std::string cut(255, 'x');
  EXPECT_EQ(console, "Host: box... Number of listening sockets: 1\n" + cut + "\n");
  EXPECT_EQ(Read(), "Quorvel SOAP Service: Host: box... Number of listening sockets: 1\n"
                    "Quorvel SOAP Service: " + cut + "\n"
                    "Quorvel SOAP Service: Service started\n");
}

}  // namespace
