// The navigator's state, private to the library: the decoding source, the window of decoded
// frames, the converted current frame and the counts' thread and lists.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "clipwalk/frame_navigator.h"
#include "navigator/decoding_source.h"
#include "navigator/ffmpeg_handles.h"
#include "navigator/preview.h"
#include "prescan/saved_index.h"

namespace clipwalk {

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

// The walk of one landing to its target (frame_window.cpp): pictures that the budget would
// evict before the landing are decoded but neither scaled nor held, and far before it the
// source is told which packets it may skip. It lives on the caller's stack; the navigator
// points to it while it runs.
struct UnheldWalk {
  bool active = false;
  int64_t target_pts = 0;
  double target_seconds = 0.0;
  bool standing = false;  // an unheld picture is counted in front of the window
  uint64_t standing_bytes = 0;
  bool any_passed = false;      // a picture was left unheld
  int64_t last_passed_pts = 0;  // stamp of the latest one
  // Packets of the pictures shown while the source offered packets for skipping.
  std::vector<int64_t> shown_positions;
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

// Counters over the navigator's life, for tests and benchmarks; the source counts the
// pictures decoded and the packets offered for skipping.
struct DecodeCounters {
  uint64_t unheld = 0;     // pictures decoded but not held
  uint64_t redone = 0;     // seeks and refill attempts done again holding every picture
  uint64_t prerolled = 0;  // roads done again from further back over damage
};

struct FrameNavigator::Impl {
  Impl();
  // Tears down in the one safe order; see open.cpp.
  ~Impl();
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // Fields, in the order of the record; ~Impl releases them in the order it writes out.
  // Set by open and read-only afterwards. The prescan worker reads options and source.info.
  OpenOptions options;
  // The decoding of the input; the counting worker opens a source of its own.
  DecodingSource source;
  ScalerPtr window_scaler;
  ConvertedFrame output;
  FrameWindow window;
  // Pictures a landing leaves unheld: the walk under way, and what a scaled picture of this
  // pixel format counts against the budget.
  UnheldWalk* active_walk = nullptr;
  ScaledSize scaled_size;
  DecodeCounters counters;
  // Shared with the counting worker; nothing else crosses threads.
  Counts counts;
  // What the last call met on its way without failing (damage decoded past); a failure's
  // message goes to the caller's error_text instead.
  std::string warning;

  // Opening (open.cpp): the source, then the budget its pictures ask for.
  bool open_input(const std::string& path, std::string* error_text);

  // Timeline (timeline.cpp).
  int64_t estimated_frame_count() const;

  // Preview conversion (preview.cpp).
  PreviewSize held_size_of(const AVFrame* picture) const;
  static uint64_t frame_bytes(const AVFrame* frame);
  FramePixels current_pixels(PixelFormat format);
  uint64_t current_pixel_digest() const;

  // Frame window (frame_window.cpp).
  const HeldFrame* current_frame() const;
  // The next picture the source delivers that the window takes, held as the newest frame.
  bool decode_next_frame(std::string* error_text = nullptr);
  // Scales a picture to the preview size, or takes it over where it has that size already.
  bool hold_frame(AVFrame* picture, HeldFrame& held, std::string* error_text = nullptr);
  void clear_window();
  int64_t estimated_frame_index() const;
  // Pictures a landing leaves unheld, and the packets it lets the source skip.
  void begin_unheld(UnheldWalk& started, int64_t target, double seconds, bool allowed);
  bool end_unheld();
  bool pass_unheld(const AVFrame* picture, int64_t pts, double seconds);
  void evict_unheld();
  uint64_t held_size(const AVFrame* picture);
  double landing_seconds() const;
  double unheld_margin_frames(uint64_t bytes) const;
  bool can_skip_unreferenced() const;
  bool skips_left_stamps_alone();

  // Seek and landing (landing.cpp). A seek takes the window's own roads where they are
  // sure, else a landing.
  bool seek_to_seconds(double seconds, std::string* error_text);
  bool seek_to_pts(int64_t target, double seconds, std::string* error_text);
  // The stream's stamps are known to ascend (a sorted frame list), or, without a list,
  // nothing has shown otherwise: only then may a seek take a shortcut.
  bool stamps_ascend() const;
  bool locate_in_window(int64_t target);

  // The landing: the roads to a target and their verdicts.
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
  bool landed_in_time(int64_t target) const;
  bool earlier_clock_run_reaches(int64_t target, int64_t landing_position);
  bool stamps_may_repeat() const;

  // Damage rules: where a road past what a decode met must start.
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
