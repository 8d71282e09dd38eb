// The count by decoding: a navigator of the worker's own decodes the stream from its first
// packet, as a plain decode does, and lists the pictures it shows. Slower than counting
// packets, but exact where the decoder drops pictures the container carries (damage), and
// it finds the damage that every later road must decode from the first packet.
#include <algorithm>
#include <new>

#include "navigator/libav.h"
#include "navigator/navigator_impl.h"

namespace clipwalk {

void FrameNavigator::Impl::run_decoding_count() {
  const FileIdentity counting = identify_for_saving();
  FrameList list;
  bool complete = false;
  try {
    // Opened and stamped exactly as the caller's navigator is, so that both name a picture
    // alike; only the scaling and holding of pictures are left out.
    Impl counter;
    counter.counting_only = true;
    counter.options = options;
    counter.options.stream_index = info.stream_index;
    counter.options.preview_limit = 0;
    counter.options.index_dir.clear();
    counter.cache_budget_bytes = 0;
    counter.io_deadline.stop = &prescan_stop_requested;
    counter.io_deadline.shares_waits_with = &io_deadline;
    // As for the count by demuxing, frames without timestamps are not counted: in a raw
    // stream a frame's number could not be found again by its stamp.
    if (!prescan_stop_requested.load() && counter.open_input(info.source_path, nullptr) &&
        counter.info.stream_index == info.stream_index && counter.stream_has_timestamps()) {
      AVIOContext* io = counter.format_context->pb;
      const int64_t total_size = io != nullptr ? avio_size(io) : 0;
      bool damage_noted = false;
      while (!prescan_stop_requested.load() && counter.decode_next_frame(nullptr)) {
        const HeldFrame& shown = counter.window.back();
        list.pts.push_back(shown.pts);
        list.positions.push_back(shown.position);
        list.keyframes.push_back(shown.key_frame ? 1 : 0);
        // Damage the decoder only logged is placed at the first picture after the log:
        // no later than the damaged picture, which comes out after it is decoded.
        if (!damage_noted && (counter.facts.damage_known || counter.facts.pixels_vary)) {
          damage_noted = true;
          list.damage_known = true;
          list.damage_pts = counter.facts.damage_known
                                ? std::min(counter.facts.damage_pts, shown.pts)
                                : shown.pts;
        }
        while (counter.window.size() > 2) counter.window.pop_front();
        counter.current_index = counter.window.size() - 1;
        report_progress(*counter.format_context, total_size, list.pts.size());
      }
      complete = !list.pts.empty();
    }
  } catch (const std::bad_alloc&) {
    // No memory for the list: end without result rather than escape the thread.
    complete = false;
  }
  if (!complete || prescan_stop_requested.load()) {
    prescan_running.store(false);
    return;
  }
  save_count(list, true, counting);
  publish_count(std::move(list), decoded, decoded_completed);
}

}  // namespace clipwalk
