// The fixture files of scripts/make_fixtures.sh that whole suites run over, named once.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace clipwalk::testing {

// Every fixture with a decodable video stream.
inline constexpr const char* kVideoFixtures[] = {"h264_bframes_aac.mp4",
                                                 "h264_ts_offset.ts",
                                                 "mpeg2.mpg",
                                                 "vp9.webm",
                                                 "mjpeg.avi",
                                                 "prores.mov",
                                                 "hevc_opengop.mkv",
                                                 "vfr.mkv",
                                                 "no_count.mkv",
                                                 "odd_1279x719.mkv",
                                                 "uhd_3840x2160.mp4",
                                                 "dci_4096x2160.mp4",
                                                 "portrait_2160x3840.mp4",
                                                 "h264_1080p.mp4",
                                                 "raw_h264.h264",
                                                 "size_change.h264",
                                                 "truncated.mkv"};

// Files as users have them, made from clean encodes by byte-level cuts and patches.
struct DamagedFixture {
  const char* name;
  // A demux-only count can tell what a plain decode shows: false where the decoder itself
  // drops pictures that the container carries (a zeroed keyframe, bit errors in slice
  // headers), which only a count by decoding knows.
  bool count_exact = true;
};
inline constexpr DamagedFixture kDamagedFixtures[] = {{"ts_joined.ts"},
                                                      {"ts_clock_down.ts"},
                                                      {"ts_untimed_gop.ts"},
                                                      {"ts_untimed.ts"},
                                                      {"hevc_opengop.ts"},
                                                      {"truncated.mp4"},
                                                      {"editlist.mp4"},
                                                      {"ts_midcut.ts"},
                                                      {"zeroed_keyframe.mp4", false},
                                                      {"ts_damaged.ts"},
                                                      {"fps2000.mkv"},
                                                      {"concat_twice.ffconcat"},
                                                      {"mkv_untimed_start.mkv"},
                                                      {"single.jpg"},
                                                      {"pal8_large.png"},
                                                      {"faulty_pts.mp4"},
                                                      {"swapped_pts.mp4"},
                                                      {"mpeg4_bframes.avi"},
                                                      {"mpeg4_packed.avi"},
                                                      {"ts_damaged_order.ts", false},
                                                      {"ts_damaged_headers.ts", false}};

// A test name for a fixture parameter: the file name with '_' for what is not a letter or digit.
inline std::string fixture_test_name(const ::testing::TestParamInfo<const char*>& info) {
  std::string name = info.param;
  std::replace_if(
      name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
  return name;
}

}  // namespace clipwalk::testing
