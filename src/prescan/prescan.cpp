// The background prescan: a second demuxer counts the video stream's timestamped packets.
#include <sys/stat.h>

#include <algorithm>
#include <new>
#include <system_error>

#include "clipwalk/frame_navigator.h"
#include "navigator/libav.h"

namespace clipwalk {

namespace {
// Packets between two progress updates: often enough for a progress bar, rarely enough
// that the position query costs nothing next to the demuxing.
constexpr size_t kPrescanProgressInterval = 256;
}  // namespace

bool FrameNavigator::start_prescan() {
  if (prescan_running.load()) return true;
  if (prescan_completed.load(std::memory_order_acquire)) return true;
  // An earlier run that ended without result has left its thread to be joined.
  if (prescan_thread.joinable()) prescan_thread.join();
  // A pipe or device cannot be read a second time: a second reader would block for ever
  // or share its bytes with the navigator's own demuxer.
  struct stat info {};
  if (stat(source_path.c_str(), &info) == 0 &&
      (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) || S_ISCHR(info.st_mode))) {
    return false;
  }
  prescan_running.store(true);
  try {
    prescan_thread = std::thread(&FrameNavigator::run_prescan, this);
  } catch (const std::system_error&) {
    prescan_running.store(false);  // no worker will ever clear it
    return false;
  }
  return true;
}

void FrameNavigator::stop_prescan() {
  prescan_stop_requested.store(true);
  if (prescan_thread.joinable()) prescan_thread.join();
}

void FrameNavigator::run_prescan() {
  std::vector<int64_t> stamps;
  bool complete = false;
  AVFormatContext* raw_format = nullptr;
  if (avformat_open_input(&raw_format, source_path.c_str(), nullptr, nullptr) >= 0) {
    FormatContextPtr demuxer(raw_format);
    PacketPtr reader;
    if (avformat_find_stream_info(demuxer.get(), nullptr) >= 0) reader.reset(av_packet_alloc());
    if (reader && !prescan_stop_requested.load()) {
      const int64_t total_size = demuxer->pb != nullptr ? avio_size(demuxer->pb) : 0;
      try {
        complete = true;
        while (av_read_frame(demuxer.get(), reader.get()) >= 0) {
          const bool counts = reader->stream_index == video_stream_index &&
                              (reader->pts != AV_NOPTS_VALUE || reader->dts != AV_NOPTS_VALUE);
          if (counts) stamps.push_back(reader->pts != AV_NOPTS_VALUE ? reader->pts : reader->dts);
          av_packet_unref(reader.get());
          if (total_size > 0 && stamps.size() % kPrescanProgressInterval == 0 &&
              demuxer->pb != nullptr) {
            const int64_t position = avio_seek(demuxer->pb, 0, SEEK_CUR);
            prescan_progress.store(static_cast<float>(static_cast<double>(position) /
                                                      static_cast<double>(total_size)));
          }
          if (prescan_stop_requested.load()) break;
        }
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

  if (!complete || prescan_stop_requested.load() || stamps.empty()) {
    prescan_running.store(false);
    return;
  }
  std::sort(stamps.begin(), stamps.end());
  prescan_pts = std::move(stamps);
  prescan_progress.store(1.0f);
  prescan_completed.store(true, std::memory_order_release);
  prescan_running.store(false);
}

int64_t FrameNavigator::prescan_frame_count() const {
  if (!prescan_completed.load(std::memory_order_acquire)) return -1;
  return static_cast<int64_t>(prescan_pts.size());
}

int64_t FrameNavigator::exact_frame_index() const {
  if (!prescan_completed.load(std::memory_order_acquire)) return -1;
  const FrameStamp* current = current_stamp();
  if (current == nullptr) return -1;
  const auto n = static_cast<int64_t>(prescan_pts.size());
  const auto bound = std::lower_bound(prescan_pts.begin(), prescan_pts.end(), current->pts);
  const auto index = static_cast<int64_t>(bound - prescan_pts.begin());
  return index == n ? n - 1 : index;
}

int64_t FrameNavigator::exact_frames_between(double from_seconds, double to_seconds) const {
  // A bound that is not a number has no answer (it would otherwise give a negative count).
  if (!(from_seconds < to_seconds)) return -1;
  if (!prescan_completed.load(std::memory_order_acquire)) return -1;
  if (prescan_pts.empty()) return 0;
  const auto lower = [this](double bound) {
    return std::partition_point(
               prescan_pts.begin(), prescan_pts.end(),
               [this, bound](int64_t pts) { return pts_to_seconds(pts) < bound; }) -
           prescan_pts.begin();
  };
  return static_cast<int64_t>(lower(to_seconds) - lower(from_seconds));
}

double FrameNavigator::exact_frame_seconds(int64_t index) const {
  if (index < 0 || !prescan_completed.load(std::memory_order_acquire) ||
      index >= static_cast<int64_t>(prescan_pts.size())) {
    return -1.0;
  }
  return pts_to_seconds(prescan_pts[static_cast<size_t>(index)]);
}

}  // namespace clipwalk
