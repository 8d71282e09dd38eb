// Opening a demuxer: the same way for the navigator, its reopening and the prescan, each
// call bounded in time.
#include "navigator/demuxer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "navigator/errors.h"
#include "navigator/libav.h"

namespace clipwalk {

std::string IoDeadline::reason(int result) const {
  if (expired) return "no answer within " + std::to_string(kLimit.count()) + " s";
  return error_description(result);
}

namespace {

// A FIFO blocks its reader's open until a writer comes. Waiting for data on a
// non-blocking descriptor first bounds that wait; the descriptor stays open while the
// demuxer opens the path, so that the writer is still there when it does.
bool wait_for_fifo_writer(const std::string& path, int& descriptor) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISFIFO(info.st_mode)) return true;
  descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (descriptor < 0) return true;  // the demuxer's own open reports the reason
  pollfd waiting{descriptor, POLLIN, 0};
  const auto limit_ms = std::chrono::milliseconds(IoDeadline::kLimit).count();
  return poll(&waiting, 1, static_cast<int>(limit_ms)) > 0;
}

}  // namespace

FormatContextPtr open_demuxer(const std::string& path, IoDeadline& deadline,
                              std::string* error_text) {
  int fifo = -1;
  const bool ready = wait_for_fifo_writer(path, fifo);
  struct Closer {
    int& descriptor;
    ~Closer() {
      if (descriptor >= 0) close(descriptor);
    }
  } closer{fifo};
  if (!ready) {
    set_error(error_text, "could not open " + path + ": no writer within " +
                              std::to_string(IoDeadline::kLimit.count()) + " s");
    return nullptr;
  }
  AVFormatContext* raw_format = avformat_alloc_context();
  if (raw_format == nullptr) {
    set_error(error_text, "out of memory opening " + path);
    return nullptr;
  }
  raw_format->interrupt_callback = {&IoDeadline::check, &deadline};
  deadline.arm();
  // On failure avformat_open_input frees the context itself.
  int result = avformat_open_input(&raw_format, path.c_str(), nullptr, nullptr);
  if (result < 0) {
    set_error(error_text, "could not open " + path + ": " + deadline.reason(result));
    return nullptr;
  }
  FormatContextPtr format_context(raw_format);
  deadline.arm();
  result = avformat_find_stream_info(format_context.get(), nullptr);
  if (result < 0) {
    set_error(error_text, "could not read stream info: " + deadline.reason(result));
    return nullptr;
  }
  return format_context;
}

}  // namespace clipwalk
