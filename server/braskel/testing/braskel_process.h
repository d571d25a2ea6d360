// A fixture that runs the braskel program as its users do: a copy of the
// executable in a temporary directory with its configuration beside it, and
// the registry, unit directory and event log of the test binary. The test
// binary defines BRASKEL_PATH, the executable to copy.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace server_testing {

class BraskelProcessTest : public ::testing::Test {
 protected:
  // A fresh directory holding the copy, no event log and no registration.
  void SetUp() override;
  // Kills a process left in pid_, then unregisters and removes the directory.
  void TearDown() override;

  // brevla-config.xml beside the copy: `body` inside <configuration>.
  void WriteConfig(const std::string& body) const;

  // Starts `exe` with `args`, its output appended to stdout.txt in dir_;
  // `serviceName` set puts QUORVEL_SERVICE_NAME in its environment, and it
  // is removed otherwise. `registry` set replaces QUORVEL_REGISTRY. Each
  // "NAME=value" of `extraEnv` replaces the variable of that name.
  // -1 (and a test failure) when it cannot start.
  pid_t Spawn(const std::filesystem::path& exe, const std::vector<std::string>& args,
              const std::optional<std::string>& serviceName,
              const std::optional<std::string>& registry = std::nullopt,
              const std::vector<std::string>& extraEnv = {}) const;

  // The exit status (128 + signal when killed by one), or -1 when it did not
  // end within `limit` (it is then killed).
  static int Wait(pid_t pid, std::chrono::milliseconds limit);

  // Runs the copy with `args` outside the service manager to its end.
  int Run(const std::vector<std::string>& args) const;

  std::vector<std::string> EventLines() const;

  std::filesystem::path dir_;
  std::filesystem::path exe_;
  std::filesystem::path eventLog_;
  pid_t pid_ = -1;
};

}  // namespace server_testing
