// Opening a demuxer: the same way for the navigator, its reopening and the prescan, each
// call bounded in time and in the files it opens.
#include "navigator/demuxer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "navigator/errors.h"
#include "navigator/libav.h"

namespace clipwalk {

int IoDeadline::check(void* opaque) {
  auto* deadline = static_cast<IoDeadline*>(opaque);
  if (deadline->stop != nullptr && deadline->stop->load()) return 1;
  if (deadline->expired) return 1;
  if (!deadline->armed) return 0;
  const auto elapsed = std::chrono::steady_clock::now() - deadline->armed_at;
  if (elapsed > kGrace) {
    // Draw what this call has waited since the last poll from the input's allowance.
    IoDeadline& owner =
        deadline->shares_waits_with != nullptr ? *deadline->shares_waits_with : *deadline;
    const auto waited = elapsed - kGrace;
    const int64_t drawn = std::chrono::nanoseconds(waited - deadline->counted).count();
    deadline->counted = waited;
    if (owner.waits_left_ns.fetch_sub(drawn) - drawn <= 0) deadline->expired = true;
  }
  if (elapsed > kLimit) deadline->expired = true;
  return deadline->expired ? 1 : 0;
}

std::string IoDeadline::reason(int result) const {
  if (too_many_opens) {
    return "more than " + std::to_string(kMaxOpens) +
           " files opened at once (playlists that list each other?)";
  }
  if (expired) return "no answer within " + std::to_string(kLimit.count()) + " s";
  return error_description(result);
}

namespace {

// The local file that url names, as the file protocol opens it (a plain relative name
// against base_dir, as playlists resolve what they list); empty for other protocols.
std::filesystem::path local_file(const std::string& url, const std::filesystem::path& base_dir) {
  const char* protocol = avio_find_protocol_name(url.c_str());
  if (protocol == nullptr || std::strcmp(protocol, "file") != 0) return {};
  if (url.rfind("file:", 0) == 0) return url.substr(5);
  const std::filesystem::path path(url);
  return path.is_absolute() ? path : base_dir / path;
}

// A FIFO blocks its reader's open until a writer comes. Waiting for data on a
// non-blocking descriptor first bounds that wait (by `expired`, polled every 100 ms); the
// descriptor stays open while the demuxer opens the path, so that the writer is still there
// when it does.
template <typename Expired>
bool wait_for_fifo_writer(const std::string& path, int& descriptor, Expired expired) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISFIFO(info.st_mode)) return true;
  descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (descriptor < 0) return true;  // the demuxer's own open reports the reason
  pollfd waiting{descriptor, POLLIN, 0};
  while (poll(&waiting, 1, 100) <= 0) {
    if (expired()) return false;
  }
  return true;
}

struct DescriptorCloser {
  int& descriptor;
  ~DescriptorCloser() {
    if (descriptor >= 0) close(descriptor);
  }
};

using Opener = int (*)(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**);

// libavformat's own way of opening the files a demuxer reads, the same for every context.
Opener libav_opener() {
  static const Opener opener = [] {
    AVFormatContext* scratch = avformat_alloc_context();
    const Opener found = scratch != nullptr ? scratch->io_open : nullptr;
    avformat_free_context(scratch);
    return found;
  }();
  return opener;
}

// Opens what the demuxer asks for, as libavformat would, within the call's count of files.
int open_counted(AVFormatContext* format, AVIOContext** io, const char* url, int flags,
                 AVDictionary** options) {
  if (format->interrupt_callback.callback != &IoDeadline::check) return AVERROR(EINVAL);
  void* deadline = format->interrupt_callback.opaque;
  if (!static_cast<IoDeadline*>(deadline)->may_open()) return AVERROR(ELOOP);
  // A FIFO a playlist lists would block the open, past every deadline, until a writer comes.
  int fifo = -1;
  const DescriptorCloser closer{fifo};
  const std::string local = local_file(url, {}).string();
  if (!local.empty() &&
      !wait_for_fifo_writer(local, fifo, [&] { return IoDeadline::check(deadline) != 0; })) {
    return AVERROR(ETIMEDOUT);
  }
  const Opener opener = libav_opener();
  return opener != nullptr ? opener(format, io, url, flags, options) : AVERROR(ENOSYS);
}

// Reads a local playlist: false when path is no regular file or does not start as HLS
// playlists do.
bool read_playlist(const std::filesystem::path& path, std::string& text) {
  constexpr std::streamsize kMaxPlaylistBytes = 16 << 20;
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  // The mark first: a video file is not read any further.
  static constexpr char kMark[] = "#EXTM3U";
  std::ifstream in(path, std::ios::binary);
  char head[sizeof kMark - 1] = {};
  if (!in.read(head, sizeof head) || std::memcmp(head, kMark, sizeof head) != 0) return false;
  text.assign(head, sizeof head);
  text.resize(std::max(sizeof head, static_cast<size_t>(std::min<std::streamsize>(
                                        info.st_size, kMaxPlaylistBytes))));
  in.read(text.data() + sizeof head, static_cast<std::streamsize>(text.size() - sizeof head));
  text.resize(sizeof head + static_cast<size_t>(in.gcount()));
  return true;
}

// The playlists a playlist lists that FFmpeg's HLS demuxer opens and parses as playlists:
// the line after each variant stream tag, and the URI of each audio and video rendition.
std::vector<std::string> listed_playlists(const std::string& text) {
  std::vector<std::string> listed;
  bool variant_next = false;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    if (line.rfind("#EXT-X-STREAM-INF:", 0) == 0) {
      variant_next = true;
    } else if (line.rfind("#EXT-X-MEDIA:", 0) == 0 &&
               (line.find("TYPE=AUDIO") != std::string::npos ||
                line.find("TYPE=VIDEO") != std::string::npos)) {
      const size_t begin = line.find("URI=\"");
      const size_t end = begin == std::string::npos ? begin : line.find('"', begin + 5);
      if (end != std::string::npos) listed.push_back(line.substr(begin + 5, end - begin - 5));
    } else if (variant_next && !line.empty() && line[0] != '#') {
      listed.push_back(line);
      variant_next = false;
    }
  }
  return listed;
}

// FFmpeg's HLS demuxer parses each listed playlist again for every time it is listed, and
// never polls the interrupt callback while it does: a playlist that lists itself, directly
// or through others, makes it allocate without end. Local playlists are followed here
// first; the names from path to the first one listed again, or none.
std::vector<std::string> playlist_loop(const std::string& path) {
  constexpr size_t kMaxPlaylists = 1000;  // beyond that, the count of opened files bounds it
  struct Visit {
    std::filesystem::path file;  // canonical
    std::vector<std::string> listed;
    size_t next = 0;
    std::string name;  // as the parent lists it
  };
  std::vector<Visit> chain;
  std::vector<std::filesystem::path> finished;
  size_t visited = 0;
  const auto enter = [&](const std::string& name, const std::filesystem::path& file) {
    std::error_code error;
    const std::filesystem::path canonical = std::filesystem::canonical(file, error);
    std::string text;
    if (error || !read_playlist(canonical, text)) return true;
    for (const Visit& visit : chain) {
      if (visit.file == canonical) return false;  // listed again: a loop
    }
    if (std::find(finished.begin(), finished.end(), canonical) != finished.end() ||
        ++visited > kMaxPlaylists) {
      return true;
    }
    chain.push_back({canonical, listed_playlists(text), 0, name});
    return true;
  };
  const std::filesystem::path top = local_file(path, {});
  if (top.empty() || !enter(path, top)) return {};
  while (!chain.empty()) {
    Visit& visit = chain.back();
    if (visit.next == visit.listed.size()) {
      finished.push_back(visit.file);
      chain.pop_back();
      continue;
    }
    const std::string name = visit.listed[visit.next++];
    const std::filesystem::path file = local_file(name, visit.file.parent_path());
    if (file.empty() || enter(name, file)) continue;
    std::vector<std::string> names;
    for (const Visit& step : chain) names.push_back(step.name);
    names.push_back(name);
    return names;
  }
  return {};
}

// What every demuxer is opened with. A live playlist is reloaded for as long as no new
// segment comes (1000 times by default); at 2, the least that still opens one (1 refuses its
// first segment), its reads end at the first reload that brings nothing, and every later
// read at once.
struct DemuxerOptions {
  AVDictionary* entries = nullptr;
  DemuxerOptions() { av_dict_set(&entries, "m3u8_hold_counters", "2", 0); }
  ~DemuxerOptions() { av_dict_free(&entries); }
  DemuxerOptions(const DemuxerOptions&) = delete;
  DemuxerOptions& operator=(const DemuxerOptions&) = delete;
};

}  // namespace

FormatContextPtr open_demuxer(const std::string& path, IoDeadline& deadline,
                              std::string* error_text) {
  int fifo = -1;
  const auto waited_from = std::chrono::steady_clock::now();
  const bool ready = wait_for_fifo_writer(path, fifo, [&] {
    return std::chrono::steady_clock::now() - waited_from >= IoDeadline::kLimit;
  });
  const DescriptorCloser closer{fifo};
  if (!ready) {
    set_error(error_text, "could not open " + path + ": no writer within " +
                              std::to_string(IoDeadline::kLimit.count()) + " s");
    return nullptr;
  }
  const std::vector<std::string> loop = playlist_loop(path);
  if (!loop.empty()) {
    std::string names;
    for (const std::string& name : loop) names += (names.empty() ? "" : " -> ") + name;
    set_error(error_text, "could not open " + path + ": a playlist lists itself: " + names);
    return nullptr;
  }
  AVFormatContext* raw_format = avformat_alloc_context();
  if (raw_format == nullptr) {
    set_error(error_text, "out of memory opening " + path);
    return nullptr;
  }
  raw_format->interrupt_callback = {&IoDeadline::check, &deadline};
  raw_format->io_open = &open_counted;
  DemuxerOptions options;
  deadline.arm();
  // On failure avformat_open_input frees the context itself.
  int result = avformat_open_input(&raw_format, path.c_str(), nullptr, &options.entries);
  FormatContextPtr format_context(result >= 0 ? raw_format : nullptr);
  if (result < 0 || deadline.too_many_opens) {
    set_error(error_text, "could not open " + path + ": " + deadline.reason(result));
    return nullptr;
  }
  deadline.arm();
  result = avformat_find_stream_info(format_context.get(), nullptr);
  if (result < 0 || deadline.too_many_opens) {
    set_error(error_text, "could not read stream info: " + deadline.reason(result));
    return nullptr;
  }
  return format_context;
}

}  // namespace clipwalk
