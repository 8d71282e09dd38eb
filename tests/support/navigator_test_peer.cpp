#include "support/navigator_test_peer.h"

#include <algorithm>
#include <atomic>

#include "navigator/frame_pool.h"
#include "navigator/libav.h"

namespace clipwalk {

// The one place that knows where the navigator keeps what tests read.
NavigatorSnapshot snapshot(const FrameNavigator& nav) {
  const FrameNavigator::Impl& impl = internals(nav);
  NavigatorSnapshot s;
  s.counters.frames_decoded = impl.source.pictures_decoded;
  s.counters.unheld = impl.counters.unheld;
  s.counters.skip_offers = impl.source.packets_offered;
  s.counters.redone = impl.counters.redone;
  s.counters.prerolled = impl.counters.prerolled;
  s.window.reserve(impl.window.size());
  for (const HeldFrame& held : impl.window) {
    SnapshotFrame& frame = s.window.emplace_back();
    static_cast<FrameStamp&>(frame) = held;
    frame.position = held.position;
    frame.bytes = held.bytes;
    if (const AVFrame* picture = held.frame.get()) {
      frame.picture_width = picture->width;
      frame.picture_height = picture->height;
      frame.picture_format = picture->format;
      frame.color_range = picture->color_range;
      frame.color_space = picture->colorspace;
      frame.color_transfer = picture->color_trc;
      frame.color_primaries = picture->color_primaries;
      for (const AVBufferRef* buffer : picture->buf)
        frame.buffer_bytes += buffer != nullptr ? buffer->size : 0;
    }
  }
  s.current_index = impl.window.current_index();
  s.held_bytes = impl.window.held_bytes();
  s.budget_bytes = impl.window.budget();
  s.skip_pending = impl.source.session.skip_pending;
  s.window_scaler_made = impl.window_scaler != nullptr;
  s.output_pixels = impl.output.pixels;
  s.output_pixels_address = impl.output.pixels.data();
  s.output_place = impl.output.place;
  if (impl.source.demux.format_context != nullptr) {
    s.container_streams = impl.source.demux.format_context->nb_streams;
  }
  if (impl.source.frame_pool != nullptr) {
    s.pool_pictures = impl.source.frame_pool->pictures();
    s.pool_allocations = impl.source.frame_pool->allocations();
  }
  s.prescan_thread_id = impl.counts.worker.get_id();
  s.prescan_thread_joinable = impl.counts.worker.joinable();
  // A worker may still be writing a list until its flag is raised.
  if (impl.counts.demuxed.done()) {
    s.demuxed_pts = impl.counts.demuxed.list.pts;
    s.demuxed_pts_address = impl.counts.demuxed.list.pts.data();
  }
  if (impl.counts.decoded.done()) s.decoded_pts = impl.counts.decoded.list.pts;
  return s;
}

bool decode_next(FrameNavigator& nav) { return internals(nav).decode_next_frame(); }

int32_t pump(FrameNavigator& nav, std::string* error_text) {
  return internals(nav).source.pump(error_text);
}

bool container_seek(FrameNavigator& nav, int64_t target, std::string* error_text) {
  return internals(nav).source.demux_seek(target, error_text);
}

bool hold(FrameNavigator& nav, AVFrame* source, HeldFrame& held) {
  return internals(nav).hold_frame(source, held);
}

void clear_window(FrameNavigator& nav) { internals(nav).clear_window(); }

AVFrame* pumped_picture(FrameNavigator& nav) { return internals(nav).source.decode_frame.get(); }

AVFrame* current_picture(FrameNavigator& nav) {
  const HeldFrame* current = internals(nav).current_frame();
  return current != nullptr ? current->frame.get() : nullptr;
}

const AVFrame* held_picture(const FrameNavigator& nav, size_t index) {
  return internals(nav).window[index].frame.get();
}

AVFormatContext* demuxer(FrameNavigator& nav) {
  return internals(nav).source.demux.format_context.get();
}

const AVStream* video_stream(const FrameNavigator& nav) {
  return internals(nav).source.demux.video_stream;
}

uint64_t frame_bytes(const AVFrame* picture) { return FrameNavigator::Impl::frame_bytes(picture); }

void set_current_index(FrameNavigator& nav, uint64_t index) {
  internals(nav).window.set_current(index);
}

void fill_output_pixels(FrameNavigator& nav, uint8_t value) {
  std::vector<uint8_t>& pixels = internals(nav).output.pixels;
  std::fill(pixels.begin(), pixels.end(), value);
}

void set_stream_info(FrameNavigator& nav, const StreamInfo& info) {
  internals(nav).source.info = info;
}

}  // namespace clipwalk
