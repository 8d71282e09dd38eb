// Opening a file: the preview size, the failures and their messages, and how the command
// line is read. The stream lines are checked end to end by the conformance test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "cli/args.h"
#include "navigator/frame_navigator.h"
#include "support/probe.h"

namespace clipwalk {
namespace {

using testing::fixture_path;
using testing::run_clipwalk;

TEST(PreviewSize, ScalesTheLongerSideToTheLimitWithEvenSides) {
  struct Case {
    int32_t w, h, limit, want_w, want_h;
  };
  // clang-format off
  const Case cases[] = {
      {3840, 2160, 1920, 1920, 1080}, {2160, 3840, 1920, 1080, 1920},
      {4096, 2160, 1920, 1920, 1014},  // 1012.5 rounds to 1013, odd, raised
      {1920, 1080, 1920, 1920, 1080}, {1279, 719, 1920, 1279, 719},  // unscaled: odd stays odd
      {5000, 6, 1920, 1920, 2},       {5000, 8, 1920, 1920, 4},
      {5000, 1, 1920, 1920, 2},       {3838, 2000, 1919, 1920, 1000},
      {7680, 4320, 0, 7680, 4320},    {7680, 4320, -5, 7680, 4320}};
  // clang-format on
  for (const Case& c : cases) {
    const PreviewSize got = compute_preview_size(c.w, c.h, c.limit);
    EXPECT_EQ(got.width, c.want_w) << c.w << "x" << c.h << " limit " << c.limit;
    EXPECT_EQ(got.height, c.want_h) << c.w << "x" << c.h << " limit " << c.limit;
  }
}

TEST(OpenFailure, MessagesOnStderrAndNothingOnStdout) {
  const std::string missing = fixture_path("does_not_exist.mp4");
  const std::string audio = fixture_path("audio_only.m4a");
  const std::string cover = fixture_path("audio_cover.m4a");
  const std::string text = fixture_path("not_video.txt");
  const std::pair<std::string, std::string> cases[] = {
      {missing, "could not open " + missing + ": No such file or directory"},
      {audio, "no video stream in " + audio},
      {cover, "no video stream in " + cover},
      {text, "could not open " + text + ": Invalid data found when processing input"},
  };
  for (const auto& [path, message] : cases) {
    std::string error = "stale text to be replaced";
    EXPECT_EQ(FrameNavigator::open(path, 1920, 1 << 20, &error), nullptr);
    EXPECT_EQ(error, message);
    const testing::CommandResult r = run_clipwalk({path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    // FFmpeg's own log lines may come first; ours is the last.
    const std::string line = "open failed: " + message + "\n";
    EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), line.size())), line) << r.err;
  }
  const testing::CommandResult usage = run_clipwalk({});
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.out, "");
  EXPECT_EQ(usage.err, "usage: clipwalk <file> [seek_seconds] [steps]\n");
}

TEST(Args, IntegersSaturateAndTextReadsLikeAtoi) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  const std::pair<const char*, int32_t> ints[] = {
      {"-7", -7},           {" 12x", 12},          {"abc", 0},
      {"2147483648", kMax}, {"99999999999", kMax}, {"-99999999999", kMin}};
  for (const auto& [text, want] : ints) EXPECT_EQ(parse_int_argument(text), want) << text;
  EXPECT_DOUBLE_EQ(parse_seconds_argument("abc"), 0.0);
  EXPECT_TRUE(std::isnan(parse_seconds_argument("nan")));

  const std::pair<std::vector<const char*>, uint64_t> budgets[] = {
      {{"clipwalk", "f"}, 268435456},
      {{"clipwalk", "f", "1", "3", "0"}, 0},
      {{"clipwalk", "f", "1", "3", "5", "out.ppm", "ignored"}, 5 << 20},
      {{"clipwalk", "f", "1", "3", "-1"}, static_cast<uint64_t>(int64_t{-1048576})}};
  for (const auto& [argv, budget] : budgets) {
    const DriverArgs a = parse_driver_args(int(argv.size()), argv.data());
    EXPECT_EQ(a.budget_bytes, budget) << argv.size() << " arguments";
    EXPECT_EQ(a.has_snapshot, argv.size() > 5);
    EXPECT_EQ(a.steps, argv.size() > 3 ? 3 : 10);
  }
}

TEST(Timeline, ConversionsRoundHalvesAwayAndSaturate) {
  std::string error;
  auto nav = FrameNavigator::open(fixture_path("h264_bframes_aac.mp4"), 1920, 1 << 20, &error);
  ASSERT_NE(nav, nullptr) << error;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr double kInf = std::numeric_limits<double>::infinity(), kTick = 1.0 / 90000;
  const auto to_pts = [&](double time_base, int64_t start, double seconds) {
    nav->time_base_seconds = time_base;
    nav->start_pts = start;
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

  nav->start_pts = 1026000;
  EXPECT_DOUBLE_EQ(nav->pts_to_seconds(1026000 + 90000), 1.0);
  EXPECT_DOUBLE_EQ(nav->pts_to_seconds(1026000 - 45000), -0.5);
  nav->start_pts = kMax;  // a difference beyond 64 bits keeps its sign and size
  EXPECT_NEAR(nav->pts_to_seconds(kMin), -18446744073709551616.0 / 90000, 1e3);

  const auto estimate = [&](int64_t declared, double duration, double fps) {
    nav->container_frame_count = declared;
    nav->duration_seconds = duration;
    nav->frames_per_second = fps;
    return nav->estimated_frame_count();
  };
  EXPECT_EQ(estimate(250, 99.0, 25.0), 250);  // a declared count wins
  EXPECT_EQ(estimate(0, 10.0, 29.97), 300);
  EXPECT_EQ(estimate(0, 0.0, 25.0), 0);
  EXPECT_EQ(estimate(0, std::nan(""), 25.0), 0);
}

}  // namespace
}  // namespace clipwalk
