// The command-line run: stream report, landing and snapshot, round trip, prescan report.
#include "cli/driver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "cli/args.h"
#include "navigator/frame_navigator.h"

namespace clipwalk {

namespace {

constexpr int32_t kPreviewLimit = 1920;
constexpr auto kPrescanPoll = std::chrono::milliseconds(20);

// True when both paths name one file, however spelled (links, relative parts).
bool same_file(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool write_ppm(std::FILE* file, const uint8_t* pixels, const FrameStamp& landed) {
  if (pixels == nullptr) return false;
  if (std::fprintf(file, "P6\n%d %d\n255\n", landed.width, landed.height) <= 0) return false;
  const size_t width = static_cast<size_t>(landed.width);
  std::vector<uint8_t> row(width * 3);
  for (size_t y = 0; y < static_cast<size_t>(landed.height); ++y) {
    const uint8_t* rgba = pixels + y * width * 4;
    for (size_t x = 0; x < width; ++x) {
      std::copy_n(rgba + x * 4, 3, row.begin() + static_cast<std::ptrdiff_t>(x * 3));
    }
    if (std::fwrite(row.data(), 1, row.size(), file) != row.size()) return false;
  }
  return true;
}

// Writes the landed frame as binary P6. A regular file is written beside its final name
// and renamed into place only when complete, so a failure leaves neither a partial image
// nor a damaged earlier file; a device (such as /dev/full) is written directly.
bool write_snapshot(FrameNavigator& nav, const FrameStamp& landed, const std::string& path,
                    const std::string& input_path) {
  // Writing over the input would destroy the video being read.
  if (same_file(path, input_path)) return false;
  struct stat info {};
  const bool exists = stat(path.c_str(), &info) == 0;
  const bool device = exists && !S_ISREG(info.st_mode);

  // A link is followed, so that the file it names is replaced, not the link.
  std::string target = path;
  if (exists && !device) {
    if (char* resolved = realpath(path.c_str(), nullptr)) {
      target = resolved;
      std::free(resolved);
    }
  }
  std::string temporary;
  std::FILE* file = nullptr;
  if (device) {
    file = std::fopen(path.c_str(), "wb");
  } else {
    temporary = target + ".partial-XXXXXX";
    const int descriptor = mkstemp(temporary.data());
    if (descriptor >= 0) {
      // mkstemp makes the file private; give it the mode a plain create would.
      const mode_t mask = umask(0);
      umask(mask);
      fchmod(descriptor, exists ? info.st_mode & 07777 : 0666 & ~mask);
      file = fdopen(descriptor, "wb");
      if (file == nullptr) close(descriptor);
    }
  }
  if (file == nullptr) {
    if (!temporary.empty()) std::remove(temporary.c_str());
    return false;
  }
  bool ok = write_ppm(file, nav.preview_pixels(), landed);
  ok = std::fflush(file) == 0 && ok;
  ok = std::fclose(file) == 0 && ok;
  if (device) return ok;
  ok = ok && std::rename(temporary.c_str(), target.c_str()) == 0;
  if (!ok) std::remove(temporary.c_str());
  return ok;
}

}  // namespace

int run_driver(int argc, const char* const* argv) {
  if (argc < 2) {
    std::fputs("usage: clipwalk <file> [seek_seconds] [steps]\n", stderr);
    return 2;
  }
  const DriverArgs args = parse_driver_args(argc, argv);
  std::string error_text;

  std::unique_ptr<FrameNavigator> nav =
      FrameNavigator::open(args.path, kPreviewLimit, args.budget_bytes, &error_text);
  if (!nav) {
    std::fprintf(stderr, "open failed: %s\n", error_text.c_str());
    return 1;
  }

  std::printf("codec      : %s (%s)\n", nav->codec_name.c_str(), nav->pixel_format_name.c_str());
  std::printf("source     : %dx%d\n", nav->source_width, nav->source_height);
  std::printf("preview    : %dx%d\n", nav->preview_width, nav->preview_height);
  std::printf("duration   : %.3f s\n", nav->duration_seconds);
  std::printf("fps        : %.6f\n", nav->frames_per_second);
  std::printf("frames     : %lld (estimated)\n",
              static_cast<long long>(nav->estimated_frame_count()));

  // Landing report and snapshot.
  if (!nav->seek_to_seconds(args.seek_seconds, &error_text)) {
    std::fflush(stdout);
    std::fprintf(stderr, "seek failed: %s\n", error_text.c_str());
    return 1;
  }
  const FrameStamp* landed_stamp = nav->current_stamp();
  if (landed_stamp == nullptr) {
    std::fflush(stdout);
    std::fputs("no frame after seek\n", stderr);
    return 1;
  }
  const FrameStamp landed = *landed_stamp;
  std::printf("\nseek to %.3f s landed on pts=%lld t=%.6f\n", args.seek_seconds,
              static_cast<long long>(landed.pts), landed.seconds);
  if (args.has_snapshot) {
    if (!write_snapshot(*nav, landed, args.snapshot_path, args.path)) {
      std::fflush(stdout);
      std::fprintf(stderr, "could not write %s\n", args.snapshot_path.c_str());
      return 1;
    }
    std::printf("wrote %s (%dx%d)\n", args.snapshot_path.c_str(), landed.width, landed.height);
  }

  // Round trip.
  std::vector<int64_t> forward{landed.pts};
  std::printf("\nforward:\n");
  // 64-bit so that the count cannot overflow when the stream outlasts INT32_MAX steps.
  for (int64_t step = 1; step <= args.steps; ++step) {
    if (!nav->step_forward(&error_text)) {
      std::printf("  (end of stream after %d steps)\n", static_cast<int>(step - 1));
      break;
    }
    const FrameStamp* stamp = nav->current_stamp();
    std::printf("  +%-3d pts=%-12lld t=%.6f\n", static_cast<int>(step),
                static_cast<long long>(stamp->pts), stamp->seconds);
    forward.push_back(stamp->pts);
  }
  const size_t n = forward.size();

  std::vector<int64_t> backward{nav->current_stamp()->pts};
  std::printf("\nbackward:\n");
  for (size_t step = 1; step < n; ++step) {
    if (!nav->step_backward(&error_text)) {
      std::printf("  (start of stream)\n");
      break;
    }
    const FrameStamp* stamp = nav->current_stamp();
    std::printf("  -%-3zu pts=%-12lld t=%.6f\n", step, static_cast<long long>(stamp->pts),
                stamp->seconds);
    backward.push_back(stamp->pts);
  }
  bool passed = backward.size() == n;
  for (size_t k = 0; passed && k < n; ++k) passed = backward[k] == forward[n - 1 - k];
  std::printf("\nround trip: %s (%zu forward, %zu backward)\n", passed ? "PASS" : "FAIL", n,
              backward.size());
  const int status = passed ? 0 : 1;

  // Prescan report.
  const bool started = nav->start_prescan();
  const auto begin = std::chrono::steady_clock::now();
  while (nav->prescan_running.load()) std::this_thread::sleep_for(kPrescanPoll);
  const auto end = std::chrono::steady_clock::now();
  if (started && nav->prescan_completed.load(std::memory_order_acquire)) {
    const double elapsed =
        static_cast<double>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(end - begin).count()) /
        1e9;
    std::printf("prescan   : %lld frames in %.2fs (estimate was %lld)\n",
                static_cast<long long>(nav->prescan_frame_count()), elapsed,
                static_cast<long long>(nav->estimated_frame_count()));
    std::printf("current   : exact frame %lld\n", static_cast<long long>(nav->exact_frame_index()));
  } else {
    std::printf("prescan   : did not complete\n");
  }
  if (!error_text.empty()) std::printf("last error: %s\n", error_text.c_str());
  return status;
}

}  // namespace clipwalk
