// Opening a file: the failures and their messages, from the navigator and from the tool.
// The stream lines are checked end to end by the conformance test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <limits>
#include <string>
#include <utility>

#include "clipwalk/frame_navigator.h"
#include "support/navigator_test_peer.h"
#include "support/probe.h"

namespace clipwalk {
namespace {

using testing::fixture_path;
using testing::run_clipwalk;

TEST(OpenFailure, MessagesOnStderrAndNothingOnStdout) {
  const std::string missing = fixture_path("does_not_exist.mp4");
  const std::string audio = fixture_path("audio_only.m4a");
  const std::string cover = fixture_path("audio_cover.m4a");
  const std::string text = fixture_path("not_video.txt");
  // Text long enough that FFmpeg's ANSI-art demuxer takes a ".txt" file for a video.
  const std::string notes = ::testing::TempDir() + "open_test_notes.txt";
  {
    std::ofstream out(notes);
    for (int line = 0; line < 400; ++line) out << "line " << line << ": words, not a picture\n";
  }
  const std::pair<std::string, std::string> cases[] = {
      {notes, notes + " is text, not a video"},
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

// However large the budget (a negative count on the command line wraps to nearly 2^64),
// the window gets at most half of the machine's physical memory, the kernel's MemTotal. A
// budget raised to hold more frames is raised to an eighth at most, and never lowered.
TEST(OpenBudget, CappedAtHalfThePhysicalMemory) {
  uint64_t total_kib = 0;
  std::ifstream meminfo("/proc/meminfo");
  for (std::string key; meminfo >> key && key != "MemTotal:";) meminfo.ignore(1 << 10, '\n');
  ASSERT_TRUE(meminfo >> total_kib);
  const uint64_t half = total_kib * 1024 / 2;
  const uint64_t eighth = total_kib * 1024 / 8;
  constexpr uint32_t kAll = std::numeric_limits<uint32_t>::max();
  const struct {
    uint64_t budget;
    uint32_t min_held_frames;
    uint64_t kept;
  } budgets[] = {{0, 0, 0},
                 {uint64_t{256} << 20, 0, uint64_t{256} << 20},
                 {half, 0, half},
                 {half + 1, 0, half},
                 {static_cast<uint64_t>(int64_t{-1} * 1048576), 0, half},
                 {std::numeric_limits<uint64_t>::max(), 0, half},
                 {0, kAll, eighth},
                 {half, kAll, half}};
  for (const auto& [budget, min_held_frames, kept] : budgets) {
    OpenOptions options;
    options.cache_budget_bytes = budget;
    options.min_held_frames = min_held_frames;
    std::string error;
    const auto nav = FrameNavigator::open(fixture_path("h264_bframes_aac.mp4"), options, &error);
    ASSERT_NE(nav, nullptr) << error;
    EXPECT_EQ(snapshot(*nav).budget_bytes, kept) << budget << " " << min_held_frames;
  }
}

}  // namespace
}  // namespace clipwalk
