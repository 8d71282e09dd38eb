// libFuzzer entry: every input is a video file for one whole navigator run.
#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavutil/log.h>
}

#include "fuzz/drive_input.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  av_log_set_level(AV_LOG_QUIET);  // FFmpeg's complaints about broken input only slow it down
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  drive_input(data, size);
  return 0;
}
