// A full seek leaves unheld the pictures the budget would evict before the landing. The
// window it ends with must be the one holding every picture gives: the last frames before
// the landing, back to the keyframe, as many as the budget keeps (never fewer than two).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "clipwalk/frame_navigator.h"
#include "support/frame_truth.h"
#include "support/navigator_test_peer.h"
#include "support/raw_pictures.h"

namespace clipwalk {
namespace {

using testing::fixture_path;
constexpr uint64_t kMiB = 1048576;

// The frames from the keyframe before the landing up to the landing, from ffprobe, for
// streams without reordering (decode order is display order, every packet one frame).
std::vector<int64_t> decoded_up_to_landing(const std::string& path, double seconds) {
  const testing::FrameTruth& truth = testing::frame_truth(path);
  const std::vector<testing::ProbePacket> packets = testing::probe_video_packets(path);
  EXPECT_EQ(packets.size(), truth.frames.size());
  const size_t landing = truth.landing(seconds);
  size_t key = landing;
  while (key > 0 && !packets[key].key) --key;
  return {truth.frames.begin() + static_cast<ptrdiff_t>(key),
          truth.frames.begin() + static_cast<ptrdiff_t>(landing) + 1};
}

constexpr size_t kLandingHeldFrames = 8;

std::vector<int64_t> window_stamps(const NavigatorSnapshot& snap) {
  std::vector<int64_t> stamps;
  for (const SnapshotFrame& held : snap.window) stamps.push_back(held.pts);
  return stamps;
}

TEST(UnheldFrames, FullSeekKeepsTheWindowThatHoldingEveryPictureGives) {
  struct Case {
    const char* name;
    double seconds;
    uint64_t budget;
  };
  // 1080p held by reference, 4K scaled to 1920x1080 previews; budgets that keep two
  // frames, a few, and more than the GOP holds; targets early, late and past the end.
  const Case cases[] = {
      {"h264_1080p.mp4", 0.96, 0},           {"h264_1080p.mp4", 1.96, 8 * kMiB},
      {"h264_1080p.mp4", 2.9, 20 * kMiB},    {"h264_1080p.mp4", 2.5, 256 * kMiB},
      {"h264_1080p.mp4", 99.0, 0},           {"uhd_3840x2160.mp4", 0.36, 0},
      {"uhd_3840x2160.mp4", 0.36, 4 * kMiB}, {"portrait_2160x3840.mp4", 99.0, kMiB},
  };
  uint64_t passed = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << c.name << " at " << c.seconds << " s, budget " << c.budget / kMiB << " MiB");
    const std::string path = fixture_path(c.name);
    const std::vector<int64_t> decoded = decoded_up_to_landing(path, c.seconds);
    std::string error;
    auto nav = FrameNavigator::open(path, 1920, c.budget, &error);
    ASSERT_NE(nav, nullptr) << error;
    ASSERT_TRUE(nav->seek_to_seconds(c.seconds, &error)) << error;
    const NavigatorSnapshot snap = snapshot(*nav);
    ASSERT_FALSE(snap.window.empty());
    // Every preview of a stream has the same size, so the budget keeps a fixed count; a
    // landing holds at most 8 frames up to its target whatever the budget.
    const uint64_t bytes = snap.window.back().bytes;
    const size_t kept = std::min<size_t>(
        {decoded.size(), std::max<uint64_t>(2, c.budget / bytes), kLandingHeldFrames});
    const std::vector<int64_t> expected(decoded.end() - static_cast<ptrdiff_t>(kept),
                                        decoded.end());
    EXPECT_EQ(window_stamps(snap), expected);
    EXPECT_EQ(snap.current_index, snap.window.size() - 1);
    passed += snap.counters.unheld;
  }
  EXPECT_GT(passed, 0u);  // the cases above do leave pictures unheld
}

// Far before the landing, pictures no other picture refers to are not decoded at all, in a
// seek and in a backward refill. Every picture the navigator shows afterwards, held by the
// seek, decoded on forward or decoded again backward, must still carry the stamp and the
// pixels a plain decode gives it.
TEST(UnheldFrames, SkippedPicturesLeaveEveryOtherPictureAsAPlainDecodeShowsIt) {
  struct Case {
    const char* name;
    double seconds;
    uint64_t budget;
  };
  // H.264 with B-frames, early and late in a GOP; open-GOP HEVC after a CRA; an edit list.
  const Case cases[] = {{"h264_bframes_aac.mp4", 1.9, 0},
                        {"h264_bframes_aac.mp4", 5.9, kMiB},
                        {"hevc_opengop.mkv", 3.9, 0},
                        {"editlist.mp4", 3.9, 0}};
  constexpr int kForward = 12;
  constexpr int kBackward = 60;
  uint64_t refill_offers = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << c.name << " at " << c.seconds << " s, budget " << c.budget / kMiB << " MiB");
    const std::string path = fixture_path(c.name);
    const testing::FrameTruth& truth = testing::frame_truth(path);
    const std::string raw = testing::ffmpeg_decode(path);
    std::string error;
    auto nav = FrameNavigator::open(path, 1920, c.budget, &error);
    ASSERT_NE(nav, nullptr) << error;
    ASSERT_EQ(raw.size(), truth.frames.size() * size_t(nav->stream().source_width) *
                              size_t(nav->stream().source_height) * 3 / 2);
    ASSERT_TRUE(nav->seek_to_seconds(c.seconds, &error)) << error;
    const NavigatorSnapshot landed = snapshot(*nav);
    EXPECT_GT(landed.counters.skip_offers, 0u);  // the case does reach the skipping

    const size_t landing = truth.landing(c.seconds);
    ASSERT_LE(landed.window.size(), landing + 1);
    const size_t front = landing + 1 - landed.window.size();
    for (size_t i = 0; i < landed.window.size(); ++i) {
      EXPECT_EQ(landed.window[i].pts, truth.frames[front + i]);
      EXPECT_TRUE(testing::same_picture(held_picture(*nav, i), raw, front + i));
    }
    size_t k = landing;
    for (int step = 0; step < kForward && k + 1 < truth.frames.size(); ++step, ++k) {
      ASSERT_TRUE(nav->step_forward(&error)) << error;
      const NavigatorSnapshot snap = snapshot(*nav);
      ASSERT_EQ(snap.window[snap.current_index].pts, truth.frames[k + 1]);
      ASSERT_TRUE(testing::same_picture(current_picture(*nav), raw, k + 1));
    }
    const uint64_t offers_before_walk = snapshot(*nav).counters.skip_offers;
    for (int step = 0; step < kBackward && k > 0; ++step, --k) {
      ASSERT_TRUE(nav->step_backward(&error)) << error;
      const NavigatorSnapshot snap = snapshot(*nav);
      ASSERT_EQ(snap.window[snap.current_index].pts, truth.frames[k - 1]);
      ASSERT_TRUE(testing::same_picture(current_picture(*nav), raw, k - 1));
    }
    const NavigatorSnapshot walked = snapshot(*nav);
    refill_offers += walked.counters.skip_offers - offers_before_walk;
    // On clean files the skipping holds: no seek or refill had to be done again.
    EXPECT_EQ(walked.counters.redone, 0u);
  }
  EXPECT_GT(refill_offers, 0u);  // the walks back skip pictures in their refills too
}

// When the stream ends before the frame rate said, the unheld guess was wrong: the seek is
// done again holding every picture, and the window still ends on the stream's last frames.
TEST(UnheldFrames, StreamShorterThanItsDurationStillKeepsItsLastFrames) {
  const std::string path = fixture_path("truncated.mkv");
  const testing::FrameTruth& truth = testing::frame_truth(path);
  ASSERT_GE(truth.frames.size(), 2u);
  std::string error;
  auto nav = FrameNavigator::open(path, 1920, 0, &error);
  ASSERT_NE(nav, nullptr) << error;
  ASSERT_GT(nav->stream().duration_seconds, truth.seconds_of(truth.frames.size() - 1) + 1.0);
  ASSERT_TRUE(nav->seek_to_seconds(nav->stream().duration_seconds - 0.1, &error)) << error;
  const NavigatorSnapshot snap = snapshot(*nav);
  EXPECT_GT(snap.counters.unheld, 0u);
  EXPECT_EQ(window_stamps(snap), std::vector<int64_t>(truth.frames.end() - 2, truth.frames.end()));
}

}  // namespace
}  // namespace clipwalk
