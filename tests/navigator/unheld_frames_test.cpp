// A full seek leaves unheld the pictures the budget would evict before the landing. The
// window it ends with must be the one holding every picture gives: the last frames before
// the landing, back to the keyframe, as many as the budget keeps (never fewer than two).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "clipwalk/frame_navigator.h"
#include "support/frame_truth.h"

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

std::vector<int64_t> window_stamps(const FrameNavigator& nav) {
  std::vector<int64_t> stamps;
  for (const HeldFrame& held : nav.window) stamps.push_back(held.pts);
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
    ASSERT_FALSE(nav->window.empty());
    // Every preview of a stream has the same size, so the budget keeps a fixed count.
    const uint64_t bytes = nav->window.back().bytes;
    const size_t kept = std::min<size_t>(decoded.size(), std::max<uint64_t>(2, c.budget / bytes));
    const std::vector<int64_t> expected(decoded.end() - static_cast<ptrdiff_t>(kept),
                                        decoded.end());
    EXPECT_EQ(window_stamps(*nav), expected);
    EXPECT_EQ(nav->current_index, nav->window.size() - 1);
    passed += nav->unheld.passed;
  }
  EXPECT_GT(passed, 0u);  // the cases above do leave pictures unheld
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
  ASSERT_GT(nav->duration_seconds, truth.seconds_of(truth.frames.size() - 1) + 1.0);
  ASSERT_TRUE(nav->seek_to_seconds(nav->duration_seconds - 0.1, &error)) << error;
  EXPECT_GT(nav->unheld.passed, 0u);
  EXPECT_EQ(window_stamps(*nav), std::vector<int64_t>(truth.frames.end() - 2, truth.frames.end()));
}

}  // namespace
}  // namespace clipwalk
