// The jorvane program run as its users run it: registration switches, the
// service under the service manager, and the plain local server.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "interfaces/jorvex.h"
#include "platform/registry/registry.h"
#include "platform/service/testing/service_process.h"
#include "plugins/digestauth/jorvane/digest_host.h"

namespace jorvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kClsidKey[] = "CLSID\\{494A9B00-E5E2-463D-83B7-E38911A3ACAE}";
constexpr char kAppIdKey[] = "AppID\\{03D3F0FC-7114-415B-A722-276CA9B01315}";
constexpr char kAppIdText[] = "{03D3F0FC-7114-415B-A722-276CA9B01315}";
constexpr char kLibKey[] = "TypeLib\\{02567E97-96DA-411A-8DCE-13A96CFBC493}\\1.0";

class JorvaneTest : public service_testing::ServiceProcessTest {
 protected:
  JorvaneTest() : ServiceProcessTest(JORVANE_PATH, "jorvane", JorvaneIdentity()) {}

  void SetUp() override {
    ServiceProcessTest::SetUp();
    if (HasFatalFailure()) return;
    const char* units = std::getenv("QUORVEL_UNIT_DIR");
    ASSERT_NE(units, nullptr);
    unitDir_ = units;
    std::ofstream(dir_ / "auth-config.xml")
        << "<authConfig><defaultRealm>R</defaultRealm></authConfig>";
  }

  // The value, "<absent>" when it is not there, "<no key>" without the key.
  static std::string Value(const std::string& key, const char* name) {
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) {
      return "<no key>";
    }
    RegCloseKey(k);
    std::string v;
    return registry::ReadString(HKEY_CLASSES_ROOT, key, name, &v) ? v : "<absent>";
  }
  size_t UnitCount() const {
    if (!fs::exists(unitDir_)) return 0;
    return static_cast<size_t>(std::distance(fs::directory_iterator(unitDir_), {}));
  }

  fs::path unitDir_;
};

TEST_F(JorvaneTest, SwitchesWriteAndRemoveExactlyTheRegistration) {
  const std::string service = kServiceName;
  const struct {
    const char* sw;
    bool registered;
    bool asService;
  } cases[] = {
      {"-RegServer", true, false},  {"/UNREGSERVER", false, false}, {"/regserver", true, false},
      {"-Service", true, true},     {"-unregserver", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sw);
    ASSERT_EQ(Run({c.sw}), 0);
    if (!c.registered) {
      for (const std::string& key : {std::string(kClsidKey), std::string(kAppIdKey),
                                    std::string("AppID\\jorvane.EXE"), std::string(kLibKey),
                                    std::string("jorvane.jorvex2"),
                                    std::string("jorvane.jorvex2.1")}) {
        EXPECT_EQ(Value(key, nullptr), "<no key>") << key;
      }
      EXPECT_EQ(UnitCount(), 0u);
      continue;
    }
    EXPECT_EQ(Value(kAppIdKey, nullptr), "jorvane");
    EXPECT_EQ(Value(kAppIdKey, "LocalService"), c.asService ? service : "<absent>");
    EXPECT_EQ(Value("AppID\\jorvane.EXE", "AppID"), kAppIdText);
    EXPECT_EQ(Value("jorvane.jorvex2.1", nullptr), "jorvex2 Class");
    EXPECT_EQ(Value("jorvane.jorvex2", nullptr), "jorvex2 Class");
    EXPECT_EQ(Value("jorvane.jorvex2\\CurVer", nullptr), "jorvane.jorvex2.1");
    EXPECT_EQ(Value(kClsidKey, nullptr), "jorvex2 Class");
    EXPECT_EQ(Value(kClsidKey, "AppID"), kAppIdText);
    const std::string clsid = kClsidKey;
    EXPECT_EQ(Value(clsid + "\\ProgID", nullptr), "jorvane.jorvex2.1");
    EXPECT_EQ(Value(clsid + "\\VersionIndependentProgID", nullptr), "jorvane.jorvex2");
    EXPECT_NE(Value(clsid + "\\Programmable", nullptr), "<no key>");
    EXPECT_EQ(Value(clsid + "\\LocalServer32", nullptr), exe_.string());
    EXPECT_EQ(Value(clsid + "\\TypeLib", nullptr), "{02567E97-96DA-411A-8DCE-13A96CFBC493}");
    EXPECT_EQ(Value(kLibKey, nullptr), "jorvane 1.0 Type Library");
    EXPECT_EQ(UnitCount(), c.asService ? 1u : 0u);
  }

  // Not a switch: the program runs instead (as a local server that nobody
  // reaches, so it ends by itself), and registers nothing.
  ASSERT_EQ(Run({"-RegServerX"}), 0);
  EXPECT_EQ(Value(kAppIdKey, nullptr), "<no key>");
  EXPECT_EQ(Value(kClsidKey, nullptr), "<no key>");
}

TEST_F(JorvaneTest, ServiceStartsAndStopsOnSigterm) {
  ASSERT_EQ(Run({"-Service"}), 0);
  pid_ = Spawn(exe_, {}, std::string(kServiceName));
  ASSERT_TRUE(WaitForEvent(std::string(kServiceName) + ": Service started", 30s));
  kill(pid_, SIGTERM);
  EXPECT_EQ(Wait(pid_, 30s), 0);
  pid_ = -1;
  ASSERT_FALSE(EventLines().empty());
  EXPECT_EQ(EventLines().back(), std::string(kServiceName) + ": Service stopped");
}

TEST_F(JorvaneTest, StartedByHandWhileAServiceItRunsAsALocalServerAndEnds) {
  ASSERT_EQ(Run({"-Service"}), 0);
  pid_ = Spawn(exe_, {}, std::nullopt);
  // No client ever holds it: it ends after the idle delay and the pause.
  EXPECT_EQ(Wait(pid_, 60s), 0);
  pid_ = -1;
  for (const std::string& line : EventLines()) {
    EXPECT_EQ(line.find("Service started"), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace jorvane
