// Inputs read once or never ending: pipes, FIFOs and live playlists are read from where
// they stand, never a second time, and every wait has an end; playlists that list
// themselves are refused.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/frame_truth.h"

namespace clipwalk::testing {
namespace {

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string landing_line(const FrameTruth& truth, double seconds, const char* echo) {
  const size_t k = truth.landing(seconds);
  char line[128];
  std::snprintf(line, sizeof line, "\nseek to %s s landed on pts=%lld t=%.6f\n", echo,
                static_cast<long long>(truth.frames[k]), truth.seconds_of(k));
  return line;
}

TEST(Inputs, PipesAreReadFromWhereTheyStandAndNeverTwice) {
  const std::string source = fixture_path("h264_ts_offset.ts");
  const FrameTruth& truth = frame_truth(source);
  // Standard input: landing ahead of the first frame needs no seek.
  const CommandResult piped = run_clipwalk({"pipe:0", "0.5", "3"}, file_bytes(source));
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_NE(piped.out.find(landing_line(truth, 0.5, "0.500")), std::string::npos) << piped.out;
  EXPECT_NE(piped.out.find("round trip: PASS (4 forward, 4 backward)"), std::string::npos);
  // A second reader would have shared the pipe's bytes and counted some of the frames.
  EXPECT_NE(piped.out.find("prescan   : did not complete"), std::string::npos) << piped.out;

  // A FIFO with a writer.
  const std::string fifo = ::testing::TempDir() + "fifo_" + std::to_string(getpid()) + ".ts";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::signal(SIGPIPE, SIG_IGN);  // the writer meets a closed pipe once the tool is done
  std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << file_bytes(source); });
  const CommandResult fed = run_clipwalk({fifo, "0", "3"});
  writer.join();
  EXPECT_EQ(fed.status, 0) << fed.err;
  EXPECT_NE(fed.out.find(landing_line(truth, 0.0, "0.000")), std::string::npos) << fed.out;
  EXPECT_NE(fed.out.find("prescan   : did not complete"), std::string::npos) << fed.out;

  // A FIFO that nobody writes: a clear refusal once the wait is over, not a hang.
  const CommandResult unfed = run_clipwalk({fifo, "0", "3"});
  EXPECT_EQ(unfed.status, 1);
  EXPECT_EQ(unfed.err, "open failed: could not open " + fifo + ": no writer within 10 s\n");
  std::remove(fifo.c_str());
}

// Inputs that would hold the run for ever or grow it without end: playlists that list
// themselves (FFmpeg's HLS demuxer parses them again and again without polling) and live
// playlists (every read at their end waits for a segment that never comes). Each row's
// playlists are written by the test around segments it encodes; every run must end within
// its time limit beyond what the same run on the finished playlist takes, and within
// 200 MiB. A row either fails to open with its message, or reports what is there.
struct BoundedInput {
  const char* name;
  // File name and text: "@" is the directory, "<<...>>" is written in base64, "live:T" is
  // the finished playlist without its end, with a target duration of T seconds, and
  // "fifo:NAME" the finished playlist with one more segment NAME, a FIFO nobody writes.
  std::vector<std::pair<std::string, std::string>> playlists;
  const char* open;
  const char* failure;  // after "could not open PATH: "; null for a run that reports
  int limit_seconds;
};
void PrintTo(const BoundedInput& input, std::ostream* out) { *out << input.name; }

std::string master(const std::string& variant) {
  return "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=100000\n" + variant + "\n";
}

std::string base64(const std::string& bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t group = 0;
    for (size_t k = 0; k < 3; ++k) {
      group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    }
    for (size_t k = 0; k < 4; ++k) out += k <= n ? kDigits[group >> (18 - 6 * k) & 63] : '=';
  }
  return out;
}

const BoundedInput kBoundedInputs[] = {
    {"SelfByRelativeName",
     {{"self.m3u8", master("self.m3u8")}},
     "self.m3u8",
     "a playlist lists itself: @/self.m3u8 -> self.m3u8",
     10},
    {"SelfByFileUrl",
     {{"self.m3u8", master("file://@/self.m3u8")}},
     "self.m3u8",
     "a playlist lists itself: @/self.m3u8 -> file://@/self.m3u8",
     10},
    {"MutualPair",
     {{"a.m3u8", master("b.m3u8")}, {"b.m3u8", master("a.m3u8")}},
     "a.m3u8",
     "a playlist lists itself: @/a.m3u8 -> b.m3u8 -> a.m3u8",
     10},
    {"LoopOfThreeThroughARendition",
     {{"c1.m3u8", master("c2.m3u8")},
      {"c2.m3u8",
       "#EXTM3U\n#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",NAME=\"a\",URI=\"c3.m3u8\"\n"
       "#EXT-X-STREAM-INF:BANDWIDTH=100000,AUDIO=\"a\"\nvod.m3u8\n"},
      {"c3.m3u8", master("c1.m3u8")}},
     "c1.m3u8",
     "a playlist lists itself: @/c1.m3u8 -> c2.m3u8 -> c3.m3u8 -> c1.m3u8",
     10},
    // A data: URL is no file to follow beforehand: the count of files one call opens ends it.
    {"SelfThroughADataUrl",
     {{"d.m3u8",
       master("data:application/vnd.apple.mpegurl;base64,<<" + master("file:@/d.m3u8") + ">>")}},
     "d.m3u8",
     "more than 1000 files opened at once (playlists that list each other?)",
     10},
    // Two short segments and no end, and a target duration (the time between reloads) longer
    // than any wait: the run walks what is there and waits for more once, not once a read.
    {"LivePlaylist", {{"live.m3u8", "live:30"}}, "live.m3u8", nullptr, 16},
    // A segment whose open would block until a writer comes, for the navigator and then for
    // the prescan's own reader: each wait ends, and what is before it is walked and counted.
    {"FifoSegment", {{"fifo.m3u8", "fifo:seg9.ts"}}, "fifo.m3u8", nullptr, 30},
};

class BoundedInputs : public ::testing::TestWithParam<BoundedInput> {
 protected:
  // Four seconds of video in two segments, and their finished playlist vod.m3u8.
  static void SetUpTestSuite() {
    dir_ = ::testing::TempDir() + "bounded_" + std::to_string(getpid());
    mkdir(dir_.c_str(), 0700);
    std::istringstream words(
        "ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=320x240:rate=25 -t 4 -c:v libx264 "
        "-threads 1 -preset ultrafast -g 25 -f hls -hls_time 2 -hls_list_size 0 "
        "-hls_segment_filename");
    std::vector<std::string> encode{std::istream_iterator<std::string>(words), {}};
    encode.insert(encode.end(), {dir_ + "/seg%d.ts", dir_ + "/vod.m3u8"});
    const CommandResult made = run_command(encode);
    ASSERT_EQ(made.status, 0) << made.err;
  }
  static void TearDownTestSuite() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  static std::string dir_;
};
std::string BoundedInputs::dir_;

std::string in_dir(std::string text, const std::string& dir) {
  for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + dir.size()))
    text.replace(at, 1, dir);
  for (size_t at = text.find("<<"); at != std::string::npos; at = text.find("<<", at)) {
    const size_t end = text.find(">>", at);
    text.replace(at, end + 2 - at, base64(text.substr(at + 2, end - at - 2)));
  }
  return text;
}

TEST_P(BoundedInputs, EndInTimeWithinMemory) {
  const BoundedInput& input = GetParam();
  const std::string vod = dir_ + "/vod.m3u8";
  for (const auto& [name, text] : input.playlists) {
    std::string written = in_dir(text, dir_);
    if (written.rfind("fifo:", 0) == 0) {
      const std::string segment = dir_ + "/" + written.substr(5);
      std::remove(segment.c_str());
      ASSERT_EQ(mkfifo(segment.c_str(), 0600), 0);
      written.clear();
      std::ifstream in(vod);
      for (std::string line; std::getline(in, line);) {
        if (line.rfind("#EXT-X-ENDLIST", 0) == 0) written += "#EXTINF:2.0,\n" + segment + "\n";
        written += line + "\n";
      }
    } else if (written.rfind("live:", 0) == 0) {
      // The finished playlist without its end, with the row's target duration.
      const std::string target = "#EXT-X-TARGETDURATION:" + written.substr(5) + "\n";
      written.clear();
      std::ifstream in(vod);
      for (std::string line; std::getline(in, line);) {
        if (line.rfind("#EXT-X-ENDLIST", 0) == 0) continue;
        written += line.rfind("#EXT-X-TARGETDURATION:", 0) == 0 ? target : line + "\n";
      }
    }
    std::ofstream(dir_ + "/" + name) << written;
  }
  // Past the end: the landing itself reads up to where a live playlist waits.
  const std::vector<std::string> args{"10", "3"};
  const CommandResult finished = run_clipwalk({vod, args[0], args[1]});
  ASSERT_EQ(finished.status, 0) << finished.err;

  const std::string path = dir_ + "/" + input.open;
  const auto limit = std::chrono::milliseconds(std::lround(finished.seconds * 1000)) +
                     std::chrono::seconds(input.limit_seconds);
  const CommandResult r = run_clipwalk({path, args[0], args[1]}, {}, limit);
  EXPECT_FALSE(r.timed_out) << "still running after " << r.seconds << " s";
  EXPECT_LT(r.peak_kib, 200 * 1024) << "peak memory";
  if (input.failure != nullptr) {
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    // FFmpeg's own log lines may come first; ours is the last.
    const std::string line =
        "open failed: could not open " + path + ": " + in_dir(input.failure, dir_) + "\n";
    EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), line.size())), line)
        << r.err.substr(r.err.size() - std::min<size_t>(r.err.size(), 2000));
    return;
  }
  // What is there is walked and counted, as in the finished playlist.
  const FrameTruth& truth = frame_truth(vod);
  const size_t last = truth.landing(10.0);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(landing_line(truth, 10.0, "10.000")), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("round trip: PASS (1 forward, 1 backward)"), std::string::npos);
  EXPECT_NE(r.out.find("prescan   : " + std::to_string(truth.stamps.size()) + " frames in"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("current   : exact frame " + std::to_string(last) + "\n"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Inputs, BoundedInputs, ::testing::ValuesIn(kBoundedInputs),
                         [](const ::testing::TestParamInfo<BoundedInput>& row) {
                           return std::string(row.param.name);
                         });

}  // namespace
}  // namespace clipwalk::testing
