// Accurate seek: the landing on every seekable fixture against ffprobe's frame list, and
// the three roads a seek can take.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "clipwalk/frame_navigator.h"
#include "support/frame_truth.h"
#include "support/navigator_test_peer.h"

namespace clipwalk {
namespace {

using testing::fixture_path;

TEST(Seek, LandsOnTheFirstFrameAtOrAfterTheTargetOnEveryFixture) {
  for (const char* name : {"h264_bframes_aac.mp4", "h264_ts_offset.ts", "mpeg2.mpg", "vp9.webm",
                           "mjpeg.avi", "prores.mov", "hevc_opengop.mkv", "vfr.mkv", "no_count.mkv",
                           "odd_1279x719.mkv", "h264_1080p.mp4"}) {
    SCOPED_TRACE(name);
    const testing::FrameTruth truth(fixture_path(name));
    const size_t n = truth.frames.size();
    ASSERT_GT(n, 10u);
    const double end = truth.seconds_of(n - 1);
    // GOP starts (1 s, 2 s) and their neighbours, mid-GOP times, and exact frame times and
    // one tick past them, mid-stream and in the last GOP, where a container's timestamp
    // search runs into the end of the file.
    std::vector<double> times = {-1.0,      std::nan(""), 0.0,  0.3,         0.99,
                                 1.0,       1.01,         1.98, 2.0,         2.01,
                                 end * 0.5, end - 0.1,    end,  end + 0.001, end + 5.0};
    for (const size_t i : {size_t{1}, n / 3, n / 2 + 1, n - 3, n - 2, n - 1}) {
      times.push_back(truth.seconds_of(i));
      times.push_back(truth.seconds_of(i) + truth.time_base);
    }
    std::string error;
    auto nav = FrameNavigator::open(fixture_path(name), 1920, 64 << 20, &error);
    ASSERT_NE(nav, nullptr) << error;
    EXPECT_EQ(nav->stream().start_pts, truth.start);
    EXPECT_DOUBLE_EQ(nav->stream().time_base_seconds, truth.time_base);
    for (const double t : times) {
      clear_window(*nav);  // an empty window: every landing takes the full road
      ASSERT_TRUE(nav->seek_to_seconds(t, &error)) << t << ": " << error;
      const FrameStamp* stamp = nav->current_stamp();
      ASSERT_NE(stamp, nullptr);
      const size_t want = truth.landing(t);
      EXPECT_EQ(stamp->pts, truth.frames[want])
          << "seek to " << t << " s (target " << truth.target(t) << "): want frame " << want;
      EXPECT_DOUBLE_EQ(stamp->seconds, double(stamp->pts - truth.start) * truth.time_base);
      const NavigatorSnapshot snap = snapshot(*nav);
      EXPECT_EQ(snap.current_index, snap.window.size() - 1);
    }
  }
}

TEST(Seek, InWindowJustAheadAndFullRoads) {
  const testing::FrameTruth truth(fixture_path("h264_bframes_aac.mp4"));  // keyframes every 2 s
  const auto pts_at = [&](double seconds) { return truth.frames[truth.landing(seconds)]; };
  std::string error;
  auto nav = FrameNavigator::open(fixture_path("h264_bframes_aac.mp4"), 1920, 256 << 20, &error);
  ASSERT_NE(nav, nullptr) << error;

  // From an empty window: decoded from the keyframe at 2 s up to the landing, close enough
  // after it that the landing holds every frame from the keyframe.
  ASSERT_TRUE(nav->seek_to_seconds(2.2, &error)) << error;
  ASSERT_EQ(nav->current_stamp()->pts, pts_at(2.2));
  const NavigatorSnapshot landed = snapshot(*nav);
  const int64_t front = landed.window.front().pts;
  EXPECT_EQ(front, pts_at(2.0));
  const size_t size = landed.window.size();
  const uint64_t decoded = landed.counters.frames_decoded;

  // In the window: only the current index moves.
  ASSERT_TRUE(nav->seek_to_seconds(2.1, &error));
  EXPECT_EQ(nav->current_stamp()->pts, pts_at(2.1));
  const NavigatorSnapshot in_window = snapshot(*nav);
  EXPECT_LT(in_window.current_index, size - 1);
  EXPECT_EQ(in_window.window.size(), size);
  EXPECT_EQ(in_window.window.front().pts, front);
  EXPECT_EQ(in_window.counters.frames_decoded, decoded);

  // Just ahead: decoding on from where the decoder stands, without a container seek.
  ASSERT_TRUE(nav->seek_to_seconds(2.9, &error));
  EXPECT_EQ(nav->current_stamp()->pts, pts_at(2.9));
  const NavigatorSnapshot ahead = snapshot(*nav);
  EXPECT_EQ(ahead.counters.frames_decoded, decoded + truth.landing(2.9) - truth.landing(2.2));
  EXPECT_EQ(ahead.window.front().pts, front);
  EXPECT_EQ(ahead.current_index, ahead.window.size() - 1);

  // Before the window: a container seek back to the first keyframe and a new window.
  ASSERT_TRUE(nav->seek_to_seconds(0.2, &error));
  EXPECT_EQ(nav->current_stamp()->pts, pts_at(0.2));
  const NavigatorSnapshot before_window = snapshot(*nav);
  EXPECT_EQ(before_window.window.front().pts, truth.frames.front());
  EXPECT_EQ(before_window.window.size(), truth.landing(0.2) + 1);

  // Just ahead into the end of the stream: the last frame.
  ASSERT_TRUE(nav->seek_to_seconds(5.8, &error));
  const uint64_t before_end = snapshot(*nav).counters.frames_decoded;
  ASSERT_TRUE(nav->seek_to_seconds(7.0, &error));
  EXPECT_EQ(nav->current_stamp()->pts, truth.frames.back());
  const NavigatorSnapshot at_end = snapshot(*nav);
  EXPECT_EQ(at_end.current_index, at_end.window.size() - 1);
  EXPECT_EQ(at_end.counters.frames_decoded,
            before_end + truth.frames.size() - 1 - truth.landing(5.8));
  // Ahead again from inside the window with nothing left to decode: still the last frame.
  ASSERT_TRUE(nav->seek_to_seconds(5.9, &error));
  ASSERT_TRUE(nav->seek_to_seconds(8.0, &error));
  EXPECT_EQ(nav->current_stamp()->pts, truth.frames.back());
}

// A pipe cannot be sought: the refused container seek fails with its reason and leaves the
// window, the current frame and the decoder where they were.
TEST(Seek, RefusedContainerSeekKeepsThePosition) {
  const std::string fifo = ::testing::TempDir() + "pipe_" + std::to_string(getpid()) + ".ts";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::signal(SIGPIPE, SIG_IGN);  // the writer meets a closed pipe once the navigator is gone
  std::thread writer([&] {
    std::ifstream in(fixture_path("h264_ts_offset.ts"), std::ios::binary);
    std::ofstream(fifo, std::ios::binary) << in.rdbuf();
  });
  std::string error;
  // A small budget keeps the target out of reach of decoding ahead.
  auto nav = FrameNavigator::open(fifo, 1920, uint64_t{1} << 20, &error);
  ASSERT_NE(nav, nullptr) << error;
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(nav->step_forward(&error)) << error;
  const int64_t current = nav->current_stamp()->pts;
  const size_t held = snapshot(*nav).window.size();
  EXPECT_FALSE(nav->seek_to_seconds(6.0, &error));
  EXPECT_EQ(error.rfind("seek failed: ", 0), 0u) << error;
  EXPECT_GT(error.size(), std::string("seek failed: ").size());
  EXPECT_EQ(nav->current_stamp()->pts, current);
  EXPECT_EQ(snapshot(*nav).window.size(), held);
  ASSERT_TRUE(nav->step_forward(&error));  // decoding goes on from where it stood
  EXPECT_GT(nav->current_stamp()->pts, current);
  // A pipe cannot be read twice: no prescan worker, rather than one that blocks for ever.
  EXPECT_FALSE(nav->start_prescan());
  EXPECT_FALSE(nav->prescan_running());
  nav.reset();
  writer.join();
  std::remove(fifo.c_str());
}

// The input rewritten in place while it is open: a seek behind the window that the old
// demuxer cannot serve and that cannot read the input again from its start fails with the
// reason, rather than keep the old window and call it the landing.
TEST(Seek, InputRewrittenWhileOpenFailsTheSeek) {
  const std::string path = ::testing::TempDir() + "rewritten_" + std::to_string(getpid()) + ".ts";
  const auto copy = [&](const char* name) {
    std::ifstream in(fixture_path(name), std::ios::binary);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << in.rdbuf();  // same file, new bytes
  };
  copy("h264_ts_offset.ts");
  std::string error;
  auto nav = FrameNavigator::open(path, 1920, uint64_t{1} << 20, &error);
  ASSERT_NE(nav, nullptr) << error;
  ASSERT_TRUE(nav->seek_to_seconds(6.0, &error)) << error;
  copy("h264_bframes_aac.mp4");  // another clock, another size
  EXPECT_FALSE(nav->seek_to_seconds(1.0, &error));
  EXPECT_NE(error.find(path + " changed while it was open: "), std::string::npos) << error;
  std::remove(path.c_str());
}

}  // namespace
}  // namespace clipwalk
