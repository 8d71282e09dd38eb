// Reading the command line: the rules of atoi and atof, without their undefined corners.
#pragma once

#include <cstdint>
#include <string>

#include "clipwalk/frame_navigator.h"

namespace clipwalk {

struct DriverArgs {
  std::string path;
  double seek_seconds = 0.0;
  int32_t steps = 10;
  uint64_t budget_bytes = kDefaultCacheBudgetBytes;
  bool has_snapshot = false;
  std::string snapshot_path;
};

// Like atoi, but a value outside the signed 32-bit range saturates at its bound.
int32_t parse_int_argument(const char* text);
// Like atof: a text that is not a number reads as 0.
double parse_seconds_argument(const char* text);
// argc must be at least 2 (the path is present).
DriverArgs parse_driver_args(int argc, const char* const* argv);

}  // namespace clipwalk
