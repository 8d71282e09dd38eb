// The round trip judges pixels as well as stamps: a frame that a second road shows with the
// right stamp and other pixels fails it, and the report names the step.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/round_trip.h"
#include "support/fixtures.h"
#include "support/frame_truth.h"
#include "support/navigator_test_peer.h"
#include "support/probe.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace clipwalk {
namespace {

// The report of a walk of `steps` frames from 1 s; with `alter`, one pixel of the landed
// frame is changed where it is held, in a copy of its own so that the decoder's reference
// stays as it was.
std::string walk_report(uint64_t budget, int64_t steps, bool alter, int64_t& landed_pts) {
  const std::string path = testing::fixture_path("h264_bframes_aac.mp4");
  std::string error_text;
  auto nav = FrameNavigator::open(path, kDefaultPreviewLimit, budget, &error_text);
  EXPECT_TRUE(nav) << error_text;
  if (!nav || !nav->seek_to_seconds(1.0, &error_text)) return error_text;
  landed_pts = nav->current_stamp()->pts;
  if (alter) {
    AVFrame* frame = current_picture(*nav);
    EXPECT_EQ(av_frame_make_writable(frame), 0);
    frame->data[0][frame->linesize[0] * (frame->height / 2) + frame->width / 2] ^= 0x10;
  }
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  const auto forward = walk_forward(*nav, steps, error_text, out);
  const auto backward = walk_backward(*nav, forward.size() - 1, error_text, out);
  report_round_trip(forward, backward, out);
  std::fclose(out);
  std::string report(text, size);
  std::free(text);
  return report;
}

TEST(RoundTrip, JudgesPixelsAsWellAsStamps) {
  struct Case {
    uint64_t budget;
    bool alter;
    const char* verdict;
    bool names_the_landing;  // the mismatch line names the last backward step, the landing
  };
  // At budget 0 the walk back re-decodes the landed frame; at 256 MiB it shows the held one,
  // altered or not, and the walks agree.
  for (const Case& c : {Case{0, false, "PASS", false}, Case{0, true, "FAIL", true},
                        Case{uint64_t{256} << 20, true, "PASS", false}}) {
    SCOPED_TRACE(::testing::Message() << "budget " << c.budget << " alter " << c.alter);
    int64_t landed = 0;
    const std::string report = walk_report(c.budget, 12, c.alter, landed);
    EXPECT_NE(
        report.find(std::string("\nround trip: ") + c.verdict + " (13 forward, 13 backward)\n"),
        std::string::npos)
        << report;
    const std::string mismatch =
        "mismatch  : backward step 12 differs by pixels (pts=" + std::to_string(landed) + ")\n";
    EXPECT_EQ(report.ends_with(mismatch), c.names_the_landing) << report;
    EXPECT_EQ(report.find("mismatch") != std::string::npos, c.names_the_landing) << report;
  }
}

// Where the decoder of a plain decode reports damage, a walk through the file ends without a
// digest: frame threads conceal differently from one decode to the next, and flag what they
// conceal in some decodes only, so the report, not the flag, must turn pixels off.
class DamagedDigest : public ::testing::TestWithParam<testing::DamagedFixture> {};

TEST_P(DamagedDigest, NoneAfterDamageTheDecoderReports) {
  const std::string path = testing::fixture_path(GetParam().name);
  std::string error_text;
  auto nav = FrameNavigator::open(path, kDefaultPreviewLimit, 0, &error_text);
  ASSERT_TRUE(nav) << error_text;
  const auto plain = testing::run_command(
      {"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:v:0", "-f", "null", "-"});
  // ffmpeg names the context of each message: "[h264 @ 0x5581...] error while decoding MB".
  const bool reported = plain.err.find("[" + nav->stream().codec_name + " @ ") != std::string::npos;
  ASSERT_TRUE(nav->seek_to_seconds(0.0, &error_text)) << error_text;
  while (nav->step_forward(&error_text)) {
  }
  // Without damage the digest stays: no other context's message turns it off.
  EXPECT_EQ(nav->current_pixel_digest() == 0, reported) << plain.err;
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, DamagedDigest, ::testing::ValuesIn(testing::kDamagedFixtures),
    [](const auto& param_info) {
      return testing::fixture_test_name({param_info.param.name, param_info.index});
    });

}  // namespace
}  // namespace clipwalk
