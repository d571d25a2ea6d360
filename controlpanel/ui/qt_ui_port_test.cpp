// The program's UiPort runs each management call's network wait on a thread
// of its own: the window keeps painting while a slow server answers.
#include "controlpanel/ui/qt_ui_port.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <thread>

#include "controlpanel/model/control_panel_app.h"
#include "controlpanel/model/management_call.h"
#include "controlpanel/model/testing/fake_management_channel.h"
#include "platform/com/activation.h"

namespace controlpanel {
namespace {

class PaintCounter : public QWidget {
 public:
  std::atomic<int> paints{0};

 protected:
  void paintEvent(QPaintEvent*) override { ++paints; }
};

// Answers only once the window has painted twice during the call. On the
// widget thread that never happens: the call gives up after 10 s and the
// test fails instead of hanging.
class PaintWaitingChannel : public testing::FakeManagementChannel {
 public:
  explicit PaintWaitingChannel(PaintCounter& window) : window_(window) {}

  bool Invoke(std::u16string_view method, const std::u16string* names, VARIANT* values,
              int32_t count, VARIANT* result) override {
    invoke_thread = std::this_thread::get_id();
    const int start = window_.paints;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (window_.paints < start + 2 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    painted_during = window_.paints - start;
    in_apartment = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) == S_FALSE;
    CoUninitialize();
    return FakeManagementChannel::Invoke(method, names, values, count, result);
  }

  std::thread::id invoke_thread;
  int painted_during = 0;
  bool in_apartment = false;

 private:
  PaintCounter& window_;
};

TEST(QtUiPortExchange, AManagementCallWaitsOffTheWidgetThreadWhileTheWindowPaints) {
  ASSERT_NE(QApplication::instance(), nullptr);
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  {
    PaintCounter window;
    window.resize(200, 100);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QTimer repaint;
    QObject::connect(&repaint, &QTimer::timeout, &window, [&window] { window.update(); });
    repaint.start(5);

    CControlPanelApp app(1000);
    PaintWaitingChannel channel(window);
    app.SetChannel(&channel);
    ASSERT_TRUE(channel.Bind({}));
    channel.answers.push_back(testing::AuthenticatedAnswer());
    QtUiPort ui;
    ui.SetParent(&window);
    ManagementCall(app, ui, u"GetServerStats").Run();

    EXPECT_NE(channel.invoke_thread, std::thread::id());
    EXPECT_NE(channel.invoke_thread, std::this_thread::get_id());
    EXPECT_GE(channel.painted_during, 2);
    EXPECT_TRUE(channel.in_apartment);
    ASSERT_EQ(channel.calls.size(), 1u);
    EXPECT_EQ(channel.calls[0].method, u"GetServerStats");
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    app.Client().ReleaseObjects();
  }
  CoUninitialize();
}

}  // namespace
}  // namespace controlpanel

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
