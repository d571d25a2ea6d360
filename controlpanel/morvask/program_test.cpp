// The program's start and shut-down, in process: the apartment, the sheet
// closed by reject(), the client's objects released.
#include "controlpanel/morvask/program.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <cstdlib>
#include <filesystem>

#include "controlpanel/model/testing/program_folder.h"
#include "controlpanel/model/testing/recording_ui_port.h"
#include "controlpanel/model/texts.h"
#include "platform/com/activation.h"

namespace controlpanel {
namespace {

class Components : public ::testing::Environment {
 public:
  void SetUp() override {
    for (const char* component : {QV_QUENLIN_COMPONENT, QV_DORVISH_COMPONENT}) {
      const std::string command = std::string(QV_REGCOMP) + " -s " + component + " >/dev/null";
      ASSERT_EQ(system(command.c_str()), 0) << component;
    }
  }
};
[[maybe_unused]] auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new Components);


TEST(Program, StartsAndShutsDownInProcess) {
  ASSERT_NE(QApplication::instance(), nullptr);
  CControlPanelApp app(1000);
  app.SetProgramDirectory(
      testing::ProgramFolder("cpprogram", {QV_DEFAULT_CP_CONFIG, QV_MANAGEMENT_WSDL}));
  testing::RecordingUiPort ui;
  bool ran = false;
  EXPECT_EQ(InitInstance(app, &ui,
                         [&](CVantorPropSheet& sheet) {
                           ran = true;
                           // Entered by the program: a second entry only counts.
                           EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
                           CoUninitialize();
                           EXPECT_EQ(sheet.windowTitle(), texts::kSheetCaption);
                           // The real client bound to the WSDL beside the program.
                           EXPECT_TRUE(sheet.ConnectPage().BindToServer());
                           EXPECT_TRUE(app.Client().HasReaderForTest());
                           sheet.show();
                           // The size the view tests picture it at.
                           EXPECT_EQ(sheet.size(), CVantorPropSheet::kOpeningSize);
                           sheet.reject();
                           EXPECT_FALSE(sheet.isVisible());
                         }),
            0);
  EXPECT_TRUE(ran);
  EXPECT_TRUE(ui.events.empty());
  EXPECT_FALSE(app.Client().HasReaderForTest());
  EXPECT_EQ(app.Client().MessageForTest(), nullptr);
  // Left again: entering now is a first entry.
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  CoUninitialize();
}

TEST(Program, FindsItsOwnFolder) {
  const std::string dir = ExecutableDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_TRUE(std::filesystem::exists(dir + "/controlpanel_program_test"));
}

}  // namespace
}  // namespace controlpanel

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
