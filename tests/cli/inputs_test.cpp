// Inputs read once or never ending: pipes, FIFOs and live playlists are read from where
// they stand, never a second time, and every wait has an end.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

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

// A live playlist has no end: the reads that wait for its next segment give up, and the
// run reports what the segment it had holds.
TEST(Inputs, ALivePlaylistEndsTheRun) {
  const std::string playlist = ::testing::TempDir() + "live_" + std::to_string(getpid()) + ".m3u8";
  std::ofstream(playlist) << "#EXTM3U\n#EXT-X-TARGETDURATION:8\n#EXT-X-MEDIA-SEQUENCE:0\n"
                          << "#EXTINF:8.0,\n"
                          << fixture_path("h264_ts_offset.ts") << "\n";
  const CommandResult r = run_clipwalk({playlist, "0", "3"});
  std::remove(playlist.c_str());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("round trip: PASS (4 forward, 4 backward)"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace clipwalk::testing
