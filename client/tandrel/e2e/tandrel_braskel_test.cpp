// The demo's controller against a running braskel that serves the test echo
// service and its WSDL documents from a temporary document root.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "client/e2e/braskel_client_fixture.h"
#include "client/tandrel/echo_controller.h"
#include "client/tandrel/testing/fake_seams.h"
#include "client/testing/client_testing.h"

namespace tandrel {
namespace {

// Registers the echo service into the registry the first environment made.
class EchoServiceEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    const std::string command = std::string(QV_REGCOMP) + " -s " QV_TANDREL_SERVICE " >/dev/null";
    ASSERT_EQ(system(command.c_str()), 0);
  }
};
[[maybe_unused]] auto* const kServiceEnvironment =
    ::testing::AddGlobalTestEnvironment(new EchoServiceEnvironment);

std::string Slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 37 + size) & 0xff);
  return bytes;
}

class TandrelBraskelTest : public client::testing::BraskelClientTest {
 protected:
  void SetUp() override {
    client::testing::BraskelClientTest::SetUp();
    std::string dir = (std::filesystem::temp_directory_path() / "qvtandrele2e.XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    dir_ = dir;
    std::filesystem::create_directories(dir_ / "docs/wsdl");
    std::filesystem::create_directories(dir_ / "files");
    const std::string endpoints = Endpoint("/dime-rpc/tandrel", "tandrel.wsdl", "tandrelsvc.dimerpc") +
                                  Endpoint("/dime-rpc/tandrel12", "tandrel12.wsdl", "tandrelsvc.dimerpc") +
                                  Endpoint("/dime-rpc/absent", "absent.wsdl", "tandrelsvc.absent");
    port_ = Start(endpoints, "<docBasePath>" + (dir_ / "docs").string() + "</docBasePath>");
    ASSERT_NE(port_, 0);
    const std::string base = "http://127.0.0.1:" + std::to_string(port_) + "/";
    client::testing::CopyWsdl(std::filesystem::path(QV_TANDREL_WSDL_DIR) / "tandrel.wsdl",
                              dir_ / "docs/wsdl/tandrel.wsdl", "http://localhost/", base);
    client::testing::CopyWsdl(std::filesystem::path(QV_TANDREL_WSDL_DIR) / "tandrel12.wsdl",
                              dir_ / "docs/wsdl/tandrel12.wsdl", "http://localhost/dime-rpc/tandrel",
                              base + "dime-rpc/tandrel12");
    client::testing::CopyWsdl(std::filesystem::path(QV_TANDREL_WSDL_DIR) / "tandrel.wsdl",
                              dir_ / "docs/wsdl/absent.wsdl", "http://localhost/dime-rpc/tandrel",
                              base + "dime-rpc/absent");
  }
  void TearDown() override {
    if (pid_ > 0) StopServer();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    client::testing::BraskelClientTest::TearDown();
  }
  std::string Endpoint(const std::string& path, const std::string& wsdl,
                       const std::string& prog_id) const {
    return "<endpoint><requestURI>" + path + "</requestURI><wsdlDocURL>file://" +
           (dir_ / "docs/wsdl" / wsdl).string() +
           "</wsdlDocURL><wsdlService>TandrelDIMESvc</wsdlService><wsdlPort>TandrelDIMERpcPort"
           "</wsdlPort><bodyProcessingProgId>" + prog_id + "</bodyProcessingProgId>"
           "<enabled>true</enabled></endpoint>";
  }
  std::string Url(const std::string& wsdl) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/wsdl/" + wsdl;
  }
  // Sends `size` bytes in `mode` and checks what the save picker is offered and
  // what is saved.
  void RoundTrip(const std::string& wsdl, int mode, size_t size) {
    SCOPED_TRACE(wsdl + " mode " + std::to_string(mode) + " size " + std::to_string(size));
    const std::string bytes = Pattern(size);
    const std::filesystem::path in = dir_ / "files" / ("in" + std::to_string(size) + ".bin");
    std::ofstream(in, std::ios::binary) << bytes;
    const std::filesystem::path out = dir_ / ("out-" + std::to_string(mode) + "-" + std::to_string(size));
    testing::FakePicker picker;
    testing::FakeNotifier notifier;
    picker.answers.push_back(out.string());
    EchoController controller(picker, notifier, 20000);
    controller.OnInvoke(Url(wsdl), in.string(), mode);
    EXPECT_TRUE(notifier.texts.empty()) << notifier.texts.front();
    ASSERT_EQ(picker.saves.size(), 1u);
    EXPECT_EQ(picker.saves[0].directory, (dir_ / "files").string());
    EXPECT_EQ(picker.saves[0].file_name, "echoed_" + in.filename().string());
    EXPECT_EQ(Slurp(out), bytes);
  }

  std::filesystem::path dir_;
  uint16_t port_ = 0;
};

TEST_F(TandrelBraskelTest, BothModesEchoEverySizeOverSoap11) {
  for (const int mode : {kModeDime, kModeBase64}) {
    for (const size_t size : {0u, 1u, 4095u, 4096u, 4097u, 10000u}) RoundTrip("tandrel.wsdl", mode, size);
  }
}

TEST_F(TandrelBraskelTest, BothModesEchoOverSoap12) {
  for (const int mode : {kModeDime, kModeBase64}) RoundTrip("tandrel12.wsdl", mode, 4097);
}

TEST_F(TandrelBraskelTest, CancelledSaveWritesAndShowsNothing) {
  const std::filesystem::path in = dir_ / "files/in.bin";
  std::ofstream(in, std::ios::binary) << "hello";
  for (const int mode : {kModeDime, kModeBase64}) {
    testing::FakePicker picker;
    testing::FakeNotifier notifier;
    EchoController controller(picker, notifier, 20000);
    controller.OnInvoke(Url("tandrel.wsdl"), in.string(), mode);
    EXPECT_EQ(picker.saves.size(), 1u);
    EXPECT_TRUE(notifier.texts.empty());
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_ / "files"), {}), 1);
}

// The endpoint names a service that is not registered: the server's fault.
TEST_F(TandrelBraskelTest, UnregisteredServiceAnswersWithAFault) {
  const std::filesystem::path in = dir_ / "files/in.bin";
  std::ofstream(in, std::ios::binary) << "hello";
  testing::FakePicker picker;
  testing::FakeNotifier notifier;
  EchoController controller(picker, notifier, 20000);
  controller.OnInvoke(Url("absent.wsdl"), in.string(), kModeBase64);
  EXPECT_EQ(notifier.texts, std::vector<std::string>{"Fault Message returned!"});
  EXPECT_TRUE(picker.saves.empty());
}

}  // namespace
}  // namespace tandrel
