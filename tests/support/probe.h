// Test-side ground truth: runs external programs and asks ffprobe (never our
// own code) what the fixture files contain.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace clipwalk::testing {

// CLIPWALK_FIXTURE_DIR + "/" + name.
std::string fixture_path(const std::string& name);

struct CommandResult {
  int status;              // exit status, or -1 when killed by a signal
  std::string out;         // everything written to stdout
  std::string err;         // everything written to stderr (plus a note if signalled)
  int term_signal = 0;     // the signal that killed it, else 0
  bool timed_out = false;  // killed because it outlasted its time limit
  double seconds = 0.0;    // from start to exit
  int64_t peak_kib = 0;    // its peak resident memory (the kernel's maxrss)
};

// Runs argv[0] (searched on PATH) with no shell. `input` is fed to its stdin,
// which is then closed, so a program that reads stdin never waits on the test.
// A positive `limit` kills the program (SIGKILL) once it has run that long.
CommandResult run_command(const std::vector<std::string>& argv, const std::string& input = {},
                          std::chrono::milliseconds limit = {});

// Runs the built clipwalk executable (CLIPWALK_BINARY) with args.
CommandResult run_clipwalk(const std::vector<std::string>& args, const std::string& input = {},
                           std::chrono::milliseconds limit = {});

// First video stream as ffprobe reports it. Absent values ("N/A") clear the
// matching has_ flag; nb_frames is 0 when N/A.
struct ProbeStream {
  int index = -1;
  std::string codec_name;
  std::string pix_fmt;
  int width = 0;
  int height = 0;
  int tb_num = 0;
  int tb_den = 0;
  bool has_start_pts = false;
  int64_t start_pts = 0;
  int64_t nb_frames = 0;
  bool has_format_duration = false;
  double format_duration = 0.0;  // seconds
  bool has_stream_duration = false;
  int64_t stream_duration_ticks = 0;  // in tb_num/tb_den units
  int r_rate_num = 0, r_rate_den = 0;
  int avg_rate_num = 0, avg_rate_den = 0;
};

// Throws std::runtime_error if ffprobe fails or the file has no video stream.
ProbeStream probe_video_stream(const std::string& path);

// best_effort_timestamp of every frame ffprobe decodes from v:0, in output
// (display) order, in stream time base units. Throws std::runtime_error if
// ffprobe fails or any timestamp is N/A.
std::vector<int64_t> probe_frame_times(const std::string& path);

// Same, but N/A timestamps come back as nullopt (e.g. raw Annex-B streams).
std::vector<std::optional<int64_t>> probe_frame_times_opt(const std::string& path);

struct ProbeFrame {
  std::optional<int64_t> time;  // best_effort_timestamp; nullopt when N/A
  int64_t duration = 0;         // pkt_duration in stream ticks; 0 when N/A
};

// Every frame ffprobe decodes from v:0, in output order, with its duration.
std::vector<ProbeFrame> probe_frames(const std::string& path);

struct ProbePacket {
  bool has_pts = false;
  int64_t pts = 0;
  bool has_dts = false;
  int64_t dts = 0;
  bool key = false;  // ffprobe flags contain 'K'
};

// Every v:0 packet in file (demux) order. Throws std::runtime_error on failure.
std::vector<ProbePacket> probe_video_packets(const std::string& path);

}  // namespace clipwalk::testing
