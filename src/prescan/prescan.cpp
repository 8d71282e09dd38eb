// The background prescan: a second demuxer counts the video stream's timestamped packets.
#include <algorithm>
#include <new>
#include <system_error>

#include "navigator/demuxer.h"
#include "navigator/libav.h"
#include "navigator/navigator_impl.h"
#include "navigator/timeline.h"

namespace clipwalk {

namespace {
// Frames counted between two progress updates: often enough for a progress bar, rarely
// enough that the position query costs nothing next to the demuxing or decoding.
constexpr size_t kPrescanProgressInterval = 256;
}  // namespace

bool FrameNavigator::Impl::start_prescan(CountBy how) {
  const bool decoding = how == CountBy::kDecoding;
  // Once asked for, the count by decoding is the one frame_count waits for.
  counts.by_decoding = counts.by_decoding || decoding;
  CountSlot& slot = decoding ? counts.decoded : counts.demuxed;
  if (slot.done()) return true;
  // A decoding worker's list serves either kind; a demuxing one is short, and is waited for
  // before a decoding one starts (one worker at a time).
  if (counts.decoded.running() || (!decoding && counts.demuxed.running())) return true;
  // An earlier run has left its thread to be joined.
  if (counts.worker.joinable()) counts.worker.join();
  if (slot.done()) return true;
  if (load_saved_count(decoding)) return true;
  // A pipe or device cannot be read a second time: a second reader would block for ever
  // or share its bytes with the navigator's own demuxer.
  if (!source.input_can_be_read_again()) return false;
  const CountState before = slot.state.load();
  slot.state.store(CountState::kRunning);
  try {
    counts.worker = std::thread(
        decoding ? &FrameNavigator::Impl::run_decoding_count : &FrameNavigator::Impl::run_prescan,
        this);
  } catch (const std::exception&) {
    // No thread (system_error) or no memory for its state (bad_alloc): no worker will
    // ever end the run.
    slot.state.store(before);
    return false;
  }
  return true;
}

void FrameNavigator::Impl::stop_prescan() {
  counts.stop_requested.store(true);
  if (counts.worker.joinable()) counts.worker.join();
}

namespace {

// One counted packet: its stamp and its place in the file.
struct CountedPacket {
  int64_t pts;
  int64_t position;
  bool timed;
  bool key;
};

// Untimed packets cannot be placed by demuxing alone; at a constant rate they are the
// frames missing between the timed stamps. The leading ones go before the first timed
// stamp, the rest fill the gaps in order and then follow the last, one duration apart;
// their position is left unknown, so that they are found by stamp.
void place_untimed(std::vector<CountedPacket>::iterator begin,
                   std::vector<CountedPacket>::iterator end, size_t leading, int64_t duration,
                   bool start_lost) {
  std::vector<int64_t> timed;
  for (auto it = begin; it != end; ++it) {
    if (it->timed) timed.push_back(it->pts);
  }
  const size_t untimed = static_cast<size_t>(end - begin) - timed.size();
  if (untimed == 0 || timed.empty()) return;
  std::sort(timed.begin(), timed.end());
  // The gaps between the timed stamps take the untimed packets after the leading ones.
  std::vector<int64_t> gaps;
  for (size_t k = 0; k + 1 < timed.size() && leading + gaps.size() < untimed; ++k) {
    // A gap holds a frame only with half a duration to spare: stamps rounded to a coarse
    // time base (33, 33, 34 ms) leave no frame between them.
    for (int64_t slot = saturating_add(timed[k], duration);
         saturating_add(slot, duration / 2) < timed[k + 1] && leading + gaps.size() < untimed;
         slot = saturating_add(slot, duration)) {
      gaps.push_back(slot);
    }
  }
  // Those left over follow the last stamp; where the stream lost its start (a copy cut
  // mid-GOP), they are the pictures shown before the first timed one, such as the B-frames
  // that follow it in decode order, and go before it with the leading ones.
  const size_t left_over = untimed - leading - gaps.size();
  std::vector<int64_t> slots(start_lost ? leading + left_over : leading);
  // Counted back one duration at a time: a container's duration can be anything, and
  // times a count it would overflow.
  int64_t before = timed.front();
  for (size_t k = slots.size(); k > 0; --k) {
    before = saturating_add(before, -duration);
    slots[k - 1] = before;
  }
  slots.insert(slots.end(), gaps.begin(), gaps.end());
  for (int64_t slot = timed.back(); slots.size() < untimed;) {
    slot = saturating_add(slot, duration);
    slots.push_back(slot);
  }
  auto next = slots.begin();
  for (auto it = begin; it != end; ++it) {
    if (!it->timed) *it = {*next++, -1, false, it->key};
  }
}

// Display order: a clock that starts again (decode stamps running backwards) begins a new
// run, and each run is shown in stamp order; equal stamps keep their decode order.
void sort_into_display_order(std::vector<CountedPacket>& packets,
                             const std::vector<size_t>& run_starts, size_t leading_untimed,
                             int64_t duration, bool start_lost) {
  for (size_t run = 0; run < run_starts.size(); ++run) {
    const auto begin = packets.begin() + static_cast<std::ptrdiff_t>(run_starts[run]);
    const auto end = run + 1 < run_starts.size()
                         ? packets.begin() + static_cast<std::ptrdiff_t>(run_starts[run + 1])
                         : packets.end();
    place_untimed(begin, end, run == 0 ? leading_untimed : 0, duration, run == 0 && start_lost);
    std::stable_sort(begin, end,
                     [](const CountedPacket& a, const CountedPacket& b) { return a.pts < b.pts; });
  }
}

// A stream whose packets carry only decode stamps (AVI and its like: a presentation stamp,
// where the demuxer sets one, equals the decode stamp) is stamped by the decoder with the
// stamp of the packet it is decoding when a picture comes out: delay packets after the
// picture's own, by its reordering delay, and the last pictures, drained without a packet,
// one duration after the picture before. The pictures come out in the packets' stamp
// order, so the m-th carries the stamp of packet m + delay; which packet each picture came
// from is not known without decoding, so positions are left unknown and frames are found
// by stamp.
void stamp_as_decoded(std::vector<CountedPacket>& packets, size_t delay, int64_t duration) {
  const size_t n = packets.size();
  for (size_t m = 0; m < n; ++m) {
    // A stream shorter than the delay drains its first picture with its own stamp.
    if (m + delay < n) {
      packets[m].pts = packets[m + delay].pts;
    } else if (m > 0) {
      packets[m].pts = saturating_add(packets[m - 1].pts, duration);
    }
    packets[m].position = -1;
  }
}

}  // namespace

void FrameNavigator::Impl::run_prescan() {
  const FileIdentity counting = identify_for_saving();
  std::vector<CountedPacket> counted;
  std::vector<size_t> run_starts;
  bool complete = false;
  IoDeadline deadline;  // outlives the demuxer that polls it
  deadline.stop = &counts.stop_requested;
  // What the navigator's reads have waited for counts here too: the end of a live
  // playlist is not waited for again.
  deadline.shares_waits_with = &source.demux.io_deadline;
  if (FormatContextPtr demuxer = open_demuxer(source.info.source_path, deadline, nullptr)) {
    PacketPtr reader(av_packet_alloc());
    if (reader && !counts.stop_requested.load()) {
      deadline.arm();
      const int64_t total_size = demuxer->pb != nullptr ? avio_size(demuxer->pb) : 0;
      // No start time although packets are timed: the stream's first stamps were lost.
      const bool start_lost =
          demuxer->streams[source.info.stream_index]->start_time == AV_NOPTS_VALUE;
      try {
        complete = true;
        // Only what a plain decode shows counts: nothing before the first keyframe (it
        // cannot be decoded) and nothing the container marks discarded (an edit list's
        // cut). A packet marked corrupt in MPEG-TS/PS lost bytes of a start-code stream,
        // which decoders conceal; elsewhere the mark means a sample cut short (a truncated
        // download), which decodes to nothing.
        const bool corrupt_counts = (demuxer->iformat->flags & AVFMT_TS_DISCONT) != 0;
        bool keyframe_seen = false;
        ClockRuns clock;
        size_t untimed_leading = 0;
        bool any_timed = false;
        int64_t duration = 0;            // the first packet duration the container gives
        bool decode_stamps_only = true;  // every packet's pts is unset or its dts
        for (deadline.arm(); av_read_frame(demuxer.get(), reader.get()) >= 0; deadline.arm()) {
          const AVPacket& p = *reader;
          keyframe_seen = keyframe_seen || (p.stream_index == source.info.stream_index &&
                                            (p.flags & AV_PKT_FLAG_KEY) != 0);
          const bool counted_packet = p.stream_index == source.info.stream_index && keyframe_seen &&
                                      (p.flags & AV_PKT_FLAG_DISCARD) == 0 &&
                                      (corrupt_counts || (p.flags & AV_PKT_FLAG_CORRUPT) == 0);
          if (counted_packet) {
            if (clock.starts_run(p) || run_starts.empty()) run_starts.push_back(counted.size());
            if (duration <= 0 && p.duration > 0) duration = p.duration;
            const bool timed = p.pts != AV_NOPTS_VALUE || p.dts != AV_NOPTS_VALUE;
            if (!timed && !any_timed) ++untimed_leading;
            any_timed = any_timed || timed;
            decode_stamps_only = decode_stamps_only && p.dts != AV_NOPTS_VALUE &&
                                 (p.pts == AV_NOPTS_VALUE || p.pts == p.dts);
            counted.push_back({timed ? (p.pts != AV_NOPTS_VALUE ? p.pts : p.dts) : 0, p.pos, timed,
                               (p.flags & AV_PKT_FLAG_KEY) != 0});
          }
          av_packet_unref(reader.get());
          report_progress(*demuxer, total_size, counted.size());
          if (counts.stop_requested.load()) break;
        }
        if (!any_timed) counted.clear();  // no stamp to count from: no result
        const int delay = demuxer->streams[source.info.stream_index]->codecpar->video_delay;
        if (decode_stamps_only && delay > 0 && run_starts.size() == 1) {
          stamp_as_decoded(counted, static_cast<size_t>(delay), duration > 0 ? duration : 1);
        }
        sort_into_display_order(counted, run_starts, untimed_leading, duration > 0 ? duration : 1,
                                start_lost);
      } catch (const std::bad_alloc&) {
        // No memory for the list: end without result rather than escape the thread.
        av_packet_unref(reader.get());
        complete = false;
      }
    }
    // The packet is freed before the demuxer is closed, on every path.
    reader.reset();
    demuxer.reset();
  }

  if (!complete || counts.stop_requested.load() || counted.empty()) {
    counts.demuxed.state.store(CountState::kNoCount);
    return;
  }
  FrameList list;
  try {
    list.pts.reserve(counted.size());
    list.positions.reserve(counted.size());
    list.keyframes.reserve(counted.size());
  } catch (const std::bad_alloc&) {
    counts.demuxed.state.store(CountState::kNoCount);
    return;
  }
  for (const CountedPacket& entry : counted) {
    list.pts.push_back(entry.pts);
    list.positions.push_back(entry.position);
    list.keyframes.push_back(entry.key ? 1 : 0);
  }
  save_count(list, false, counting);
  publish_count(std::move(list), counts.demuxed);
}

void FrameNavigator::Impl::report_progress(AVFormatContext& demuxer, int64_t total_size,
                                           size_t counted) {
  if (total_size <= 0 || counted % kPrescanProgressInterval != 0 || demuxer.pb == nullptr) return;
  const int64_t position = avio_seek(demuxer.pb, 0, SEEK_CUR);
  counts.progress.store(
      static_cast<float>(static_cast<double>(position) / static_cast<double>(total_size)));
}

void FrameNavigator::Impl::publish_count(FrameList list, CountSlot& slot) {
  // Readers touch the list only after they have seen it done.
  list.sorted = std::is_sorted(list.pts.begin(), list.pts.end());
  slot.list = std::move(list);
  counts.progress.store(1.0f);
  slot.state.store(CountState::kDone, std::memory_order_release);
}

const FrameList* FrameNavigator::Impl::exact_list() const {
  // The count by decoding, where there is one, knows the pictures a decoder drops.
  if (counts.decoded.done()) return &counts.decoded.list;
  if (counts.demuxed.done()) return &counts.demuxed.list;
  return nullptr;
}

int64_t FrameNavigator::Impl::prescan_frame_count() const {
  const FrameList* list = exact_list();
  return list != nullptr ? static_cast<int64_t>(list->pts.size()) : -1;
}

int64_t FrameNavigator::Impl::exact_frame_index() const {
  const FrameList* list = exact_list();
  if (list == nullptr) return -1;
  const HeldFrame* current = current_frame();
  if (current == nullptr) return -1;
  const FramePlace place = window[window.current_index()].place();
  const std::vector<int64_t>& pts = list->pts;
  const std::vector<int64_t>& positions = list->positions;
  const auto n = static_cast<int64_t>(pts.size());
  // The packet the picture came from names it exactly, even among equal stamps.
  const auto matches = [&](int64_t index) {
    return same_frame(place,
                      {pts[static_cast<size_t>(index)], positions[static_cast<size_t>(index)]});
  };
  // A decoder that found the pts faulty stamps its pictures by dts: the packet alone then
  // tells which one the picture is.
  const auto by_packet = [&]() -> int64_t {
    if (place.position < 0) return -1;
    const auto found = std::find(positions.begin(), positions.end(), place.position);
    return found == positions.end() ? -1 : found - positions.begin();
  };
  if (!list->sorted) {
    // Runs of a clock that starts again: the picture is found by its packet, else by the
    // first entry with its stamp.
    int64_t first_equal = -1;
    for (int64_t index = 0; index < n; ++index) {
      if (matches(index)) return index;
      if (first_equal < 0 && pts[static_cast<size_t>(index)] == place.pts) first_equal = index;
    }
    const int64_t packet_index = by_packet();
    if (packet_index >= 0) return packet_index;
    return first_equal >= 0 ? first_equal : n - 1;
  }
  const auto bound = std::lower_bound(pts.begin(), pts.end(), place.pts);
  const auto lower = static_cast<int64_t>(bound - pts.begin());
  for (int64_t index = lower; index < n && pts[static_cast<size_t>(index)] == place.pts; ++index) {
    if (matches(index)) return index;
  }
  const int64_t packet_index = by_packet();
  if (packet_index >= 0) return packet_index;
  return lower == n ? n - 1 : lower;
}

int64_t FrameNavigator::Impl::exact_frames_between(double from_seconds, double to_seconds) const {
  // A bound that is not a number has no answer (it would otherwise give a negative count).
  if (!(from_seconds < to_seconds)) return -1;
  const FrameList* list = exact_list();
  if (list == nullptr) return -1;
  const std::vector<int64_t>& pts = list->pts;
  if (pts.empty()) return 0;
  if (!list->sorted) {
    // Runs of a clock that starts again: every entry is looked at.
    return std::count_if(pts.begin(), pts.end(), [&](int64_t stamp) {
      const double seconds = source.pts_to_seconds(stamp);
      return seconds >= from_seconds && seconds < to_seconds;
    });
  }
  const auto lower = [&](double bound) {
    return std::partition_point(
               pts.begin(), pts.end(),
               [this, bound](int64_t stamp) { return source.pts_to_seconds(stamp) < bound; }) -
           pts.begin();
  };
  return static_cast<int64_t>(lower(to_seconds) - lower(from_seconds));
}

double FrameNavigator::Impl::exact_frame_seconds(int64_t index) const {
  const FrameList* list = exact_list();
  if (index < 0 || list == nullptr || index >= static_cast<int64_t>(list->pts.size())) return -1.0;
  return source.pts_to_seconds(list->pts[static_cast<size_t>(index)]);
}

}  // namespace clipwalk
