#include <gtest/gtest.h>

#include <deque>

#include "portion/portion_stream_controller.h"
#include "portion/portion_updates.h"

namespace pelorin::portion {
namespace {

const Rect a{0, 0, 640, 360}, b{10, 0, 640, 360}, c{20, 0, 640, 360}, d{30, 0, 640, 360};

using Next = PortionUpdates::Next;

bool same(const Next& x, const Next& y) { return x.send == y.send && x.restore == y.restore; }

TEST(PortionUpdates, ABurstSendsTheFirstAndThenOnlyTheLatest) {
  PortionUpdates u(a);
  EXPECT_EQ(u.request(b), b);
  EXPECT_EQ(u.request(c), std::nullopt);
  EXPECT_EQ(u.request(d), std::nullopt);  // replaces c
  EXPECT_TRUE(same(u.completed(true), {d, std::nullopt}));
  EXPECT_EQ(u.applied, b);
  EXPECT_TRUE(same(u.completed(true), {}));
  EXPECT_EQ(u.applied, d);
  EXPECT_FALSE(u.inFlight);
  EXPECT_FALSE(u.queued);
}

TEST(PortionUpdates, NothingIsSentForTheAppliedPortion) {
  PortionUpdates u(a);
  EXPECT_EQ(u.request(a), std::nullopt);  // back where the capture is
  EXPECT_EQ(u.request(b), b);
  EXPECT_EQ(u.request(c), std::nullopt);
  EXPECT_EQ(u.request(b), std::nullopt);  // the queued one equals the one in flight
  EXPECT_TRUE(same(u.completed(true), {}));  // queued b equals the newly applied b
  EXPECT_EQ(u.applied, b);
}

TEST(PortionUpdates, AFailureRestoresOnlyWhenNothingDifferentIsQueued) {
  PortionUpdates alone(a);
  alone.request(b);
  EXPECT_TRUE(same(alone.completed(false), {std::nullopt, a}));
  EXPECT_EQ(alone.applied, a);

  PortionUpdates queued(a);
  queued.request(b);
  queued.request(c);
  EXPECT_TRUE(same(queued.completed(false), {c, std::nullopt}));
  EXPECT_TRUE(same(queued.completed(false), {std::nullopt, a}));

  PortionUpdates back(a);
  back.request(b);
  back.request(a);  // the user went back while b was in flight, and b failed
  EXPECT_TRUE(same(back.completed(false), {std::nullopt, a}));
}

// A stream whose reconfigurations are answered when the test says so.
class FakeStream final : public PortionStreamUpdating {
 public:
  void updateConfiguration(const platform::StreamConfiguration& configuration, Completion completion) override {
    sent.push_back(configuration);
    pending.push_back(std::move(completion));
  }
  void answer(std::optional<Error> error = std::nullopt) {
    auto completion = std::move(pending.front());
    pending.pop_front();
    completion(std::move(error));
  }

  std::vector<platform::StreamConfiguration> sent;
  std::deque<Completion> pending;
};

class Controller : public ::testing::Test {
 protected:
  Controller() {
    controller = PortionStreamController::create(
        stream, {{0, 0, 1920, 1080}, a, 1280, 720, 25}, [this](const Rect& r) { restored.push_back(r); },
        [this](std::function<void()> task) { mainThread.push_back(std::move(task)); });
  }
  // The main thread's turn: runs what was handed to it.
  void runMainThread() {
    while (!mainThread.empty()) {
      auto task = std::move(mainThread.front());
      mainThread.pop_front();
      task();
    }
  }
  std::vector<Rect> sentRects() const {
    std::vector<Rect> rects;
    for (const auto& c : stream->sent) rects.push_back(*c.sourceRect);
    return rects;
  }

  std::shared_ptr<FakeStream> stream = std::make_shared<FakeStream>();
  std::deque<std::function<void()>> mainThread;
  std::vector<Rect> restored;
  std::shared_ptr<PortionStreamController> controller;
};

TEST_F(Controller, RejectsPortionsThatDoNotFitAndPutsTheFrameBack) {
  const Rect rejected[] = {{-2, 0, 640, 360},   {0, 0, 641, 360},  {0, 0, 640, 1}, {1300, 0, 640, 360},
                           {0, 800, 640, 360},  {0, 0, 0, 0},      {0, 0, 1922, 360}};
  for (const Rect& r : rejected) controller->move(r);
  EXPECT_TRUE(stream->sent.empty());
  EXPECT_EQ(restored, std::vector<Rect>(std::size(rejected), a));
  controller->move({1280, 720, 640, 360});  // touching the far corner fits
  EXPECT_EQ(sentRects(), (std::vector<Rect>{{1280, 720, 640, 360}}));
}

TEST_F(Controller, SendsOneAtATimeAtTheSameOutputAndCompletesOnTheMainThread) {
  controller->move(b);
  controller->move(c);
  controller->move(d);
  ASSERT_EQ(stream->sent.size(), 1u);
  EXPECT_EQ(stream->sent[0].width, 1280);
  EXPECT_EQ(stream->sent[0].height, 720);
  EXPECT_EQ(stream->sent[0].minimumFrameInterval.timescale, 25);
  stream->answer();
  EXPECT_EQ(stream->sent.size(), 1u) << "the answer must wait for the main thread";
  runMainThread();
  EXPECT_EQ(sentRects(), (std::vector<Rect>{b, d}));
  stream->answer(Error{"ScreenCaptureKit", -1, "refused"});
  runMainThread();
  EXPECT_EQ(restored, std::vector<Rect>{b});
  EXPECT_EQ(controller->updates().applied, b);
}

TEST_F(Controller, AnAnswerAfterTheControllerIsGoneDoesNothing) {
  controller->move(b);
  controller.reset();
  stream->answer();
  runMainThread();
  EXPECT_TRUE(restored.empty());
  EXPECT_EQ(stream->sent.size(), 1u);
}

}  // namespace
}  // namespace pelorin::portion
