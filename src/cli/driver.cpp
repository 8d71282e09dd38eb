// The command-line run: stream report, landing and snapshot, round trip, prescan report.
#include "cli/driver.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "cli/args.h"
#include "cli/round_trip.h"
#include "cli/snapshot.h"
#include "clipwalk/frame_navigator.h"

namespace clipwalk {

namespace {

constexpr auto kPrescanPoll = std::chrono::milliseconds(20);

void print_stream_report(const FrameNavigator& nav) {
  const StreamInfo& stream = nav.stream();
  std::printf("codec      : %s (%s)\n", stream.codec_name.c_str(),
              stream.pixel_format_name.c_str());
  std::printf("source     : %dx%d\n", stream.source_width, stream.source_height);
  std::printf("preview    : %dx%d\n", stream.preview_width, stream.preview_height);
  std::printf("duration   : %.3f s\n", stream.duration_seconds);
  std::printf("fps        : %.6f\n", stream.frames_per_second);
  std::printf("frames     : %lld (estimated)\n",
              static_cast<long long>(nav.estimated_frame_count()));
}

// Seeks, reports the landing and writes the snapshot when asked; false after a fatal
// failure, which it has reported on stderr.
bool land_and_snapshot(FrameNavigator& nav, const DriverArgs& args, std::string& error_text) {
  if (!nav.seek_to_seconds(args.seek_seconds, &error_text)) {
    std::fflush(stdout);
    std::fprintf(stderr, "seek failed: %s\n", error_text.c_str());
    return false;
  }
  keep_warning(nav, error_text);
  const FrameStamp* landed_stamp = nav.current_stamp();
  if (landed_stamp == nullptr) {
    std::fflush(stdout);
    std::fputs("no frame after seek\n", stderr);
    return false;
  }
  const FrameStamp landed = *landed_stamp;
  std::printf("\nseek to %.3f s landed on pts=%lld t=%.6f\n", args.seek_seconds,
              static_cast<long long>(landed.pts), landed.seconds);
  if (args.has_snapshot) {
    if (!write_snapshot(nav, landed, args.snapshot_path, args.path)) {
      std::fflush(stdout);
      std::fprintf(stderr, "could not write %s\n", args.snapshot_path.c_str());
      return false;
    }
    std::printf("wrote %s (%dx%d)\n", args.snapshot_path.c_str(), landed.width, landed.height);
  }
  return true;
}

// Walks args.steps frames forward and as many back as forward went; true when the backward
// walk retraced the forward one, frame for frame and pixel for pixel.
bool round_trip(FrameNavigator& nav, const DriverArgs& args, std::string& error_text) {
  const std::vector<ShownFrame> forward = walk_forward(nav, args.steps, error_text, stdout);
  const std::vector<ShownFrame> backward =
      walk_backward(nav, forward.size() - 1, error_text, stdout);
  return report_round_trip(forward, backward, stdout);
}

void print_prescan_report(FrameNavigator& nav) {
  // Packets the decoder drops after damage are no frames: where the walk met damage, the
  // count is made by decoding.
  const bool started =
      nav.start_prescan(nav.met_damage() ? CountBy::kDecoding : CountBy::kDemuxing);
  const auto begin = std::chrono::steady_clock::now();
  while (nav.prescan_running()) std::this_thread::sleep_for(kPrescanPoll);
  const auto end = std::chrono::steady_clock::now();
  if (started && nav.prescan_completed()) {
    const double elapsed =
        static_cast<double>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(end - begin).count()) /
        1e9;
    std::printf("prescan   : %lld frames in %.2fs (estimate was %lld)\n",
                static_cast<long long>(nav.prescan_frame_count()), elapsed,
                static_cast<long long>(nav.estimated_frame_count()));
    std::printf("current   : exact frame %lld\n", static_cast<long long>(nav.exact_frame_index()));
  } else {
    std::printf("prescan   : did not complete\n");
  }
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
      FrameNavigator::open(args.path, kDefaultPreviewLimit, args.budget_bytes, &error_text);
  if (!nav) {
    std::fprintf(stderr, "open failed: %s\n", error_text.c_str());
    return 1;
  }
  print_stream_report(*nav);
  if (!land_and_snapshot(*nav, args, error_text)) return 1;
  const int status = round_trip(*nav, args, error_text) ? 0 : 1;
  print_prescan_report(*nav);
  if (!error_text.empty()) std::printf("last error: %s\n", error_text.c_str());
  return status;
}

}  // namespace clipwalk
