// Where a seek must land, worked out from ffprobe's frame list alone.
#pragma once

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "support/probe.h"

namespace clipwalk::testing {

struct FrameTruth {
  ProbeStream stream;
  int64_t start = 0;
  double time_base = 0.0;
  std::vector<int64_t> frames;  // best-effort timestamps, decoder output order

  explicit FrameTruth(const std::string& path)
      : stream(probe_video_stream(path)), frames(probe_frame_times(path)) {
    start = stream.has_start_pts ? stream.start_pts : 0;
    time_base = double(stream.tb_num) / stream.tb_den;
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
};

}  // namespace clipwalk::testing
