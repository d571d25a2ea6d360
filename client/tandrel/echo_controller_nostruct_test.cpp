// The controller in a registry that lacks the struct component.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "client/tandrel/echo_controller.h"
#include "client/tandrel/testing/fake_seams.h"
#include "client/testing/client_testing.h"
#include "client/testing/message_testing.h"

namespace tandrel {
namespace {

[[maybe_unused]] auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(
    new client::testing::ComponentEnvironment({QV_QUENLIN_COMPONENT, QV_DORVISH_COMPONENT}));

TEST(EchoControllerNoStruct, ReportsTheStructThatCannotBeMade) {
  const auto dir = std::filesystem::temp_directory_path() / "qvtandrel-nostruct";
  std::filesystem::create_directories(dir);
  const std::string wsdl = client::testing::CopyWsdl(
      std::filesystem::path(QV_TANDREL_WSDL_DIR) / "tandrel.wsdl", dir / "tandrel.wsdl",
      "http://localhost/", "http://127.0.0.1:1/");
  testing::FakePicker picker;
  testing::FakeNotifier notifier;
  EchoController controller(picker, notifier, 2000);
  controller.OnInvoke(wsdl, "/etc/hostname", kModeBase64);
  EXPECT_EQ(notifier.texts, std::vector<std::string>{"Failed to instantiate struct object!"});
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tandrel
