#include <gtest/gtest.h>

#include <future>

#include "app/app_test_support.h"
#include "app/picker_entries.h"
#include "app/share_capture.h"
#include "media/encoder_harness.h"
#include "support/fake_screen_capture.h"

namespace pelorin::app {
namespace {

using Kind = platform::ContentFilter::Kind;

struct Share : test::EncoderHarness {
  Share() : EncoderHarness(64, 32, test::FakeScript{.deliverOnThread = true}) {
    request.filter = {.kind = Kind::Display, .displayID = 5};
    request.sourceRect = Rect{100, 50, 640, 360};
    request.width = 64;
    request.height = 32;
    request.profile = "high";
    request.outputFd = out.fd();
    request.errorFd = err.fd();
  }
  ShareCaptureStart start(std::function<void(const Error&)> stopped = [](const Error&) {}) {
    return startShareCapture(factory, capture, request, std::move(stopped));
  }
  test::FakeCapture capture;
  ShareCaptureRequest request;
};

// The whole life of a share's capture: configured as asked, frames reach the sender's input, and
// the end runs in its fixed order (stream, encoder, sender).
TEST(ShareCapture, CapturesAsAskedAndEndsStreamThenEncoderThenSender) {
  Share share;
  ShareCaptureStart start = share.start();
  ASSERT_FALSE(start.failure) << start.failure->description();
  ASSERT_EQ(share.capture.streams.size(), 1u);
  const auto& [filter, configuration] = share.capture.streams.front();
  EXPECT_EQ(filter.displayID, 5u);
  EXPECT_EQ(configuration.sourceRect, share.request.sourceRect);
  EXPECT_EQ(std::tuple(configuration.width, configuration.height, configuration.minimumFrameInterval.value,
                       configuration.minimumFrameInterval.timescale),
            std::tuple(64, 32, 1, shareFps));
  test::FakeStream* stream = share.capture.lastStream;
  ASSERT_TRUE(test::eventually([&] { return stream->delivered >= 3 && !share.out.contents().empty(); }));
  bool senderStopped = false;
  finishShare(std::move(start.capture), [&] {
    EXPECT_NE(share.err.contents().find("native_encoder_summary"), std::string::npos) << "encoder finished first";
    senderStopped = true;
  });
  EXPECT_TRUE(senderStopped);
}

TEST(ShareCapture, AStreamThatStopsWithAnErrorTellsTheShareAndANeverStartedShareStillEnds) {
  Share share;
  share.capture.streamScript.framesBeforeError = 2;
  std::promise<Error> stopped;
  ShareCaptureStart start = share.start([&](const Error& error) { stopped.set_value(error); });
  ASSERT_FALSE(start.failure);
  auto told = stopped.get_future();
  ASSERT_EQ(told.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(told.get().domain, "FakeCapture");
  finishShare(std::move(start.capture), nullptr);
  bool senderStopped = false;  // a share stopped while pairing has nothing but its sender
  finishShare({}, [&] { senderStopped = true; });
  EXPECT_TRUE(senderStopped);
}

TEST(PickerEntries, DisplaysThenApplicationsOnTheirLargestWindowsDisplayThenWindows) {
  platform::ShareableContent content;
  content.displays = {{5, Rect{0, 0, 1920, 1200}, 1920, 1200, "LEFT"}, {6, Rect{1920, 0, 1920, 1080}, 1920, 1080, ""}};
  const platform::RunningApplication editor{10, "Éditeur"}, self{99, "Pelorin"}, term{11, "Terminal"};
  content.windows = {
      {1, "notes", Rect{100, 100, 300, 200}, 0, true, editor},
      {2, "Pelorin", Rect{200, 200, 520, 300}, 0, true, self},
      {3, "doc", Rect{1800, 100, 900, 700}, 0, true, editor},  // mostly on the right display
      {4, "menu", Rect{0, 0, 50, 50}, 25, true, term},         // not a normal window
      {5, std::nullopt, Rect{0, 0, 640, 480}, 0, true, term},
      {6, "hidden", Rect{0, 0, 640, 480}, 0, false, term},
  };
  test::FakeCapture capture;
  const auto entries = pickerEntries(content, capture, 99);
  using E = PickerEntry::Kind;
  const struct {
    E kind;
    std::string label;
    Kind filter;
    platform::DisplayID display;
    std::vector<platform::WindowID> windows;
  } expected[] = {
      {E::display, "Écran : LEFT", Kind::Display, 5, {}},
      {E::display, "Écran : 6", Kind::Display, 6, {}},
      {E::application, "Application : Éditeur", Kind::DisplayIncludingWindows, 6, {1, 3}},
      {E::application, "Application : Terminal", Kind::DisplayIncludingWindows, 5, {5}},
      {E::window, "Fenêtre : notes — Éditeur", Kind::Window, 0, {}},
      {E::window, "Fenêtre : doc — Éditeur", Kind::Window, 0, {}},
      {E::window, "Fenêtre : Terminal", Kind::Window, 0, {}},
  };
  ASSERT_EQ(entries.size(), std::size(expected));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto& [entry, want] = std::pair(entries[i], expected[i]);
    EXPECT_EQ(entry.kind, want.kind) << i;
    EXPECT_EQ(entry.label, want.label) << i;
    EXPECT_EQ(entry.choice.filter.kind, want.filter) << i;
    if (want.filter != Kind::Window) EXPECT_EQ(entry.choice.filter.displayID, want.display) << i;
    EXPECT_EQ(entry.choice.filter.windows, want.windows) << i;
    EXPECT_EQ(entry.choice.followsWindow, want.kind != E::display) << i;  // displays stay put
  }
}

}  // namespace
}  // namespace pelorin::app
