#include "platform/com/remote/testhost/remote_test_setup.h"

#include <stdlib.h>
#include <sys/wait.h>

#include "platform/com/registration.h"
#include "platform/com/remote/testhost/test_remote.h"

namespace com::testing {

RemoteTestSetup::RemoteTestSetup(unsigned linger_ms)
    : registry_(std::make_unique<registry::testing::TempRegistry>()) {
  // Sockets of this run only: a host lingering from another run serves
  // another registry.
  if (const char* old = getenv("QUORVEL_RUNTIME_DIR")) saved_runtime_dir_ = old;
  setenv("QUORVEL_RUNTIME_DIR", (registry_->dir() + "/run").c_str(), 1);
  for (const char* component :
       {QV_SOAPSTRUCT_COMPONENT, QV_DORVISH_COMPONENT, QV_QUENLIN_COMPONENT}) {
    const std::string command = std::string(QV_REGCOMP) + " -s " + component + " 2>/dev/null";
    const int status = system(command.c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      error_ = std::string("registering ") + component + " failed";
      return;
    }
  }
  ClassRegistration reg;
  reg.clsid = CLSID_TestRemote;
  reg.description = "TestRemote Class";
  reg.prog_id = "QuorvelTest.Remote.1";
  reg.version_independent_prog_id = "QuorvelTest.Remote";
  reg.local_server = std::string(QV_TEST_REMOTE_HOST) + " " + std::to_string(linger_ms);
  if (FAILED(RegisterServerClass(reg))) error_ = "registering the test class failed";
}

RemoteTestSetup::~RemoteTestSetup() {
  if (saved_runtime_dir_) {
    setenv("QUORVEL_RUNTIME_DIR", saved_runtime_dir_->c_str(), 1);
  } else {
    unsetenv("QUORVEL_RUNTIME_DIR");
  }
}

}  // namespace com::testing
