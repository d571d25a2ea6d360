// A fixture that runs a service program as its users do: a copy of the
// executable in a temporary directory, and the registry, unit directory and
// event log of the test binary. A program's fixture names the executable to
// copy and the host identity it registers under.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/service/service_host.h"

namespace service_testing {

class ServiceProcessTest : public ::testing::Test {
 protected:
  // `program` is copied to a fresh directory as `name`.
  ServiceProcessTest(std::string program, std::string name, service::HostIdentity identity)
      : program_(std::move(program)), name_(std::move(name)), identity_(std::move(identity)) {}

  // A fresh directory holding the copy, no event log and no registration.
  void SetUp() override;
  // Kills a process left in pid_, then unregisters and removes the directory.
  void TearDown() override;

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
  // True once `line` is in the event log, waiting up to `limit`.
  bool WaitForEvent(const std::string& line, std::chrono::milliseconds limit) const;

  // True once no process serves `clsid` in this runtime directory.
  static bool WaitUntilClassIsFree(REFCLSID clsid, std::chrono::milliseconds limit);

  const service::HostIdentity& Identity() const { return identity_; }

  std::filesystem::path dir_;
  std::filesystem::path exe_;
  std::filesystem::path eventLog_;
  pid_t pid_ = -1;

 private:
  const std::string program_;
  const std::string name_;
  const service::HostIdentity identity_;
};

}  // namespace service_testing
