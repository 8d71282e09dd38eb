// The frame navigator: one opened video stream, a bounded window of decoded frames, exact
// landings by time and by frame number, single-frame steps in both directions, batches of
// frames, and a background prescan that counts the stream's exact frames.
//
// The frames of a stream are the pictures a plain decode from its first packet shows, in
// that order, with those stamps; frame numbers count them from 0.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace clipwalk {

// The command-line tool's choices, for callers that want the same: frames at most this
// long on their longer side, and a window of decoded frames of at most 256 MiB.
inline constexpr int32_t kDefaultPreviewLimit = 1920;
inline constexpr uint64_t kDefaultCacheBudgetBytes = uint64_t{256} * 1024 * 1024;

// What open learnt of the video stream; fixed for the navigator's life.
struct StreamInfo {
  std::string source_path;
  int32_t stream_index = -1;  // in the container
  int32_t source_width = 0;   // the decoder's picture size
  int32_t source_height = 0;
  int32_t preview_width = 0;  // the size frames are held and delivered at
  int32_t preview_height = 0;
  double duration_seconds = 0.0;   // 0 when the container does not say
  double frames_per_second = 0.0;  // the container's or a guessed rate; 25 when none is known
  int64_t start_pts = 0;           // stamp of the stream's start; seconds count from it
  int32_t time_base_num = 0;       // one tick is time_base_num / time_base_den seconds
  int32_t time_base_den = 1;
  double time_base_seconds = 0.0;     // the same as a double
  int64_t container_frame_count = 0;  // what the container states, 0 when it does not
  std::string codec_name;             // the decoder's name, such as "h264"
  std::string pixel_format_name;      // the decoder's pixel format, such as "yuv420p"
  // frames_per_second as a fraction; 0/1 where the file gives no rate (then 25 is assumed).
  int32_t frame_rate_num = 0;
  int32_t frame_rate_den = 1;
  // The width of one sample over its height; 0/1 where the file does not say (square).
  int32_t sample_aspect_num = 0;
  int32_t sample_aspect_den = 1;
  // How far a player turns the pictures, in degrees counter-clockwise as the stream's
  // display matrix says (ffprobe's "rotation"); 0 without one. Frames are not turned.
  double rotation_degrees = 0.0;
  // Where the file's timeline starts (the container's start time), in seconds: a frame's time
  // on that timeline is start_pts's time plus its seconds.
  double container_start_seconds = 0.0;
};

// One frame as callers see it.
struct FrameStamp {
  int64_t pts = 0;       // stream time-base ticks
  double seconds = 0.0;  // counted from start_pts
  int32_t width = 0;     // the preview size
  int32_t height = 0;
  bool key_frame = false;  // the decoder marked the picture a keyframe
  int64_t duration = 0;    // ticks until the next frame, by the stream or its rate; at least 1
  bool damaged = false;    // the decoder flagged the picture as concealed or corrupt
};

// Pixel layouts the current frame can be delivered in, 8 bits a sample.
enum class PixelFormat : int32_t { kRgba, kRgb24, kGray8, kBgr24 };

int32_t bytes_per_pixel(PixelFormat format);

// A view of converted pixels: valid until the navigator's next call, null when there is no
// frame or the conversion failed.
struct FramePixels {
  const uint8_t* data = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  int32_t stride = 0;  // bytes from the start of one row to the next
  PixelFormat format = PixelFormat::kRgba;
};

// How the prescan counts frames; see start_prescan.
enum class CountBy : int32_t { kDemuxing, kDecoding };

// How a navigator is opened; the defaults are the tool's choices.
struct OpenOptions {
  // Frames are held at their decoded size, or scaled so that their longer side is at most
  // this (0 or less: no limit). Each frame is sized alone: a stream that changes size
  // mid-way gives frames of each size.
  int32_t preview_limit = kDefaultPreviewLimit;
  // The window of decoded frames holds at most this, but never fewer than two frames; capped
  // at half of the physical memory, whatever is asked.
  uint64_t cache_budget_bytes = kDefaultCacheBudgetBytes;
  // 0: the budget stays as given. Otherwise, where the budget holds fewer frames, it is raised
  // to hold this many at the held size (the first frame's, as the stream's parameters tell it,
  // in the held pixel format), but to at most an eighth of the physical memory; a budget is
  // never lowered.
  uint32_t min_held_frames = 0;
  // The container's stream to navigate (ffprobe's stream index); -1: the best video stream.
  int32_t stream_index = -1;
  // The decoder's threads; 0 lets libavcodec pick one a core. Frame threads conceal damage
  // differently with each count: a fixed count gives the same pixels on every machine, and
  // 1 gives the same pixels in every decode.
  int32_t decoder_threads = 0;
  // A folder where a completed count's frame list is saved, and from which the next open of
  // the same file (by path, size, modification time and a digest of its first and last
  // 64 KiB) loads it instead of counting again; empty: nothing is saved or loaded.
  std::string index_dir;
};

// One frame of a batch, owned: stays valid whatever the navigator does next.
struct FrameCopy {
  FrameStamp stamp;
  int64_t index = -1;  // frame number; -1 where the frames cannot be counted
  int32_t stride = 0;  // width * bytes_per_pixel(format): rows follow one another
  PixelFormat format = PixelFormat::kRgba;
  std::vector<uint8_t> pixels;
};

// Receives the frames of a batch in stream order, once for each entry of the caller's list:
// `request` is the entry's place in that list, `index` the frame number (-1 where the frames
// cannot be counted). The pixels are valid during the call only. Answering false stops the
// batch, which then answers false without a message.
using FrameVisitor = std::function<bool(size_t request, int64_t index, const FrameStamp& stamp,
                                        const FramePixels& pixels)>;

// One opened video stream.
//
// Threads: every operation runs on one thread at a time, normally the one that called open.
// The navigator starts threads of its own: the prescan worker, which shares nothing with the
// caller's thread but the prescan's results (read them through the accessors below, from any
// thread), and libavcodec's decoder threads, which draw picture buffers from the navigator's
// pool while a call decodes.
//
// Failures are results: false, null or -1, with one message in *error_text when given (never
// appended to); nothing throws. The end or the start of the stream is a plain false.
class FrameNavigator {
 public:
  // Opens path and prepares its best video stream; null with error_text set on failure.
  // Frames are held at the source size, or scaled so that their longer side is
  // preview_limit (0 or less: the source size). The window of decoded frames holds at
  // most cache_budget_bytes, but never fewer than two frames.
  // The budget is capped at half of the physical memory, whatever is asked.
  static std::unique_ptr<FrameNavigator> open(const std::string& path, int32_t preview_limit,
                                              uint64_t cache_budget_bytes,
                                              std::string* error_text = nullptr);
  static std::unique_ptr<FrameNavigator> open(const std::string& path, const OpenOptions& options,
                                              std::string* error_text = nullptr);
  ~FrameNavigator();
  FrameNavigator(const FrameNavigator&) = delete;
  FrameNavigator& operator=(const FrameNavigator&) = delete;
  FrameNavigator(FrameNavigator&&) = delete;
  FrameNavigator& operator=(FrameNavigator&&) = delete;

  const StreamInfo& stream() const;

  // Timeline.
  double pts_to_seconds(int64_t pts) const;
  int64_t seconds_to_pts(double seconds) const;
  int64_t estimated_frame_count() const;  // 0 when it cannot be told
  int64_t estimated_frame_index() const;  // of the current frame, by the frame rate

  // Landing: on the first frame at or after a time (negative or NaN: the start; past the
  // end: the last frame), or on frame `index`. Landing by number needs the exact count: it
  // starts the prescan when needed and waits for it, and fails where the frames cannot be
  // counted (a pipe, a stream without timestamps) or the index is out of range.
  bool seek_to_seconds(double seconds, std::string* error_text = nullptr);
  bool seek_to_frame(int64_t index, std::string* error_text = nullptr);

  // One frame forward or back; false at either end of the stream.
  bool step_forward(std::string* error_text = nullptr);
  bool step_backward(std::string* error_text = nullptr);

  // What the last landing, step, batch or count met on its way without failing, such as
  // damage it decoded past ("decode failed: ..."), for a caller to show; empty when it met
  // nothing or failed. error_text is written only when a call fails.
  const std::string& warning() const;

  // The current frame, null before the first landing.
  const FrameStamp* current_stamp() const;
  // Its pixels at the preview size, converted for this call only when asked.
  FramePixels current_pixels(PixelFormat format);
  // RGBA pixels of the current frame (preview_width * 4 bytes a row), or null.
  const uint8_t* preview_pixels();
  // A digest of the current frame's pixels as held (of YUV pictures, the luma plane): frames
  // with equal pixels have equal digests, and one that differs in any of those samples almost
  // surely has another. Costs one read of the plane, once per held frame; nothing is converted. 0
  // (no digest) before the first landing, and once the decoder has met damage: libavcodec's frame
  // threads conceal it differently from one decode of the same packets to the next (ffmpeg -threads
  // 3 does too), and so show other pixels in the pictures decoded from concealed ones. They do
  // not always flag a concealed picture, but the decoder logs the damage: the first navigator
  // opened sets FFmpeg's process-wide log callback (replacing the host's) to one that prints as
  // the default does and notes the errors of the navigators' own decoders. A host that sets its
  // own callback later keeps it, and the digest then knows only the damage libavcodec flags.
  uint64_t current_pixel_digest() const;
  // A decoder of this navigator, or its count by decoding, has met damage (a concealed,
  // corrupt or lost picture, a decoder error, or stamps libavcodec found faulty): a count by
  // demuxing may then name frames the decoder never shows.
  bool met_damage() const;

  // Batches: the frames for a list of frame numbers, or of times (each as a seek to it
  // lands), decoded in stream order so that nothing is decoded twice for one batch; a
  // number asked for twice is decoded once. The whole list is checked before anything is
  // decoded. Afterwards the current frame is the last one decoded.
  bool frames_at_indices(const std::vector<int64_t>& indices, PixelFormat format,
                         const FrameVisitor& visit, std::string* error_text = nullptr);
  bool frames_at_seconds(const std::vector<double>& seconds, PixelFormat format,
                         const FrameVisitor& visit, std::string* error_text = nullptr);
  // The same as owned copies, in the order of the caller's list.
  bool copy_frames_at_indices(const std::vector<int64_t>& indices, PixelFormat format,
                              std::vector<FrameCopy>* frames, std::string* error_text = nullptr);
  bool copy_frames_at_seconds(const std::vector<double>& seconds, PixelFormat format,
                              std::vector<FrameCopy>* frames, std::string* error_text = nullptr);

  // Prescan: counts the exact frames on a worker thread. start_prescan answers false when
  // no worker could be started: the thread was refused, or the input is a pipe or device
  // that cannot be read a second time.
  //
  // By demuxing, every timestamped packet is a frame: fast, and exact unless the decoder
  // drops pictures the container carries, as it may after damage. By decoding, a decode from
  // the first packet lists the pictures it shows: exact on damaged files too, for the cost
  // of a decode, and once it has run, the next landing or step takes in the damage it found:
  // from then on roads past it decode from the first packet, as a plain decode does (a
  // decoder that met damage can show later pictures otherwise than one opened at a later
  // keyframe), and frames held from a decode that began after it are decoded again. Once
  // asked for, the count by decoding is the one frame_count waits for; until it completes,
  // the answers below come from a completed count by demuxing, if there is one, and
  // prescan_completed may read true while prescan_running does too. Asked for while a count
  // by demuxing runs, it waits for that one to end first; prescan_progress then starts again
  // from 0 for it.
  bool start_prescan(CountBy how = CountBy::kDemuxing);
  bool prescan_running() const;
  bool prescan_completed() const;
  float prescan_progress() const;  // fraction of the file read, 0 to 1
  // Starts the prescan when needed and waits for it: the exact count, or -1 with a reason.
  int64_t frame_count(std::string* error_text = nullptr);
  // Answers from a completed prescan; -1 (or -1.0) before it completes.
  int64_t prescan_frame_count() const;
  int64_t exact_frame_index() const;  // the current frame's number
  int64_t current_frame_index() const { return exact_frame_index(); }
  int64_t exact_frames_between(double from_seconds, double to_seconds) const;
  double exact_frame_seconds(int64_t index) const;
  // The exact count was read from OpenOptions::index_dir: no count ran for it.
  bool count_from_saved_index() const;

  struct Impl;  // the navigator's state, private to the library

 private:
  friend struct NavigatorTestPeer;
  explicit FrameNavigator(std::unique_ptr<Impl> impl);

  std::unique_ptr<Impl> impl_;
};

// FFmpeg's log lines. The first navigator opened sets FFmpeg's process-wide log callback to
// ffmpeg_log_callback, which notes the errors of the navigators' own decoders (how the pixel
// digest knows of damage that libavcodec did not flag) and hands every line to the sink.
// A host that sets a callback of its own after that calls ffmpeg_log_callback from it, so
// that the navigators still learn of damage; one set before is replaced.
//
// Receives each line FFmpeg logs at `level` (FFmpeg's numbers: 8 fatal, 16 error, 24
// warning, 32 info, 40 verbose, 48 debug), with its "[h264 @ 0x...] " prefix and without
// the newline. Called on whichever thread logs, decoder threads among them.
using LogSink = std::function<void(int level, const std::string& line)>;
// Sends FFmpeg's lines to the sink from now on, in every navigator; an empty sink prints
// them to standard error as FFmpeg's default callback does.
void set_log_sink(LogSink sink);
void ffmpeg_log_callback(void* context, int level, const char* format, va_list args);

}  // namespace clipwalk
