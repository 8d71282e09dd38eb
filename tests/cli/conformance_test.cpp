// End to end: the binary's whole report, line by line, against what ffprobe's stream facts,
// frame list and packet list predict, for short runs and walks across many refills.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

#include "support/fixtures.h"
#include "support/frame_truth.h"

namespace clipwalk::testing {
namespace {

struct WalkRun {
  double seconds;
  int steps;
  int budget_mib;
  // The walk stays clear of a damaged file's damage, so the tool counts its packets.
  bool clear_of_damage = false;
};

std::string format(const char* pattern, auto... values) {
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, pattern, values...);
  return buffer;
}

// `reachable` is the last frame the forward walk can reach; `last_error` the line that
// closes the report when a step failed with a message. The exact count is what a plain
// decode shows.
std::vector<std::string> predicted_report(const FrameTruth& truth, const WalkRun& run,
                                          size_t reachable = SIZE_MAX,
                                          const std::string& last_error = "") {
  const ProbeStream& st = truth.stream;
  const double duration = st.has_format_duration && st.format_duration > 0 ? st.format_duration
                          : st.has_stream_duration && st.stream_duration_ticks > 0
                              ? double(st.stream_duration_ticks) * truth.time_base
                              : 0.0;
  const long long estimate = st.nb_frames > 0 ? st.nb_frames
                             : duration > 0   ? std::llround(duration * truth.fps())
                                              : 0;
  const int longer = std::max(st.width, st.height);
  const auto side = [&](int v) {  // the driver's limit of 1920, even sides of at least 2
    const long r = std::lround(v * 1920.0 / longer);
    return longer <= 1920 ? v : r < 3 ? 2 : int(r + r % 2);
  };
  std::vector<std::string> lines = {
      format("codec      : %s (%s)", st.codec_name.c_str(), st.pix_fmt.c_str()),
      format("source     : %dx%d", st.width, st.height),
      format("preview    : %dx%d", side(st.width), side(st.height)),
      format("duration   : %.3f s", duration),
      format("fps        : %.6f", truth.fps()),
      format("frames     : %lld (estimated)", estimate),
      ""};
  const size_t at = truth.landing(run.seconds);
  const auto& frames = truth.frames;
  reachable = std::min(reachable, frames.size() - 1);
  lines.push_back(format("seek to %.3f s landed on pts=%lld t=%.6f", run.seconds,
                         (long long)frames[at], truth.seconds_of(at)));
  lines.insert(lines.end(), {"", "forward:"});
  int walked = 0;
  for (int k = 1; k <= run.steps; ++k, ++walked) {
    if (at + k > reachable) {
      lines.push_back(format("  (end of stream after %d steps)", k - 1));
      break;
    }
    lines.push_back(format("  +%-3d pts=%-12lld t=%.6f", k, (long long)frames[at + k],
                           truth.seconds_of(at + k)));
  }
  lines.insert(lines.end(), {"", "backward:"});
  for (int k = 1; k <= walked; ++k) {
    const size_t index = at + walked - k;
    lines.push_back(
        format("  -%-3d pts=%-12lld t=%.6f", k, (long long)frames[index], truth.seconds_of(index)));
  }
  lines.push_back("");
  lines.push_back(format("round trip: PASS (%d forward, %d backward)", walked + 1, walked + 1));
  if (!truth.countable()) {
    lines.push_back("prescan   : did not complete");
  } else {
    lines.push_back(
        format("prescan   : %zu frames in *s (estimate was %lld)", frames.size(), estimate));
    lines.push_back(format("current   : exact frame %zu", at));
  }
  if (!last_error.empty()) lines.push_back(last_error);
  return lines;
}

std::vector<std::string> report_lines(const std::string& path, const WalkRun& run) {
  const CommandResult result =
      run_clipwalk({path, format("%.6f", run.seconds), std::to_string(run.steps),
                    std::to_string(run.budget_mib)});
  EXPECT_EQ(result.status, 0) << result.err;
  static const std::regex elapsed(R"(frames in [0-9]+\.[0-9]{2}s)");
  std::vector<std::string> lines;
  std::istringstream stream(std::regex_replace(result.out, elapsed, "frames in *s"));
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

class Conformance : public ::testing::TestWithParam<const char*> {};

TEST_P(Conformance, ReportMatchesProbe) {
  const FrameTruth& truth = frame_truth(fixture_path(GetParam()));
  ASSERT_FALSE(truth.frames.empty());
  const double last = truth.seconds_of(truth.frames.size() - 1);
  // The start, between two frames, near the end, past the end, negative; then walks of up
  // to 300 frames where a budget of 0 or 1 MiB makes most backward steps refill.
  const std::vector<WalkRun> runs = {
      {0.0, 10, 256}, {last / 2 + 0.013, 40, 0}, {last - 0.3, 30, 1}, {last + 5, 5, 256},
      {-1, 3, 64},    {last / 3, 300, 0},        {0.2, 300, 1}};
  for (const WalkRun& run : runs) {
    SCOPED_TRACE(::testing::Message() << GetParam() << " seek " << run.seconds << " steps "
                                      << run.steps << " budget " << run.budget_mib);
    EXPECT_EQ(report_lines(fixture_path(GetParam()), run), predicted_report(truth, run));
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Conformance, ::testing::ValuesIn(testing::kVideoFixtures),
                         testing::fixture_test_name);

// Files as users have them: joined, cut, truncated, damaged, untimed. The report is the one
// a plain decode predicts, at every budget, across 300-step walks; damage leaves its last
// message in a closing "last error:" line, which is set aside here.
class DamagedConformance : public ::testing::TestWithParam<DamagedFixture> {};

TEST_P(DamagedConformance, ReportMatchesAPlainDecode) {
  const DamagedFixture& fixture = GetParam();
  const std::string path = fixture_path(fixture.name);
  const FrameTruth& truth = frame_truth(path);
  ASSERT_FALSE(truth.frames.empty());
  double last = 0.0;  // stamps need not ascend: the latest one
  for (size_t k = 0; k < truth.frames.size(); ++k) last = std::max(last, truth.seconds_of(k));
  const std::vector<WalkRun> runs = {{0.0, 300, 0},          {last / 2 + 0.013, 300, 1},
                                     {last / 3, 300, 256},   {last * 0.8, 300, 0, true},
                                     {last + 5, 5, 1, true}, {0.3, 300, 256}};
  // Where the decoder drops pictures, the tool counts by decoding once its walk has met
  // the damage.
  const auto comparable = [&](std::vector<std::string> lines, const WalkRun& run) {
    const bool counted_by_packets = !fixture.count_exact && run.clear_of_damage;
    std::erase_if(lines, [&](const std::string& line) {
      return line.starts_with("last error: ") ||
             (counted_by_packets &&
              (line.starts_with("prescan   : ") || line.starts_with("current   : ")));
    });
    return lines;
  };
  for (const WalkRun& run : runs) {
    SCOPED_TRACE(::testing::Message() << fixture.name << " seek " << run.seconds << " steps "
                                      << run.steps << " budget " << run.budget_mib);
    EXPECT_EQ(comparable(report_lines(path, run), run),
              comparable(predicted_report(truth, run), run));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, DamagedConformance, ::testing::ValuesIn(testing::kDamagedFixtures),
    [](const auto& param_info) {
      return testing::fixture_test_name({param_info.param.name, param_info.index});
    });

// A frame the decoder rejects is skipped as a plain decode skips it: the walk goes on over
// it, the round trip passes, the count (made by decoding, once the walk met the damage)
// leaves it out, and the decoder's message closes the report.
TEST(ConformanceFailure, RejectedFrameLeavesTheLastError) {
  const std::string source = fixture_path("mjpeg.avi");
  constexpr size_t kBroken = 40;
  const auto probe = run_command({"ffprobe", "-v", "error", "-select_streams", "v:0",
                                  "-show_entries", "packet=pos,size", "-of", "csv=p=0", source});
  std::istringstream packets(probe.out);
  std::string line;
  for (size_t i = 0; i <= kBroken; ++i) std::getline(packets, line);
  long long size = 0, pos = 0;
  ASSERT_EQ(std::sscanf(line.c_str(), "%lld,%lld", &size, &pos), 2) << probe.out;

  const std::string broken = ::testing::TempDir() + "broken_" + std::to_string(getpid()) + ".avi";
  std::ifstream in(source, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::fill_n(bytes.begin() + pos, size, '\0');  // that frame's JPEG data
  std::ofstream(broken, std::ios::binary) << bytes;
  const WalkRun run{1.0, 20, 256};
  const FrameTruth& truth = frame_truth(broken);
  ASSERT_EQ(truth.frames.size() + 1, frame_truth(source).frames.size());
  EXPECT_EQ(
      report_lines(broken, run),
      predicted_report(truth, run, SIZE_MAX,
                       "last error: send packet failed: Invalid data found when processing input"));
  std::remove(broken.c_str());
}

}  // namespace
}  // namespace clipwalk::testing
