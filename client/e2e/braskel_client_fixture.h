// The braskel program started for a client test: a configuration with the
// given endpoints on a free loopback port, which Start reports.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>

#include "client/testing/message_testing.h"
#include "server/braskel/service_registration.h"
#include "server/braskel/testing/braskel_process.h"
#include "server/http/testing/test_files.h"

namespace client::testing {

// One registration for the whole binary, whichever of its files use it.
[[maybe_unused]] inline auto* const kBraskelClientEnvironment =
    ::testing::AddGlobalTestEnvironment(new ComponentEnvironment(
        {QV_SOAPSTRUCT_COMPONENT, QV_QUENLIN_COMPONENT, QV_DORVISH_COMPONENT, QV_TEST_PLUGINS}));

class BraskelClientTest : public server_testing::BraskelProcessTest {
 protected:
  // Serves the <endpoint> elements of `endpoints`, with more configuration
  // elements in `settings`; 0 (and a failure) when the server never says
  // where it listens.
  uint16_t Start(const std::string& endpoints, const std::string& settings = "") {
    using namespace std::chrono_literals;
    WriteConfig(
        "<listenAddress>127.0.0.1</listenAddress><listenPort>0</listenPort>"
        "<numWorkThreads>2</numWorkThreads>" +
        settings + "<endpointList>" +
        endpoints + "</endpointList>");
    EXPECT_EQ(Run({"-Service"}), 0);
    pid_ = Spawn(exe_, {}, std::string(server::kServiceName));
    const std::string prefix = std::string(server::kServiceName) + ": Listening on 127.0.0.1:";
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < end) {
      for (const std::string& l : EventLines()) {
        if (l.rfind(prefix, 0) == 0) {
          return static_cast<uint16_t>(std::stoi(l.substr(prefix.size())));
        }
      }
      std::this_thread::sleep_for(20ms);
    }
    ADD_FAILURE() << "no listening line in:\n" << server_testing::ReadFile(eventLog_);
    return 0;
  }

  // A sanitizer finding in the server (a leak) makes its exit status non-zero.
  void StopServer() {
    using namespace std::chrono_literals;
    kill(pid_, SIGTERM);
    EXPECT_EQ(Wait(pid_, 60s), 0);
    pid_ = -1;
  }
};

}  // namespace client::testing
