#include "cli/args.h"

#include <cstdlib>
#include <limits>

namespace clipwalk {

namespace {
constexpr int64_t kBytesPerMiB = 1048576;
}

int32_t parse_int_argument(const char* text) {
  // strtoll reads what atoi reads and saturates instead of overflowing.
  const long long value = std::strtoll(text, nullptr, 10);
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

double parse_seconds_argument(const char* text) { return std::strtod(text, nullptr); }

DriverArgs parse_driver_args(int argc, const char* const* argv) {
  DriverArgs args;
  args.path = argv[1];
  if (argc > 2) args.seek_seconds = parse_seconds_argument(argv[2]);
  if (argc > 3) args.steps = parse_int_argument(argv[3]);
  if (argc > 4) {
    // A negative count wraps to a huge unsigned budget, exactly as the 64-bit product says.
    const int64_t bytes = static_cast<int64_t>(parse_int_argument(argv[4])) * kBytesPerMiB;
    args.budget_bytes = static_cast<uint64_t>(bytes);
  }
  if (argc > 5) {
    args.has_snapshot = true;
    args.snapshot_path = argv[5];
  }
  return args;
}

}  // namespace clipwalk
