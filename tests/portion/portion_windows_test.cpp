// The portion windows under a real X server and window manager, driven by the XTest mouse
// (xdotool) as a user would.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QScreen>
#include <cstdlib>
#include <future>

#include "portion/portion_border_window.h"
#include "portion/screen_mapping.h"

namespace pelorin::portion {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Serves the event loop for a while, or until `done`.
void serve(std::chrono::milliseconds span, const std::function<bool()>& done = [] { return false; }) {
  const auto end = Clock::now() + span;
  while (Clock::now() < end && !done()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// Runs an xdotool command while the event loop keeps serving the windows.
void xdotool(const std::string& arguments) {
  auto status = std::async(std::launch::async, [&] { return std::system(("xdotool " + arguments).c_str()); });
  serve(30s, [&] { return status.wait_for(0s) != std::future_status::timeout; });
  ASSERT_EQ(status.get(), 0) << arguments;
  serve(150ms);
}

// A frame whose captured area starts at (100, 100), 400 x 300 X pixels, on the left monitor.
class BorderWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::getenv("DISPLAY")) << "these tests need an X display (scripts/test starts one)";
    static int argc = 1;
    static char* argv[] = {const_cast<char*>("pelorin_portion_windows_tests"), nullptr};
    static QApplication application(argc, argv);
    screen = QGuiApplication::screenAt({10, 10});
    ASSERT_TRUE(screen && screen->geometry() == QRect(0, 0, 1920, 1200)) << "the left monitor is missing";
    mapping.emplace(screen);
    const Rect frame = mapping->screenSpaceFrame();
    const Rect portion = portionRect(mapping->toScreenSpace(QRect(100, 100, 400, 300)), frame);
    window = std::make_unique<PortionBorderWindow>(portionBorderFrame(portion, frame, 6), screen);
    window->onChange = [this](const Rect& r) { changes.emplace_back(mapping->toLogical(r), Clock::now()); };
    serve(400ms, [this] { return window->isVisible() && window->geometry().x() == 94; });
    ASSERT_EQ(window->geometry(), QRect(94, 94, 412, 312));
  }
  QRect captured() const { return mapping->toLogical(window->capturedFrame()); }  // in X pixels

  QScreen* screen = nullptr;
  std::optional<ScreenMapping> mapping;
  std::unique_ptr<PortionBorderWindow> window;
  std::vector<std::pair<QRect, Clock::time_point>> changes;  // captured areas reported
};

// Records the presses that reach it.
struct Target : QWidget {
  Target() : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint) {}
  void mousePressEvent(QMouseEvent* event) override { presses.push_back(event->globalPosition().toPoint()); }
  std::vector<QPoint> presses;
};

TEST_F(BorderWindow, ClicksPassTheInteriorDragsAreThrottledAndCornersResize) {
  {
    Target below;
    below.setScreen(screen);
    below.setGeometry(50, 50, 600, 500);
    below.show();
    serve(500ms, [&] { return below.isVisible(); });
    window->raise();
    serve(200ms);
    xdotool("mousemove 300 250 click 1 mousemove 97 250 click 1");
    EXPECT_EQ(below.presses, std::vector<QPoint>{QPoint(300, 250)}) << "only the interior lets a click through";
    EXPECT_EQ(changes.size(), 1u) << "a click on the band is a drag of nothing, reported once";
  }

  // A slow drag of the top edge is reported at most every 50 ms, and once on release.
  changes.clear();
  std::string slow = "mousemove 300 97 mousedown 1";
  for (int step = 1; step <= 60; ++step) slow += " mousemove " + std::to_string(300 + step * 3) + " 97 sleep 0.01";
  const auto start = Clock::now();
  xdotool(slow + " mouseup 1");
  const auto span = Clock::now() - start;
  ASSERT_GE(changes.size(), 3u);
  for (std::size_t i = 1; i + 1 < changes.size(); ++i) {
    EXPECT_GT(changes[i].second - changes[i - 1].second, 50ms) << "call " << i;
  }
  EXPECT_LE(changes.size(), static_cast<std::size_t>(span / 50ms) + 2);
  EXPECT_EQ(changes.back().first, QRect(280, 100, 400, 300));

  // The top-right corner square, dragged right and up: the bottom-left corner stays.
  xdotool("mousemove 683 97 mousedown 1 mousemove 733 77 mousemove 783 47 mouseup 1");
  EXPECT_EQ(captured(), QRect(280, 50, 500, 350));
  EXPECT_EQ(window->geometry(), QRect(274, 44, 512, 362));
  EXPECT_EQ(changes.back().first, captured()) << "the release reports the final area";

  // Hovering shows what a drag would do: the matching diagonal in a corner, the open hand on an edge.
  const std::pair<const char*, Qt::CursorShape> hovers[] = {
      {"277 46", Qt::SizeFDiagCursor}, {"783 50", Qt::SizeBDiagCursor}, {"500 47", Qt::OpenHandCursor}};
  for (const auto& [at, shape] : hovers) {
    xdotool(std::string("mousemove ") + at);
    EXPECT_EQ(window->cursor().shape(), shape) << at;
  }
}

}  // namespace
}  // namespace pelorin::portion
