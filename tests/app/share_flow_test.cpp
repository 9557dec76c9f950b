#include <gtest/gtest.h>

#include <future>

#include "app/app_test_support.h"
#include "app/picker_entries.h"
#include "app/share_capture.h"
#include "app/share_stops.h"
#include "media/encoder_harness.h"
#include "support/fake_screen_capture.h"
#include "support/pumped_main.h"

namespace pelorin::app {
namespace {

using Kind = platform::ContentFilter::Kind;

struct Share : test::EncoderHarness {
  Share() : EncoderHarness(64, 32, test::FakeScript{.deliverOnThread = true}) {}
  ShareCaptureStart start(std::function<void(const Error&)> stopped = [](const Error&) {}) {
    const ShareCaptureRequest request{.filter = {.kind = Kind::Display, .displayID = 5},
                                      .sourceRect = Rect{100, 50, 640, 360},
                                      .stream = shareStream(64, 32, "high"), .outputFd = out.fd(), .errorFd = err.fd()};
    return startShareCapture(factory, capture, request, std::move(stopped));
  }
  test::FakeCapture capture;
};

// The whole life of a share's capture: configured as asked, frames reach the sender's input, and
// the end runs in its fixed order (stream, encoder, sender) while another stop waits for a sender
// that does not leave: a stop holds up only itself, and the owner waits for every stop when it
// goes. A stream error tells the share; a share stopped while pairing has nothing but its sender.
TEST(ShareCapture, CapturesAsAskedEndsStreamThenEncoderThenSenderNeverBehindAnotherStopAndReportsAStreamError) {
  test::PumpedMain main;
  std::promise<void> leave;
  std::vector<std::string> ended;  // on the main thread
  Share share;
  bool senderStopped = false;
  {
    ShareStops stops(main.poster());
    stops.run([left = leave.get_future().share()] { left.wait(); }, [&] { ended.push_back("deaf"); });
    ShareCaptureStart start = share.start();
    ASSERT_TRUE(!start.failure && share.capture.streams.size() == 1u);
    const auto& [filter, configuration] = share.capture.streams.front();
    EXPECT_EQ(std::tuple(filter.displayID, *configuration.sourceRect, configuration.width, configuration.height,
                         configuration.minimumFrameInterval.value, configuration.minimumFrameInterval.timescale),
              std::tuple(5u, Rect{100, 50, 640, 360}, 64, 32, shareFrameRate.den, shareFrameRate.num));
    ASSERT_TRUE(test::waitUntil([&] { return share.capture.lastStream->delivered >= 3 && !share.out.contents().empty(); }));
    stops.run([&, capture = std::move(start.capture)]() mutable {
      finishShare(std::move(capture), [&] {
        EXPECT_NE(share.err.contents().find("native_encoder_summary"), std::string::npos) << "encoder finished first";
        senderStopped = true;
      });
    }, [&] { ended.push_back("second"); });
    EXPECT_TRUE(main.runUntil([&] { return !ended.empty(); }));
    EXPECT_TRUE(senderStopped);
    EXPECT_EQ(stops.running(), 1u);
    leave.set_value();
  }
  main.runFor(std::chrono::milliseconds(0));
  EXPECT_EQ(ended, (std::vector<std::string>{"second", "deaf"}));

  Share failing;
  failing.capture.streamScript.framesBeforeError = 2;
  std::promise<Error> stopped;
  ShareCaptureStart start = failing.start([&](const Error& error) { stopped.set_value(error); });
  ASSERT_FALSE(start.failure);
  auto told = stopped.get_future();
  ASSERT_EQ(told.wait_for(test::waitBound), std::future_status::ready);
  EXPECT_EQ(told.get().domain, "FakeCapture");
  finishShare(std::move(start.capture), nullptr);
  senderStopped = false;
  finishShare({}, [&] { senderStopped = true; });
  EXPECT_TRUE(senderStopped);
}

TEST(PickerEntries, DisplaysThenApplicationsOnTheirLargestWindowsDisplayThenWindows) {
  platform::ShareableContent content;
  content.displays = {{5, Rect{0, 0, 1920, 1200}, 1920, 1200, "LEFT"}, {6, Rect{1920, 0, 1920, 1080}, 1920, 1080, ""}};
  const platform::RunningApplication editor{10, "Éditeur"}, self{99, "Pelorin"}, term{11, "Terminal"};
  content.windows = {{1, "notes", Rect{100, 100, 300, 200}, 0, true, editor},
                     {2, "Pelorin", Rect{200, 200, 520, 300}, 0, true, self},
                     {3, "doc", Rect{1800, 100, 900, 700}, 0, true, editor},  // mostly on the right display
                     {4, "menu", Rect{0, 0, 50, 50}, 25, true, term},         // not a normal window
                     {5, std::nullopt, Rect{0, 0, 640, 480}, 0, true, term},
                     {6, "hidden", Rect{0, 0, 640, 480}, 0, false, term}};
  test::FakeCapture capture;
  const auto entries = pickerEntries(content, capture, 99);
  const std::tuple<std::string, Kind, platform::DisplayID, std::vector<platform::WindowID>> expected[] = {
      {"Écran : LEFT", Kind::Display, 5, {}},
      {"Écran : 6", Kind::Display, 6, {}},
      {"Application : Éditeur", Kind::DisplayIncludingWindows, 6, {1, 3}},
      {"Application : Terminal", Kind::DisplayIncludingWindows, 5, {5}},
      {"Fenêtre : notes — Éditeur", Kind::Window, 0, {}},
      {"Fenêtre : doc — Éditeur", Kind::Window, 0, {}},
      {"Fenêtre : Terminal", Kind::Window, 0, {}},
  };
  ASSERT_EQ(entries.size(), std::size(expected));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto& [label, filter, display, windows] = expected[i];
    const PickerChoice& choice = entries[i].choice;
    EXPECT_EQ(choice.label, label);
    EXPECT_EQ(choice.filter.kind, filter) << label;
    if (filter != Kind::Window) EXPECT_EQ(choice.filter.displayID, display) << label;
    EXPECT_EQ(choice.filter.windows, windows) << label;
    EXPECT_EQ(choice.followsWindow, filter != Kind::Display) << label;  // displays stay put
  }
}

}  // namespace
}  // namespace pelorin::app
