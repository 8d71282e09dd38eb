// Frames by number and in batches against the frames of a plain decode: ffprobe's stamps in
// its order, and the ffmpeg tool's pictures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "clipwalk/frame_navigator.h"
#include "support/fixtures.h"
#include "support/frame_truth.h"
#include "support/navigator_test_peer.h"

namespace clipwalk {
namespace {

using testing::fixture_path;
using testing::frame_truth;
using testing::FrameTruth;
using testing::run_command;

// Every picture of the file at its own size as the ffmpeg tool converts it.
std::string ffmpeg_pictures(const std::string& path, const char* pixel_format) {
  const testing::CommandResult result = run_command(
      {"ffmpeg", "-v", "error", "-nostdin", "-i", path, "-map", "0:v:0", "-fps_mode", "passthrough",
       "-sws_flags", "bilinear", "-pix_fmt", pixel_format, "-f", "rawvideo", "-"});
  EXPECT_EQ(result.status, 0) << result.err;
  return result.out;
}

::testing::AssertionResult same_pixels(const FrameCopy& copy, const std::string& raw,
                                       size_t picture) {
  const size_t size = copy.pixels.size();
  if (raw.size() < (picture + 1) * size) {
    return ::testing::AssertionFailure() << "ffmpeg gave only " << raw.size() / size;
  }
  if (std::memcmp(copy.pixels.data(), raw.data() + picture * size, size) != 0) {
    return ::testing::AssertionFailure() << "frame " << picture << " differs";
  }
  return ::testing::AssertionSuccess();
}

std::unique_ptr<FrameNavigator> open_at_source_size(const std::string& path, uint64_t budget) {
  std::string error;
  auto nav = FrameNavigator::open(path, 0, budget, &error);
  EXPECT_TRUE(nav) << error;
  return nav;
}

struct NumberedFixture {
  const char* name;
  uint64_t budget;
  CountBy count = CountBy::kDemuxing;
};

class FramesByNumber : public ::testing::TestWithParam<NumberedFixture> {};

// B-frames, an edit-list cut, open-GOP HEVC, MPEG-TS, VFR, a clock that starts again and
// stamps that repeat: each frame number lands on the plain decode's frame of that number,
// whatever the order asked and the window's budget.
TEST_P(FramesByNumber, LandOnThePlainDecodesFrame) {
  const std::string path = fixture_path(GetParam().name);
  const FrameTruth& truth = frame_truth(path);
  auto nav = open_at_source_size(path, GetParam().budget);
  ASSERT_TRUE(nav);
  std::string error;
  const auto count = static_cast<int64_t>(truth.frames.size());
  if (GetParam().count == CountBy::kDecoding) {
    // Standing late in the stream, on a frame decoded from a later keyframe than the plain
    // decode's, when the count completes: steps go on from the plain decode's frame.
    ASSERT_TRUE(nav->seek_to_seconds(truth.seconds_of(count - 1) * 0.95, &error)) << error;
    ASSERT_TRUE(nav->start_prescan(CountBy::kDecoding));
    ASSERT_EQ(nav->frame_count(&error), count) << error;
    const int64_t stood = nav->current_frame_index();
    ASSERT_GT(stood, 0);
    ASSERT_LT(stood, count - 1);
    ASSERT_TRUE(nav->step_forward(&error)) << error;
    EXPECT_EQ(nav->current_stamp()->pts, truth.frames[static_cast<size_t>(stood + 1)]);
    EXPECT_EQ(nav->current_frame_index(), stood + 1);
    ASSERT_TRUE(nav->step_backward(&error)) << error;
    EXPECT_EQ(nav->current_stamp()->pts, truth.frames[static_cast<size_t>(stood)]);
    // The same by number: the frame asked for is the plain decode's, not the one held.
    auto again = open_at_source_size(path, GetParam().budget);
    ASSERT_TRUE(again->seek_to_seconds(truth.seconds_of(count - 1) * 0.95, &error)) << error;
    ASSERT_TRUE(again->start_prescan(CountBy::kDecoding));
    ASSERT_EQ(again->frame_count(&error), count) << error;
    ASSERT_TRUE(again->seek_to_frame(stood, &error)) << error;
    EXPECT_EQ(again->current_stamp()->pts, truth.frames[static_cast<size_t>(stood)]);
  }
  ASSERT_EQ(nav->frame_count(&error), count) << error;

  for (const int64_t index :
       {count / 2, int64_t{0}, count - 1, count / 3, count / 2 - 1, count / 2 + 1, int64_t{1}}) {
    ASSERT_TRUE(nav->seek_to_frame(index, &error)) << index << ": " << error;
    EXPECT_EQ(nav->current_stamp()->pts, truth.frames[static_cast<size_t>(index)]) << index;
    EXPECT_EQ(nav->current_frame_index(), index);
  }
  // Steps from a landing by number keep the numbering.
  ASSERT_TRUE(nav->seek_to_frame(count / 2, &error)) << error;
  ASSERT_TRUE(nav->step_backward(&error)) << error;
  EXPECT_EQ(nav->current_stamp()->pts, truth.frames[static_cast<size_t>(count / 2 - 1)]);

  // Every call so far succeeded: damage decoded past on the way is a warning, not an error.
  EXPECT_EQ(error, "");

  // Landings by time, and walks from them, each frame with its number.
  for (const double fraction : {0.8, 0.3, 0.55}) {
    const size_t landing = truth.landing(truth.seconds_of(count - 1) * fraction);
    ASSERT_TRUE(nav->seek_to_seconds(truth.seconds_of(landing), &error)) << error;
    for (size_t at = landing; at < landing + 40 && at < truth.frames.size(); ++at) {
      EXPECT_EQ(nav->current_stamp()->pts, truth.frames[at]) << fraction << " frame " << at;
      EXPECT_EQ(nav->current_frame_index(), static_cast<int64_t>(at));
      if (!nav->step_forward(&error)) break;
    }
  }

  for (const int64_t index : {count, int64_t{-1}}) {
    EXPECT_FALSE(nav->seek_to_frame(index, &error));
    EXPECT_EQ(error, "frame " + std::to_string(index) + " is out of range: the stream has " +
                         std::to_string(count) + " frames");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, FramesByNumber,
    ::testing::Values(NumberedFixture{"h264_bframes_aac.mp4", kDefaultCacheBudgetBytes},
                      NumberedFixture{"h264_bframes_aac.mp4", 0},
                      NumberedFixture{"editlist.mp4", kDefaultCacheBudgetBytes},
                      NumberedFixture{"hevc_opengop.mkv", 0},
                      NumberedFixture{"hevc_opengop.ts", kDefaultCacheBudgetBytes},
                      NumberedFixture{"h264_ts_offset.ts", 0},
                      NumberedFixture{"vfr.mkv", kDefaultCacheBudgetBytes},
                      NumberedFixture{"ts_joined.ts", kDefaultCacheBudgetBytes},
                      NumberedFixture{"fps2000.mkv", 0},
                      // The decoder drops or restamps pictures after damage: counted by
                      // decoding, and every road past the damage decodes it as a plain
                      // decode does.
                      NumberedFixture{"ts_damaged_headers.ts", 0, CountBy::kDecoding},
                      NumberedFixture{"ts_damaged_order.ts", 1 << 20, CountBy::kDecoding},
                      NumberedFixture{"ts_damaged_order.ts", kDefaultCacheBudgetBytes,
                                      CountBy::kDecoding},
                      NumberedFixture{"zeroed_keyframe.mp4", 0, CountBy::kDecoding},
                      NumberedFixture{"faulty_pts.mp4", 1 << 20, CountBy::kDecoding},
                      NumberedFixture{"faulty_pts_gop.mp4", 0, CountBy::kDecoding}),
    [](const ::testing::TestParamInfo<NumberedFixture>& param) {
      std::string name = std::string(param.param.name) + "_" + std::to_string(param.param.budget) +
                         (param.param.count == CountBy::kDecoding ? "_decoded" : "");
      for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

// A batch hands back each requested frame, repeated and unsorted numbers included, with the
// ffmpeg tool's pixels, and decodes no picture twice for it.
TEST(FrameBatches, MatchThePlainDecodeAndDecodeNothingTwice) {
  const std::string path = fixture_path("h264_bframes_aac.mp4");
  const FrameTruth& truth = frame_truth(path);
  const std::string rgb = ffmpeg_pictures(path, "rgb24");
  const std::string gray = ffmpeg_pictures(path, "gray");
  for (const uint64_t budget : {uint64_t{0}, kDefaultCacheBudgetBytes}) {
    auto nav = open_at_source_size(path, budget);
    ASSERT_TRUE(nav);
    std::string error;
    ASSERT_GT(nav->frame_count(&error), 0) << error;

    const std::vector<int64_t> indices = {90, 3, 90, 149, 0, 51, 50, 3};
    std::vector<FrameCopy> frames;
    const uint64_t before = snapshot(*nav).counters.frames_decoded;
    ASSERT_TRUE(nav->copy_frames_at_indices(indices, PixelFormat::kRgb24, &frames, &error))
        << error;
    // Every frame up to the last one asked for is decoded once at most.
    EXPECT_LE(snapshot(*nav).counters.frames_decoded - before, 150u) << budget;
    ASSERT_EQ(frames.size(), indices.size());
    for (size_t k = 0; k < indices.size(); ++k) {
      const auto index = static_cast<size_t>(indices[k]);
      EXPECT_EQ(frames[k].index, indices[k]);
      EXPECT_EQ(frames[k].stamp.pts, truth.frames[index]) << index;
      EXPECT_EQ(frames[k].stride, 320 * 3);
      EXPECT_TRUE(same_pixels(frames[k], rgb, index));
    }
    EXPECT_TRUE(frames[4].stamp.key_frame);  // the GOP of 50 starts there
    EXPECT_FALSE(frames[1].stamp.key_frame);

    // Every tenth frame, in order: still each picture decoded once at most.
    std::vector<int64_t> every_tenth;
    for (int64_t index = 0; index < 150; index += 10) every_tenth.push_back(index);
    std::vector<FrameCopy> grays;
    const uint64_t sorted_before = snapshot(*nav).counters.frames_decoded;
    ASSERT_TRUE(nav->copy_frames_at_indices(every_tenth, PixelFormat::kGray8, &grays, &error));
    EXPECT_LE(snapshot(*nav).counters.frames_decoded - sorted_before, 150u) << budget;
    for (size_t k = 0; k < grays.size(); ++k) {
      EXPECT_TRUE(same_pixels(grays[k], gray, static_cast<size_t>(every_tenth[k])));
    }

    // Times land as seeks do: the first frame at or after each.
    const std::vector<double> times = {2.5, 0.0, 5.99, 2.5, 99.0};
    ASSERT_TRUE(nav->copy_frames_at_seconds(times, PixelFormat::kRgba, &frames, &error));
    for (size_t k = 0; k < times.size(); ++k) {
      EXPECT_EQ(frames[k].stamp.pts, truth.frames[truth.landing(times[k])]) << times[k];
    }

    EXPECT_FALSE(nav->copy_frames_at_indices({0, 150}, PixelFormat::kRgb24, &frames, &error));
    EXPECT_EQ(error, "frame 150 is out of range: the stream has 150 frames");
  }
}

// Frames cannot be numbered where they cannot be counted: a clear reason, no landing.
TEST(FramesByNumber, NeedFramesThatCanBeCounted) {
  std::string error;
  auto raw =
      FrameNavigator::open(fixture_path("raw_h264.h264"), 0, kDefaultCacheBudgetBytes, &error);
  ASSERT_TRUE(raw) << error;
  EXPECT_FALSE(raw->seek_to_frame(0, &error));
  EXPECT_NE(error.find("cannot be counted"), std::string::npos) << error;
  EXPECT_EQ(raw->current_stamp(), nullptr);
  // Nor by decoding: untimed pictures could not be found again by their stamps.
  ASSERT_TRUE(raw->start_prescan(CountBy::kDecoding));
  EXPECT_EQ(raw->frame_count(&error), -1);
  EXPECT_NE(error.find("no timestamped picture was decoded"), std::string::npos) << error;
  // Times still land, one after the other.
  std::vector<FrameCopy> frames;
  EXPECT_TRUE(raw->copy_frames_at_seconds({0.4, 0.0}, PixelFormat::kGray8, &frames, &error))
      << error;

  // The writer's end may find the reader gone: an error, not a signal.
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string bytes = testing::run_command({"cat", fixture_path("h264_ts_offset.ts")}).out;
  std::thread writer([&] {
    size_t written = 0;
    while (written < bytes.size()) {
      const ssize_t n = write(fds[1], bytes.data() + written, bytes.size() - written);
      if (n <= 0) break;
      written += static_cast<size_t>(n);
    }
    close(fds[1]);
  });
  auto piped =
      FrameNavigator::open("pipe:" + std::to_string(fds[0]), 0, kDefaultCacheBudgetBytes, &error);
  ASSERT_TRUE(piped) << error;
  EXPECT_FALSE(piped->seek_to_frame(0, &error));
  EXPECT_NE(error.find("cannot be read a second time"), std::string::npos) << error;
  EXPECT_EQ(piped->frame_count(), -1);
  piped.reset();
  close(fds[0]);
  writer.join();
  std::signal(SIGPIPE, previous);
}

}  // namespace
}  // namespace clipwalk
