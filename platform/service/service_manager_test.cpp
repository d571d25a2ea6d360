#include "platform/service/service_manager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/registry/registry.h"

namespace service {
namespace {

namespace fs = std::filesystem;

// Sets environment variables for one test and puts the old values back.
class ScopedEnv {
 public:
  void Set(const char* name, const char* value) {
    if (!saved_.count(name)) {
      const char* old = ::getenv(name);
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    for (auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// ---- Dispatcher ------------------------------------------------------------------

constexpr char kName[] = "Quorvel Test Service";

// What the test service main and its handler saw; one service runs at a time.
struct Observed {
  std::mutex mu;
  std::condition_variable cv;
  bool stop = false;
  int stops = 0;
  std::thread::id handler_thread;
  std::thread::id main_thread;
  std::string argv0;
  DWORD argc = 0;
  SERVICE_STATUS_HANDLE handle = nullptr;
  int signal_to_raise = SIGTERM;
  bool raise_before_register = false;
  bool stop_signals_blocked = false;
  DWORD nested_dispatch_error = 0;
  DWORD wrong_name_error = 0;
};
Observed* g_seen = nullptr;

void Report(DWORD state) {
  SERVICE_STATUS status;
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  SetServiceStatus(g_seen->handle, &status);
}

void TestHandler(DWORD control) {
  std::lock_guard<std::mutex> lock(g_seen->mu);
  g_seen->handler_thread = std::this_thread::get_id();
  if (control == SERVICE_CONTROL_STOP) {
    ++g_seen->stops;
    g_seen->stop = true;
  }
  g_seen->cv.notify_all();
}

void TestServiceMain(DWORD argc, char** argv) {
  g_seen->main_thread = std::this_thread::get_id();
  g_seen->argc = argc;
  g_seen->argv0 = argv[0];
  sigset_t mask;
  ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  g_seen->stop_signals_blocked = sigismember(&mask, SIGTERM) && sigismember(&mask, SIGINT);
  const SERVICE_TABLE_ENTRY nested[] = {{kName, TestServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcher(nested)) g_seen->nested_dispatch_error = GetLastError();
  if (!RegisterServiceCtrlHandler("Another Service", TestHandler)) {
    g_seen->wrong_name_error = GetLastError();
  }
  if (g_seen->raise_before_register) {
    ::kill(::getpid(), g_seen->signal_to_raise);  // as systemd sends it: to the process
    ::usleep(50000);  // the dispatcher sees it before any handler exists
  }
  g_seen->handle = RegisterServiceCtrlHandler(kName, TestHandler);
  if (!g_seen->handle) return;
  Report(SERVICE_START_PENDING);
  Report(SERVICE_RUNNING);
  if (!g_seen->raise_before_register) ::kill(::getpid(), g_seen->signal_to_raise);
  std::unique_lock<std::mutex> lock(g_seen->mu);
  g_seen->cv.wait_for(lock, std::chrono::seconds(10), [] { return g_seen->stop; });
  lock.unlock();
  // Reported here, not in the handler, so that the order does not depend on
  // how an early stop races with the reports above.
  Report(SERVICE_STOP_PENDING);
  Report(SERVICE_STOPPED);
}

class DispatcherTest : public testing::Test {
 protected:
  void SetUp() override {
    g_seen = &seen_;
    ResetServiceStatusHistoryForTest();
  }
  void TearDown() override { g_seen = nullptr; }

  std::vector<DWORD> States() {
    std::vector<DWORD> states;
    for (const SERVICE_STATUS& s : ServiceStatusHistoryForTest()) states.push_back(s.dwCurrentState);
    return states;
  }

  Observed seen_;
  ScopedEnv env_;
};

TEST_F(DispatcherTest, FailsWhenNotStartedAsThisService) {
  const SERVICE_TABLE_ENTRY table[] = {{kName, TestServiceMain}, {nullptr, nullptr}};
  for (const char* value : {static_cast<const char*>(nullptr), "", "Other Service",
                            "quorvel test service"}) {
    env_.Set("QUORVEL_SERVICE_NAME", value);
    EXPECT_FALSE(StartServiceCtrlDispatcher(table)) << (value ? value : "(unset)");
    EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  }
  EXPECT_TRUE(seen_.main_thread == std::thread::id());
  EXPECT_EQ(RegisterServiceCtrlHandler(kName, TestHandler), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  SERVICE_STATUS status;
  EXPECT_FALSE(SetServiceStatus(nullptr, &status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(DispatcherTest, SignalsBecomeStopControlsOnTheDispatcherThread) {
  struct Case {
    int signal;
    bool before_register;
  };
  const Case cases[] = {{SIGTERM, false}, {SIGINT, false}, {SIGTERM, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "signal " << c.signal << " early " << c.before_register);
    seen_.stop = false;
    seen_.stops = 0;
    seen_.signal_to_raise = c.signal;
    seen_.raise_before_register = c.before_register;
    ResetServiceStatusHistoryForTest();
    env_.Set("QUORVEL_SERVICE_NAME", kName);
    const SERVICE_TABLE_ENTRY table[] = {{"First", TestServiceMain},
                                         {kName, TestServiceMain},
                                         {nullptr, nullptr}};
    ASSERT_TRUE(StartServiceCtrlDispatcher(table));

    EXPECT_EQ(seen_.stops, 1);
    EXPECT_EQ(seen_.argc, 1u);
    EXPECT_EQ(seen_.argv0, kName);
    EXPECT_EQ(seen_.handler_thread, std::this_thread::get_id());
    EXPECT_NE(seen_.main_thread, std::this_thread::get_id());
    EXPECT_TRUE(seen_.stop_signals_blocked);
    EXPECT_EQ(seen_.nested_dispatch_error, ERROR_SERVICE_ALREADY_RUNNING);
    EXPECT_EQ(seen_.wrong_name_error, ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(States(), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING,
                                            SERVICE_STOP_PENDING, SERVICE_STOPPED}));
    // The handle dies with the dispatch, and the signals get their old handlers back.
    SERVICE_STATUS status;
    EXPECT_FALSE(SetServiceStatus(seen_.handle, &status));
    struct sigaction now {};
    ::sigaction(c.signal, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
  }
}

TEST_F(DispatcherTest, RunningAndStoppingAreReportedToSystemd) {
  char dir_template[] = "/tmp/qvnotify-XXXXXX";
  ASSERT_NE(::mkdtemp(dir_template), nullptr);
  const std::string path = std::string(dir_template) + "/notify";
  const int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, path.c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  env_.Set("NOTIFY_SOCKET", path.c_str());
  env_.Set("QUORVEL_SERVICE_NAME", kName);
  const SERVICE_TABLE_ENTRY table[] = {{kName, TestServiceMain}, {nullptr, nullptr}};
  ASSERT_TRUE(StartServiceCtrlDispatcher(table));

  std::vector<std::string> messages;
  char buf[256];
  for (ssize_t n; (n = ::recv(sock, buf, sizeof buf, 0)) > 0;) messages.emplace_back(buf, n);
  EXPECT_EQ(messages, (std::vector<std::string>{"READY=1", "STOPPING=1"}));
  ::close(sock);
  fs::remove_all(dir_template);
}

// ---- Installing --------------------------------------------------------------------

class InstallTest : public testing::Test {
 protected:
  void SetUp() override {
    char dir_template[] = "/tmp/qvinstall-XXXXXX";
    ASSERT_NE(::mkdtemp(dir_template), nullptr);
    root_ = dir_template;
    env_.Set("QUORVEL_UNIT_DIR", (root_ / "units").c_str());
    env_.Set("QUORVEL_REGISTRY", (root_ / "reg" / "registry").c_str());
    env_.Set("QUORVEL_RUNTIME_DIR", "/run/q 100%");
    env_.Set("QUORVEL_EVENTLOG_FILE", nullptr);
    scm_ = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(scm_, nullptr);
  }
  void TearDown() override {
    CloseServiceHandle(scm_);
    fs::remove_all(root_);
  }

  SC_HANDLE Create(const char* name, const char* path) {
    return CreateService(scm_, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                         SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path, nullptr, nullptr,
                         "RPCSS\0", nullptr, nullptr);
  }
  size_t FilesUnder(const fs::path& dir) {
    size_t n = 0;
    if (fs::exists(dir)) {
      for (auto& e : fs::recursive_directory_iterator(dir)) n += e.is_regular_file();
    }
    return n;
  }

  fs::path root_;
  ScopedEnv env_;
  SC_HANDLE scm_ = nullptr;
};

TEST_F(InstallTest, CreateWritesTheUnitAndTheRecord) {
  SC_HANDLE svc = Create("Quorvel SOAP Service", "/opt/quorvel/bin/braskel");
  ASSERT_NE(svc, nullptr) << GetLastError();
  CloseServiceHandle(svc);

  const fs::path unit = root_ / "units" / "quorvel-soap-service.service";
  const std::string wanted_by =
      ::geteuid() == 0 ? "WantedBy=multi-user.target\n" : "WantedBy=default.target\n";
  EXPECT_EQ(ReadFile(unit),
            "# Service \"Quorvel SOAP Service\", installed by its program's Service switch.\n"
            "[Unit]\n"
            "Description=Quorvel SOAP Service\n"
            "After=network.target\n\n"
            "[Service]\n"
            "Type=notify\n"
            "NotifyAccess=main\n"
            "Environment=\"QUORVEL_SERVICE_NAME=Quorvel SOAP Service\"\n"
            "Environment=\"QUORVEL_REGISTRY=" + (root_ / "reg" / "registry").string() + "\"\n"
            "Environment=\"QUORVEL_RUNTIME_DIR=/run/q 100%%\"\n"
            "ExecStart=\"/opt/quorvel/bin/braskel\"\n"
            "KillSignal=SIGTERM\n\n"
            "[Install]\n" + wanted_by);

  std::optional<ServiceRecord> record = ReadServiceRecord("quorvel soap SERVICE");
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->name, "Quorvel SOAP Service");
  EXPECT_EQ(record->display_name, "Quorvel SOAP Service");
  EXPECT_EQ(record->binary_path, "/opt/quorvel/bin/braskel");
  EXPECT_EQ(record->service_type, SERVICE_WIN32_OWN_PROCESS);
  EXPECT_EQ(record->start_type, SERVICE_DEMAND_START);
  EXPECT_EQ(record->error_control, SERVICE_ERROR_NORMAL);
  EXPECT_EQ(record->dependencies, std::vector<std::string>{"RPCSS"});
  EXPECT_EQ(record->unit_path, unit.string());
}

TEST_F(InstallTest, TheRecordLivesInTheRegistry) {
  SC_HANDLE svc = Create("Quorvel SOAP Service", "/opt/q/braskel");
  ASSERT_NE(svc, nullptr) << GetLastError();
  CloseServiceHandle(svc);
  std::string image;
  EXPECT_TRUE(registry::ReadString(HKEY_LOCAL_MACHINE,
                                   "SYSTEM\\CurrentControlSet\\Services\\Quorvel SOAP Service",
                                   "ImagePath", &image));
  EXPECT_EQ(image, "/opt/q/braskel");

  // Another registry, even one in the same directory, knows no such service.
  env_.Set("QUORVEL_REGISTRY", (root_ / "reg" / "other").c_str());
  EXPECT_EQ(OpenService(scm_, "Quorvel SOAP Service", SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
}

// systemd starts a unit without HOME: the registry found at install time is the
// one the service must read, whether or not QUORVEL_REGISTRY was set.
TEST_F(InstallTest, TheUnitPinsTheRegistryFoundAtInstall) {
  env_.Set("QUORVEL_REGISTRY", nullptr);
  env_.Set("XDG_DATA_HOME", nullptr);
  env_.Set("HOME", (root_ / "home").c_str());
  env_.Set("QUORVEL_EVENTLOG_FILE", "relative/events.txt");
  SC_HANDLE svc = Create("Pinned", "/opt/q/braskel");
  ASSERT_NE(svc, nullptr) << GetLastError();
  CloseServiceHandle(svc);
  const std::string unit = ReadFile(root_ / "units" / "pinned.service");
  EXPECT_NE(unit.find("Environment=\"QUORVEL_REGISTRY=" + (root_ / "home").string() +
                      "/.local/share/quorvel/registry\"\n"),
            std::string::npos)
      << unit;
  EXPECT_NE(unit.find("Environment=\"QUORVEL_EVENTLOG_FILE=" + fs::current_path().string() +
                      "/relative/events.txt\"\n"),
            std::string::npos)
      << unit;
}

TEST_F(InstallTest, ExecStartQuotesWhatSystemdWouldExpand) {
  SC_HANDLE svc = Create("Odd", "/opt/my dir/100%/$HOME/a\"b\\c");
  ASSERT_NE(svc, nullptr);
  CloseServiceHandle(svc);
  const std::string unit = ReadFile(root_ / "units" / "odd.service");
  EXPECT_NE(unit.find("ExecStart=\"/opt/my dir/100%%/$$HOME/a\\\"b\\\\c\"\n"), std::string::npos)
      << unit;
}

TEST_F(InstallTest, SecondInstallFailsAndDeleteRemovesBoth) {
  SC_HANDLE svc = Create("Quorvel SOAP Service", "/bin/true");
  ASSERT_NE(svc, nullptr);
  CloseServiceHandle(svc);
  EXPECT_EQ(Create("Quorvel SOAP Service", "/bin/false"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_EXISTS);
  // Another spelling of the same unit name is the same service on this side.
  EXPECT_EQ(Create("quorvel-soap-service", "/bin/false"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_EXISTS);
  EXPECT_EQ(OpenService(scm_, "quorvel-soap-service", SERVICE_ALL_ACCESS), nullptr);

  svc = OpenService(scm_, "QUORVEL SOAP SERVICE", SERVICE_ALL_ACCESS);
  ASSERT_NE(svc, nullptr);
  EXPECT_TRUE(DeleteService(svc));
  EXPECT_TRUE(CloseServiceHandle(svc));
  EXPECT_EQ(FilesUnder(root_ / "units"), 0u);
  EXPECT_FALSE(ReadServiceRecord("Quorvel SOAP Service").has_value());
  EXPECT_EQ(OpenService(scm_, "Quorvel SOAP Service", SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(InstallTest, RefusesBadNamesAndPathsWithoutWritingAnything) {
  struct Case {
    const char* name;
    const char* path;
    DWORD error;
  };
  const Case cases[] = {
      {"", "/bin/true", ERROR_INVALID_NAME},
      {nullptr, "/bin/true", ERROR_INVALID_NAME},
      {"Bad\nName", "/bin/true", ERROR_INVALID_NAME},
      {"a/b", "/bin/true", ERROR_INVALID_NAME},
      {"***", "/bin/true", ERROR_INVALID_NAME},
      {"Good", "", ERROR_INVALID_PARAMETER},
      {"Good", nullptr, ERROR_INVALID_PARAMETER},
      {"Good", "/bin/true\nExecStartPre=/bin/evil", ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Create(c.name, c.path), nullptr) << (c.name ? c.name : "(null)");
    EXPECT_EQ(GetLastError(), c.error) << (c.name ? c.name : "(null)");
  }
  EXPECT_EQ(FilesUnder(root_), 0u);

  EXPECT_EQ(CreateService(nullptr, "Good", nullptr, 0, 0, 0, 0, "/bin/true", nullptr, nullptr,
                          nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(OpenSCManager("remote-host", nullptr, 0), nullptr);
  EXPECT_FALSE(CloseServiceHandle(nullptr));
}

TEST_F(InstallTest, UnwritableUnitDirectoryLeavesNoRecord) {
  std::ofstream(root_ / "plainfile") << "x";
  env_.Set("QUORVEL_UNIT_DIR", (root_ / "plainfile" / "units").c_str());
  EXPECT_EQ(Create("Quorvel SOAP Service", "/bin/true"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_WRITE_FAULT);
  EXPECT_FALSE(ReadServiceRecord("Quorvel SOAP Service").has_value());
  EXPECT_EQ(FilesUnder(root_), 1u);
}

TEST_F(InstallTest, ARecordNamingAnotherUnitNeverDeletesThatFile) {
  std::ofstream(root_ / "victim") << "keep";
  const std::string key = "SYSTEM\\CurrentControlSet\\Services\\Evil";
  ASSERT_EQ(registry::WriteString(HKEY_LOCAL_MACHINE, key, "UnitPath", (root_ / "victim").string()),
            ERROR_SUCCESS);
  SC_HANDLE svc = OpenService(scm_, "Evil", 0);
  ASSERT_NE(svc, nullptr);
  EXPECT_TRUE(DeleteService(svc));
  CloseServiceHandle(svc);
  EXPECT_TRUE(fs::exists(root_ / "victim"));
  EXPECT_FALSE(ReadServiceRecord("Evil").has_value());
}

TEST(LocationTest, DefaultsFollowTheEnvironment) {
  ScopedEnv env;
  env.Set("QUORVEL_UNIT_DIR", nullptr);
  env.Set("XDG_CONFIG_HOME", "/x/cfg");
  EXPECT_EQ(UnitDirectory(), ::geteuid() == 0 ? "/etc/systemd/system" : "/x/cfg/systemd/user");
  env.Set("QUORVEL_UNIT_DIR", "/u");
  EXPECT_EQ(UnitDirectory(), "/u");

  EXPECT_EQ(UnitFileName("Quorvel SOAP Service"), "quorvel-soap-service.service");
  EXPECT_EQ(UnitFileName("  Digest--Auth 2 "), "digest-auth-2.service");
}

}  // namespace
}  // namespace service
