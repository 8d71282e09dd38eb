// The navigator's state, private to the library: FFmpeg handles, the window of decoded
// frames, the decoder's session, what the stream taught us on the way, the frame pool and
// the prescan's thread and lists.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "clipwalk/frame_navigator.h"
#include "navigator/ffmpeg_handles.h"
#include "navigator/preview.h"
#include "prescan/saved_index.h"

struct AVPacket;

namespace clipwalk {

class FramePool;

// Where a picture stands in the stream: its stamp and the byte position of the packet it
// was decoded from (-1 when the demuxer does not tell).
struct FramePlace {
  int64_t pts = 0;
  int64_t position = -1;
};

// The same picture, whichever road decoded it.
bool same_frame(FramePlace a, FramePlace b);
// The decoder flagged the picture as concealed or corrupt.
bool flagged_damaged(const AVFrame* picture);
// Plainly later in the stream than mark: a later stamp and, where known, a later packet.
bool comes_after(FramePlace frame, FramePlace mark);

// One entry of the frame window: a stamp followed by the owned preview-sized picture.
// Move-only, through its FramePtr.
struct HeldFrame : FrameStamp {
  FramePtr frame;
  uint64_t bytes = 0;     // what this frame counts against the window's budget
  int64_t position = -1;  // byte position of the packet the picture came from
  // Of its pixels, once asked for (0: not yet): a held picture does not change, and a walk
  // back through the window then reads none of them again.
  mutable uint64_t digest = 0;

  FramePlace place() const { return {pts, position}; }
};

// The window's budget rule, for held frames and for an unheld picture counted in front of
// them alike: the front goes while the window is over budget, never below two frames.
inline bool evicts_front(uint64_t bytes, uint64_t budget, size_t frames) {
  return bytes > budget && frames >= 3;
}

// Lends the window's budget beyond `kept` away for as long as it lives, and gives it back on
// every way out.
class BudgetLoan {
 public:
  BudgetLoan(uint64_t& budget, uint64_t kept)
      : budget_(budget), lent_(budget > kept ? budget - kept : 0) {
    budget_ -= lent_;
  }
  ~BudgetLoan() { budget_ += lent_; }
  BudgetLoan(const BudgetLoan&) = delete;
  BudgetLoan& operator=(const BudgetLoan&) = delete;

 private:
  uint64_t& budget_;
  uint64_t lent_;
};

// The window of decoded frames, oldest first, with the current one and the byte budget: the
// one owner of what is held, so that the bytes it counts always sum its frames' and the
// budget is lent only through a loan that gives it back. The current index lies in the
// window whenever it holds a frame.
class FrameWindow {
 public:
  bool empty() const { return frames_.empty(); }
  size_t size() const { return frames_.size(); }
  const HeldFrame& operator[](size_t index) const { return frames_[index]; }
  const HeldFrame& front() const { return frames_.front(); }
  const HeldFrame& back() const { return frames_.back(); }
  std::deque<HeldFrame>::const_iterator begin() const { return frames_.begin(); }
  std::deque<HeldFrame>::const_iterator end() const { return frames_.end(); }

  uint64_t current_index() const { return current_; }
  const HeldFrame* current() const {
    return current_ < frames_.size() ? &frames_[current_] : nullptr;
  }
  // Moves the current frame within the window; false (and no move) past either end.
  bool move_current(int64_t by);
  void set_current(uint64_t index);

  uint64_t held_bytes() const { return held_bytes_; }
  uint64_t budget() const { return budget_; }
  void set_budget(uint64_t bytes) { budget_ = bytes; }
  // Lends the budget beyond `kept` for the loan's life.
  BudgetLoan lend(uint64_t kept) { return BudgetLoan(budget_, kept); }
  // Frames of the window's average size the budget holds (0 while it holds none).
  uint64_t capacity_frames() const;
  // The budget's rule with `bytes_in_front` counted as one more frame before the oldest.
  bool would_evict_in_front(uint64_t bytes_in_front) const {
    return evicts_front(held_bytes_ + bytes_in_front, budget_, frames_.size() + 1);
  }

  // Appends a frame, which becomes the current one.
  void push(HeldFrame held);
  // Evicts the oldest frames while over budget, never below two frames nor the current one.
  void evict_over_budget();
  // Keeps the newest `frames` only; the newest becomes the current one.
  void keep_newest(size_t frames);
  void clear();
  // Takes every frame out, leaving the window empty.
  std::deque<HeldFrame> take_all();
  // After a refill: drops the newest frame (the anchor, decoded again), makes the one before
  // it current and puts the saved frames, which begin with the anchor, back behind it.
  void splice_saved(std::deque<HeldFrame> saved);

 private:
  std::deque<HeldFrame> frames_;
  uint64_t current_ = 0;
  uint64_t held_bytes_ = 0;
  uint64_t budget_ = 0;
};

// libavcodec's count of stamps found running backwards, which picks each picture's
// best-effort stamp: its pts until the pts have been found faulty more often than the dts,
// then its dts.
struct FaultyStamps {
  int64_t faulty_pts = 0;
  int64_t faulty_dts = 0;
  int64_t last_pts = INT64_MIN;
  int64_t last_dts = INT64_MIN;
  // Counts the picture in; true once the pts have been found faulty more often than the
  // dts, so that libavcodec stamps this picture by its dts: a decoder opened at a later
  // keyframe, which has not counted the earlier faults, may stamp it by its pts.
  bool stamps_by_dts(const AVFrame* picture);
};

// What the decoder has done since it was last reset; a seek starts a new session.
struct DecoderSession {
  bool draining = false;  // the end of the input was sent
  // The decoder refused the packet in the navigator's packet (AVERROR(EAGAIN)) while it
  // still had pictures to give: it is sent again once they are taken.
  bool packet_pending = false;
  // After a container seek, packets are dropped until a keyframe.
  bool awaiting_keyframe = false;
  // Decoding began at the first packet (not at a keyframe found by a seek), and how many
  // pictures it has delivered since.
  bool decoding_from_start = true;
  uint64_t pictures_from_start = 0;
  // Damaged packets and pictures skipped since the last picture decoded.
  int32_t failures_without_picture = 0;
  // Place of the last picture the decoder delivered in this session.
  bool position_valid = false;
  FramePlace position;
  int64_t position_duration = 0;  // in ticks, at least 1
  // The session's first picture carried no timestamp in a stream that has them, so its
  // stamp could only be guessed: a seek must start further back.
  bool landing_stamp_guessed = false;
  // After a backward refill the window reaches past the decoder's position: forward
  // decoding then drops the pictures up to this one, which the window already holds.
  bool skip_pending = false;
  FramePlace skip_through;
  // Where decoding started: the time a container seek was asked for (unused from the
  // start). Damage shows a picture as the decoder's history before that keyframe makes it
  // (references, reordering, faulty stamps): only what came after a keyframe decoded
  // cleanly in this session, or after a start known to precede all damage, is the plain
  // decode's.
  double started_at_seconds = 0.0;
  double first_seconds = 0.0;   // time of the session's first picture
  int32_t clean_keyframes = 0;  // keyframe pictures shown before any damage
  bool damage_seen = false;
  bool damage_explained = false;  // the decoder's history at the damage is the plain one
  int32_t failures_total = 0;     // damaged packets and pictures in this session
  FaultyStamps faulty_stamps;     // kept by a count by decoding only
};

// What the stream taught us on the way; true for the navigator's life.
struct StreamFacts {
  // Stamps of the untimed pictures that open a stream whose later pictures are timed,
  // counted back from the first timed one; learnt once, on the first decode from the start.
  bool leading_stamps_known = false;
  std::vector<int64_t> leading_stamps;
  // Byte position up to which the stream's clock was found to run without a reset, and
  // whether a reset was found (then a stamp alone does not say which run a frame is in).
  int64_t clock_steady_through = -1;
  bool clock_reset_seen = false;
  // The stream's first picture, once a decode from the first packet has shown it.
  bool first_known = false;
  FramePlace first;
  // Stream headers that only the first picture's packet carries, given to every decoder
  // with the container's own, so that one opened at a later keyframe decodes as a decoder
  // that began at the first packet does.
  std::vector<uint8_t> leading_headers;
  // A decoder met damage: pictures concealed with frame threads, and those decoded from
  // them, differ from one decode to the next, so pixels no longer tell two roads apart.
  bool pixels_vary = false;
  // The earliest damage a decode with the plain decode's history has shown, and where that
  // decode started (from_start: the first packet): a road to a later frame starts there,
  // since a decoder that saw the damage may stamp every later picture differently.
  bool damage_known = false;
  int64_t damage_pts = 0;
  bool damage_preroll_from_start = false;
  double damage_preroll_seconds = 0.0;
};

// The walk of one full seek or refill attempt to its target (unheld_frames.cpp): pictures
// that the budget would evict before the landing are decoded but neither scaled nor held.
// It lives on the caller's stack; the navigator points to it while it runs.
struct UnheldWalk {
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
};

// The exact frames of the stream, in display order: each one's stamp, the byte position of
// its packet (-1 unknown) and whether it is a keyframe. Written once by the prescan worker,
// before the flag that publishes it.
struct FrameList {
  std::vector<int64_t> pts;
  std::vector<int64_t> positions;
  std::vector<uint8_t> keyframes;
  bool sorted = true;  // pts ascends throughout (no clock reset, no damage out of order)
  // A count by decoding met damage: the earliest picture it showed past damage.
  bool damage_known = false;
  int64_t damage_pts = 0;
};

// One count's list and how far it has got. The worker stores kDone (release) once the list
// is in place, or kNoCount when it ends without one (a stream without timestamps, an
// unreadable input): read the list only after an acquire load has seen kDone.
enum class CountState : uint8_t { kIdle, kRunning, kDone, kNoCount };
struct CountSlot {
  std::atomic<CountState> state{CountState::kIdle};
  FrameList list;

  bool done() const { return state.load(std::memory_order_acquire) == CountState::kDone; }
  bool running() const { return state.load() == CountState::kRunning; }
};

// The two counts and the one worker that runs them, one at a time.
struct Counts {
  CountSlot demuxed;
  CountSlot decoded;
  std::thread worker;                       // started by start_prescan, joined by ~Impl
  std::atomic<bool> stop_requested{false};  // set by ~Impl only
  std::atomic<float> progress{0.0f};        // fraction of the file read, any thread
  // The caller's thread only: frame_count waits for the count by decoding once the caller
  // has asked for it; the damage that count found has been taken into the stream's facts;
  // the list came from options.index_dir, with no worker run for it.
  bool by_decoding = false;
  bool decoded_damage_adopted = false;
  bool from_saved_index = false;

  bool running() const { return demuxed.running() || decoded.running(); }
};

// The demuxer on the opened input, replaced as a whole when the input is opened again.
struct OpenedInput {
  IoDeadline io_deadline;  // bounds every call on format_context, which points to it
  FormatContextPtr format_context;
  AVStream* video_stream = nullptr;  // owned by format_context
  // No packet has been read since the demuxer was opened: it stands at the first packet.
  bool fresh = true;
  // The input's size in bytes when it was opened (-1 unknown): a reopened input must match.
  int64_t bytes = -1;
};

// The current frame converted for a caller, and which picture and layout it shows: stamps
// can repeat, so its place and frame tell it.
struct ConvertedFrame {
  ScalerPtr scaler;
  std::vector<uint8_t> pixels;
  FramePlace place;
  const AVFrame* frame = nullptr;
  PixelFormat format = PixelFormat::kRgba;
  bool valid = false;
};

// What a scaled picture of one pixel format and size counts against the budget, measured
// once.
struct ScaledSize {
  int source_format = -1;
  PreviewSize size;
  uint64_t bytes = 0;
};

// Counters over the navigator's life, for tests and benchmarks.
struct DecodeCounters {
  uint64_t frames_decoded = 0;  // pictures the decoder delivered
  uint64_t unheld = 0;          // pictures decoded but not held
  uint64_t skip_offers = 0;     // packets offered to the decoder for skipping
  uint64_t redone = 0;          // seeks and refill attempts done again holding every picture
  uint64_t prerolled = 0;       // roads done again from further back over damage
};

struct FrameNavigator::Impl {
  Impl();
  // Tears down in the one safe order; see navigator.cpp.
  ~Impl();
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // Fields, in the order of the record; ~Impl releases them in the order it writes out.
  // Set by open and read-only afterwards. The prescan worker reads info.source_path,
  // info.stream_index and options.
  OpenOptions options;
  StreamInfo info;
  OpenedInput demux;
  CodecContextPtr decoder_context;
  FramePtr decode_frame;
  PacketPtr packet;
  ScalerPtr window_scaler;
  ConvertedFrame output;
  FrameWindow window;
  DecoderSession session;
  StreamFacts facts;
  // Pictures a landing leaves unheld: the walk under way, and what a scaled picture of this
  // pixel format counts against the budget.
  UnheldWalk* active_walk = nullptr;
  ScaledSize scaled_size;
  DecodeCounters counters;
  // The decoders' picture buffers: neither zero-filled nor given back while frames come and
  // go. Decoder threads call it while a decode runs. Freed after the decoder; buffers still
  // held outlive it.
  std::unique_ptr<FramePool> frame_pool;
  // Shared with the counting worker; nothing else crosses threads.
  Counts counts;
  // What the last call met on its way without failing (damage decoded past); a failure's
  // message goes to the caller's error_text instead.
  std::string warning;
  // Set on the navigator that a count by decoding opens for itself: pictures are decoded
  // and stamped as the caller's navigator does, but neither scaled nor held.
  bool counting_only = false;

  // Opening (open.cpp).
  bool open_input(const std::string& path, std::string* error_text);
  bool choose_stream(const std::string& path, const AVCodec** decoder, std::string* error_text);
  void describe_stream(const AVCodec& decoder);
  bool open_decoder(const AVCodec* decoder, std::string* error_text);
  bool reopen_demuxer(std::string* error_text);
  bool input_can_be_read_again() const;

  // Timeline (timeline.cpp).
  double pts_to_seconds(int64_t pts) const;
  int64_t seconds_to_pts(double seconds) const;
  int64_t estimated_frame_count() const;

  // Decode pump: 1 a picture is in decode_frame, 0 end of stream, -1 failure.
  int32_t decode_pump(std::string* error_text = nullptr);
  bool note_decode_failure(const char* prefix, int result, std::string* error_text);

  // Preview conversion (preview.cpp).
  bool hold_frame(AVFrame* source, HeldFrame& held, std::string* error_text = nullptr);
  PreviewSize held_size_of(const AVFrame* picture) const;
  static uint64_t frame_bytes(const AVFrame* frame);
  FramePixels current_pixels(PixelFormat format);
  uint64_t current_pixel_digest() const;

  // Frame window (frame_window.cpp).
  const HeldFrame* current_frame() const;
  bool decode_next_frame(std::string* error_text = nullptr);
  void clear_window();
  int64_t estimated_frame_index() const;
  int64_t stamp_for(const AVFrame* frame) const;
  bool stream_has_timestamps() const;
  int64_t frame_interval_ticks(const AVFrame* frame) const;
  bool learn_leading_stamps();

  // Seek (seek.cpp): the window's own roads, then a landing.
  bool seek_to_seconds(double seconds, std::string* error_text);
  bool seek_to_pts(int64_t target, double seconds, std::string* error_text);
  // The stream's stamps are known to ascend (a sorted frame list), or, without a list,
  // nothing has shown otherwise: only then may a seek take a shortcut.
  bool stamps_ascend() const;
  bool locate_in_window(int64_t target);

  // Landing (landing.cpp): the roads to a target and their verdicts.
  struct LandingGoal {
    int64_t pts = 0;  // by time: the first frame at or after it; by place: the anchor's stamp
    double seconds = 0.0;
    bool by_place = false;  // land on the anchor itself, with a frame before it
    FramePlace anchor;
    double first_back_off = 0.0;  // seconds before the target the first road starts
    int steps_after = 0;          // frames decoded past the landing on the same road

    static LandingGoal at_time(int64_t pts, double seconds) {
      LandingGoal goal;
      goal.pts = pts;
      goal.seconds = seconds;
      return goal;
    }
    static LandingGoal at_place(FramePlace anchor, double seconds) {
      LandingGoal goal = at_time(anchor.pts, seconds);
      goal.by_place = true;
      goal.anchor = anchor;
      return goal;
    }
  };
  enum class Verdict {
    kLanded,
    kLate,
    kUntimed,
    kEarlierRun,
    kDamage,
    kUnheldWrong,
    kRefused,
    kEnded,
    kFailed
  };
  bool land(const LandingGoal& goal, std::string* error_text);
  Verdict take_road(const LandingGoal& goal, double back_off, bool hold_every_picture,
                    bool& positioned, std::string* error_text);
  bool demux_seek(int64_t target, std::string* error_text = nullptr);
  bool read_from_start(std::string* error_text);
  void reset_decoding(bool await_keyframe);
  bool landed_in_time(int64_t target) const;
  bool earlier_clock_run_reaches(int64_t target, int64_t landing_position);
  bool stamps_may_repeat() const;

  // Damage (damage.cpp): what a decode met, and where a road past it must start.
  void note_damage(const AVFrame* picture, int64_t pts);
  bool damage_unexplained() const;
  double preroll_back_off(int64_t target, double seconds, double back_off) const;
  double earlier_back_off(double seconds, double back_off) const;
  bool redo_over_damage(std::string* error_text);
  bool adopt_decoded_damage(std::string* error_text, bool land_again);

  // Stepping (stepping.cpp).
  // Steps take in a finished count by decoding's damage first; advance and retreat move
  // without it, for roads that took it in already.
  bool step_forward(std::string* error_text);
  bool step_backward(std::string* error_text);
  bool advance(std::string* error_text);
  bool retreat(std::string* error_text);
  bool refill_backward(std::string* error_text);
  bool at_stream_start(const HeldFrame& frame) const;

  // Unheld pictures of a full seek or refill (unheld_frames.cpp).
  void begin_unheld(UnheldWalk& started, int64_t target, double seconds, bool allowed);
  bool end_unheld();
  bool pass_unheld(const AVFrame* picture, int64_t pts, double seconds);
  void evict_unheld();
  uint64_t held_size(const AVFrame* picture);
  double landing_seconds() const;
  double unheld_margin_frames(uint64_t bytes) const;
  bool can_skip_unreferenced() const;
  bool skips_left_stamps_alone();
  void offer_skip(const AVPacket& next);

  // Frames by number (frame_index.cpp).
  bool seek_to_frame(int64_t index, std::string* error_text);
  int64_t frame_count(std::string* error_text);
  int64_t frame_index_for_seconds(double seconds) const;
  bool keyframe_between(int64_t after, int64_t through) const;
  bool move_to_frame(int64_t index, std::string* error_text);
  bool visit_frames(const std::vector<int64_t>& indices, PixelFormat format,
                    const FrameVisitor& visit, std::string* error_text);
  bool visit_frames_at_seconds(const std::vector<double>& seconds, PixelFormat format,
                               const FrameVisitor& visit, std::string* error_text);

  // Prescan (prescan.cpp).
  bool start_prescan(CountBy how);
  void run_prescan();
  void run_decoding_count();
  // The worker's share of the input read so far, refreshed every so many frames counted.
  void report_progress(AVFormatContext& demuxer, int64_t total_size, size_t counted);
  // Puts a finished list in its slot, then marks it done.
  void publish_count(FrameList list, CountSlot& slot);
  // Saved frame lists (saved_index.cpp): a worker saves what it counted in options.index_dir
  // when the file is still the one it began counting; start_prescan publishes a saved list
  // instead of starting a worker.
  FileIdentity identify_for_saving() const;
  void save_count(const FrameList& list, bool decoded_list, const FileIdentity& counted) const;
  bool load_saved_count(bool decoding);
  const FrameList* exact_list() const;
  void stop_prescan();
  int64_t prescan_frame_count() const;
  int64_t exact_frame_index() const;
  int64_t exact_frames_between(double from_seconds, double to_seconds) const;
  double exact_frame_seconds(int64_t index) const;
};

// A batch visitor that copies each frame into frames[request]; frames is sized by the caller.
FrameVisitor copy_into(std::vector<FrameCopy>& frames);

// Points the navigator at one walk for as long as it runs, and on every way out (an early
// return, a failed allocation) ends it: the decoder skips nothing afterwards.
class UnheldScope {
 public:
  explicit UnheldScope(FrameNavigator::Impl& nav) : nav_(nav) {}
  ~UnheldScope();
  UnheldScope(const UnheldScope&) = delete;
  UnheldScope& operator=(const UnheldScope&) = delete;

  UnheldWalk walk;

 private:
  FrameNavigator::Impl& nav_;
};

}  // namespace clipwalk
