// The frame navigator: one opened video stream, a bounded window of preview-sized
// decoded frames, exact seeking and single-frame steps in both directions, and a
// background prescan that counts the stream's exact frames.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "navigator/ffmpeg_handles.h"
#include "navigator/frame_pool.h"
#include "navigator/unheld_frames.h"

namespace clipwalk {

// Position of one frame as callers see it.
struct FrameStamp {
  int64_t pts = 0;       // stream time-base ticks
  double seconds = 0.0;  // counted from start_pts
  int32_t width = 0;     // the preview size
  int32_t height = 0;
};

// One entry of the frame window: a stamp followed by the owned preview-sized picture.
struct HeldFrame : FrameStamp {
  FramePtr frame;
  uint64_t bytes = 0;  // what this frame counts against the window's budget

  HeldFrame() = default;
  HeldFrame(HeldFrame&& other) noexcept;
  HeldFrame& operator=(HeldFrame&& other) noexcept;
  HeldFrame(const HeldFrame&) = delete;
  HeldFrame& operator=(const HeldFrame&) = delete;
  ~HeldFrame() = default;
};

struct PreviewSize {
  int32_t width = 0;
  int32_t height = 0;
};

// The size frames are held at: the source size, or scaled so that the longer side meets
// the limit (0 or less: no limit), with even sides of at least 2.
PreviewSize compute_preview_size(int32_t source_width, int32_t source_height,
                                 int32_t preview_limit);

// Saturating helpers shared by every double-seconds to pts conversion.
int64_t saturating_llround(double value);  // NaN gives 0
int64_t saturating_add(int64_t a, int64_t b);

class FrameNavigator {
 public:
  static constexpr int kPrescanProgressInterval = 256;

  // Opens path and prepares its best video stream; null with error_text set on failure.
  static std::unique_ptr<FrameNavigator> open(const std::string& path, int32_t preview_limit,
                                              uint64_t cache_budget_bytes,
                                              std::string* error_text = nullptr);
  ~FrameNavigator();
  FrameNavigator(const FrameNavigator&) = delete;
  FrameNavigator& operator=(const FrameNavigator&) = delete;
  FrameNavigator(FrameNavigator&&) = delete;
  FrameNavigator& operator=(FrameNavigator&&) = delete;

  // Timeline.
  double pts_to_seconds(int64_t pts) const;
  int64_t seconds_to_pts(double seconds) const;
  int64_t estimated_frame_count() const;

  // Decode pump: 1 a picture is in decode_frame, 0 end of stream, -1 failure.
  int32_t decode_pump(std::string* error_text = nullptr);

  // Preview conversion.
  bool hold_frame(AVFrame* source, HeldFrame& held, std::string* error_text = nullptr);
  static uint64_t frame_bytes(const AVFrame* frame);
  const uint8_t* preview_pixels();

  // Frame window.
  const FrameStamp* current_stamp() const;
  bool decode_next_frame(std::string* error_text = nullptr);
  void clear_window();
  uint64_t capacity_frames() const;
  int64_t estimated_frame_index() const;

  // Seek.
  bool seek_to_seconds(double seconds, std::string* error_text = nullptr);
  bool locate_in_window(int64_t target);
  bool demux_seek(int64_t target, std::string* error_text = nullptr);

  // Stepping.
  bool step_forward(std::string* error_text = nullptr);
  bool step_backward(std::string* error_text = nullptr);
  const HeldFrame* next_frame(std::string* error_text = nullptr);
  bool refill_backward(int64_t anchor_pts, double anchor_seconds,
                       std::string* error_text = nullptr);

  // Prescan. start_prescan answers false when no worker could be started: the thread was
  // refused, or the input is a pipe or device that cannot be read a second time.
  bool start_prescan();
  int64_t prescan_frame_count() const;
  int64_t exact_frame_index() const;
  int64_t exact_frames_between(double from_seconds, double to_seconds) const;
  double exact_frame_seconds(int64_t index) const;

  // Fields, in the order of the record; teardown releases them as ~FrameNavigator says.
  std::string source_path;
  FormatContextPtr format_context;
  CodecContextPtr decoder_context;
  AVStream* video_stream = nullptr;  // owned by format_context
  int32_t video_stream_index = -1;
  FramePtr decode_frame;
  PacketPtr packet;
  ScalerPtr window_scaler;
  ScalerPtr rgba_scaler;
  std::vector<uint8_t> preview_rgba;
  int64_t preview_rgba_pts = 0;
  bool preview_rgba_valid = false;
  int32_t source_width = 0;
  int32_t source_height = 0;
  int32_t preview_width = 0;
  int32_t preview_height = 0;
  double duration_seconds = 0.0;
  double frames_per_second = 0.0;
  int64_t start_pts = 0;
  double time_base_seconds = 0.0;
  int64_t container_frame_count = 0;
  std::string codec_name;
  std::string pixel_format_name;
  std::deque<HeldFrame> window;
  uint64_t current_index = 0;
  uint64_t held_bytes = 0;
  uint64_t cache_budget_bytes = 0;
  bool draining = false;
  // Stamp of the last picture the decoder delivered since the last container seek.
  bool decoder_position_valid = false;
  int64_t decoder_position_pts = 0;
  // The first picture since the last container seek carried no timestamp in a stream that
  // has them, so its stamp could only be guessed: the seek must start further back.
  bool landing_stamp_guessed = false;
  // After a backward refill the window reaches past the decoder's position: forward
  // decoding then drops the pictures up to this pts, which the window already holds.
  bool skip_pending = false;
  int64_t skip_through_pts = 0;
  // Pictures delivered by the decoder over the navigator's life (for benchmarks and tests).
  uint64_t frames_decoded = 0;
  // The decoder's picture buffers; torn down after the decoder, they outlive it until the
  // last held frame lets go of them.
  FramePool frame_pool;
  // Pictures a full seek leaves unheld because the budget would evict them anyway.
  UnheldFrames unheld;
  std::thread prescan_thread;
  std::atomic<bool> prescan_running{false};
  std::atomic<bool> prescan_completed{false};
  std::atomic<bool> prescan_stop_requested{false};
  std::atomic<float> prescan_progress{0.0f};
  std::vector<int64_t> prescan_pts;

 private:
  FrameNavigator() = default;
  void run_prescan();
  void stop_prescan();
  bool full_seek(int64_t target, double seconds, std::string* error_text);
  bool demux_seek_start(std::string* error_text);
  int64_t stamp_for(const AVFrame* frame) const;
  // Unheld pictures of a full seek (unheld_frames.cpp).
  void begin_unheld(int64_t target, double seconds);
  bool end_unheld();
  bool pass_unheld(const AVFrame* picture, int64_t pts, double seconds);
  void evict_unheld();
  uint64_t held_size(const AVFrame* picture);
};

}  // namespace clipwalk
