// Pictures as the ffmpeg tool decodes them from the first packet, to compare held frames with.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "navigator/libav.h"
#include "support/probe.h"

namespace clipwalk::testing {

// The first `frames` pictures of the file (all of them when 0) as the ffmpeg tool decodes
// them, planar 4:2:0, one after the other.
inline std::string ffmpeg_decode(const std::string& path, int frames = 0) {
  std::vector<std::string> argv = {"ffmpeg", "-v", "error", "-nostdin",
                                   "-i",     path, "-map",  "0:v:0"};
  if (frames > 0) argv.insert(argv.end(), {"-frames:v", std::to_string(frames)});
  argv.insert(argv.end(),
              {"-fps_mode", "passthrough", "-pix_fmt", "yuv420p", "-f", "rawvideo", "-"});
  const CommandResult result = run_command(argv);
  EXPECT_EQ(result.status, 0) << result.err;
  return result.out;
}

// Compares a held 4:2:0 picture plane by plane, row by row, with the k-th raw picture.
inline ::testing::AssertionResult same_picture(const AVFrame* frame, const std::string& raw,
                                               size_t k) {
  const size_t w = static_cast<size_t>(frame->width);
  const size_t h = static_cast<size_t>(frame->height);
  const size_t picture = w * h * 3 / 2;
  if (frame->format != AV_PIX_FMT_YUV420P) return ::testing::AssertionFailure() << "not 4:2:0";
  if (raw.size() < (k + 1) * picture) {
    return ::testing::AssertionFailure() << "ffmpeg gave only " << raw.size() / picture;
  }
  const char* at = raw.data() + k * picture;
  for (int plane = 0; plane < 3; ++plane) {
    const size_t pw = plane == 0 ? w : w / 2;
    const size_t ph = plane == 0 ? h : h / 2;
    for (size_t y = 0; y < ph; ++y, at += pw) {
      const uint8_t* row = frame->data[plane] + static_cast<ptrdiff_t>(y) * frame->linesize[plane];
      if (std::memcmp(row, at, pw) != 0) {
        return ::testing::AssertionFailure()
               << "picture " << k << " plane " << plane << " row " << y;
      }
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace clipwalk::testing
