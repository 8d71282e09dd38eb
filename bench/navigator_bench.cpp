// In-process timings of the navigator for bench/run.sh: the phases of a seek and a round
// trip, the decoder work a backward step costs, and the prescan alone. Prints key=value lines.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "cli/args.h"
#include "cli/round_trip.h"
#include "clipwalk/frame_navigator.h"
#include "support/navigator_test_peer.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point begin) {
  return std::chrono::duration<double>(Clock::now() - begin).count();
}

int usage() {
  std::fputs(
      "usage: clipwalk_bench seek FILE SECONDS [BUDGET_MIB]\n"
      "       clipwalk_bench roundtrip FILE SECONDS STEPS [BUDGET_MIB]\n"
      "       clipwalk_bench back FILE SECONDS STEPS [BUDGET_MIB]\n"
      "       clipwalk_bench prescan FILE [decode]\n"
      "       clipwalk_bench batch FILE FROM_SECONDS TO_SECONDS EVERY [BUDGET_MIB]\n",
      stderr);
  return 2;
}

// The same preview limit and budget reading as the command-line tool.
std::unique_ptr<clipwalk::FrameNavigator> open_like_cli(const char* path, const char* budget_mib,
                                                        double& open_seconds) {
  uint64_t budget = clipwalk::kDefaultCacheBudgetBytes;
  if (budget_mib != nullptr) {
    budget = static_cast<uint64_t>(static_cast<int64_t>(clipwalk::parse_int_argument(budget_mib)) *
                                   1048576);
  }
  std::string error_text;
  const auto begin = Clock::now();
  auto nav =
      clipwalk::FrameNavigator::open(path, clipwalk::kDefaultPreviewLimit, budget, &error_text);
  open_seconds = seconds_since(begin);
  if (!nav) std::fprintf(stderr, "open failed: %s\n", error_text.c_str());
  return nav;
}

bool seek_and_report(clipwalk::FrameNavigator& nav, double target, uint64_t& decoded) {
  std::string error_text;
  const uint64_t before = internals(nav).source.pictures_decoded;
  const auto begin = Clock::now();
  const bool landed = nav.seek_to_seconds(target, &error_text) && nav.current_stamp() != nullptr;
  const double elapsed = seconds_since(begin);
  if (!landed) {
    std::fprintf(stderr, "seek failed: %s\n", error_text.c_str());
    return false;
  }
  decoded = internals(nav).source.pictures_decoded - before;
  std::printf(
      "seek_s=%.6f\nseek_decoded=%llu\nseek_window=%zu\nseek_redone=%llu\nlanded_pts=%lld\n",
      elapsed, static_cast<unsigned long long>(decoded), internals(nav).window.size(),
      static_cast<unsigned long long>(internals(nav).counters.redone),
      static_cast<long long>(nav.current_stamp()->pts));
  return true;
}

int run_seek(int argc, char** argv) {
  if (argc < 4) return usage();
  double open_seconds = 0.0;
  auto nav = open_like_cli(argv[2], argc > 4 ? argv[4] : nullptr, open_seconds);
  if (!nav) return 1;
  std::printf("open_s=%.6f\n", open_seconds);
  uint64_t decoded = 0;
  return seek_and_report(*nav, clipwalk::parse_seconds_argument(argv[3]), decoded) ? 0 : 1;
}

int run_roundtrip(int argc, char** argv) {
  if (argc < 5) return usage();
  double open_seconds = 0.0;
  auto nav = open_like_cli(argv[2], argc > 5 ? argv[5] : nullptr, open_seconds);
  if (!nav) return 1;
  std::printf("open_s=%.6f\n", open_seconds);
  uint64_t seek_decoded = 0;
  if (!seek_and_report(*nav, clipwalk::parse_seconds_argument(argv[3]), seek_decoded)) return 1;

  const int32_t steps = clipwalk::parse_int_argument(argv[4]);
  std::string error_text;
  // The walks the command-line tool makes, with each pixel digest timed where it is taken.
  double digest_seconds = 0.0;
  const auto shown = [&]() {
    const auto begin = Clock::now();
    const clipwalk::ShownFrame frame{nav->current_stamp()->pts, nav->current_pixel_digest()};
    digest_seconds += seconds_since(begin);
    return frame;
  };
  std::vector<clipwalk::ShownFrame> forward{shown()};
  uint64_t before = internals(*nav).source.pictures_decoded;
  auto begin = Clock::now();
  for (int32_t step = 0; step < steps && nav->step_forward(&error_text); ++step) {
    forward.push_back(shown());
  }
  const double forward_seconds = seconds_since(begin);
  const uint64_t forward_decoded = internals(*nav).source.pictures_decoded - before;

  // Step back exactly as many times as forward moved, recording what each step shows.
  const size_t back_steps = forward.size() - 1;
  std::vector<clipwalk::ShownFrame> backward{shown()};
  before = internals(*nav).source.pictures_decoded;
  begin = Clock::now();
  for (size_t step = 0; step < back_steps && nav->step_backward(&error_text); ++step) {
    backward.push_back(shown());
  }
  const double backward_seconds = seconds_since(begin);
  const uint64_t backward_decoded = internals(*nav).source.pictures_decoded - before;

  const bool retraced =
      clipwalk::first_mismatch(forward, backward).by == clipwalk::Mismatch::By::kNothing;
  const double per_step =
      back_steps == 0 ? 0.0
                      : static_cast<double>(backward_decoded) / static_cast<double>(back_steps);
  std::printf(
      "forward_steps=%zu\nforward_s=%.6f\nforward_decoded=%llu\nbackward_steps=%zu\n"
      "backward_s=%.6f\nbackward_decoded=%llu\nbackward_decoded_per_step=%.3f\nretraced=%d\n"
      "window_frames=%zu\nheld_mib=%.1f\ndigests_s=%.6f\n",
      back_steps, forward_seconds, static_cast<unsigned long long>(forward_decoded),
      backward.size() - 1, backward_seconds, static_cast<unsigned long long>(backward_decoded),
      per_step, retraced ? 1 : 0, internals(*nav).window.size(),
      static_cast<double>(internals(*nav).window.held_bytes()) / 1048576.0, digest_seconds);
  return retraced ? 0 : 1;
}

// Single steps back from a landing, as a viewer scrubbing back takes them: what they cost
// together, the slowest one and the pictures decoded for them.
int run_back(int argc, char** argv) {
  if (argc < 5) return usage();
  double open_seconds = 0.0;
  auto nav = open_like_cli(argv[2], argc > 5 ? argv[5] : nullptr, open_seconds);
  if (!nav) return 1;
  uint64_t seek_decoded = 0;
  if (!seek_and_report(*nav, clipwalk::parse_seconds_argument(argv[3]), seek_decoded)) return 1;
  const int32_t steps = clipwalk::parse_int_argument(argv[4]);
  std::string error_text;
  const uint64_t before = internals(*nav).source.pictures_decoded;
  double total = 0.0;
  double slowest = 0.0;
  int32_t taken = 0;
  for (; taken < steps; ++taken) {
    const auto begin = Clock::now();
    if (!nav->step_backward(&error_text)) break;
    const double elapsed = seconds_since(begin);
    total += elapsed;
    slowest = elapsed > slowest ? elapsed : slowest;
  }
  std::printf("back_steps=%d\nback_s=%.6f\nback_slowest_s=%.6f\nback_decoded=%llu\nback_pts=%lld\n",
              taken, total, slowest,
              static_cast<unsigned long long>(internals(*nav).source.pictures_decoded - before),
              static_cast<long long>(nav->current_stamp()->pts));
  return taken == steps ? 0 : 1;
}

int run_prescan(int argc, char** argv) {
  if (argc < 3) return usage();
  double open_seconds = 0.0;
  auto nav = open_like_cli(argv[2], nullptr, open_seconds);
  if (!nav) return 1;
  const auto begin = Clock::now();
  const bool decode = argc > 3 && std::string(argv[3]) == "decode";
  if (!nav->start_prescan(decode ? clipwalk::CountBy::kDecoding : clipwalk::CountBy::kDemuxing)) {
    return 1;
  }
  // A fine poll, so that the figure is the worker's time and not the poll period's.
  while (nav->prescan_running()) std::this_thread::sleep_for(std::chrono::microseconds(200));
  const double elapsed = seconds_since(begin);
  if (!nav->prescan_completed()) {
    std::fputs("prescan did not complete\n", stderr);
    return 1;
  }
  std::printf("open_s=%.6f\nprescan_s=%.6f\nprescan_frames=%lld\n", open_seconds, elapsed,
              static_cast<long long>(nav->prescan_frame_count()));
  return 0;
}

// Every EVERY-th frame from FROM to TO seconds in one sorted batch, as RGB24: what a dataset
// loader asks for.
int run_batch(int argc, char** argv) {
  if (argc < 6) return usage();
  double open_seconds = 0.0;
  auto nav = open_like_cli(argv[2], argc > 6 ? argv[6] : nullptr, open_seconds);
  if (!nav) return 1;
  const double from = std::atof(argv[3]);
  const double to = std::atof(argv[4]);
  const int64_t every = std::atoll(argv[5]);
  std::string error_text;
  const auto begin = Clock::now();
  const int64_t count = nav->frame_count(&error_text);
  std::vector<int64_t> indices;
  int64_t first = -1;  // the first frame of the span
  for (int64_t index = 0; index < count; ++index) {
    const double seconds = nav->exact_frame_seconds(index);
    if (seconds < from || seconds >= to) continue;
    if (first < 0) first = index;
    if ((index - first) % every == 0) indices.push_back(index);
  }
  const double counted = seconds_since(begin);
  const uint64_t before = internals(*nav).source.pictures_decoded;
  uint64_t bytes = 0;
  const bool done = nav->frames_at_indices(
      indices, clipwalk::PixelFormat::kRgb24,
      [&bytes](size_t, int64_t, const clipwalk::FrameStamp&, const clipwalk::FramePixels& pixels) {
        bytes += static_cast<uint64_t>(pixels.stride) * static_cast<uint64_t>(pixels.height);
        return true;
      },
      &error_text);
  if (!done) {
    std::fprintf(stderr, "batch failed: %s\n", error_text.c_str());
    return 1;
  }
  std::printf("open_s=%.6f\ncount_s=%.6f\nbatch_s=%.6f\nbatch_frames=%zu\nbatch_decoded=%llu\n",
              open_seconds, counted, seconds_since(begin) - counted, indices.size(),
              static_cast<unsigned long long>(internals(*nav).source.pictures_decoded - before));
  return bytes > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string mode = argv[1];
  if (mode == "seek") return run_seek(argc, argv);
  if (mode == "roundtrip") return run_roundtrip(argc, argv);
  if (mode == "back") return run_back(argc, argv);
  if (mode == "prescan") return run_prescan(argc, argv);
  if (mode == "batch") return run_batch(argc, argv);
  return usage();
}
