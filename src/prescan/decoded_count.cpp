// The count by decoding: a decoding source of the worker's own decodes the stream from its
// first packet, as a plain decode does, and lists the pictures it shows. Slower than
// counting packets, but exact where the decoder drops pictures the container carries
// (damage), and it finds the damage that every later road must decode from the first packet.
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
    // Opened and stamped exactly as the caller's source is, so that both name a picture
    // alike.
    DecodingSource counter;
    counter.notes_stamp_turns = true;
    counter.demux.io_deadline.stop = &counts.stop_requested;
    counter.demux.io_deadline.shares_waits_with = &source.demux.io_deadline;
    OpenOptions same = options;
    same.stream_index = source.info.stream_index;
    // As for the count by demuxing, frames without timestamps are not counted: in a raw
    // stream a frame's number could not be found again by its stamp.
    if (!counts.stop_requested.load() && counter.open(source.info.source_path, same, nullptr) &&
        counter.info.stream_index == source.info.stream_index && counter.stream_has_timestamps()) {
      AVIOContext* io = counter.demux.format_context->pb;
      const int64_t total_size = io != nullptr ? avio_size(io) : 0;
      bool damage_noted = false;
      FramePlace shown;
      while (!counts.stop_requested.load() && counter.next_picture(&shown, nullptr, nullptr)) {
        list.pts.push_back(shown.pts);
        list.positions.push_back(shown.position);
        list.keyframes.push_back(counter.decode_frame->key_frame != 0 ? 1 : 0);
        av_frame_unref(counter.decode_frame.get());
        // Damage the decoder only logged is placed at the first picture after the log:
        // no later than the damaged picture, which comes out after it is decoded.
        if (!damage_noted && (counter.facts.damage_known || counter.facts.pixels_vary)) {
          damage_noted = true;
          list.damage_known = true;
          list.damage_pts = counter.facts.damage_known
                                ? std::min(counter.facts.damage_pts, shown.pts)
                                : shown.pts;
        }
        report_progress(*counter.demux.format_context, total_size, list.pts.size());
      }
      complete = !list.pts.empty();
    }
  } catch (const std::bad_alloc&) {
    // No memory for the list: end without result rather than escape the thread.
    complete = false;
  }
  if (!complete || counts.stop_requested.load()) {
    counts.decoded.state.store(CountState::kNoCount);
    return;
  }
  save_count(list, true, counting);
  publish_count(std::move(list), counts.decoded);
}

}  // namespace clipwalk
