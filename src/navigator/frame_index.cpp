// Frames by number, and batches of frames by number or time, on the exact list of stamps.
#include <algorithm>
#include <numeric>

#include "navigator/errors.h"
#include "navigator/libav.h"
#include "navigator/navigator_impl.h"

namespace clipwalk {

namespace {
// A landing by stamp can stop short of the frame asked for (repeated stamps, a clock that
// starts again) or pass it (damage); the steps that mend it are checked this many times.
constexpr int kSettleRounds = 4;

// Reaches the requests' frames in stream order (sorted by key, the caller's order among
// equal keys) and hands each frame to every request that asked for it. reach(key, index)
// lands on the frame and names its number (-1 where frames cannot be counted).
template <typename Key, typename Reach>
bool deliver_in_order(FrameNavigator::Impl& nav, size_t requests, Key key, Reach reach,
                      PixelFormat format, const FrameVisitor& visit, std::string* error_text) {
  std::vector<size_t> order(requests);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return key(a) < key(b); });
  for (size_t k = 0; k < order.size();) {
    const auto wanted = key(order[k]);
    int64_t index = -1;
    if (!reach(wanted, index)) return false;
    const FramePixels pixels = nav.current_pixels(format);
    if (pixels.data == nullptr) {
      set_error(error_text, "could not convert the frame for request " + std::to_string(order[k]));
      return false;
    }
    const FrameStamp stamp = *nav.current_frame();
    for (; k < order.size() && key(order[k]) == wanted; ++k) {
      if (!visit(order[k], index, stamp, pixels)) return false;
    }
  }
  return true;
}
}  // namespace

int64_t FrameNavigator::Impl::frame_count(std::string* error_text) {
  // Picked again after the start: a saved list by decoding serves a count by demuxing too.
  const auto slot = [this]() -> const CountSlot& {
    return counts.by_decoding ? counts.decoded : counts.demuxed;
  };
  // A run that ended without a count is not repeated: it would read the whole input again
  // for the same answer.
  if (!slot().done() && slot().state.load() != CountState::kNoCount) {
    if (!start_prescan(counts.by_decoding ? CountBy::kDecoding : CountBy::kDemuxing)) {
      set_error(error_text, "the frames of " + source.info.source_path +
                                " cannot be counted: the input cannot be read a second time");
      return -1;
    }
    // The worker's every read is bounded, so the join is too.
    if (counts.worker.joinable()) counts.worker.join();
  }
  if (!slot().done()) {
    set_error(error_text, "the frames of " + source.info.source_path + " cannot be counted: " +
                              (counts.by_decoding ? "no timestamped picture was decoded"
                                                  : "no timestamped video packet was read"));
    return -1;
  }
  return static_cast<int64_t>(exact_list()->pts.size());
}

bool FrameNavigator::Impl::seek_to_frame(int64_t index, std::string* error_text) {
  const int64_t count = frame_count(error_text);
  if (count < 0) return false;
  if (index < 0 || index >= count) {
    set_error(error_text, "frame " + std::to_string(index) + " is out of range: the stream has " +
                              std::to_string(count) + " frames");
    return false;
  }
  // Frames held from a decode that began after damage the count found are not its frames.
  adopt_decoded_damage(error_text, false);
  if (exact_frame_index() != index) {
    const int64_t pts = exact_list()->pts[static_cast<size_t>(index)];
    if (!seek_to_pts(pts, source.pts_to_seconds(pts), error_text)) return false;
  }
  // The stamp finds the first frame that carries it; the frame's place in the list tells
  // which of several it is.
  for (int round = 0; round < kSettleRounds; ++round) {
    const int64_t at = exact_frame_index();
    if (at == index) return true;
    for (int64_t step = at; step < index; ++step) {
      if (!advance(error_text)) break;
    }
    for (int64_t step = at; step > index; --step) {
      if (!retreat(error_text)) break;
    }
  }
  if (exact_frame_index() == index) return true;
  set_error(error_text, "could not land on frame " + std::to_string(index));
  return false;
}

int64_t FrameNavigator::Impl::frame_index_for_seconds(double seconds) const {
  // The frame a seek to this time lands on: the first at or after it, else the last.
  const int64_t target = source.seconds_to_pts(seconds >= 0.0 ? seconds : 0.0);
  const FrameList& list = *exact_list();
  const auto n = static_cast<int64_t>(list.pts.size());
  const auto found = list.sorted ? std::lower_bound(list.pts.begin(), list.pts.end(), target)
                                 : std::find_if(list.pts.begin(), list.pts.end(),
                                                [target](int64_t pts) { return pts >= target; });
  return found == list.pts.end() ? n - 1 : found - list.pts.begin();
}

bool FrameNavigator::Impl::keyframe_between(int64_t after, int64_t through) const {
  const std::vector<uint8_t>& keyframes = exact_list()->keyframes;
  for (int64_t index = after + 1; index <= through; ++index) {
    if (keyframes[static_cast<size_t>(index)] != 0) return true;
  }
  return false;
}

bool FrameNavigator::Impl::move_to_frame(int64_t index, std::string* error_text) {
  // Up to the next keyframe, decoding on from here costs less than any seek and decodes
  // nothing twice; past one, a seek skips what lies before it.
  adopt_decoded_damage(error_text, false);
  const int64_t at = exact_frame_index();
  if (at < 0 || at > index || keyframe_between(at, index)) return seek_to_frame(index, error_text);
  for (int64_t step = at; step < index; ++step) {
    if (!advance(error_text)) break;
  }
  return exact_frame_index() == index || seek_to_frame(index, error_text);
}

bool FrameNavigator::Impl::visit_frames(const std::vector<int64_t>& indices, PixelFormat format,
                                        const FrameVisitor& visit, std::string* error_text) {
  if (indices.empty()) return true;
  const int64_t count = frame_count(error_text);
  if (count < 0) return false;
  for (const int64_t index : indices) {
    if (index < 0 || index >= count) {
      set_error(error_text, "frame " + std::to_string(index) + " is out of range: the stream has " +
                                std::to_string(count) + " frames");
      return false;
    }
  }
  // Nothing between the frames delivered needs keeping: with the window at its floor of two
  // frames the decoder reuses its buffers instead of mapping fresh ones for frames that
  // are only passed through.
  const BudgetLoan loan = window.lend(0);
  // A number asked for more than once is decoded once and delivered to each request.
  return deliver_in_order(
      *this, indices.size(), [&](size_t k) { return indices[k]; },
      [&](int64_t wanted, int64_t& index) {
        index = wanted;
        return move_to_frame(wanted, error_text);
      },
      format, visit, error_text);
}

bool FrameNavigator::Impl::visit_frames_at_seconds(const std::vector<double>& seconds,
                                                   PixelFormat format, const FrameVisitor& visit,
                                                   std::string* error_text) {
  if (seconds.empty()) return true;
  if (frame_count(nullptr) >= 0) {
    // Counted: each time becomes the number of the frame a seek to it lands on.
    std::vector<int64_t> indices;
    indices.reserve(seconds.size());
    for (const double s : seconds) indices.push_back(frame_index_for_seconds(s));
    return visit_frames(indices, format, visit, error_text);
  }
  // Not countable (a pipe, a stream without timestamps): seek to each time in order; a
  // seek a little ahead decodes on from the window.
  return deliver_in_order(
      *this, seconds.size(), [&](size_t k) { return seconds[k] >= 0.0 ? seconds[k] : 0.0; },
      [&](double wanted, int64_t&) { return seek_to_seconds(wanted, error_text); }, format, visit,
      error_text);
}

FrameVisitor copy_into(std::vector<FrameCopy>& frames) {
  return
      [&frames](size_t request, int64_t index, const FrameStamp& stamp, const FramePixels& pixels) {
        FrameCopy& copy = frames[request];
        copy.stamp = stamp;
        copy.index = index;
        copy.format = pixels.format;
        copy.stride = pixels.width * bytes_per_pixel(pixels.format);
        copy.pixels.resize(static_cast<size_t>(copy.stride) * static_cast<size_t>(pixels.height));
        for (int32_t row = 0; row < pixels.height; ++row) {
          std::copy_n(pixels.data + static_cast<ptrdiff_t>(row) * pixels.stride, copy.stride,
                      copy.pixels.begin() + static_cast<ptrdiff_t>(row) * copy.stride);
        }
        return true;
      };
}

}  // namespace clipwalk
