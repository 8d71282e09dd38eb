// End to end: the binary's whole report for several runs per fixture, line by line, against
// what ffprobe's stream facts, frame list and packet list predict.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <regex>
#include <sstream>

#include "support/probe.h"

namespace clipwalk::testing {
namespace {

struct WalkRun {
  double seconds;
  int steps;
  int budget_mib;
};

struct Truth {
  ProbeStream stream;
  std::vector<int64_t> frames;  // output order
  std::vector<int64_t> stamps;  // sorted packet stamps; empty when no packet has one
};

const Truth& truth_for(const std::string& name) {
  static std::map<std::string, Truth> cache;
  auto found = cache.find(name);
  if (found != cache.end()) return found->second;
  const std::string path = fixture_path(name);
  Truth truth;
  truth.stream = probe_video_stream(path);
  const double tb = double(truth.stream.tb_num) / truth.stream.tb_den;
  const double fps = double(truth.stream.r_rate_num) / truth.stream.r_rate_den;
  // Frames without any timestamp are numbered from the start, one frame interval apart.
  const int64_t interval = std::max<int64_t>(1, std::llround(1.0 / (fps * tb)));
  const int64_t start = truth.stream.has_start_pts ? truth.stream.start_pts : 0;
  int64_t previous = start - interval;
  for (const auto& time : probe_frame_times_opt(path)) {
    previous = time ? *time : previous + interval;
    truth.frames.push_back(previous);
  }
  for (const ProbePacket& packet : probe_video_packets(path)) {
    if (packet.has_pts || packet.has_dts) truth.stamps.push_back(packet.has_pts ? packet.pts : packet.dts);
  }
  std::sort(truth.stamps.begin(), truth.stamps.end());
  return cache.emplace(name, std::move(truth)).first->second;
}

std::string format(const char* pattern, auto... values) {
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, pattern, values...);
  return buffer;
}

std::vector<std::string> predicted_report(const Truth& truth, const WalkRun& run) {
  const ProbeStream& st = truth.stream;
  const double tb = double(st.tb_num) / st.tb_den;
  const int64_t start = st.has_start_pts ? st.start_pts : 0;
  const double fps = double(st.r_rate_num) / st.r_rate_den;
  const double duration = st.has_format_duration && st.format_duration > 0 ? st.format_duration
                          : st.has_stream_duration && st.stream_duration_ticks > 0
                              ? double(st.stream_duration_ticks) * tb
                              : 0.0;
  const long long estimate =
      st.nb_frames > 0 ? st.nb_frames : duration > 0 ? std::llround(duration * fps) : 0;
  int preview_w = st.width, preview_h = st.height;
  if (std::max(st.width, st.height) > 1920) {
    const double scale = 1920.0 / std::max(st.width, st.height);
    auto side = [scale](int s) {
      long v = std::lround(s * scale);
      return v < 3 ? 2L : v + v % 2;
    };
    preview_w = int(side(st.width));
    preview_h = int(side(st.height));
  }
  auto seconds = [&](int64_t pts) { return double(pts - start) * tb; };

  std::vector<std::string> lines = {
      format("codec      : %s (%s)", st.codec_name.c_str(), st.pix_fmt.c_str()),
      format("source     : %dx%d", st.width, st.height),
      format("preview    : %dx%d", preview_w, preview_h),
      format("duration   : %.3f s", duration),
      format("fps        : %.6f", fps),
      format("frames     : %lld (estimated)", estimate),
      ""};
  const int64_t target = start + std::llround(std::max(run.seconds, 0.0) / tb);
  const auto& frames = truth.frames;
  size_t at = std::lower_bound(frames.begin(), frames.end(), target) - frames.begin();
  if (at == frames.size()) at = frames.size() - 1;
  lines.push_back(format("seek to %.3f s landed on pts=%lld t=%.6f", run.seconds,
                         (long long)frames[at], seconds(frames[at])));
  lines.insert(lines.end(), {"", "forward:"});
  int walked = 0;
  for (int k = 1; k <= run.steps; ++k, ++walked) {
    if (at + k >= frames.size()) {
      lines.push_back(format("  (end of stream after %d steps)", k - 1));
      break;
    }
    lines.push_back(format("  +%-3d pts=%-12lld t=%.6f", k, (long long)frames[at + k],
                           seconds(frames[at + k])));
  }
  lines.insert(lines.end(), {"", "backward:"});
  for (int k = 1; k <= walked; ++k) {
    const int64_t pts = frames[at + walked - k];
    lines.push_back(format("  -%-3d pts=%-12lld t=%.6f", k, (long long)pts, seconds(pts)));
  }
  lines.push_back("");
  lines.push_back(format("round trip: PASS (%d forward, %d backward)", walked + 1, walked + 1));
  if (truth.stamps.empty()) {
    lines.push_back("prescan   : did not complete");
  } else {
    const auto& stamps = truth.stamps;
    size_t index = std::lower_bound(stamps.begin(), stamps.end(), frames[at]) - stamps.begin();
    if (index == stamps.size()) index = stamps.size() - 1;
    lines.push_back(format("prescan   : %zu frames in *s (estimate was %lld)", stamps.size(), estimate));
    lines.push_back(format("current   : exact frame %zu", index));
  }
  return lines;
}

std::vector<std::string> report_lines(const std::string& out) {
  static const std::regex elapsed(R"(frames in [0-9]+\.[0-9]{2}s)");
  std::vector<std::string> lines;
  std::istringstream stream(std::regex_replace(out, elapsed, "frames in *s"));
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

class Conformance : public ::testing::TestWithParam<const char*> {};

TEST_P(Conformance, ReportMatchesProbe) {
  const Truth& truth = truth_for(GetParam());
  ASSERT_FALSE(truth.frames.empty());
  const double tb = double(truth.stream.tb_num) / truth.stream.tb_den;
  const int64_t start = truth.stream.has_start_pts ? truth.stream.start_pts : 0;
  const double last = double(truth.frames.back() - start) * tb;
  // The start, the middle between two frames, close to the end, past the end, negative.
  const std::vector<WalkRun> runs = {
      {0.0, 10, 256}, {last / 2 + 0.013, 40, 0}, {last - 0.3, 30, 1}, {last + 5, 5, 256}, {-1, 3, 64}};
  for (const WalkRun& run : runs) {
    SCOPED_TRACE(::testing::Message() << GetParam() << " seek " << run.seconds << " steps "
                                      << run.steps << " budget " << run.budget_mib);
    const CommandResult result =
        run_clipwalk({fixture_path(GetParam()), format("%.6f", run.seconds),
                      std::to_string(run.steps), std::to_string(run.budget_mib)});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(report_lines(result.out), predicted_report(truth, run));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, Conformance,
    ::testing::Values("h264_bframes_aac.mp4", "h264_ts_offset.ts", "mpeg2.mpg", "vp9.webm",
                      "mjpeg.avi", "prores.mov", "hevc_opengop.mkv", "vfr.mkv", "no_count.mkv",
                      "odd_1279x719.mkv", "uhd_3840x2160.mp4", "dci_4096x2160.mp4",
                      "portrait_2160x3840.mp4", "h264_1080p.mp4", "raw_h264.h264",
                      "size_change.h264", "truncated.mkv"),
    [](const auto& param_info) {
      std::string name = param_info.param;
      std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
      return name;
    });

}  // namespace
}  // namespace clipwalk::testing
