// The tests' one way to the navigator's private state and internal steps, which are not
// part of its API. Tests read a snapshot of values and call the named steps below, never the
// record's fields, so that moving those fields changes navigator_test_peer.cpp alone.
#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "clipwalk/frame_navigator.h"
#include "navigator/navigator_impl.h"

struct AVFormatContext;
struct AVFrame;
struct AVStream;

namespace clipwalk {

struct NavigatorTestPeer {
  static FrameNavigator::Impl& impl(FrameNavigator& nav) { return *nav.impl_; }
  static const FrameNavigator::Impl& impl(const FrameNavigator& nav) { return *nav.impl_; }
};

// The benchmark's way in; tests use the snapshot and the steps below.
inline FrameNavigator::Impl& internals(FrameNavigator& nav) { return NavigatorTestPeer::impl(nav); }
inline const FrameNavigator::Impl& internals(const FrameNavigator& nav) {
  return NavigatorTestPeer::impl(nav);
}

// One held frame: its stamp, where it came from, what it counts, and its picture's layout.
struct SnapshotFrame : FrameStamp {
  int64_t position = -1;
  uint64_t bytes = 0;
  int32_t picture_width = 0;
  int32_t picture_height = 0;
  int32_t picture_format = -1;  // AVPixelFormat
  int32_t color_range = 0;      // AVColorRange, AVColorSpace, AVColorTransferCharacteristic,
  int32_t color_space = 0;      // AVColorPrimaries
  int32_t color_transfer = 0;
  int32_t color_primaries = 0;
  uint64_t buffer_bytes = 0;  // the sizes of the picture's buffers, added up
};

// Counters over the navigator's life.
struct SnapshotCounters {
  uint64_t frames_decoded = 0;  // pictures the decoder delivered
  uint64_t unheld = 0;          // pictures decoded but not held
  uint64_t skip_offers = 0;     // packets offered to the decoder for skipping
  uint64_t redone = 0;          // landings done again holding every picture
  uint64_t prerolled = 0;       // roads done again from further back over damage
};

// A copy of what tests check, taken after the step under test.
struct NavigatorSnapshot {
  SnapshotCounters counters;
  std::vector<SnapshotFrame> window;
  uint64_t current_index = 0;
  uint64_t held_bytes = 0;
  uint64_t budget_bytes = 0;
  bool skip_pending = false;        // forward decoding drops pictures a refill holds
  bool window_scaler_made = false;  // some picture needed scaling to be held
  // The converted current frame; the address tells whether its buffer was kept.
  std::vector<uint8_t> output_pixels;
  const void* output_pixels_address = nullptr;
  FramePlace output_place;
  uint32_t container_streams = 0;
  uint64_t pool_pictures = 0;
  uint64_t pool_allocations = 0;
  std::thread::id prescan_thread_id;
  bool prescan_thread_joinable = false;
  // The frame lists, empty until published; the address tells whether a list was replaced.
  std::vector<int64_t> demuxed_pts;
  const void* demuxed_pts_address = nullptr;
  std::vector<int64_t> decoded_pts;
};

NavigatorSnapshot snapshot(const FrameNavigator& nav);

// Internal steps.
bool decode_next(FrameNavigator& nav);  // decodes and holds the next frame
int32_t pump(FrameNavigator& nav, std::string* error_text = nullptr);
bool container_seek(FrameNavigator& nav, int64_t target, std::string* error_text = nullptr);
bool hold(FrameNavigator& nav, AVFrame* source, HeldFrame& held);
void clear_window(FrameNavigator& nav);

// FFmpeg objects the navigator owns.
AVFrame* pumped_picture(FrameNavigator& nav);   // the picture the last pump delivered
AVFrame* current_picture(FrameNavigator& nav);  // null without a current frame
const AVFrame* held_picture(const FrameNavigator& nav, size_t index);
AVFormatContext* demuxer(FrameNavigator& nav);
const AVStream* video_stream(const FrameNavigator& nav);
uint64_t frame_bytes(const AVFrame* picture);  // what a held picture counts against the budget

// Situations set up by hand.
void set_current_index(FrameNavigator& nav, uint64_t index);
void fill_output_pixels(FrameNavigator& nav, uint8_t value);
void set_stream_info(FrameNavigator& nav, const StreamInfo& info);

}  // namespace clipwalk
