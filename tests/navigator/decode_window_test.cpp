// The decode pump, holding frames at the preview size, the window's budget and the RGBA
// preview, on real files against ffprobe's view of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <regex>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "clipwalk/frame_navigator.h"
#include "support/navigator_test_peer.h"
#include "support/probe.h"

namespace clipwalk {
namespace {

using testing::fixture_path;
const std::string kBframes = "h264_bframes_aac.mp4";  // 320x240, B-frames, an AAC track

std::unique_ptr<FrameNavigator> open_fixture(const std::string& name, int32_t limit,
                                             uint64_t budget) {
  std::string error;
  auto nav = FrameNavigator::open(fixture_path(name), limit, budget, &error);
  EXPECT_NE(nav, nullptr) << name << ": " << error;
  return nav;
}

uint64_t buffer_sizes(const AVFrame* frame) {
  uint64_t sum = 0;
  for (const AVBufferRef* b : frame->buf) sum += b != nullptr ? b->size : 0;
  return sum;
}

uint64_t window_bytes(const NavigatorSnapshot& snap) {
  return std::accumulate(snap.window.begin(), snap.window.end(), uint64_t{0},
                         [](uint64_t s, const SnapshotFrame& h) { return s + h.bytes; });
}

// Pulls pictures until the pump stops; answers its last result.
int32_t pump_all(FrameNavigator& nav, std::vector<int64_t>& times, std::string& error) {
  int32_t r;
  while ((r = pump(nav, &error)) == 1) {
    times.push_back(pumped_picture(nav)->best_effort_timestamp);
    av_frame_unref(pumped_picture(nav));
  }
  return r;
}

TEST(DecodePump, DeliversFfprobesFramesIncludingTheReorderedTailThenEnds) {
  const std::vector<int64_t> truth = testing::probe_frame_times(fixture_path(kBframes));
  auto nav = open_fixture(kBframes, 1920, 1 << 30);
  ASSERT_NE(nav, nullptr);
  ASSERT_EQ(snapshot(*nav).container_streams, 2u);  // the audio packets must be skipped
  std::vector<int64_t> got;
  std::string error = "untouched";
  EXPECT_EQ(pump_all(*nav, got, error), 0);
  EXPECT_EQ(got, truth);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(pump(*nav, &error), 0);
  EXPECT_EQ(error, "untouched");
  // A container seek revives the ended pump.
  ASSERT_TRUE(container_seek(*nav, nav->stream().start_pts, &error)) << error;
  ASSERT_EQ(pump(*nav, &error), 1) << error;
  EXPECT_EQ(pumped_picture(*nav)->best_effort_timestamp, truth.front());
}

TEST(DecodePump, TruncatedFileEndsOnAPrefixOrFailsWithTheLibrarysReason) {
  const std::vector<int64_t> truth = testing::probe_frame_times(fixture_path("truncated.mkv"));
  auto nav = open_fixture("truncated.mkv", 1920, 1 << 30);
  ASSERT_NE(nav, nullptr);
  std::vector<int64_t> got;
  std::string error = "untouched";
  const int32_t r = pump_all(*nav, got, error);
  ASSERT_FALSE(got.empty());
  ASSERT_LE(got.size(), truth.size());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), truth.begin()));
  // Either a clean end, or a failure that names the step and gives the library's reason.
  const bool reason = std::regex_match(error, std::regex("(read|decode|send packet) failed: .+"));
  EXPECT_TRUE(r == 0 ? error == "untouched" : r == -1 && reason) << r << ": " << error;
}

TEST(FrameWindow, BudgetEvictsOldestButKeepsTwoAndAllowsExactlyTheBudget) {
  const std::vector<int64_t> truth = testing::probe_frame_times(fixture_path(kBframes));
  std::vector<uint64_t> bytes;
  for (const uint64_t budget : {0, 1}) {  // every frame alone is over these
    auto nav = open_fixture(kBframes, 1920, budget);
    ASSERT_NE(nav, nullptr);
    for (size_t k = 0; k < 12; ++k) {
      ASSERT_TRUE(decode_next(*nav));
      const NavigatorSnapshot snap = snapshot(*nav);
      ASSERT_EQ(snap.window.size(), k == 0 ? 1u : 2u);
      EXPECT_EQ(snap.current_index, snap.window.size() - 1);
      EXPECT_EQ(snap.window.back().pts, truth[k]);
      EXPECT_EQ(snap.window.front().pts, truth[k == 0 ? 0 : k - 1]);
      EXPECT_EQ(snap.held_bytes, window_bytes(snap));
      if (budget == 0 && k < 5) bytes.push_back(snap.window.back().bytes);
    }
  }
  // A budget of exactly the first four frames holds them all; the fifth evicts from the front.
  const uint64_t budget = bytes[0] + bytes[1] + bytes[2] + bytes[3];
  auto nav = open_fixture(kBframes, 1920, budget);
  ASSERT_NE(nav, nullptr);
  for (int k = 0; k < 4; ++k) ASSERT_TRUE(decode_next(*nav));
  const NavigatorSnapshot four = snapshot(*nav);
  EXPECT_EQ(four.window.size(), 4u);
  EXPECT_EQ(four.held_bytes, budget);
  ASSERT_TRUE(decode_next(*nav));
  size_t evicted = 0;
  for (uint64_t held = budget + bytes[4]; held > budget && 5 - evicted >= 3;)
    held -= bytes[evicted++];
  EXPECT_GT(evicted, 0u);
  const NavigatorSnapshot five = snapshot(*nav);
  EXPECT_EQ(five.window.size(), 5 - evicted);
  EXPECT_EQ(five.window.front().pts, truth[evicted]);
  EXPECT_EQ(five.held_bytes, window_bytes(five));
}

TEST(FrameWindow, PreviewSizedPictureIsTakenOverWithoutACopy) {
  auto nav = open_fixture(kBframes, 1920, 1 << 30);
  ASSERT_NE(nav, nullptr);
  ASSERT_EQ(pump(*nav), 1);
  const uint8_t* pixels = pumped_picture(*nav)->data[0];
  HeldFrame held;
  ASSERT_TRUE(hold(*nav, pumped_picture(*nav), held));
  EXPECT_EQ(pumped_picture(*nav)->buf[0], nullptr);
  ASSERT_NE(held.frame, nullptr);
  EXPECT_EQ(held.frame->data[0], pixels);
  EXPECT_EQ(held.bytes, buffer_sizes(held.frame.get()));
  EXPECT_FALSE(snapshot(*nav).window_scaler_made);
}

TEST(FrameWindow, OtherSizesAreHeldScaledWithFormatAndColourKept) {
  struct Case {
    const char* name;
    int32_t limit, w, h;
  };
  for (const Case& c :
       {Case{"uhd_3840x2160.mp4", 1920, 1920, 1080}, Case{"dci_4096x2160.mp4", 1920, 1920, 1014},
        Case{"portrait_2160x3840.mp4", 1920, 1080, 1920},
        Case{"mjpeg.avi", 160, 160, 120}}) {  // full range, bt470bg: tags to keep
    SCOPED_TRACE(c.name);
    const std::string path = fixture_path(c.name);
    const std::string pix_fmt = testing::probe_video_stream(path).pix_fmt;
    const std::string colours =
        testing::run_command({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                              "stream=color_range,color_space,color_transfer,color_primaries",
                              "-of", "compact=p=0", path})
            .out;
    auto nav = open_fixture(c.name, c.limit, 1 << 30);
    ASSERT_NE(nav, nullptr);
    for (int k = 0; k < 3; ++k) {
      ASSERT_TRUE(decode_next(*nav));
      const SnapshotFrame held = snapshot(*nav).window.back();
      EXPECT_EQ(held.picture_width, c.w);
      EXPECT_EQ(held.picture_height, c.h);
      EXPECT_EQ(av_get_pix_fmt_name(AVPixelFormat(held.picture_format)), pix_fmt);
      char ours[256];
      std::snprintf(ours, sizeof ours,
                    "color_range=%s|color_space=%s|color_transfer=%s|color_primaries=%s\n",
                    av_color_range_name(AVColorRange(held.color_range)),
                    av_color_space_name(AVColorSpace(held.color_space)),
                    av_color_transfer_name(AVColorTransferCharacteristic(held.color_transfer)),
                    av_color_primaries_name(AVColorPrimaries(held.color_primaries)));
      EXPECT_EQ(ours, colours);
      EXPECT_EQ(held.bytes, held.buffer_bytes);
    }
  }
}

TEST(FrameWindow, SizeChangeMidStreamHoldsEachFrameAtItsSizeAndSynthesisesStamps) {
  // 25 pictures of 320x240, then 640x360, without timestamps: within a limit of 400 the
  // first part is moved, the second scaled to 400x226 (225 made even); each picture gets
  // one frame interval more than the one before.
  const std::string path = fixture_path("size_change.h264");
  const auto times = testing::probe_frame_times_opt(path);
  ASSERT_TRUE(
      std::none_of(times.begin(), times.end(), [](const auto& t) { return t.has_value(); }));
  const testing::ProbeStream s = testing::probe_video_stream(path);
  const int64_t interval =
      std::llround(double(s.tb_den) * s.r_rate_den / (double(s.tb_num) * s.r_rate_num));
  auto nav = open_fixture("size_change.h264", 400, 1 << 30);
  ASSERT_NE(nav, nullptr);
  size_t frames = 0;
  for (; decode_next(*nav); ++frames) {
    const SnapshotFrame held = snapshot(*nav).window.back();
    const bool first_part = frames < 25;
    EXPECT_EQ(held.picture_width, first_part ? 320 : 400) << "frame " << frames;
    EXPECT_EQ(held.picture_height, first_part ? 240 : 226) << "frame " << frames;
    EXPECT_EQ(held.width, held.picture_width) << "frame " << frames;
    EXPECT_EQ(held.pts, nav->stream().start_pts + int64_t(frames) * interval);
  }
  EXPECT_EQ(frames, times.size());
  EXPECT_TRUE(snapshot(*nav).window_scaler_made);
}

TEST(PreviewPixels, ConvertsOncePerCurrentFrame) {
  auto nav = open_fixture(kBframes, 1920, 1 << 30);
  ASSERT_NE(nav, nullptr);
  EXPECT_EQ(nav->preview_pixels(), nullptr);
  constexpr size_t kPixelBytes = size_t{320} * 240 * 4;
  const auto alpha_is = [&](uint8_t want) {
    const std::vector<uint8_t> output = snapshot(*nav).output_pixels;
    if (output.size() < kPixelBytes) return false;
    for (size_t i = 3; i < kPixelBytes; i += 4)
      if (output[i] != want) return false;
    return true;
  };
  ASSERT_TRUE(decode_next(*nav));
  const uint8_t* first = nav->preview_pixels();
  ASSERT_NE(first, nullptr);
  const NavigatorSnapshot converted = snapshot(*nav);
  EXPECT_EQ(first, converted.output_pixels_address);
  // The pixels, then slack for libswscale's block writes.
  EXPECT_GE(converted.output_pixels.size(), kPixelBytes);
  EXPECT_EQ(converted.output_place.pts, nav->current_stamp()->pts);
  EXPECT_TRUE(alpha_is(255));
  // Asking again for the same frame converts nothing: overwritten bytes stay as they are.
  fill_output_pixels(*nav, 0);
  EXPECT_EQ(nav->preview_pixels(), first);
  EXPECT_TRUE(alpha_is(0));
  ASSERT_TRUE(decode_next(*nav));
  ASSERT_NE(nav->preview_pixels(), nullptr);
  EXPECT_EQ(snapshot(*nav).output_place.pts, nav->current_stamp()->pts);
  EXPECT_TRUE(alpha_is(255));
  clear_window(*nav);
  EXPECT_EQ(nav->current_stamp(), nullptr);
  EXPECT_EQ(nav->preview_pixels(), nullptr);
}

// Two pictures can share a stamp (2000 fps in milliseconds): the second is converted anew,
// not served from the first one's pixels.
TEST(PreviewPixels, PicturesWithOneStampAreConvertedEach) {
  auto nav = open_fixture("fps2000.mkv", 1920, 1 << 30);
  ASSERT_NE(nav, nullptr);
  ASSERT_TRUE(decode_next(*nav));
  int pairs = 0;
  for (int k = 0; k < 40 && decode_next(*nav); ++k) {
    const NavigatorSnapshot snap = snapshot(*nav);
    const SnapshotFrame& previous = snap.window[snap.current_index - 1];
    const SnapshotFrame& current = snap.window[snap.current_index];
    if (previous.pts != current.pts) continue;
    ++pairs;
    set_current_index(*nav, snap.current_index - 1);
    ASSERT_NE(nav->preview_pixels(), nullptr);
    set_current_index(*nav, snap.current_index);
    ASSERT_NE(nav->preview_pixels(), nullptr);
    EXPECT_EQ(snapshot(*nav).output_place.position, current.position);
    EXPECT_NE(previous.position, current.position);
  }
  EXPECT_GT(pairs, 0);
}

}  // namespace
}  // namespace clipwalk
