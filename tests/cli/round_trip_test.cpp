// The round trip through the clipwalk executable: long walks across many refills, walks
// cut short by the end of the stream or a rejected frame, and how the report then closes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "navigator/frame_truth.h"

namespace clipwalk {
namespace {

using testing::fixture_path;
using testing::FrameTruth;

const FrameTruth& truth(const std::string& path) {
  static std::map<std::string, FrameTruth> cache;
  auto found = cache.find(path);
  if (found == cache.end()) found = cache.emplace(path, FrameTruth(path)).first;
  return found->second;
}

// Runs a walk and checks the report from the landing on: the forward lines are ffprobe's
// frames after the landing up to the last one reachable (`last`, by default the stream's
// last frame), the backward lines retrace them, the verdict is PASS, and the prescan and
// current lines close the report, followed by a last error exactly when `last` was given.
void expect_walk(const std::string& path, double seek, int steps, int mib, size_t last = SIZE_MAX) {
  const FrameTruth& t = truth(path);
  const std::vector<int64_t>& frames = t.frames;
  const auto run = testing::run_clipwalk(
      {path, std::to_string(seek), std::to_string(steps), std::to_string(mib)});
  SCOPED_TRACE(run.out + run.err);
  EXPECT_EQ(run.status, 0);
  const size_t landing = t.landing(seek);
  const bool failing = last != SIZE_MAX;
  last = std::min(last, frames.size() - 1);
  ASSERT_LE(landing, last);
  const size_t walked = std::min(static_cast<size_t>(std::max(steps, 0)), last - landing);

  std::vector<long long> forward, backward;
  std::vector<std::string> lines;
  std::istringstream out(run.out);
  for (std::string line; std::getline(out, line);) {
    int step = 0;
    long long pts = 0;
    for (auto* list : {&forward, &backward}) {
      const char* format = list == &forward ? "  +%d pts=%lld t=" : "  -%d pts=%lld t=";
      if (std::sscanf(line.c_str(), format, &step, &pts) == 2) {
        EXPECT_EQ(static_cast<size_t>(step), list->size() + 1) << line;
        list->push_back(pts);
      }
    }
    lines.push_back(line);
  }
  const std::vector<long long> walk(frames.begin() + long(landing),
                                    frames.begin() + long(landing + walked) + 1);
  EXPECT_EQ(forward, std::vector<long long>(walk.begin() + 1, walk.end()));
  EXPECT_EQ(backward, std::vector<long long>(walk.rbegin() + 1, walk.rend()));
  const bool cut_short = walked < static_cast<size_t>(std::max(steps, 0));
  const std::string end_line = "  (end of stream after " + std::to_string(walked) + " steps)";
  EXPECT_EQ(std::count(lines.begin(), lines.end(), end_line), cut_short ? 1 : 0);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "  (start of stream)"), 0);
  const std::string n = std::to_string(walked + 1);
  const auto verdict = std::find(lines.begin(), lines.end(),
                                 "round trip: PASS (" + n + " forward, " + n + " backward)");
  ASSERT_NE(verdict, lines.end());

  ASSERT_EQ(lines.end() - verdict, failing ? 4 : 3);
  EXPECT_EQ(verdict[1].rfind("prescan   : ", 0), 0u);
  EXPECT_EQ(verdict[2].rfind("current   : exact frame ", 0), 0u);
  if (failing) {
    EXPECT_EQ(verdict[3].rfind("last error: ", 0), 0u);
    EXPECT_GT(verdict[3].size(), std::string("last error: ").size());
  }
}

struct WalkCase {
  const char* name;
  double seek;
  int steps;
  int mib;
};

class RoundTripCli : public ::testing::TestWithParam<WalkCase> {};

TEST_P(RoundTripCli, RetracesFfprobeFrames) {
  expect_walk(fixture_path(GetParam().name), GetParam().seek, GetParam().steps, GetParam().mib);
}

INSTANTIATE_TEST_SUITE_P(
    Walks, RoundTripCli,
    ::testing::Values(
        // Up to 300 steps, to the end: at 0 MiB each backward step refills, at 1 MiB every few.
        WalkCase{"h264_bframes_aac.mp4", 0.0, 300, 0},
        WalkCase{"h264_bframes_aac.mp4", 2.5, 300, 1},
        WalkCase{"h264_bframes_aac.mp4", 1.0, 300, 256}, WalkCase{"h264_ts_offset.ts", 3.3, 300, 0},
        WalkCase{"hevc_opengop.mkv", 1.5, 120, 0}, WalkCase{"hevc_opengop.mkv", 1.9, 300, 1},
        WalkCase{"vfr.mkv", 1.0, 300, 0}, WalkCase{"mpeg2.mpg", 0.7, 300, 0},
        WalkCase{"vp9.webm", 0.3, 300, 1}, WalkCase{"mjpeg.avi", 0.5, 300, 0},
        // The cut in the data ends the stream cleanly, with no error, at the last whole frame.
        WalkCase{"truncated.mkv", 1.0, 100, 256},
        // No steps at all; a landing on the last frame.
        WalkCase{"h264_bframes_aac.mp4", 2.0, 0, 256},
        WalkCase{"h264_bframes_aac.mp4", 2.0, -5, 256}, WalkCase{"vfr.mkv", 99.0, 10, 256},
        WalkCase{"h264_ts_offset.ts", 8.5, 3, 0}));

// A frame the decoder rejects ends the forward walk like the end of the stream; the round
// trip still passes, and the decoder's message closes the report.
TEST(RoundTripCliFailure, RejectedFrameLeavesTheLastError) {
  const std::string source = fixture_path("mjpeg.avi");
  constexpr size_t kBroken = 40;
  const auto probe =
      testing::run_command({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                            "packet=pts,pos,size", "-of", "compact=p=0", source});
  std::istringstream packets(probe.out);
  std::string line;
  for (size_t i = 0; i <= kBroken; ++i) std::getline(packets, line);
  long long pts = 0, pos = 0, size = 0;
  ASSERT_EQ(std::sscanf(line.c_str(), "pts=%lld|size=%lld|pos=%lld", &pts, &size, &pos), 3)
      << probe.out;
  ASSERT_EQ(pts, truth(source).frames[kBroken]);

  const std::string broken = ::testing::TempDir() + "broken_" + std::to_string(getpid()) + ".avi";
  std::ifstream in(source, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::fill_n(bytes.begin() + pos, size, '\0');  // that frame's JPEG data
  std::ofstream(broken, std::ios::binary) << bytes;
  expect_walk(broken, 1.0, 20, 256, kBroken - 1);
  std::remove(broken.c_str());
}

}  // namespace
}  // namespace clipwalk
