// FFmpeg's log lines: the navigators learn of their decoders' errors from them, and each line
// goes to the caller's sink or, without one, to standard error as FFmpeg prints it.
#include "navigator/ffmpeg_log.h"

#include <pthread.h>

#include <mutex>
#include <string>

#include "clipwalk/frame_navigator.h"
#include "navigator/frame_pool.h"
#include "navigator/libav.h"

namespace clipwalk {

namespace {

// Never destroyed: decoder threads may log during static destruction.
std::mutex& sink_mutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}
LogSink& current_sink() {
  static auto* sink = new LogSink();
  return *sink;
}

// The longest line handed to a sink; FFmpeg's own callback cuts its lines at 1024 bytes too.
constexpr int kLineBytes = 1024;

}  // namespace

void set_log_sink(LogSink sink) {
  install_log_callback();
  std::lock_guard<std::mutex> lock(sink_mutex());
  current_sink() = std::move(sink);
}

void ffmpeg_log_callback(void* context, int level, const char* format, va_list args) {
  FramePool::note_log(context, level);
  LogSink sink;
  {
    std::lock_guard<std::mutex> lock(sink_mutex());
    sink = current_sink();
  }
  if (!sink) {
    av_log_default_callback(context, level, format, args);
    return;
  }
  if (level > av_log_get_level()) return;
  // A line may come in parts (no newline yet); each thread gathers its own.
  thread_local std::string pending;
  thread_local int print_prefix = 1;
  char part[kLineBytes];
  av_log_format_line2(context, level, format, args, part, sizeof part, &print_prefix);
  pending += part;
  if (pending.empty() || pending.back() != '\n') return;
  while (!pending.empty() && (pending.back() == '\n' || pending.back() == '\r')) {
    pending.pop_back();
  }
  const std::string line = std::move(pending);
  pending.clear();
  sink(level, line);
}

void install_log_callback() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    // A fork while another thread logs would leave the child with the sink's lock held for
    // ever: the fork waits for it and both sides release it.
    pthread_atfork([] { sink_mutex().lock(); }, [] { sink_mutex().unlock(); },
                   [] { sink_mutex().unlock(); });
    av_log_set_callback(&ffmpeg_log_callback);
  });
}

}  // namespace clipwalk
