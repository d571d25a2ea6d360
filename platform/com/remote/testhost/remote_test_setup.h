// A registry for cross-process tests: the struct, WSDL reader and message
// components, and the test class, whose LocalServer32 command is the test host. The host started
// from it inherits the registry and runtime directory through the environment.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/base/base.h"
#include "platform/registry/testing/temp_registry.h"

namespace com::testing {

class RemoteTestSetup {
 public:
  // `linger_ms`: how long a started host stays after its last client.
  explicit RemoteTestSetup(unsigned linger_ms);
  ~RemoteTestSetup();
  // Empty when setting up failed; else what went wrong.
  const std::string& error() const { return error_; }

 private:
  std::unique_ptr<registry::testing::TempRegistry> registry_;
  std::string error_;
  std::optional<std::string> saved_runtime_dir_;
};

}  // namespace com::testing
