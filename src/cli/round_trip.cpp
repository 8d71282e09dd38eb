#include "cli/round_trip.h"

#include <cstddef>

namespace clipwalk {

namespace {

ShownFrame shown(const FrameNavigator& nav) {
  return {nav.current_stamp()->pts, nav.current_pixel_digest()};
}

}  // namespace

void keep_warning(const FrameNavigator& nav, std::string& last_message) {
  if (!nav.warning().empty()) last_message = nav.warning();
}

std::vector<ShownFrame> walk_forward(FrameNavigator& nav, int64_t steps, std::string& error_text,
                                     FILE* out) {
  std::vector<ShownFrame> frames{shown(nav)};
  if (out != nullptr) std::fprintf(out, "\nforward:\n");
  // 64-bit so that the count cannot overflow when the stream outlasts INT32_MAX steps.
  for (int64_t step = 1; step <= steps; ++step) {
    if (!nav.step_forward(&error_text)) {
      if (out != nullptr) {
        std::fprintf(out, "  (end of stream after %d steps)\n", static_cast<int>(step - 1));
      }
      break;
    }
    keep_warning(nav, error_text);
    frames.push_back(shown(nav));
    if (out != nullptr) {
      const FrameStamp* stamp = nav.current_stamp();
      std::fprintf(out, "  +%-3d pts=%-12lld t=%.6f\n", static_cast<int>(step),
                   static_cast<long long>(stamp->pts), stamp->seconds);
    }
  }
  return frames;
}

std::vector<ShownFrame> walk_backward(FrameNavigator& nav, size_t steps, std::string& error_text,
                                      FILE* out) {
  std::vector<ShownFrame> frames{shown(nav)};
  if (out != nullptr) std::fprintf(out, "\nbackward:\n");
  for (size_t step = 1; step <= steps; ++step) {
    if (!nav.step_backward(&error_text)) {
      if (out != nullptr) std::fprintf(out, "  (start of stream)\n");
      break;
    }
    keep_warning(nav, error_text);
    frames.push_back(shown(nav));
    if (out != nullptr) {
      const FrameStamp* stamp = nav.current_stamp();
      std::fprintf(out, "  -%-3zu pts=%-12lld t=%.6f\n", step, static_cast<long long>(stamp->pts),
                   stamp->seconds);
    }
  }
  return frames;
}

Mismatch first_mismatch(const std::vector<ShownFrame>& forward,
                        const std::vector<ShownFrame>& backward) {
  const size_t n = forward.size();
  for (size_t k = 0; k < n; ++k) {
    if (k >= backward.size()) return {Mismatch::By::kMissing, k};
    const ShownFrame& there = forward[n - 1 - k];
    if (backward[k].pts != there.pts) return {Mismatch::By::kStamp, k};
    // Without a digest on either side (after damage) the stamp alone is judged.
    if (backward[k].digest != there.digest && backward[k].digest != 0 && there.digest != 0) {
      return {Mismatch::By::kPixels, k};
    }
  }
  // More steps back than forward cannot be taken; counted as a failure all the same.
  if (backward.size() > n) return {Mismatch::By::kMissing, n};
  return {};
}

bool report_round_trip(const std::vector<ShownFrame>& forward,
                       const std::vector<ShownFrame>& backward, FILE* out) {
  const Mismatch mismatch = first_mismatch(forward, backward);
  const bool passed = mismatch.by == Mismatch::By::kNothing;
  std::fprintf(out, "\nround trip: %s (%zu forward, %zu backward)\n", passed ? "PASS" : "FAIL",
               forward.size(), backward.size());
  switch (mismatch.by) {
    case Mismatch::By::kNothing:
      break;
    case Mismatch::By::kMissing:
      std::fprintf(out, "mismatch  : backward step %zu was not taken\n", mismatch.step);
      break;
    case Mismatch::By::kStamp:
      std::fprintf(out, "mismatch  : backward step %zu differs by stamp (pts=%lld, not %lld)\n",
                   mismatch.step, static_cast<long long>(backward[mismatch.step].pts),
                   static_cast<long long>(forward[forward.size() - 1 - mismatch.step].pts));
      break;
    case Mismatch::By::kPixels:
      std::fprintf(out, "mismatch  : backward step %zu differs by pixels (pts=%lld)\n",
                   mismatch.step, static_cast<long long>(backward[mismatch.step].pts));
      break;
  }
  return passed;
}

}  // namespace clipwalk
