// How the command line is read: atoi and atof rules, saturation, the budget in MiB.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "cli/args.h"

namespace clipwalk {
namespace {

TEST(Args, IntegersSaturateAndTextReadsLikeAtoi) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  const std::pair<const char*, int32_t> ints[] = {
      {"-7", -7},           {" 12x", 12},          {"abc", 0},
      {"2147483648", kMax}, {"99999999999", kMax}, {"-99999999999", kMin}};
  for (const auto& [text, want] : ints) EXPECT_EQ(parse_int_argument(text), want) << text;
  EXPECT_DOUBLE_EQ(parse_seconds_argument("abc"), 0.0);
  EXPECT_TRUE(std::isnan(parse_seconds_argument("nan")));

  const std::pair<std::vector<const char*>, uint64_t> budgets[] = {
      {{"clipwalk", "f"}, 268435456},
      {{"clipwalk", "f", "1", "3", "0"}, 0},
      {{"clipwalk", "f", "1", "3", "5", "out.ppm", "ignored"}, 5 << 20},
      {{"clipwalk", "f", "1", "3", "-1"}, static_cast<uint64_t>(int64_t{-1048576})}};
  for (const auto& [argv, budget] : budgets) {
    const DriverArgs a = parse_driver_args(int(argv.size()), argv.data());
    EXPECT_EQ(a.budget_bytes, budget) << argv.size() << " arguments";
    EXPECT_EQ(a.has_snapshot, argv.size() > 5);
    EXPECT_EQ(a.steps, argv.size() > 3 ? 3 : 10);
  }
}

}  // namespace
}  // namespace clipwalk
