// The braskel program's switches, registration and service runs, as its
// users start it.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/braskelmgr.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/remote/remote.h"
#include "platform/registry/registry.h"
#include "server/braskel/service_registration.h"
#include "server/braskel/testing/braskel_process.h"
#include "server/http/testing/test_files.h"

namespace server {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using server_testing::ReadFile;

class BraskelTest : public server_testing::BraskelProcessTest {
 protected:
  void SetUp() override {
    BraskelProcessTest::SetUp();
    if (HasFatalFailure()) return;
    const char* units = std::getenv("QUORVEL_UNIT_DIR");
    ASSERT_NE(units, nullptr);
    unitDir_ = units;
  }

  // True once the program blocks or catches SIGTERM: it will then stop
  // cleanly rather than die of the signal. Until it has started the program
  // the child still has the test's own signal state, which says nothing.
  bool WaitUntilStoppable(pid_t pid, std::chrono::milliseconds limit) const {
    const auto end = std::chrono::steady_clock::now() + limit;
    const unsigned long long bit = 1ull << (SIGTERM - 1);
    do {
      std::error_code ec;
      if (!fs::equivalent("/proc/" + std::to_string(pid) + "/exe", exe_, ec)) {
        std::this_thread::sleep_for(5ms);
        continue;
      }
      std::ifstream status("/proc/" + std::to_string(pid) + "/status");
      for (std::string l; std::getline(status, l);) {
        if (l.rfind("SigBlk:", 0) == 0 || l.rfind("SigCgt:", 0) == 0) {
          if (std::stoull(l.substr(7), nullptr, 16) & bit) return true;
        }
      }
      std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < end);
    return false;
  }

  // TCP sockets of `pid` in the listening state.
  static int ListeningSockets(pid_t pid) {
    std::set<std::string> inodes;
    const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& e : fs::directory_iterator(fds)) {
      std::error_code ec;
      const std::string target = fs::read_symlink(e.path(), ec).string();
      if (target.rfind("socket:[", 0) == 0) inodes.insert(target.substr(8, target.size() - 9));
    }
    int listening = 0;
    for (const char* table : {"net/tcp", "net/tcp6"}) {
      std::ifstream in("/proc/" + std::to_string(pid) + "/" + table);
      std::string line;
      std::getline(in, line);  // header
      while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string sl, local, remote, state, queues, timer, retr, uid, timeout, inode;
        f >> sl >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
        if (state == "0A" && inodes.count(inode)) ++listening;
      }
    }
    return listening;
  }

  static std::string AppIdValue(const char* name) {
    std::string v;
    return registry::ReadString(HKEY_CLASSES_ROOT, kAppIdKey, name, &v) ? v : "<absent>";
  }
  static bool AppIdKeyExists() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kAppIdKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
      return false;
    }
    RegCloseKey(key);
    return true;
  }
  std::vector<std::string> UnitFiles() const {
    std::vector<std::string> files;
    if (!fs::exists(unitDir_)) return files;
    for (const auto& e : fs::directory_iterator(unitDir_)) files.push_back(ReadFile(e.path()));
    return files;
  }

  fs::path unitDir_;
};

TEST(BraskelIdentityTest, RegistryTextsNameTheSystemWideGuids) {
  // Every deliverable that creates the management class takes these from one header.
  GUID clsid, app_id;
  ASSERT_TRUE(com::GuidFromRegistryString(server::kBraskelMgrClsid, &clsid));
  ASSERT_TRUE(com::GuidFromRegistryString(server::kAppId, &app_id));
  EXPECT_EQ(clsid, CLSID_braskelmgr2);
  EXPECT_EQ(app_id, APPID_braskel);
  EXPECT_EQ(std::string(server::kAppIdKey), std::string("AppID\\") + server::kAppId);
}

TEST_F(BraskelTest, SwitchesChangeTheRegistryAndExitWithTheResult) {
  for (const char* sw : {"-RegServer", "/regserver", "-REGSERVER"}) {
    SCOPED_TRACE(sw);
    ASSERT_EQ(Run({"-Service"}), 0);
    ASSERT_EQ(UnitFiles().size(), 1u);
    ASSERT_EQ(Run({sw}), 0);
    EXPECT_TRUE(AppIdKeyExists());
    EXPECT_EQ(AppIdValue(kLocalServiceValue), "<absent>");
    EXPECT_TRUE(UnitFiles().empty()) << "RegServer removes the installed service";
    std::string server;
    EXPECT_TRUE(registry::ReadString(HKEY_CLASSES_ROOT,
                                     std::string("CLSID\\") + kBraskelMgrClsid + "\\LocalServer32",
                                     nullptr, &server));
    EXPECT_EQ(server, exe_.string());
  }

  for (const char* sw : {"-Service", "/SERVICE", "-service"}) {
    SCOPED_TRACE(sw);
    ASSERT_EQ(Run({sw}), 0);
    EXPECT_EQ(AppIdValue(kLocalServiceValue), kServiceName);
    const std::vector<std::string> units = UnitFiles();
    ASSERT_EQ(units.size(), 1u);
    EXPECT_NE(units[0].find(exe_.string()), std::string::npos) << units[0];
    EXPECT_NE(units[0].find("QUORVEL_SERVICE_NAME"), std::string::npos) << units[0];
  }

  ASSERT_EQ(Run({"/UnregServer"}), 0);
  EXPECT_FALSE(AppIdKeyExists());
  EXPECT_TRUE(UnitFiles().empty());
  std::string ignored;
  EXPECT_FALSE(registry::ReadString(HKEY_CLASSES_ROOT, kBraskelMgrProgId + std::string("\\CLSID"),
                                    nullptr, &ignored));
}

// Unregistering a running installed service stops it through systemd first,
// while its unit still exists, and then removes it.
TEST_F(BraskelTest, UnregServerStopsTheRunningServiceFirst) {
  WriteConfig("<listenAddress>127.0.0.1</listenAddress><listenPort>0</listenPort>");
  ASSERT_EQ(Run({"-Service"}), 0);
  pid_ = Spawn(exe_, {}, std::string(kServiceName));
  ASSERT_TRUE(WaitForEvent(std::string(kServiceName) + ": Service started", 30s));
  ASSERT_TRUE(WaitUntilStoppable(pid_, 10s));
  // Stands in for systemctl: notes how it was called and whether the unit was
  // still there, and stops the service as systemd would.
  const fs::path unit = unitDir_ / "quorvel-soap-service.service";
  const fs::path calls = dir_ / "systemctl.calls";
  const fs::path script = dir_ / "systemctl";
  {
    std::ofstream out(script);
    out << "#!/bin/sh\necho \"$*\" >> '" << calls.string() << "'\n"
        << "[ -f '" << unit.string() << "' ] && echo unit-present >> '" << calls.string() << "'\n"
        << "kill -TERM " << pid_ << "\n";
  }
  fs::permissions(script, fs::perms::owner_all);
  setenv("QUORVEL_SYSTEMCTL", script.c_str(), 1);
  const int unregistered = Run({"-UnregServer"});
  unsetenv("QUORVEL_SYSTEMCTL");
  EXPECT_EQ(unregistered, 0);
  EXPECT_EQ(Wait(pid_, 60s), 0);
  pid_ = -1;
  const std::string expected =
      std::string(geteuid() == 0 ? "" : "--user ") + "stop quorvel-soap-service.service\n";
  EXPECT_EQ(ReadFile(calls), expected + "unit-present\n");
  EXPECT_TRUE(UnitFiles().empty());
  EXPECT_EQ(EventLines().back(), std::string(kServiceName) + ": Service stopped");
}

TEST_F(BraskelTest, AFailedRegistrationNeverExitsZero) {
  // The registry cannot be written: its directory would have to be a file's.
  std::ofstream(dir_ / "file") << "x";
  const std::string registry = (dir_ / "file" / "registry").string();
  for (const char* sw : {"-RegServer", "-Service"}) {
    SCOPED_TRACE(sw);
    const int status = Wait(Spawn(exe_, {sw}, std::nullopt, registry), 60s);
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1) << "it ended by itself";
  }
  EXPECT_FALSE(AppIdKeyExists());
}

TEST_F(BraskelTest, WithoutRegistrationTheProcessEndsWithNotFound) {
  // A longer word is no switch, so the program tries to run.
  EXPECT_EQ(Run({"-RegServerX"}), 2);
  EXPECT_EQ(Run({"RegServer"}), 2) << "a word without - or / is no switch";
  EXPECT_EQ(Run({}), 2);
  EXPECT_FALSE(AppIdKeyExists());

  // The program's own path is not scanned for switches.
  fs::create_directories(dir_ / "-Service");
  const fs::path named = dir_ / "-Service" / "Service";
  fs::copy_file(exe_, named);
  EXPECT_EQ(Wait(Spawn(named, {}, std::nullopt), 60s), 2);
  EXPECT_FALSE(AppIdKeyExists());
}

TEST_F(BraskelTest, ServiceStartsAndStopsOnSigterm) {
  WriteConfig("<listenAddress>127.0.0.1</listenAddress><listenPort>0</listenPort>");
  ASSERT_EQ(Run({"-Service"}), 0);
  pid_ = Spawn(exe_, {}, std::string(kServiceName));
  ASSERT_TRUE(WaitForEvent(std::string(kServiceName) + ": Service started", 30s));
  ASSERT_TRUE(WaitUntilStoppable(pid_, 10s));
  kill(pid_, SIGTERM);
  EXPECT_EQ(Wait(pid_, 60s), 0);
  pid_ = -1;
  const std::vector<std::string> lines = EventLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), std::string(kServiceName) + ": Service stopped");
}

// A stop that arrives while the service is still starting: the start and the
// stop are both reported to systemd, in that order, and the process ends
// cleanly. The dispatcher thread and the service thread both report status.
TEST_F(BraskelTest, StopDuringStartIsReportedAfterTheStart) {
  WriteConfig("<listenAddress>127.0.0.1</listenAddress><listenPort>0</listenPort>");
  ASSERT_EQ(Run({"-Service"}), 0);
  const std::string socketPath = (dir_ / "notify").string();
  const int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  setenv("NOTIFY_SOCKET", socketPath.c_str(), 1);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    pid_ = Spawn(exe_, {}, std::string(kServiceName));
    ASSERT_TRUE(WaitUntilStoppable(pid_, 10s));
    kill(pid_, SIGTERM);
    EXPECT_EQ(Wait(pid_, 60s), 0);
    pid_ = -1;
    std::vector<std::string> notes;
    char buf[256];
    for (ssize_t n; (n = recv(sock, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
      notes.emplace_back(buf, size_t(n));
    EXPECT_EQ(notes, (std::vector<std::string>{"READY=1", "STOPPING=1"}));
    EXPECT_EQ(EventLines().back(), std::string(kServiceName) + ": Service stopped");
  }
  unsetenv("NOTIFY_SOCKET");
  close(sock);
}

// A stop during the start's pause (seconds long) ends the process without
// waiting the pause out; the bound is generous, far below the pause.
TEST_F(BraskelTest, AStopDuringTheStartPauseDoesNotWaitItOut) {
  WriteConfig("<listenAddress>127.0.0.1</listenAddress><listenPort>0</listenPort>");
  ASSERT_EQ(Run({"-Service"}), 0);
  pid_ = Spawn(exe_, {}, std::string(kServiceName));
  ASSERT_TRUE(WaitForEvent(std::string(kServiceName) + ": Service started", 30s));
  ASSERT_TRUE(WaitUntilStoppable(pid_, 10s));
  const auto asked = std::chrono::steady_clock::now();
  kill(pid_, SIGTERM);
  EXPECT_EQ(Wait(pid_, 60s), 0);
  pid_ = -1;
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 3s);
  EXPECT_EQ(EventLines().back(), std::string(kServiceName) + ": Service stopped");
}

TEST_F(BraskelTest, ServiceWithoutConfigurationRunsAndReportsIt) {
  ASSERT_EQ(Run({"-Service"}), 0);
  pid_ = Spawn(exe_, {}, std::string(kServiceName));
  ASSERT_TRUE(WaitForEvent(
      std::string(kServiceName) + ": Attempt to read configuration file failed!", 30s));
  ASSERT_TRUE(WaitUntilStoppable(pid_, 10s));
  EXPECT_EQ(ListeningSockets(pid_), 0);
  kill(pid_, SIGTERM);
  EXPECT_EQ(Wait(pid_, 60s), 0);
  pid_ = -1;
  EXPECT_EQ(EventLines().back(), std::string(kServiceName) + ": Service stopped");
}

TEST_F(BraskelTest, OutsideTheServiceManagerItRunsAsAPlainLocalServer) {
  WriteConfig("<listenAddress>127.0.0.1</listenAddress><listenPort>0</listenPort>");
  for (const char* sw : {"-RegServer", "-Service"}) {
    SCOPED_TRACE(sw);
    ASSERT_EQ(Run({sw}), 0);
    fs::remove(eventLog_);
    // Another service's name is not ours.
    pid_ = Spawn(exe_, {}, std::string("Some Other Service"));
    ASSERT_TRUE(WaitUntilStoppable(pid_, 30s));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(ListeningSockets(pid_), 0);
    kill(pid_, SIGTERM);
    EXPECT_EQ(Wait(pid_, 60s), 0);
    pid_ = -1;
    for (const std::string& l : EventLines()) {
      EXPECT_EQ(l.find("Service started"), std::string::npos) << l;
    }
  }
}

TEST_F(BraskelTest, APlainLocalServerThatNobodyHoldsEndsByItself) {
  ASSERT_EQ(Run({"-RegServer"}), 0);
  pid_ = Spawn(exe_, {}, std::nullopt);
  // No SIGTERM: the shut-down monitor ends the loop.
  EXPECT_EQ(Wait(pid_, 60s), 0);
  pid_ = -1;
}

// The management class is served by the program: in the service it works on
// the running server, in a plain local server it gives false and changes
// nothing.
TEST_F(BraskelTest, TheManagementClassSeesTheRunningServiceOnly) {
  WriteConfig(
      "<listenAddress>127.0.0.1</listenAddress><listenPort>0</listenPort>"
      "<numWorkThreads>5</numWorkThreads>");
  ASSERT_EQ(Run({"-Service"}), 0);
  pid_ = Spawn(exe_, {}, std::string(kServiceName));
  ASSERT_TRUE(WaitForEvent(std::string(kServiceName) + ": Service started", 30s));
  ASSERT_TRUE(WaitUntilStoppable(pid_, 10s));
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  {
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"braskel.braskelmgr2", &clsid), S_OK);
    ComPtr<IDispatch> remote;
    ASSERT_EQ(
        CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, remote.ReceiveVoid()),
        S_OK);
    ComPtr<Ibraskelmgr2::Proxy> mgr = com::MakeComObject<Ibraskelmgr2::Proxy>(remote.Get());
    LONG port = -1, threads = -1, slots = -1, timeout = -1, watchdog = -1;
    VARIANT_BOOL result = VARIANT_FALSE;
    ASSERT_EQ(mgr->GetServerParams(&port, &threads, &slots, &timeout, &watchdog, &result), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
    EXPECT_EQ(threads, 5);
    ASSERT_EQ(mgr->SetLogSettings(Bstr(u"/m/server.log").Get(), Bstr(u"").Get(), Bstr(u"").Get(),
                                  VARIANT_FALSE, VARIANT_FALSE, VARIANT_FALSE, &result),
              S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
  }
  CoUninitialize();
  EXPECT_NE(ReadFile(dir_ / "brevla-config.xml").find("<serverLogPath>/m/server.log<"),
            std::string::npos);
  kill(pid_, SIGTERM);
  EXPECT_EQ(Wait(pid_, 60s), 0);
  pid_ = -1;

  // Registered as a plain local server, started on demand by the creation.
  ASSERT_EQ(Run({"-RegServer"}), 0);
  const std::string fileBefore = ReadFile(dir_ / "brevla-config.xml");
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  {
    ComPtr<IDispatch> remote;
    ASSERT_EQ(CoCreateInstance(CLSID_braskelmgr2, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                               remote.ReceiveVoid()),
              S_OK);
    ComPtr<Ibraskelmgr2::Proxy> mgr = com::MakeComObject<Ibraskelmgr2::Proxy>(remote.Get());
    LONG l[5];
    VARIANT_BOOL result = VARIANT_TRUE;
    ASSERT_EQ(mgr->GetServerParams(&l[0], &l[1], &l[2], &l[3], &l[4], &result), S_OK);
    EXPECT_EQ(result, VARIANT_FALSE);
    result = VARIANT_TRUE;
    ASSERT_EQ(mgr->SetLogSettings(Bstr(u"/other.log").Get(), Bstr(u"").Get(), Bstr(u"").Get(),
                                  VARIANT_TRUE, VARIANT_FALSE, VARIANT_FALSE, &result),
              S_OK);
    EXPECT_EQ(result, VARIANT_FALSE);
  }
  CoUninitialize();
  EXPECT_EQ(ReadFile(dir_ / "brevla-config.xml"), fileBefore);
  // The server started on demand lingers for its shut-down delay, holding the
  // class; the next service started here must not find it taken.
  EXPECT_TRUE(WaitUntilClassIsFree(CLSID_braskelmgr2, 30s));
}

}  // namespace
}  // namespace server
