#include "support/probe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace clipwalk::testing {

std::string fixture_path(const std::string& name) {
  return std::string(CLIPWALK_FIXTURE_DIR) + "/" + name;
}

namespace {

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

CommandResult run_command(const std::vector<std::string>& argv, const std::string& input,
                          std::chrono::milliseconds limit) {
  if (argv.empty()) fail("run_command: empty argv");
  // A child that exits without reading its input must not kill the test with SIGPIPE.
  static const bool sigpipe_ignored = (std::signal(SIGPIPE, SIG_IGN), true);
  (void)sigpipe_ignored;

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
    fail(std::string("pipe2: ") + std::strerror(errno));

  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) fail(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    std::signal(SIGPIPE, SIG_DFL);  // an ignored disposition would survive exec
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::execvp(args[0], args.data());
    static const char msg[] = "run_command: exec failed\n";
    (void)!::write(2, msg, sizeof msg - 1);
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);

  CommandResult result{0, {}, {}, 0};
  size_t written = 0;
  // Non-blocking, so a write larger than the pipe's free space cannot stall the loop.
  ::fcntl(in[1], F_SETFL, ::fcntl(in[1], F_GETFL) | O_NONBLOCK);
  if (input.empty()) close_fd(in[1]);
  // Poll all three pipes so a child filling one of them never blocks on us.
  while (out[0] >= 0 || err[0] >= 0) {
    int wait_ms = -1;
    if (limit.count() > 0 && !result.timed_out) {
      const auto left = start + limit - std::chrono::steady_clock::now();
      if (left <= std::chrono::steady_clock::duration::zero()) {
        ::kill(pid, SIGKILL);  // its pipes close as it dies
        result.timed_out = true;
      } else {
        wait_ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
      }
    }
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
    const int ready = ::poll(fds, 3, wait_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      fail(std::string("poll: ") + std::strerror(errno));
    }
    if (ready == 0) continue;
    if (in[1] >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t n = ::write(in[1], input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n < 0 && errno != EINTR && errno != EAGAIN)
        close_fd(in[1]);  // EPIPE: child is not reading
      if (written == input.size()) close_fd(in[1]);
    }
    for (int i = 0; i < 2; ++i) {
      int& fd = i == 0 ? out[0] : err[0];
      if (fd < 0 || !(fds[i].revents & (POLLIN | POLLERR | POLLHUP))) continue;
      char buf[65536];
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n > 0)
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
      else if (n == 0 || errno != EINTR)
        close_fd(fd);
    }
  }
  close_fd(in[1]);

  int wstatus = 0;
  rusage usage{};
  while (::wait4(pid, &wstatus, 0, &usage) < 0)
    if (errno != EINTR) fail(std::string("wait4: ") + std::strerror(errno));
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.peak_kib = usage.ru_maxrss;
  if (WIFEXITED(wstatus)) {
    result.status = WEXITSTATUS(wstatus);
  } else {
    result.status = -1;
    result.term_signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
    result.err += "[run_command: " + argv[0] + " killed by signal " +
                  std::to_string(result.term_signal) + " (" + strsignal(result.term_signal) + ")" +
                  (result.timed_out ? " at its time limit" : "") + "]\n";
  }
  return result;
}

CommandResult run_clipwalk(const std::vector<std::string>& args, const std::string& input,
                           std::chrono::milliseconds limit) {
  std::vector<std::string> argv{CLIPWALK_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_command(argv, input, limit);
}

namespace {

// ffprobe's "flat" writer prints one `section.path.N.key=value` line per value,
// strings quoted, absent values as "N/A": easy to parse without a JSON library.
std::vector<std::pair<std::string, std::string>> ffprobe_flat(
    const std::string& path, const std::vector<std::string>& what) {
  std::vector<std::string> argv{"ffprobe", "-v", "error", "-select_streams", "v:0"};
  argv.insert(argv.end(), what.begin(), what.end());
  argv.insert(argv.end(), {"-of", "flat", path});
  const CommandResult r = run_command(argv);
  if (r.status != 0) fail("ffprobe failed on " + path + ": " + r.err);

  std::vector<std::pair<std::string, std::string>> kv;
  size_t pos = 0;
  while (pos < r.out.size()) {
    size_t end = r.out.find('\n', pos);
    if (end == std::string::npos) end = r.out.size();
    const std::string line = r.out.substr(pos, end - pos);
    pos = end + 1;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string value = line.substr(eq + 1);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    kv.emplace_back(line.substr(0, eq), value);
  }
  return kv;
}

std::optional<int64_t> to_int(const std::string& v, const std::string& what) {
  if (v == "N/A") return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long long n = std::strtoll(v.c_str(), &end, 10);
  if (v.empty() || *end != '\0' || errno != 0)
    fail("ffprobe: bad integer for " + what + ": '" + v + "'");
  return n;
}

// "num/den" as ffprobe prints time bases and frame rates.
void to_ratio(const std::string& v, const std::string& what, int& num, int& den) {
  const size_t slash = v.find('/');
  if (slash == std::string::npos) fail("ffprobe: bad ratio for " + what + ": '" + v + "'");
  num = static_cast<int>(to_int(v.substr(0, slash), what).value_or(0));
  den = static_cast<int>(to_int(v.substr(slash + 1), what).value_or(0));
}

// Groups `prefix.N.key=value` lines (frames.frame, packets.packet) by N.
template <typename Item, typename Set>
std::vector<Item> collect(const std::vector<std::pair<std::string, std::string>>& kv,
                          const std::string& prefix, Set set) {
  std::vector<Item> items;
  for (const auto& [key, value] : kv) {
    if (key.rfind(prefix, 0) != 0) continue;
    const size_t dot = key.find('.', prefix.size());
    if (dot == std::string::npos) continue;
    const auto n = to_int(key.substr(prefix.size(), dot - prefix.size()), key);
    if (!n || *n < 0) fail("ffprobe: bad index in " + key);
    if (static_cast<size_t>(*n) >= items.size()) items.resize(static_cast<size_t>(*n) + 1);
    set(items[static_cast<size_t>(*n)], key.substr(dot + 1), value);
  }
  return items;
}

}  // namespace

ProbeStream probe_video_stream(const std::string& path) {
  const auto kv =
      ffprobe_flat(path, {"-show_entries",
                          "stream=index,codec_name,pix_fmt,width,height,time_base,start_pts,"
                          "nb_frames,duration_ts,r_frame_rate,avg_frame_rate:format=duration"});
  ProbeStream s;
  bool found = false;
  const std::string prefix = "streams.stream.0.";  // MPEG-TS also lists it under programs.*
  for (const auto& [key, v] : kv) {
    if (key == "format.duration") {
      s.has_format_duration = v != "N/A";
      if (s.has_format_duration) s.format_duration = std::stod(v);
      continue;
    }
    if (key.rfind(prefix, 0) != 0) continue;
    found = true;
    const std::string k = key.substr(prefix.size());
    if (k == "index")
      s.index = static_cast<int>(to_int(v, k).value_or(-1));
    else if (k == "codec_name")
      s.codec_name = v;
    else if (k == "pix_fmt")
      s.pix_fmt = v;
    else if (k == "width")
      s.width = static_cast<int>(to_int(v, k).value_or(0));
    else if (k == "height")
      s.height = static_cast<int>(to_int(v, k).value_or(0));
    else if (k == "time_base")
      to_ratio(v, k, s.tb_num, s.tb_den);
    else if (k == "r_frame_rate")
      to_ratio(v, k, s.r_rate_num, s.r_rate_den);
    else if (k == "avg_frame_rate")
      to_ratio(v, k, s.avg_rate_num, s.avg_rate_den);
    else if (k == "nb_frames")
      s.nb_frames = to_int(v, k).value_or(0);
    else if (k == "start_pts") {
      const auto n = to_int(v, k);
      s.has_start_pts = n.has_value();
      s.start_pts = n.value_or(0);
    } else if (k == "duration_ts") {
      const auto n = to_int(v, k);
      s.has_stream_duration = n.has_value();
      s.stream_duration_ticks = n.value_or(0);
    }
  }
  if (!found) fail("ffprobe: no video stream in " + path);
  return s;
}

std::vector<ProbeFrame> probe_frames(const std::string& path) {
  const auto kv = ffprobe_flat(path, {"-show_entries", "frame=best_effort_timestamp,pkt_duration"});
  struct Slot {
    bool seen = false;
    ProbeFrame frame;
  };
  const auto slots =
      collect<Slot>(kv, "frames.frame.", [](Slot& s, const std::string& k, const std::string& v) {
        if (k == "best_effort_timestamp") {
          s.seen = true;
          s.frame.time = to_int(v, k);
        } else if (k == "pkt_duration") {
          s.frame.duration = to_int(v, k).value_or(0);
        }
      });
  std::vector<ProbeFrame> frames;
  for (const auto& s : slots) {
    if (!s.seen) fail("ffprobe: a frame of " + path + " has no best_effort_timestamp line");
    frames.push_back(s.frame);
  }
  return frames;
}

std::vector<std::optional<int64_t>> probe_frame_times_opt(const std::string& path) {
  std::vector<std::optional<int64_t>> times;
  for (const ProbeFrame& frame : probe_frames(path)) times.push_back(frame.time);
  return times;
}

std::vector<int64_t> probe_frame_times(const std::string& path) {
  std::vector<int64_t> times;
  for (const auto& t : probe_frame_times_opt(path)) {
    if (!t)
      fail("ffprobe: frame " + std::to_string(times.size()) + " of " + path + " has no timestamp");
    times.push_back(*t);
  }
  return times;
}

std::vector<ProbePacket> probe_video_packets(const std::string& path) {
  const auto kv = ffprobe_flat(path, {"-show_entries", "packet=pts,dts,flags"});
  return collect<ProbePacket>(kv, "packets.packet.",
                              [](ProbePacket& p, const std::string& k, const std::string& v) {
                                if (k == "pts") {
                                  const auto n = to_int(v, k);
                                  p.has_pts = n.has_value();
                                  p.pts = n.value_or(0);
                                } else if (k == "dts") {
                                  const auto n = to_int(v, k);
                                  p.has_dts = n.has_value();
                                  p.dts = n.value_or(0);
                                } else if (k == "flags") {
                                  p.key = v.find('K') != std::string::npos;
                                }
                              });
}

}  // namespace clipwalk::testing
