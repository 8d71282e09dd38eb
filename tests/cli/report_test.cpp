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

// Writes the landed frame's snapshot and compares it with ffmpeg's own decode and conversion
// of that frame (the k-th it shows) and of the next one: the snapshot is close to the first
// and closer to it than to its neighbour.
void expect_snapshot_of_frame(const std::string& path, const std::string& seconds, int width,
                              int height) {
  SCOPED_TRACE(path + " at " + seconds);
  const std::string ppm = ::testing::TempDir() + "clipwalk_" + std::to_string(getpid()) + ".ppm";
  const testing::FrameTruth& truth = testing::frame_truth(path);
  const size_t k = truth.landing(std::atof(seconds.c_str()));
  const testing::CommandResult r = run_clipwalk({path, seconds, "0", "256", ppm});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  EXPECT_NE(r.out.find("wrote " + ppm + " (" + size + ")\n"), std::string::npos) << r.out;
  std::ifstream in(ppm, std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(ppm.c_str());
  const std::string header =
      "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  const size_t body = size_t{3} * size_t(width) * size_t(height);
  ASSERT_EQ(file.size(), header.size() + body);
  ASSERT_EQ(file.substr(0, header.size()), header);

  // The neighbour comes after, or before the last frame; a single picture has none.
  const size_t n = truth.frames.size();
  const size_t first = k + 1 < n ? k : k - (n > 1 ? 1 : 0);
  const size_t count = n > 1 ? 2 : 1;
  const std::string filter =
      "select=between(n\\," + std::to_string(first) + "\\," + std::to_string(first + count - 1) +
      "),scale=" + std::to_string(width) + ":" + std::to_string(height) + ":flags=bilinear";
  const testing::CommandResult ref =
      testing::run_command({"ffmpeg", "-v", "error", "-i", path, "-vf", filter, "-frames:v",
                            std::to_string(count), "-pix_fmt", "rgb24", "-f", "rawvideo", "-"});
  ASSERT_EQ(ref.status, 0) << ref.err;
  ASSERT_EQ(ref.out.size(), count * body);
  double difference[2] = {0.0, 0.0};
  for (size_t i = 0; i < count * body; ++i)
    difference[i / body] +=
        std::abs(int(uint8_t(file[header.size() + i % body])) - int(uint8_t(ref.out[i])));
  const size_t same = k - first;
  EXPECT_LT(difference[same] / double(body), 3.0) << "frame " << k;
  if (count == 2) {
    EXPECT_LT(difference[same], difference[1 - same]) << "frame " << k;
  }
}

TEST(Snapshot, WritesTheLandedPreviewAsP6LikeAnIndependentDecode) {
  // Scaled to the 1920-pixel preview.
  expect_snapshot_of_frame(fixture_path("h264_1080p.mp4"), "1.2", 1920, 1080);
  expect_snapshot_of_frame(fixture_path("uhd_3840x2160.mp4"), "0.2", 1920, 1080);
}

TEST(Snapshot, ShowsThePictureAPlainDecodeShowsOnDamagedFiles) {
  const struct {
    const char* name;
    const char* seconds;
    int width, height;
  } cases[] = {
      {"hevc_opengop.ts", "1.95", 320, 240},     // a leading picture of the CRA at 2 s
      {"hevc_opengop.ts", "2.5", 320, 240},      // a timestamp search lands mid-GOP
      {"hevc_opengop.ts", "9", 320, 240},        // past the end: the last picture
      {"ts_joined.ts", "2.5", 320, 240},         // the first of two runs of one clock
      {"ts_untimed_gop.ts", "0.3", 320, 240},    // in a GOP without timestamps
      {"zeroed_keyframe.mp4", "2.5", 320, 240},  // in the GOP of the zeroed keyframe
      {"ts_damaged.ts", "1.7", 320, 240},        // after damaged payload
      {"truncated.mp4", "9", 320, 240},          // the last whole picture
      {"editlist.mp4", "0", 320, 240},           // the first picture the edit list shows
      {"pal8_large.png", "0", 1920, 1280},       // a palette scaled to the preview
  };
  for (const auto& c : cases)
    expect_snapshot_of_frame(fixture_path(c.name), c.seconds, c.width, c.height);
}

TEST(Snapshot, NeverWritesOverTheInputNorLeavesADamagedFile) {
  const std::string dir = ::testing::TempDir() + "snap_" + std::to_string(getpid());
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  const std::string input = dir + "/in.mp4";
  std::ifstream source(fixture_path("h264_bframes_aac.mp4"), std::ios::binary);
  const std::string video((std::istreambuf_iterator<char>(source)),
                          std::istreambuf_iterator<char>());
  std::ofstream(input, std::ios::binary) << video;
  ASSERT_EQ(symlink(input.c_str(), (dir + "/link.mp4").c_str()), 0);
  const auto contents = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  // The input named however: itself, through "..", through a link.
  for (const std::string& ppm :
       {input, dir + "/../" + dir.substr(dir.rfind('/') + 1) + "/in.mp4", dir + "/link.mp4"}) {
    const testing::CommandResult r = run_clipwalk({input, "1", "2", "256", ppm});
    EXPECT_EQ(r.status, 1) << ppm;
    EXPECT_EQ(r.err, "could not write " + ppm + "\n");
    EXPECT_EQ(contents(input), video) << ppm;
  }
  // An earlier image survives a failed write whole; a good write replaces it whole.
  const std::string ppm = dir + "/shot.ppm";
  std::ofstream(ppm) << "earlier image";
  ASSERT_EQ(chmod(dir.c_str(), 0555), 0);  // no room for the new image beside it
  const bool privileged = access((dir + "/probe").c_str(), F_OK) != 0 &&
                          std::ofstream(dir + "/probe").good();  // root writes anyway
  std::remove((dir + "/probe").c_str());
  if (!privileged) {
    EXPECT_EQ(run_clipwalk({input, "1", "2", "256", ppm}).status, 1);
    EXPECT_EQ(contents(ppm), "earlier image");
  }
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
  EXPECT_EQ(run_clipwalk({input, "1", "2", "256", ppm}).status, 0);
  EXPECT_EQ(contents(ppm).substr(0, 15), "P6\n320 240\n255\n");
  struct stat info {};
  ASSERT_EQ(stat(ppm.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 15 + 320 * 240 * 3);
  for (const char* name : {"/in.mp4", "/link.mp4", "/shot.ppm"}) std::remove((dir + name).c_str());
  EXPECT_EQ(rmdir(dir.c_str()), 0) << "a partial file was left behind";
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
