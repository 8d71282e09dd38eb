// Opening a demuxer, shared by the navigator, its reopening and the prescan worker.
#pragma once

#include <string>

#include "navigator/ffmpeg_handles.h"
#include "navigator/libav.h"

namespace clipwalk {

// Opens path with its stream facts read, the same way for every reader, so that every
// demuxer of one input numbers and stamps its streams alike; deadline bounds each call
// and must outlive the demuxer. A playlist that lists itself is refused.
FormatContextPtr open_demuxer(const std::string& path, IoDeadline& deadline,
                              std::string* error_text);

// Where a stream's clock starts again (recordings joined byte to byte, a broadcast clock
// reset): a decode stamp below the one before it. Fed the video packets in file order.
class ClockRuns {
 public:
  // True when this packet begins a new run of the clock.
  bool starts_run(const AVPacket& packet) {
    const bool reset =
        packet.dts != AV_NOPTS_VALUE && last_dts_ != AV_NOPTS_VALUE && packet.dts < last_dts_;
    if (packet.dts != AV_NOPTS_VALUE) last_dts_ = packet.dts;
    return reset;
  }

 private:
  int64_t last_dts_ = AV_NOPTS_VALUE;
};

}  // namespace clipwalk
