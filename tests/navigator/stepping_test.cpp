// Frame stepping checked against ffprobe's frame list: random seek and step sequences
// under several budgets, the start of the stream, and what each kind of step decodes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <random>
#include <sstream>
#include <tuple>

#include "clipwalk/frame_navigator.h"
#include "support/frame_truth.h"
#include "support/navigator_test_peer.h"

namespace clipwalk {
namespace {

using testing::fixture_path;
using testing::frame_truth;
using testing::FrameTruth;

constexpr uint64_t kMiB = 1048576;
constexpr uint64_t kDefaultBudget = 256 * kMiB;

// The window's invariants, and the budget, which a refill lowers for a while and restores.
::testing::AssertionResult window_sound(const FrameNavigator& nav, uint64_t budget) {
  const NavigatorSnapshot snap = snapshot(nav);
  if (snap.window.empty() || snap.current_index >= snap.window.size()) {
    return ::testing::AssertionFailure()
           << "current_index " << snap.current_index << " of " << snap.window.size();
  }
  uint64_t sum = 0;
  for (size_t i = 0; i < snap.window.size(); ++i) {
    sum += snap.window[i].bytes;
    if (i > 0 && snap.window[i].pts <= snap.window[i - 1].pts) {
      return ::testing::AssertionFailure() << "pts not ascending at window index " << i;
    }
  }
  if (sum != snap.held_bytes || snap.budget_bytes != budget) {
    return ::testing::AssertionFailure() << "held_bytes " << snap.held_bytes << " (sum " << sum
                                         << "), budget " << snap.budget_bytes;
  }
  return ::testing::AssertionSuccess();
}

using WalkCase = std::tuple<const char*, uint64_t>;
class SteppingRandomWalk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(SteppingRandomWalk, FollowsFfprobeFrameList) {
  const auto [name, budget] = GetParam();
  const std::string path = fixture_path(name);
  const FrameTruth& t = frame_truth(path);
  const size_t count = t.frames.size();
  ASSERT_GE(count, 2u);
  ASSERT_TRUE(std::adjacent_find(t.frames.begin(), t.frames.end(), std::greater_equal<>()) ==
              t.frames.end());

  uint32_t seed = 2166136261u;  // FNV-1a of the name, mixed with the budget: fixed per case
  for (const char* c = name; *c != '\0'; ++c) seed = (seed ^ uint8_t(*c)) * 16777619u;
  seed ^= static_cast<uint32_t>(budget / kMiB) * 2654435761u;
  SCOPED_TRACE(::testing::Message() << name << " budget " << budget << " seed " << seed);
  std::mt19937 rng(seed);
  auto below = [&rng](size_t n) { return static_cast<size_t>(rng() % n); };
  std::uniform_real_distribution<double> anywhere(-0.5, t.stream.format_duration + 0.5);
  std::uniform_real_distribution<double> nearby(-0.3, 0.6);

  std::string error;
  auto nav = FrameNavigator::open(path, 1920, budget, &error);
  ASSERT_NE(nav, nullptr) << error;
  size_t model = 0;        // index into ffprobe's frames
  std::ostringstream ops;  // the sequence so far, printed with any failure
  auto check = [&]() -> ::testing::AssertionResult {
    const FrameStamp* current = nav->current_stamp();
    if (current == nullptr) return ::testing::AssertionFailure() << "no current frame";
    if (current->pts != t.frames[model]) {
      return ::testing::AssertionFailure() << "pts " << current->pts << ", expected frame " << model
                                           << " pts " << t.frames[model];
    }
    return window_sound(*nav, budget);
  };
  auto seek = [&](double seconds) -> ::testing::AssertionResult {
    ops << " seek(" << seconds << ")";
    model = t.landing(seconds);
    if (!nav->seek_to_seconds(seconds, &error)) return ::testing::AssertionFailure() << error;
    return check();
  };

  ASSERT_TRUE(seek(anywhere(rng))) << ops.str();
  for (int op = 1; op < 200;) {
    const size_t kind = below(10);
    if (kind < 4) {  // anywhere, exactly on a frame's time, or a little around the current one
      ASSERT_TRUE(seek(kind < 2    ? anywhere(rng)
                       : kind == 2 ? t.seconds_of(below(count))
                                   : t.seconds_of(model) + nearby(rng)))
          << ops.str();
      ++op;
      continue;
    }
    // Short bursts either way; now and then a fresh landing (with the window emptied, so
    // even at a large budget) and a long walk back past its keyframe.
    const bool forward = kind < 7;
    if (kind == 9) {
      clear_window(*nav);
      ops << " clear";
      ASSERT_TRUE(seek(t.seconds_of(below(count)))) << ops.str();
    }
    for (size_t burst = kind == 9 ? 13 + below(48) : 1 + below(12); burst > 0; --burst, ++op) {
      ops << (forward ? " +" : " -");
      const bool expected = forward ? model + 1 < count : model > 0;
      const NavigatorSnapshot before = snapshot(*nav);
      const bool inside =
          forward ? before.current_index + 1 < before.window.size() : before.current_index > 0;
      const bool skipping = before.skip_pending;
      const uint64_t decoded = before.counters.frames_decoded;
      ASSERT_EQ(forward ? nav->step_forward(&error) : nav->step_backward(&error), expected)
          << "at frame " << model << ops.str();
      if (expected) model = forward ? model + 1 : model - 1;
      ASSERT_TRUE(check()) << ops.str();
      // Inside the window a step decodes nothing; past its back, one picture (more only
      // while pictures that a refill already holds are dropped).
      const NavigatorSnapshot after = snapshot(*nav);
      const uint64_t cost = after.counters.frames_decoded - decoded;
      if (inside || (forward && expected && !skipping)) {
        ASSERT_EQ(cost, inside ? 0u : 1u) << ops.str();
      }
      // With a budget of 0 a refill leaves the frame before the anchor, current, and the anchor.
      if (!forward && !inside && expected && budget == 0) {
        ASSERT_TRUE(after.window.size() == 2 && after.current_index == 0 &&
                    after.window[1].pts == t.frames[model + 1])
            << ops.str();
      }
    }
  }
  EXPECT_EQ(error, "");
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, SteppingRandomWalk,
    ::testing::Combine(::testing::Values("h264_bframes_aac.mp4", "h264_ts_offset.ts", "vp9.webm",
                                         "mjpeg.avi", "hevc_opengop.mkv", "vfr.mkv"),
                       ::testing::Values(uint64_t{0}, kMiB, kDefaultBudget)),
    [](const ::testing::TestParamInfo<WalkCase>& param_info) {
      std::string name = std::get<0>(param_info.param);
      std::replace_if(
          name.begin(), name.end(), [](unsigned char c) { return !std::isalnum(c); }, '_');
      return name + "_" + std::to_string(std::get<1>(param_info.param) / kMiB) + "MiB";
    });

// At the first frame a step back answers false and changes nothing. Where that frame lies
// after time 0 only a refill, which finds nothing earlier, can tell: the copy made below
// begins with pictures from before a keyframe, which decoders drop, so its first frame
// comes 0.28 s after the stream's start.
TEST(SteppingStart, BackwardFromTheFirstFrameAnswersFalseAndStays) {
  const std::string late = ::testing::TempDir() + "late_start_" + std::to_string(getpid()) + ".mkv";
  ASSERT_EQ(testing::run_command({"ffmpeg", "-loglevel", "error", "-nostdin", "-y", "-i",
                                  fixture_path("h264_bframes_aac.mp4"), "-ss", "1.5", "-an", "-c:v",
                                  "copy", "-copyinkf", "-f", "matroska", late})
                .status,
            0);
  for (const std::string& path :
       {fixture_path("h264_bframes_aac.mp4"), fixture_path("h264_ts_offset.ts"), late}) {
    SCOPED_TRACE(path);
    const FrameTruth& t = frame_truth(path);
    const double first = t.seconds_of(0);
    ASSERT_TRUE(first >= 0.0 && first < 1.0);  // within the first refill's seek span
    auto nav = FrameNavigator::open(path, 1920, kDefaultBudget);
    ASSERT_NE(nav, nullptr);
    ASSERT_TRUE(nav->seek_to_seconds(0.0));
    std::string error = "untouched";
    for (int round = 0; round < 2; ++round) {
      const NavigatorSnapshot before = snapshot(*nav);
      const uint64_t decoded = before.counters.frames_decoded;
      const size_t held = before.window.size();
      EXPECT_FALSE(nav->step_backward(&error));
      ASSERT_NE(nav->current_stamp(), nullptr);
      EXPECT_EQ(nav->current_stamp()->pts, t.frames[0]);
      // The decode from the first packet showed that picture first: nothing is re-decoded.
      const NavigatorSnapshot after = snapshot(*nav);
      EXPECT_TRUE(after.counters.frames_decoded == decoded && after.window.size() == held) << first;
      // It moves on normally from there, and back.
      ASSERT_TRUE(nav->step_forward(&error));
      EXPECT_EQ(nav->current_stamp()->pts, t.frames[1]);
      ASSERT_TRUE(nav->step_backward(&error));
      EXPECT_EQ(nav->current_stamp()->pts, t.frames[0]);
    }
    EXPECT_EQ(error, "untouched");
  }
  std::remove(late.c_str());
}

}  // namespace
}  // namespace clipwalk
