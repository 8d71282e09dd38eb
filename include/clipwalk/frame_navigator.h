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

#include "clipwalk/ffmpeg_handles.h"

namespace clipwalk {

// The command-line tool's choices, for callers that want the same: previews at most this
// long on their longer side, and a window of decoded frames of at most 256 MiB.
inline constexpr int32_t kDefaultPreviewLimit = 1920;
inline constexpr uint64_t kDefaultCacheBudgetBytes = uint64_t{256} * 1024 * 1024;

struct NavigatorTestPeer;
class FramePool;

// Pictures a full seek or a backward refill decodes without holding them, because the budget
// would evict them before the landing (unheld_frames.cpp); internal bookkeeping of the navigator.
struct UnheldFrames {
  bool allowed = true;  // false while a seek is done again holding every picture
  // The walk of one full seek or refill to its target; cleared when it ends.
  struct Walk {
    bool active = false;
    int64_t target_pts = 0;
    double target_seconds = 0.0;
    bool standing = false;  // an unheld picture is counted in front of the window
    uint64_t standing_bytes = 0;
    bool any_passed = false;      // a picture was left unheld
    int64_t last_passed_pts = 0;  // stamp of the latest one
    // Far enough before the landing, pictures no other picture refers to are not even
    // decoded: packets stamped before skip_until_seconds go to the decoder marked skippable.
    bool skipping = false;
    double skip_until_seconds = 0.0;
    struct Offer {
      int64_t pts = 0;
      int64_t dts = 0;
      int64_t position = 0;
    };
    std::vector<Offer> offers;             // those packets, in decode order
    std::vector<int64_t> shown_positions;  // packets of the pictures shown meanwhile
  } walk;
  uint64_t passed = 0;  // pictures not held over the navigator's life (for tests and benchmarks)
  uint64_t skip_offers = 0;  // packets offered for skipping over the navigator's life (the same)
  uint64_t redone = 0;       // seeks and refill attempts done again holding every picture
  // What a scaled preview picture of this pixel format counts against the budget.
  int preview_format = -1;
  uint64_t preview_bytes = 0;
};

// Position of one frame as callers see it.
struct FrameStamp {
  int64_t pts = 0;       // stream time-base ticks
  double seconds = 0.0;  // counted from start_pts
  int32_t width = 0;     // the preview size
  int32_t height = 0;
};

// Where a picture stands in the stream: its stamp and the byte position of the packet it
// was decoded from (-1 when the demuxer does not tell).
struct FramePlace {
  int64_t pts = 0;
  int64_t position = -1;
};

// The same picture, whichever road decoded it.
bool same_frame(FramePlace a, FramePlace b);
// Plainly later in the stream than mark: a later stamp and, where known, a later packet.
bool comes_after(FramePlace frame, FramePlace mark);

// One entry of the frame window: a stamp followed by the owned preview-sized picture.
// Move-only, through its FramePtr.
struct HeldFrame : FrameStamp {
  FramePtr frame;
  uint64_t bytes = 0;     // what this frame counts against the window's budget
  int64_t position = -1;  // byte position of the packet the picture came from

  FramePlace place() const { return {pts, position}; }
};

// One opened video stream. Every operation runs on the thread that called open; the only
// other thread is the prescan worker, which shares nothing but the prescan_* fields.
// Failures are results: false, null or -1, with one message in *error_text when given.
class FrameNavigator {
 public:
  // Opens path and prepares its best video stream; null with error_text set on failure.
  // The window's budget is cache_budget_bytes, at most half of the physical memory.
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

  // RGBA pixels of the current frame at the preview size (width * 4 bytes a row), or null.
  const uint8_t* preview_pixels();

  // Frame window.
  const FrameStamp* current_stamp() const;
  bool decode_next_frame(std::string* error_text = nullptr);
  void clear_window();
  uint64_t capacity_frames() const;
  int64_t estimated_frame_index() const;

  // Seek.
  bool seek_to_seconds(double seconds, std::string* error_text = nullptr);

  // Stepping.
  bool step_forward(std::string* error_text = nullptr);
  bool step_backward(std::string* error_text = nullptr);
  const HeldFrame* next_frame(std::string* error_text = nullptr);

  // Prescan. start_prescan answers false when no worker could be started: the thread was
  // refused, or the input is a pipe or device that cannot be read a second time.
  bool start_prescan();
  int64_t prescan_frame_count() const;
  int64_t exact_frame_index() const;
  int64_t exact_frames_between(double from_seconds, double to_seconds) const;
  double exact_frame_seconds(int64_t index) const;

  // Fields, in the order of the record; teardown releases them as ~FrameNavigator says.
  // Set by open and read-only afterwards: source_path, video_stream, video_stream_index,
  // source_width, source_height, preview_width, preview_height, duration_seconds,
  // frames_per_second, start_pts, time_base_seconds, container_frame_count, codec_name,
  // pixel_format_name. The prescan worker reads source_path and video_stream_index.
  std::string source_path;
  IoDeadline io_deadline;  // bounds every call on format_context, which points to it
  FormatContextPtr format_context;
  CodecContextPtr decoder_context;
  AVStream* video_stream = nullptr;  // owned by format_context
  int32_t video_stream_index = -1;
  FramePtr decode_frame;
  PacketPtr packet;
  ScalerPtr window_scaler;
  ScalerPtr rgba_scaler;
  std::vector<uint8_t> preview_rgba;
  // The picture preview_rgba shows: stamps can repeat, so its place and frame tell it.
  FramePlace preview_rgba_place;
  const AVFrame* preview_rgba_frame = nullptr;
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
  // After a container seek, packets are dropped until a keyframe.
  bool awaiting_keyframe = false;
  // Decoding began at the first packet (not at a keyframe found by a seek), and how many
  // pictures it has delivered since.
  bool decoding_from_start = true;
  uint64_t pictures_from_start = 0;
  // Stamps of the untimed pictures that open a stream whose later pictures are timed,
  // counted back from the first timed one; learnt once, on the first decode from the start.
  bool leading_stamps_known = false;
  std::vector<int64_t> leading_stamps;
  // No packet has been read since the demuxer was opened: it stands at the first packet.
  bool demuxer_fresh = true;
  // Damaged packets and pictures skipped since the last picture decoded.
  int32_t failures_without_picture = 0;
  // Byte position up to which the stream's clock was found to run without a reset, and
  // whether a reset was found (then a stamp alone does not say which run a frame is in).
  int64_t clock_steady_through = -1;
  bool clock_reset_seen = false;
  // The stream's first picture, once a decode from the first packet has shown it.
  bool stream_first_known = false;
  FramePlace stream_first;
  // Place of the last picture the decoder delivered since the last container seek.
  bool decoder_position_valid = false;
  FramePlace decoder_position;
  int64_t decoder_position_duration = 0;  // in ticks, at least 1
  // The first picture since the last container seek carried no timestamp in a stream that
  // has them, so its stamp could only be guessed: the seek must start further back.
  bool landing_stamp_guessed = false;
  // After a backward refill the window reaches past the decoder's position: forward
  // decoding then drops the pictures up to this one, which the window already holds.
  bool skip_pending = false;
  FramePlace skip_through;
  // Pictures delivered by the decoder over the navigator's life (for benchmarks and tests).
  uint64_t frames_decoded = 0;
  // The decoders' picture buffers: neither zero-filled nor given back while frames come and
  // go. Freed after the decoder; buffers still held outlive it.
  std::unique_ptr<FramePool> frame_pool;
  // Pictures a full seek or a refill leaves unheld because the budget would evict them anyway.
  UnheldFrames unheld;
  // Shared with the prescan worker; nothing else crosses threads.
  std::thread prescan_thread;  // started by start_prescan, joined by the destructor
  // True from start_prescan until the worker's last step; polled by the caller.
  std::atomic<bool> prescan_running{false};
  // Stored once by the worker (release) after prescan_pts is in place: load it with
  // acquire, and read prescan_pts only after it reads true.
  std::atomic<bool> prescan_completed{false};
  std::atomic<bool> prescan_stop_requested{false};  // set by the destructor only
  std::atomic<float> prescan_progress{0.0f};        // fraction of the file read, any thread
  std::vector<int64_t> prescan_pts;                 // written by the worker; see prescan_completed
  // Byte position of each counted packet (-1 unknown), beside prescan_pts; same rule.
  std::vector<int64_t> prescan_positions;
  // prescan_pts ascends throughout (no clock reset in the stream); same rule.
  bool prescan_sorted = true;

 private:
  friend struct NavigatorTestPeer;

  FrameNavigator();

  // Decode pump: 1 a picture is in decode_frame, 0 end of stream, -1 failure.
  int32_t decode_pump(std::string* error_text = nullptr);
  // Preview conversion of a decoded picture into a window entry.
  bool hold_frame(AVFrame* source, HeldFrame& held, std::string* error_text = nullptr);
  static uint64_t frame_bytes(const AVFrame* frame);
  bool locate_in_window(int64_t target);
  bool demux_seek(int64_t target, std::string* error_text = nullptr);
  bool refill_backward(int64_t anchor_pts, double anchor_seconds,
                       std::string* error_text = nullptr);

  void run_prescan();
  void stop_prescan();
  bool full_seek(int64_t target, double seconds, std::string* error_text);
  int64_t stamp_for(const AVFrame* frame) const;
  // Unheld pictures of a full seek (unheld_frames.cpp).
  void begin_unheld(int64_t target, double seconds);
  bool end_unheld();
  bool pass_unheld(const AVFrame* picture, int64_t pts, double seconds);
  void evict_unheld();
  uint64_t held_size(const AVFrame* picture);
  double landing_seconds() const;
  double unheld_margin_frames(uint64_t bytes) const;
  bool can_skip_unreferenced() const;
  bool skips_left_stamps_alone();
  void offer_skip(const AVPacket& next);
  int64_t frame_interval_ticks(const AVFrame* frame) const;
  bool learn_leading_stamps();
  bool note_decode_failure(const char* prefix, int result, std::string* error_text);
  bool read_from_start(std::string* error_text);
  bool reopen_demuxer(std::string* error_text);
  bool open_decoder(const AVCodec* decoder, std::string* error_text);
  bool input_can_be_read_again() const;
  void reset_decoding(bool await_keyframe);
  bool landed_in_time(int64_t target) const;
  bool earlier_clock_run_reaches(int64_t target, int64_t landing_position);
  bool stamps_may_repeat() const;
  bool at_stream_start(const HeldFrame& frame) const;
};

}  // namespace clipwalk
