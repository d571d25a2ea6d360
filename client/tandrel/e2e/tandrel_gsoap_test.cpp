// The demo's controller against an independent echoDataFile server that the
// Debian gSOAP toolkit generates at build time, bound through tandrel.wsdl
// with its address pointing there.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>

#include "client/e2e/gsoap_server.h"
#include "client/tandrel/echo_controller.h"
#include "client/tandrel/testing/fake_seams.h"
#include "client/testing/client_testing.h"
#include "client/testing/message_testing.h"

namespace tandrel {
namespace {

[[maybe_unused]] auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new client::testing::ComponentEnvironment(
        {QV_SOAPSTRUCT_COMPONENT, QV_QUENLIN_COMPONENT, QV_DORVISH_COMPONENT}));

#ifdef QV_GSOAP_FILE_SERVER
// Echoes a file of every byte value in each of `modes` through the server
// started with `setting`, and checks what the demo saved.
void EchoThroughGsoap(std::initializer_list<int> modes, const char* setting) {
  std::string made = (std::filesystem::temp_directory_path() / "qvtandrelgsoap.XXXXXX").string();
  ASSERT_NE(mkdtemp(made.data()), nullptr);
  const std::filesystem::path dir = made;
  client::testing::GsoapServer server(QV_GSOAP_FILE_SERVER, setting);
  ASSERT_NE(server.port(), 0);
  const std::string wsdl = client::testing::CopyWsdl(
      std::filesystem::path(QV_TANDREL_WSDL_DIR) / "tandrel.wsdl", dir / "tandrel.wsdl",
      "http://localhost/", "http://127.0.0.1:" + std::to_string(server.port()) + "/");
  // Every byte value, and a length one past a DIME chunk of 4096.
  std::string bytes(4097, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 131 + 7) & 0xff);
  const std::filesystem::path in = dir / "in.bin";
  std::ofstream(in, std::ios::binary) << bytes;

  for (const int mode : modes) {
    SCOPED_TRACE(mode == kModeDime ? "DIME attachment" : "base64");
    const std::filesystem::path out = dir / ("out" + std::to_string(mode));
    testing::FakePicker picker;
    testing::FakeNotifier notifier;
    picker.answers.push_back(out.string());
    EchoController controller(picker, notifier, 20000);
    controller.OnInvoke("file://" + (dir / "tandrel.wsdl").string(), in.string(), mode);
    EXPECT_TRUE(notifier.texts.empty()) << notifier.texts.front();
    ASSERT_EQ(picker.saves.size(), 1u);
    EXPECT_EQ(picker.saves[0].directory, dir.string());
    EXPECT_EQ(picker.saves[0].file_name, "echoed_in.bin");
    std::ifstream saved(out, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(saved), {}), bytes);
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}
#endif

TEST(TandrelGsoapTest, BothModesComeBackByteIdenticalAndAreSaved) {
#ifndef QV_GSOAP_FILE_SERVER
  GTEST_SKIP() << "the gSOAP toolkit (soapcpp2, libgsoap-dev) was not found at configure time; "
                  "scripts/deps.sh installs it";
#else
  EchoThroughGsoap({kModeDime, kModeBase64}, nullptr);
#endif
}

// The answer's attachment under an id of the server's own, referenced as
// href="cid:<id>".
TEST(TandrelGsoapTest, AnAttachmentReferencedByCidIsFound) {
#ifndef QV_GSOAP_FILE_SERVER
  GTEST_SKIP() << "the gSOAP toolkit (soapcpp2, libgsoap-dev) was not found at configure time; "
                  "scripts/deps.sh installs it";
#else
  static char setting[] = "QV_GSOAP_OWN_IDS=1";
  EchoThroughGsoap({kModeDime}, setting);
#endif
}

}  // namespace
}  // namespace tandrel
