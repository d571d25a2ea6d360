// Several copies of the braskel program at once, each on a loopback port of
// its own with its own directory, runtime directory and event log, sharing
// the test binary's registry, where SetUp registers the given components
// and the service. Tests that pass requests between servers build on it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "server/braskel/testing/braskel_process.h"

namespace server_testing {

class BraskelInstancesTest : public BraskelProcessTest {
 protected:
  struct Instance {
    std::filesystem::path dir;
    pid_t pid = -1;
    uint16_t port = 0;
  };

  // `components`: component libraries registered (with `regcomp`) before
  // the service.
  BraskelInstancesTest(std::string regcomp, std::vector<std::string> components)
      : regcomp_(std::move(regcomp)), components_(std::move(components)) {}

  void SetUp() override;
  // Stops every copy still running.
  void TearDown() override;

  // Starts a copy in its own directory under dir_, serving `endpoints` on
  // `listenPort` (0: any free one); `env` adds variables. Returns once it
  // reports its port (0 and a failure when it does not).
  Instance& Start(const std::string& name, const std::string& endpoints,
                  std::vector<std::string> env = {}, uint16_t listenPort = 0);
  // A sanitizer finding (a leak) makes the exit status non-zero.
  void Stop(Instance& i);
  // Sends `request` to `port` and reads the whole reply.
  static std::string Exchange(uint16_t port, const std::string& request);

  std::vector<std::unique_ptr<Instance>> instances_;

 private:
  std::string regcomp_;
  std::vector<std::string> components_;
};

}  // namespace server_testing
