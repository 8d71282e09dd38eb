// What a run must show, worked out from ffprobe's lists alone.
#pragma once

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "support/probe.h"

namespace clipwalk::testing {

struct FrameTruth {
  ProbeStream stream;
  int64_t start = 0;
  double time_base = 0.0;
  std::vector<int64_t> frames;  // best-effort timestamps, decoder output order
  std::vector<int64_t> stamps;  // sorted stamps of the video packets that carry one

  explicit FrameTruth(const std::string& path) : stream(probe_video_stream(path)) {
    start = stream.has_start_pts ? stream.start_pts : 0;
    time_base = double(stream.tb_num) / stream.tb_den;
    // Frames without any timestamp are numbered from the start, one frame interval apart.
    const int64_t interval = std::max<int64_t>(1, std::llround(1.0 / (fps() * time_base)));
    int64_t previous = start - interval;
    for (const auto& time : probe_frame_times_opt(path)) {
      previous = time ? *time : previous + interval;
      frames.push_back(previous);
    }
    for (const ProbePacket& packet : probe_video_packets(path)) {
      if (packet.has_pts || packet.has_dts)
        stamps.push_back(packet.has_pts ? packet.pts : packet.dts);
    }
    std::sort(stamps.begin(), stamps.end());
  }
  // av_guess_frame_rate keeps r_frame_rate for all our fixtures; without one, 25.
  double fps() const {
    return stream.r_rate_num > 0 && stream.r_rate_den > 0
               ? double(stream.r_rate_num) / stream.r_rate_den
               : 25.0;
  }
  // Negative and NaN times aim at the start.
  int64_t target(double seconds) const {
    return start + std::llround((seconds >= 0.0 ? seconds : 0.0) / time_base);
  }
  // Index of the first frame at or after the target; past the end, the last frame.
  size_t landing(double seconds) const {
    const int64_t t = target(seconds);
    const auto at = std::find_if(frames.begin(), frames.end(), [&](int64_t f) { return f >= t; });
    return at == frames.end() ? frames.size() - 1 : size_t(at - frames.begin());
  }
  double seconds_of(size_t index) const { return double(frames[index] - start) * time_base; }
  double stamp_seconds(size_t index) const { return double(stamps[index] - start) * time_base; }
};

// One probe per file for the whole test binary.
inline const FrameTruth& frame_truth(const std::string& path) {
  static std::map<std::string, FrameTruth> cache;
  auto found = cache.find(path);
  if (found == cache.end()) found = cache.emplace(path, FrameTruth(path)).first;
  return found->second;
}

}  // namespace clipwalk::testing
