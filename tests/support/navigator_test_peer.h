// The tests' one way to the navigator's internal steps, which are not part of its API.
#pragma once

#include <string>

#include "clipwalk/frame_navigator.h"

namespace clipwalk {

struct NavigatorTestPeer {
  static int32_t decode_pump(FrameNavigator& nav, std::string* error_text = nullptr) {
    return nav.decode_pump(error_text);
  }
  static bool hold_frame(FrameNavigator& nav, AVFrame* source, HeldFrame& held) {
    return nav.hold_frame(source, held);
  }
  static uint64_t frame_bytes(const AVFrame* frame) { return FrameNavigator::frame_bytes(frame); }
  static bool demux_seek(FrameNavigator& nav, int64_t target, std::string* error_text = nullptr) {
    return nav.demux_seek(target, error_text);
  }
};

}  // namespace clipwalk
