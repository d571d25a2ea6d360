#include "server/braskel/testing/braskel_instances.h"

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "server/braskel/service_registration.h"
#include "server/http/testing/loopback_client.h"
#include "server/http/testing/test_files.h"

namespace server_testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

void BraskelInstancesTest::SetUp() {
  BraskelProcessTest::SetUp();
  if (HasFatalFailure()) return;
  for (const std::string& component : components_) {
    const std::string command = regcomp_ + " -s " + component;
    ASSERT_EQ(system(command.c_str()), 0) << command;
  }
  ASSERT_EQ(Run({"-Service"}), 0);
}

void BraskelInstancesTest::TearDown() {
  for (auto& i : instances_) {
    if (i->pid > 0) Stop(*i);
  }
  BraskelProcessTest::TearDown();
}

BraskelInstancesTest::Instance& BraskelInstancesTest::Start(const std::string& name,
                                                            const std::string& endpoints,
                                                            std::vector<std::string> env,
                                                            uint16_t listenPort) {
  auto instance = std::make_unique<Instance>();
  Instance& i = *instance;
  instances_.push_back(std::move(instance));
  i.dir = dir_ / name;
  fs::create_directories(i.dir / "run");
  fs::create_directories(i.dir / "www");
  fs::copy_file(BRASKEL_PATH, i.dir / "braskel");
  WriteFile(i.dir / "brevla-config.xml",
            "<configuration><listenAddress>127.0.0.1</listenAddress><listenPort>" +
                std::to_string(listenPort) +
                "</listenPort><numWorkThreads>3</numWorkThreads><docBasePath>" +
                (i.dir / "www").string() + "</docBasePath><endpointList>" + endpoints +
                "</endpointList></configuration>");
  const fs::path events = i.dir / "events.txt";
  env.push_back("QUORVEL_RUNTIME_DIR=" + (i.dir / "run").string());
  env.push_back("QUORVEL_EVENTLOG_FILE=" + events.string());
  i.pid = Spawn(i.dir / "braskel", {}, std::string(server::kServiceName), std::nullopt, env);
  const std::string prefix = std::string(server::kServiceName) + ": Listening on 127.0.0.1:";
  const auto end = std::chrono::steady_clock::now() + 30s;
  while (i.pid > 0 && std::chrono::steady_clock::now() < end) {
    std::istringstream lines(ReadFile(events));
    for (std::string l; std::getline(lines, l);) {
      if (l.rfind(prefix, 0) == 0) {
        i.port = static_cast<uint16_t>(std::stoi(l.substr(prefix.size())));
        return i;
      }
    }
    std::this_thread::sleep_for(20ms);
  }
  ADD_FAILURE() << name << " reported no port:\n" << ReadFile(events);
  return i;
}

void BraskelInstancesTest::Stop(Instance& i) {
  kill(i.pid, SIGTERM);
  EXPECT_EQ(Wait(i.pid, 60s), 0) << i.dir;
  i.pid = -1;
}

std::string BraskelInstancesTest::Exchange(uint16_t port, const std::string& request) {
  LoopbackClient c(port);
  EXPECT_TRUE(c.Connected());
  c.Send(request);
  std::string reply = c.ReadAll(60s);
  EXPECT_FALSE(c.TimedOut());
  return reply;
}

}  // namespace server_testing
