// Opens a video, lands on the exact frame for a time, steps a few frames back and writes
// that frame as a PPM image.
//
//   land_and_step FILE SECONDS STEPS_BACK OUT.ppm
//
// Build against an installed clipwalk:
//   c++ -std=c++17 land_and_step.cpp $(pkg-config --cflags --libs clipwalk) -o land_and_step
#include <clipwalk/frame_navigator.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fputs("usage: land_and_step FILE SECONDS STEPS_BACK OUT.ppm\n", stderr);
    return 2;
  }
  std::string error;
  auto nav = clipwalk::FrameNavigator::open(argv[1], clipwalk::kDefaultPreviewLimit,
                                            clipwalk::kDefaultCacheBudgetBytes, &error);
  if (!nav) {
    std::fprintf(stderr, "open failed: %s\n", error.c_str());
    return 1;
  }
  if (!nav->seek_to_seconds(std::atof(argv[2]), &error)) {
    std::fprintf(stderr, "seek failed: %s\n", error.c_str());
    return 1;
  }
  std::printf("landed on pts=%lld t=%.6f\n", static_cast<long long>(nav->current_stamp()->pts),
              nav->current_stamp()->seconds);

  const int steps = std::atoi(argv[3]);
  for (int step = 0; step < steps; ++step) {
    if (!nav->step_backward(&error)) break;  // the start of the stream, or a failure
  }
  const clipwalk::FrameStamp* frame = nav->current_stamp();
  std::printf("stepped back to pts=%lld t=%.6f\n", static_cast<long long>(frame->pts),
              frame->seconds);

  // RGBA at the preview size; PPM wants RGB.
  const uint8_t* rgba = nav->preview_pixels();
  std::FILE* out = rgba != nullptr ? std::fopen(argv[4], "wb") : nullptr;
  if (out == nullptr) {
    std::fprintf(stderr, "could not write %s\n", argv[4]);
    return 1;
  }
  std::fprintf(out, "P6\n%d %d\n255\n", frame->width, frame->height);
  const long pixels = static_cast<long>(frame->width) * frame->height;
  for (long i = 0; i < pixels; ++i) std::fwrite(rgba + i * 4, 1, 3, out);
  const bool written = std::fclose(out) == 0;
  if (written) std::printf("wrote %s (%dx%d)\n", argv[4], frame->width, frame->height);
  return written ? 0 : 1;
}
