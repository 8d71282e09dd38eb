// The preview size: the longer side scaled to the limit, even sides of at least 2.
#include <gtest/gtest.h>

#include "navigator/preview.h"

namespace clipwalk {
namespace {

TEST(PreviewSize, ScalesTheLongerSideToTheLimitWithEvenSides) {
  struct Case {
    int32_t w, h, limit, want_w, want_h;
  };
  // clang-format off
  const Case cases[] = {
      {3840, 2160, 1920, 1920, 1080}, {2160, 3840, 1920, 1080, 1920},
      {4096, 2160, 1920, 1920, 1014},  // 1012.5 rounds to 1013, odd, raised
      {1920, 1080, 1920, 1920, 1080}, {1279, 719, 1920, 1279, 719},  // unscaled: odd stays odd
      {5000, 6, 1920, 1920, 2},       {5000, 8, 1920, 1920, 4},
      {5000, 1, 1920, 1920, 2},       {3838, 2000, 1919, 1918, 1000},
      {7680, 4320, 0, 7680, 4320},    {7680, 4320, -5, 7680, 4320},
      {640, 360, 639, 638, 360},      {360, 640, 225, 128, 224},  // odd limits: never past
      {640, 360, 3, 2, 2}};
  // clang-format on
  for (const Case& c : cases) {
    const PreviewSize got = compute_preview_size(c.w, c.h, c.limit);
    EXPECT_EQ(got.width, c.want_w) << c.w << "x" << c.h << " limit " << c.limit;
    EXPECT_EQ(got.height, c.want_h) << c.w << "x" << c.h << " limit " << c.limit;
  }
}

}  // namespace
}  // namespace clipwalk
