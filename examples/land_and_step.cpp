// Opens a video, lands on the exact frame for a time, steps a few frames back and writes
// that frame as a PPM image; then lands on a frame by its number and reads a batch of
// frames by number.
//
//   land_and_step FILE SECONDS STEPS_BACK OUT.ppm [FRAME]
//
// Build against an installed clipwalk:
//   c++ -std=c++17 land_and_step.cpp $(pkg-config --cflags --libs clipwalk) -o land_and_step
#include <clipwalk/frame_navigator.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Writes RGB24 pixels as binary PPM; false when the file cannot be written.
bool write_ppm(const char* path, const clipwalk::FramePixels& rgb) {
  std::FILE* out = rgb.data != nullptr ? std::fopen(path, "wb") : nullptr;
  if (out == nullptr) return false;
  std::fprintf(out, "P6\n%d %d\n255\n", rgb.width, rgb.height);
  for (int32_t row = 0; row < rgb.height; ++row) {
    std::fwrite(rgb.data + static_cast<long>(row) * rgb.stride, 1,
                static_cast<size_t>(rgb.width) * 3, out);
  }
  return std::fclose(out) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::fputs("usage: land_and_step FILE SECONDS STEPS_BACK OUT.ppm [FRAME]\n", stderr);
    return 2;
  }
  // Open: failures are results with one message, never exceptions.
  std::string error;
  auto nav = clipwalk::FrameNavigator::open(argv[1], clipwalk::kDefaultPreviewLimit,
                                            clipwalk::kDefaultCacheBudgetBytes, &error);
  if (!nav) {
    std::fprintf(stderr, "open failed: %s\n", error.c_str());
    return 1;
  }

  // Land by time: the first frame at or after it.
  if (!nav->seek_to_seconds(std::atof(argv[2]), &error)) {
    std::fprintf(stderr, "seek failed: %s\n", error.c_str());
    return 1;
  }
  std::printf("landed on pts=%lld t=%.6f\n", static_cast<long long>(nav->current_stamp()->pts),
              nav->current_stamp()->seconds);

  // Step back, exactly one frame at a time.
  const int steps = std::atoi(argv[3]);
  for (int step = 0; step < steps; ++step) {
    if (!nav->step_backward(&error)) break;  // the start of the stream, or a failure
  }
  const clipwalk::FrameStamp* frame = nav->current_stamp();
  std::printf("stepped back to pts=%lld t=%.6f\n", static_cast<long long>(frame->pts),
              frame->seconds);

  // Write the frame, converted to RGB24 for this call only.
  if (!write_ppm(argv[4], nav->current_pixels(clipwalk::PixelFormat::kRgb24))) {
    std::fprintf(stderr, "could not write %s\n", argv[4]);
    return 1;
  }
  std::printf("wrote %s (%dx%d)\n", argv[4], frame->width, frame->height);

  // Frame numbers count the frames a plain decode shows; the first call waits for the count.
  // FRAME defaults to half the number of the frame stepped back to.
  const int64_t index = argc == 6 ? std::atoll(argv[5]) : nav->current_frame_index() / 2;
  if (nav->seek_to_frame(index, &error)) {
    std::printf("frame %lld of %lld is pts=%lld\n", static_cast<long long>(index),
                static_cast<long long>(nav->frame_count()),
                static_cast<long long>(nav->current_stamp()->pts));
  } else {
    std::printf("no frame %lld: %s\n", static_cast<long long>(index), error.c_str());
  }

  // A batch: decoded in stream order, delivered as owned copies in the order asked.
  std::vector<clipwalk::FrameCopy> frames;
  if (nav->copy_frames_at_indices({10, 0, 5}, clipwalk::PixelFormat::kGray8, &frames, &error)) {
    for (const clipwalk::FrameCopy& copy : frames) {
      std::printf("batch frame %lld: pts=%lld, %zu bytes\n", static_cast<long long>(copy.index),
                  static_cast<long long>(copy.stamp.pts), copy.pixels.size());
    }
  } else {
    std::printf("no batch: %s\n", error.c_str());
  }
  return 0;
}
