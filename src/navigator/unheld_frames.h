// A full seek decodes from a keyframe, and at a modest budget most of those pictures are
// evicted before the target is reached. Pictures that the frame rate says will be evicted
// are decoded but neither scaled nor held. The last of them stays counted in front of the
// window as if it were held; once the budget would have evicted it, the window is exactly
// the window that holding every picture gives. If it still stands at the landing, the
// guess was wrong (a shorter stream, a changing frame rate) and the seek is done again
// holding every picture.
#pragma once

#include <cstdint>

namespace clipwalk {

struct UnheldFrames {
  bool allowed = true;  // false while a seek is done again holding every picture
  bool active = false;  // inside the walk of a full seek to its target
  int64_t target_pts = 0;
  double target_seconds = 0.0;
  bool standing = false;  // an unheld picture is counted in front of the window
  uint64_t standing_bytes = 0;
  uint64_t passed = 0;  // pictures not held over the navigator's life (for tests and benchmarks)
  // What a scaled preview picture of this pixel format counts against the budget.
  int preview_format = -1;
  uint64_t preview_bytes = 0;
};

}  // namespace clipwalk
