// The landing line and the PPM snapshot of the command-line run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "support/frame_truth.h"

namespace clipwalk {
namespace {

using testing::fixture_path;
using testing::run_clipwalk;

TEST(LandingReport, EchoesTheTimeAsParsedAndTheFrameLandedOn) {
  const std::string path = fixture_path("h264_bframes_aac.mp4");
  const testing::FrameTruth truth(path);
  struct Case {
    const char *arg, *echo;
    double seconds;  // where the seek aims
  };
  for (const Case& c :
       {Case{"1.2", "1.200", 1.2}, Case{"1.01", "1.010", 1.01}, Case{"-1", "-1.000", 0.0},
        Case{"nan", "nan", 0.0}, Case{"abc", "0.000", 0.0}}) {
    const size_t k = truth.landing(c.seconds);
    char want[128];
    std::snprintf(want, sizeof want, "\nseek to %s s landed on pts=%lld t=%.6f\n", c.echo,
                  static_cast<long long>(truth.frames[k]), truth.seconds_of(k));
    const testing::CommandResult r = run_clipwalk({path, c.arg, "0"});
    EXPECT_EQ(r.status, 0) << c.arg << ": " << r.err;
    EXPECT_NE(r.out.find(want), std::string::npos) << r.out;
  }
}

TEST(Snapshot, WritesTheLandedPreviewAsP6LikeAnIndependentDecode) {
  const std::string ppm = ::testing::TempDir() + "clipwalk_" + std::to_string(getpid()) + ".ppm";
  for (const auto& [name, seconds] : {std::pair{"h264_1080p.mp4", "1.2"},
                                      std::pair{"uhd_3840x2160.mp4", "0.2"}}) {  // 1920x1080 both
    SCOPED_TRACE(name);
    const std::string path = fixture_path(name);
    const size_t k = testing::FrameTruth(path).landing(std::atof(seconds));
    const testing::CommandResult r = run_clipwalk({path, seconds, "0", "256", ppm});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("wrote " + ppm + " (1920x1080)\n"), std::string::npos) << r.out;
    std::ifstream in(ppm, std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(ppm.c_str());
    const std::string header = "P6\n1920 1080\n255\n";
    const size_t body = size_t{3} * 1920 * 1080;
    ASSERT_EQ(file.size(), header.size() + body);
    ASSERT_EQ(file.substr(0, header.size()), header);

    // ffmpeg's own decode and conversion of frame k and of the next one: the snapshot is
    // close to the first and closer to it than to its neighbour.
    const std::string filter = "select=between(n\\," + std::to_string(k) + "\\," +
                               std::to_string(k + 1) + "),scale=1920:1080:flags=bilinear";
    const testing::CommandResult ref =
        testing::run_command({"ffmpeg", "-v", "error", "-i", path, "-vf", filter, "-frames:v", "2",
                              "-pix_fmt", "rgb24", "-f", "rawvideo", "-"});
    ASSERT_EQ(ref.status, 0) << ref.err;
    ASSERT_EQ(ref.out.size(), 2 * body);
    double difference[2] = {0.0, 0.0};
    for (size_t i = 0; i < 2 * body; ++i)
      difference[i / body] +=
          std::abs(int(uint8_t(file[header.size() + i % body])) - int(uint8_t(ref.out[i])));
    EXPECT_LT(difference[0] / double(body), 3.0) << "frame " << k;
    EXPECT_LT(difference[0], difference[1]) << "frame " << k;
  }
}

TEST(Snapshot, UnwritablePathIsFatalBeforeTheWalk) {
  for (const std::string ppm : {"/dev/full", "/nonexistent-dir/x.ppm"}) {
    const testing::CommandResult r =
        run_clipwalk({fixture_path("h264_bframes_aac.mp4"), "1", "2", "256", ppm});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "could not write " + ppm + "\n");
    EXPECT_NE(r.out.find("landed on pts="), std::string::npos) << ppm;
    for (const char* absent : {"wrote ", "forward:", "prescan"})
      EXPECT_EQ(r.out.find(absent), std::string::npos) << ppm << ": " << absent;
  }
  struct stat info {};
  ASSERT_EQ(stat("/dev/full", &info), 0);  // a device is never removed
  EXPECT_TRUE(S_ISCHR(info.st_mode));
}

}  // namespace
}  // namespace clipwalk

namespace clipwalk {
namespace {

// A file that opens but holds no decodable picture fails the seek with a reason.
TEST(LandingReport, NothingDecodableIsASeekFailureWithAReason) {
  const std::string cut = ::testing::TempDir() + "cut_" + std::to_string(getpid()) + ".mkv";
  const testing::CommandResult head =
      testing::run_command({"head", "-c", "1000", fixture_path("vfr.mkv")});
  std::ofstream(cut, std::ios::binary) << head.out;
  const testing::CommandResult r = run_clipwalk({cut});
  std::remove(cut.c_str());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.substr(r.err.rfind("seek failed")), "seek failed: no frame could be decoded\n");
  EXPECT_EQ(r.out.find("landed"), std::string::npos);
}

}  // namespace
}  // namespace clipwalk
