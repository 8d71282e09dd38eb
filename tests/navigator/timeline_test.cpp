// Conversions between stream ticks and seconds, and the frame-count estimate, on a real
// file's navigator whose timeline fields are then set case by case.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "clipwalk/frame_navigator.h"
#include "support/navigator_test_peer.h"
#include "support/probe.h"

namespace clipwalk {
namespace {

using testing::fixture_path;

TEST(Timeline, ConversionsRoundHalvesAwayAndSaturate) {
  std::string error;
  auto nav = FrameNavigator::open(fixture_path("h264_bframes_aac.mp4"), 1920, 1 << 20, &error);
  ASSERT_NE(nav, nullptr) << error;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr double kInf = std::numeric_limits<double>::infinity(), kTick = 1.0 / 90000;
  const auto to_pts = [&](double time_base, int64_t start, double seconds) {
    StreamInfo info = nav->stream();
    info.time_base_seconds = time_base;
    info.start_pts = start;
    set_stream_info(*nav, info);
    return nav->seconds_to_pts(seconds);
  };
  EXPECT_EQ(to_pts(kTick, 0, 1.0), 90000);
  EXPECT_EQ(to_pts(0.5, 0, 0.25), 1);  // halves away from zero
  EXPECT_EQ(to_pts(0.5, 0, -0.25), -1);
  EXPECT_EQ(to_pts(0.5, 0, 0.75), 2);
  EXPECT_EQ(to_pts(0.0, 77, 5.0), 77);  // no usable time base: always the start
  EXPECT_EQ(to_pts(-1.0, 77, 5.0), 77);
  EXPECT_EQ(to_pts(kTick, 0, kInf), kMax);
  EXPECT_EQ(to_pts(kTick, 0, -kInf), kMin);
  EXPECT_EQ(to_pts(kTick, 5, std::nan("")), 5);
  EXPECT_EQ(to_pts(kTick, kMax - 9, 1.0), kMax);
  EXPECT_EQ(to_pts(kTick, kMin + 9, -1.0), kMin);

  const auto set_start = [&](int64_t start) {
    StreamInfo info = nav->stream();
    info.start_pts = start;
    set_stream_info(*nav, info);
  };
  set_start(1026000);
  EXPECT_DOUBLE_EQ(nav->pts_to_seconds(1026000 + 90000), 1.0);
  EXPECT_DOUBLE_EQ(nav->pts_to_seconds(1026000 - 45000), -0.5);
  set_start(kMax);  // a difference beyond 64 bits keeps its sign and size
  EXPECT_NEAR(nav->pts_to_seconds(kMin), -18446744073709551616.0 / 90000, 1e3);

  const auto estimate = [&](int64_t declared, double duration, double fps) {
    StreamInfo info = nav->stream();
    info.container_frame_count = declared;
    info.duration_seconds = duration;
    info.frames_per_second = fps;
    set_stream_info(*nav, info);
    return nav->estimated_frame_count();
  };
  EXPECT_EQ(estimate(250, 99.0, 25.0), 250);  // a declared count wins
  EXPECT_EQ(estimate(0, 10.0, 29.97), 300);
  EXPECT_EQ(estimate(0, 0.0, 25.0), 0);
  EXPECT_EQ(estimate(0, std::nan(""), 25.0), 0);
}

}  // namespace
}  // namespace clipwalk
