// The round trip: a walk forward, the walk back, and the verdict on whether the second
// retraced the first, by stamps and by pixels. Shared by the command-line tool and the
// benchmark helper.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "clipwalk/frame_navigator.h"

namespace clipwalk {

// One frame a walk showed.
struct ShownFrame {
  int64_t pts = 0;
  uint64_t digest = 0;  // of its pixels; 0 when there is none
};

// The warning a call that succeeded left, where it left one, as the last message.
void keep_warning(const FrameNavigator& nav, std::string& last_message);

// Steps up to `steps` frames forward, printing each step (and an early end) to `out` when
// given. The list starts with the frame the walk started from. error_text ends with the last
// message a step left: a failure's, or a warning.
std::vector<ShownFrame> walk_forward(FrameNavigator& nav, int64_t steps, std::string& error_text,
                                     FILE* out);
// Steps back up to `steps` frames, printing as walk_forward does; the list starts with the
// frame the walk started from.
std::vector<ShownFrame> walk_backward(FrameNavigator& nav, size_t steps, std::string& error_text,
                                      FILE* out);

// Where the backward walk first failed to show the forward walk's frame at its place.
struct Mismatch {
  enum class By { kNothing, kMissing, kStamp, kPixels };
  By by = By::kNothing;
  size_t step = 0;  // the backward step, 0 for the frame the walks turned on
};
Mismatch first_mismatch(const std::vector<ShownFrame>& forward,
                        const std::vector<ShownFrame>& backward);

// Prints the verdict, and on a failure the line naming the first mismatch; true on a pass.
bool report_round_trip(const std::vector<ShownFrame>& forward,
                       const std::vector<ShownFrame>& backward, FILE* out);

}  // namespace clipwalk
