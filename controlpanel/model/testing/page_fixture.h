// A control panel on the scripted channel with a recording UiPort and a
// program folder of its own holding a settings file; for the page tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "controlpanel/model/control_panel_app.h"
#include "controlpanel/model/testing/fake_management_channel.h"
#include "controlpanel/model/testing/recording_ui_port.h"
#include "plugins/digestauth/protocol.h"

namespace controlpanel::testing {

inline constexpr char kTestSettings[] =
    "<configuration><hostname>saved.example</hostname><portNbr>8080</portNbr></configuration>";

class PageFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "/cppages-" + std::to_string(getpid());
    ASSERT_EQ(system(("rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "'").c_str()), 0);
    WriteSettings(kTestSettings);
    app_.SetProgramDirectory(dir_);
    app_.SetChannel(&channel_);
  }
  void TearDown() override { EXPECT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0); }

  std::string SettingsPath() const { return CControlPanelApp::ConfigPathIn(dir_); }
  void WriteSettings(const std::string& bytes) const {
    std::ofstream(SettingsPath(), std::ios::binary) << bytes;
  }
  std::string ReadSettings() const {
    std::ifstream in(SettingsPath(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // The answers of a log-on that succeeds, `out` in the real call's answer.
  void ScriptLogOn(std::vector<std::pair<std::u16string, Variant>> out = {}) {
    channel_.answers.push_back(NoCredentialsAnswer());
    channel_.answers.push_back(AuthenticatedAnswer(std::move(out)));
    ui_.logon_answers.push_back(LogOnAnswer{"admin", channel_.password});
  }

  std::string dir_;
  CControlPanelApp app_{1000};
  FakeManagementChannel channel_;
  RecordingUiPort ui_;
};

// A status fault of the expired-nonce kind.
inline FakeAnswer ExpiredAnswer() {
  return StatusFaultAnswer(std::string(digestauth::kStatusExpiredNonce));
}

}  // namespace controlpanel::testing
