#include "controlpanel/model/sheet_controller.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "controlpanel/model/management_call.h"
#include "controlpanel/model/testing/page_fixture.h"
#include "controlpanel/model/texts.h"
#include "platform/text/text.h"

namespace controlpanel {
namespace {

using testing::AuthenticatedAnswer;
using testing::ExpiredAnswer;
using testing::StatusFaultAnswer;

// A server page over the real call shape: "Read<title>" and "Write<title>".
class TestPage : public ServerPage {
 public:
  TestPage(CControlPanelApp& app, UiPort& ui, std::string title, std::vector<std::string>* log)
      : ServerPage(app, ui), title_(std::move(title)), log_(log) {}

  bool list_ok = true;

 protected:
  bool SetUpList() override { return list_ok; }
  bool Read() override { return Call("Read"); }
  bool Write() override { return Call("Write"); }
  std::string ListFailedMessage() const override { return "list " + title_; }
  std::string ReadFailedMessage() const override { return "read " + title_; }
  std::string WriteFailedMessage() const override { return "write " + title_; }

 private:
  bool Call(const std::string& what) {
    log_->push_back(what + " " + title_);
    return ManagementCall(app_, ui_, text::Widen(what + title_)).Run();
  }
  std::string title_;
  std::vector<std::string>* log_;
};

class Sheet : public testing::PageFixture {
 protected:
  void SetUp() override {
    PageFixture::SetUp();
    connect_.OnInitDialog();
    for (const char* title : {"B", "C", "D"}) {
      sheet_.AddPage(title, [this, title] {
        return std::make_unique<TestPage>(app_, ui_, title, &log_);
      });
    }
    sheet_.SetPageCreatedListener([this](size_t index, ServerPage&) {
      log_.push_back("made " + std::to_string(index));
    });
    sheet_.SetApplyListener([this](bool enabled) { apply_enabled_ = enabled; });
  }
  void Connect() {
    ScriptLogOn();
    connect_.host = "h";
    connect_.OnConnect();
    ASSERT_TRUE(connect_.IsConnected());
    ui_.events.clear();
  }
  // Opens page `index` whose read succeeds.
  void Open(size_t index) {
    channel_.answers.push_back(AuthenticatedAnswer());
    ASSERT_TRUE(sheet_.SelectPage(index));
  }

  CSvcStatsPage connect_{app_, ui_};
  SheetController sheet_{connect_};
  std::vector<std::string> log_;
  bool apply_enabled_ = false;
};

TEST_F(Sheet, NothingLeavesConnectBeforeAConnection) {
  EXPECT_EQ(sheet_.PageCount(), 4u);
  EXPECT_EQ(sheet_.Title(0), texts::kConnectTitle);
  EXPECT_FALSE(sheet_.SelectPage(2));
  EXPECT_FALSE(sheet_.Apply());
  EXPECT_FALSE(sheet_.Ok());
  EXPECT_EQ(sheet_.CurrentPage(), 0u);
  EXPECT_EQ(ui_.Messages(), std::vector<std::string>(3, texts::kNotConnected));
  EXPECT_EQ(sheet_.Page(2), nullptr);
  EXPECT_TRUE(channel_.calls.empty());
}

TEST_F(Sheet, PagesAreMadeOnFirstActivationAndReadOnce) {
  Connect();
  Open(2);
  EXPECT_EQ(log_, (std::vector<std::string>{"made 2", "Read C"}));
  ASSERT_NE(sheet_.Page(2), nullptr);
  EXPECT_TRUE(sheet_.Page(2)->ReadSucceeded());
  EXPECT_EQ(sheet_.Page(1), nullptr);
  EXPECT_TRUE(sheet_.SelectPage(0));
  EXPECT_TRUE(sheet_.SelectPage(2));
  EXPECT_EQ(log_.size(), 2u);
  EXPECT_TRUE(ui_.Messages().empty());
}

TEST_F(Sheet, FirstReadRetriesOnceOnAnExpiredNonce) {
  const struct Case {
    const char* name;
    std::vector<testing::FakeAnswer (*)()> answers;
    size_t reads;
    bool list_ok;
    std::vector<std::string> messages;
  } cases[] = {
      {"expired, then success", {ExpiredAnswer, [] { return AuthenticatedAnswer(); }}, 2, true, {}},
      {"expired twice", {ExpiredAnswer, ExpiredAnswer}, 2, true, {"read B"}},
      {"another failure", {[] { return StatusFaultAnswer("Server"); }}, 1, true, {"read B"}},
      {"list set-up failed, read still runs", {[] { return AuthenticatedAnswer(); }}, 1, false,
       {"list B"}},
  };
  Connect();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ui_.events.clear();
    log_.clear();
    channel_.answers.clear();
    for (auto make : c.answers) channel_.answers.push_back(make());
    TestPage page(app_, ui_, "B", &log_);
    page.list_ok = c.list_ok;
    EXPECT_TRUE(page.OnInitDialog());
    EXPECT_EQ(log_.size(), c.reads);
    EXPECT_EQ(page.ReadSucceeded(), c.messages.empty() || !c.list_ok);
    EXPECT_EQ(ui_.Messages(), c.messages);
  }
}

TEST_F(Sheet, ApplyWritesModifiedPagesInOrder) {
  Connect();
  Open(3);
  Open(1);
  Open(2);
  log_.clear();
  EXPECT_FALSE(sheet_.ApplyEnabled());
  sheet_.Page(3)->SetModified();
  sheet_.Page(1)->SetModified();
  EXPECT_TRUE(apply_enabled_);
  channel_.answers.push_back(AuthenticatedAnswer());
  channel_.answers.push_back(AuthenticatedAnswer());
  EXPECT_TRUE(sheet_.Apply());
  EXPECT_EQ(log_, (std::vector<std::string>{"Write B", "Write D"}));
  EXPECT_FALSE(apply_enabled_);
  EXPECT_FALSE(sheet_.ApplyEnabled());
  EXPECT_TRUE(ui_.Messages().empty());
  // Nothing modified: nothing written.
  log_.clear();
  EXPECT_TRUE(sheet_.Ok());
  EXPECT_TRUE(log_.empty());
}

TEST_F(Sheet, AFailedWriteIsReportedAndKeepsApplyEnabled) {
  Connect();
  Open(1);
  sheet_.Page(1)->SetModified();
  channel_.answers.push_back(ExpiredAnswer());
  channel_.answers.push_back(ExpiredAnswer());
  EXPECT_TRUE(sheet_.Apply());
  EXPECT_EQ(ui_.Messages(), std::vector<std::string>{"write B"});
  EXPECT_TRUE(apply_enabled_);
  EXPECT_TRUE(sheet_.Page(1)->IsModified());
  // The server down: reported after the one attempt.
  ui_.events.clear();
  log_.clear();
  EXPECT_TRUE(sheet_.Ok());
  EXPECT_EQ(log_, std::vector<std::string>{"Write B"});
  EXPECT_EQ(ui_.Messages(), std::vector<std::string>{"write B"});
}

}  // namespace
}  // namespace controlpanel
