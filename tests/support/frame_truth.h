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
  // The exact count and index a prescan reports: the frames a plain decode shows, in the
  // order it shows them; none when no packet carries a timestamp.
  bool countable() const { return !stamps.empty(); }

  explicit FrameTruth(const std::string& path) : stream(probe_video_stream(path)) {
    start = stream.has_start_pts ? stream.start_pts : 0;
    time_base = double(stream.tb_num) / stream.tb_den;
    // A frame without a timestamp comes one frame after the frame before it, by that
    // frame's duration (the packet's, else the frame rate's). Untimed frames that open a
    // stream with timed ones are counted back from the first timed frame; in a stream with
    // no timestamps at all the first frame is the start.
    const std::vector<ProbeFrame> list = probe_frames(path);
    const int64_t rate_interval = std::max<int64_t>(1, std::llround(1.0 / (fps() * time_base)));
    const auto interval = [&](size_t k) {
      return list[k].duration > 0 ? list[k].duration : rate_interval;
    };
    const auto first_timed = std::find_if(list.begin(), list.end(),
                                          [](const ProbeFrame& f) { return f.time.has_value(); });
    const size_t leading = first_timed == list.end() ? 0 : size_t(first_timed - list.begin());
    int64_t back = 0;
    for (size_t k = leading; k-- > 0;) back += interval(k);
    int64_t previous = leading > 0 ? *first_timed->time - back : start;
    for (size_t k = 0; k < list.size(); ++k) {
      if (list[k].time) {
        previous = *list[k].time;
      } else if (k > 0) {
        previous += interval(k - 1);
      }
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
