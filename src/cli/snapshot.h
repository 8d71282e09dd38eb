// The PPM snapshot of the landed frame.
#pragma once

#include <string>

#include "clipwalk/frame_navigator.h"

namespace clipwalk {

// Writes the current frame's preview to path as binary P6 (8-bit RGB). Refuses a path that
// names input_path, and never leaves a partial or damaged file behind: false on any failure.
bool write_snapshot(FrameNavigator& nav, const FrameStamp& landed, const std::string& path,
                    const std::string& input_path);

}  // namespace clipwalk
