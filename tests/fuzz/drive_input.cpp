// The whole input is written out as the file (the prescan worker reopens it by path);
// its last eight bytes also choose the budget, the seek time, the step counts and the
// file name's extension, so a seed that is a real video stays one.
#include "fuzz/drive_input.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <thread>

#include "clipwalk/frame_navigator.h"

namespace {

using clipwalk::FrameNavigator;

// Extensions steer the demuxers that probe by name as well as by content.
constexpr std::array<const char*, 16> kExtensions = {
    "",      ".mp4",  ".mkv", ".ts",  ".mpg", ".avi", ".mov", ".webm",
    ".h264", ".hevc", ".m2v", ".ivf", ".y4m", ".flv", ".jpg", ".txt"};

struct Plan {
  uint64_t budget_bytes = 0;
  uint8_t seek_mode = 0;
  uint8_t fraction = 0;
  uint16_t millis = 0;
  int forward = 0;
  int backward = 0;
  int forward_again = 0;
  bool second_seek = false;
  const char* extension = "";
};

Plan plan_from_tail(const uint8_t* data, size_t size) {
  std::array<uint8_t, 8> tail{};
  if (size >= tail.size()) {
    for (size_t k = 0; k < tail.size(); ++k) tail[k] = data[size - tail.size() + k];
  }
  Plan plan;
  // 0, or 1 KiB to 256 MiB: from "holds two frames at most" to "holds everything".
  plan.budget_bytes = tail[0] == 0 ? 0 : uint64_t{1} << (10 + tail[0] % 19);
  plan.fraction = tail[1];
  plan.millis = static_cast<uint16_t>(tail[1] << 8 | tail[2]);
  plan.seek_mode = static_cast<uint8_t>(tail[3] % 8);
  plan.forward = tail[4] % 9;
  plan.backward = tail[5] % 9;
  plan.forward_again = tail[6] % 5;
  plan.second_seek = (tail[6] & 0x80) != 0;
  plan.extension = kExtensions[tail[7] % kExtensions.size()];
  return plan;
}

double seek_seconds(const Plan& plan, const FrameNavigator& nav) {
  switch (plan.seek_mode) {
    case 0:
      return std::numeric_limits<double>::quiet_NaN();
    case 1:
      return -1.5;
    case 2:
      return 1e300;
    case 3:
      return nav.stream().duration_seconds * plan.fraction / 255.0;
    case 4:
      return nav.stream().duration_seconds + plan.fraction / 100.0;
    default:
      return plan.millis / 1000.0;
  }
}

[[noreturn]] void broken(const char* promise) {
  std::fprintf(stderr, "drive_input: broken promise: %s\n", promise);
  std::abort();
}

void require_current(const FrameNavigator& nav, const char* promise) {
  const clipwalk::FrameStamp* stamp = nav.current_stamp();
  if (stamp == nullptr) broken(promise);
  if (stamp->width <= 0 || stamp->height <= 0 ||
      std::max(stamp->width, stamp->height) > clipwalk::kDefaultPreviewLimit) {
    broken("the current frame fits the preview limit");
  }
}

// Reads both ends of the preview so that a buffer shorter than width*height*4 is caught.
void touch_preview(FrameNavigator& nav) {
  const uint8_t* pixels = nav.preview_pixels();
  if (pixels == nullptr) return;
  const clipwalk::FrameStamp* stamp = nav.current_stamp();
  const size_t bytes = static_cast<size_t>(stamp->width) * static_cast<size_t>(stamp->height) * 4;
  volatile uint8_t sink = static_cast<uint8_t>(pixels[0] ^ pixels[bytes - 1]);
  (void)sink;
}

void walk(FrameNavigator& nav, const Plan& plan) {
  std::string error_text;
  const double first_seek = seek_seconds(plan, nav);
  if (!nav.seek_to_seconds(first_seek, &error_text)) return;
  require_current(nav, "a successful seek has a current frame");
  touch_preview(nav);

  for (int step = 0; step < plan.forward; ++step) {
    if (!nav.step_forward(&error_text)) break;
    require_current(nav, "a successful forward step has a current frame");
  }
  // The driver reads the current stamp here without a check.
  require_current(nav, "the forward walk keeps a current frame");
  for (int step = 0; step < plan.backward; ++step) {
    if (!nav.step_backward(&error_text)) break;
    require_current(nav, "a successful backward step has a current frame");
  }
  for (int step = 0; step < plan.forward_again; ++step) {
    if (!nav.step_forward(&error_text)) break;
    require_current(nav, "a successful forward step has a current frame");
  }
  if (plan.second_seek && std::isfinite(first_seek)) {
    if (nav.seek_to_seconds(first_seek * plan.fraction / 128.0, &error_text)) {
      require_current(nav, "a successful seek has a current frame");
    }
  }
  touch_preview(nav);
  (void)nav.estimated_frame_index();
  (void)nav.estimated_frame_count();
}

std::string temp_path(const char* extension) {
  const char* dir = std::getenv("TMPDIR");
  std::string base = "/tmp";
  if (dir != nullptr && *dir != '\0') {
    base = dir;
  } else if (access("/dev/shm", W_OK) == 0) {
    base = "/dev/shm";  // memory-backed: the file is rewritten for every input
  }
  return base + "/clipwalk-fuzz-" + std::to_string(getpid()) + extension;
}

}  // namespace

void drive_input(const uint8_t* data, size_t size) {
  const Plan plan = plan_from_tail(data, size);
  const std::string path = temp_path(plan.extension);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) broken("the temporary input file can be created");
  const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
  if (std::fclose(file) != 0 || !written) broken("the temporary input file can be written");

  {
    std::string error_text;
    std::unique_ptr<FrameNavigator> nav =
        FrameNavigator::open(path, clipwalk::kDefaultPreviewLimit, plan.budget_bytes, &error_text);
    if (!nav) {
      if (error_text.empty()) broken("a failed open says why");
    } else {
      if (nav->stream().source_width <= 0 || nav->stream().source_height <= 0 ||
          nav->stream().preview_width <= 0 || nav->stream().preview_height <= 0 ||
          nav->stream().preview_width > clipwalk::kDefaultPreviewLimit ||
          nav->stream().preview_height > clipwalk::kDefaultPreviewLimit) {
        broken("an opened stream has a usable source and preview size");
      }
      walk(*nav, plan);
      // As the tool does: damaged input is counted by decoding.
      if (nav->start_prescan(nav->met_damage() ? clipwalk::CountBy::kDecoding
                                               : clipwalk::CountBy::kDemuxing)) {
        while (nav->prescan_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const int64_t count = nav->prescan_frame_count();
        (void)nav->exact_frame_index();
        (void)nav->exact_frames_between(0.0, nav->stream().duration_seconds);
        (void)nav->exact_frame_seconds(count - 1);
        // The damage a count by decoding met is taken in by the next move.
        (void)nav->step_backward();
        (void)nav->exact_frame_index();
      }
    }
  }
  std::remove(path.c_str());
}
