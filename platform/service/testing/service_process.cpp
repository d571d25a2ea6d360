#include "platform/service/testing/service_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/com/remote/remote.h"

extern char** environ;

namespace service_testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

void ServiceProcessTest::SetUp() {
  dir_ = fs::temp_directory_path() /
         (name_ + "-" + std::to_string(getpid()) + "-" +
          ::testing::UnitTest::GetInstance()->current_test_info()->name());
  fs::remove_all(dir_);
  fs::create_directories(dir_);
  exe_ = dir_ / name_;
  fs::copy_file(program_, exe_);
  const char* log = std::getenv("QUORVEL_EVENTLOG_FILE");
  ASSERT_NE(log, nullptr);
  eventLog_ = log;
  fs::remove(eventLog_);
  ASSERT_EQ(service::UnregisterServer(identity_), S_OK);
}

void ServiceProcessTest::TearDown() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  EXPECT_EQ(service::UnregisterServer(identity_), S_OK);
  fs::remove_all(dir_);
}

pid_t ServiceProcessTest::Spawn(const fs::path& exe, const std::vector<std::string>& args,
                                const std::optional<std::string>& serviceName,
                                const std::optional<std::string>& registry,
                                const std::vector<std::string>& extraEnv) const {
  auto replaced = [&](const std::string& var) {
    for (const std::string& e : extraEnv) {
      const size_t eq = e.find('=');
      if (eq != std::string::npos && var.compare(0, eq + 1, e, 0, eq + 1) == 0) return true;
    }
    return false;
  };
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string var(*e);
    if (var.rfind("QUORVEL_SERVICE_NAME=", 0) == 0) continue;
    if (registry && var.rfind("QUORVEL_REGISTRY=", 0) == 0) continue;
    if (replaced(var)) continue;
    env.push_back(var);
  }
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  if (serviceName) env.push_back("QUORVEL_SERVICE_NAME=" + *serviceName);
  if (registry) env.push_back("QUORVEL_REGISTRY=" + *registry);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argStrings{exe.string()};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string out = (dir_ / "stdout.txt").string();
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(rc, 0);
  return rc == 0 ? pid : -1;
}

int ServiceProcessTest::Wait(pid_t pid, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (std::chrono::steady_clock::now() > end) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return -1;
    }
    std::this_thread::sleep_for(20ms);
  }
}

int ServiceProcessTest::Run(const std::vector<std::string>& args) const {
  return Wait(Spawn(exe_, args, std::nullopt), 60s);
}

std::vector<std::string> ServiceProcessTest::EventLines() const {
  std::vector<std::string> lines;
  std::ifstream in(eventLog_, std::ios::binary);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

bool ServiceProcessTest::WaitForEvent(const std::string& line,
                                      std::chrono::milliseconds limit) const {
  const auto end = std::chrono::steady_clock::now() + limit;
  do {
    for (const std::string& l : EventLines()) {
      if (l == line) return true;
    }
    std::this_thread::sleep_for(20ms);
  } while (std::chrono::steady_clock::now() < end);
  return false;
}

bool ServiceProcessTest::WaitUntilClassIsFree(REFCLSID clsid, std::chrono::milliseconds limit) {
  const std::string lock = com::remote::ClassSocketPath(clsid) + ".lock";
  const auto end = std::chrono::steady_clock::now() + limit;
  do {
    const int fd = open(lock.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return true;
    const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    if (free) return true;
    std::this_thread::sleep_for(50ms);
  } while (std::chrono::steady_clock::now() < end);
  return false;
}

}  // namespace service_testing
