// Replays every input that fuzzing once found faulty through the same navigator run.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "fuzz/drive_input.h"

namespace {

constexpr int kReplays = 64;

TEST(FuzzRegression, EverySavedInputRunsCleanly) {
  av_log_set_level(AV_LOG_QUIET);
  std::vector<std::filesystem::path> inputs;
  for (const auto& entry : std::filesystem::directory_iterator(CLIPWALK_FUZZ_REGRESSION_DIR)) {
    if (entry.is_regular_file() && entry.path().filename() != "README")
      inputs.push_back(entry.path());
  }
  if (inputs.empty()) GTEST_SKIP() << "no saved inputs in " << CLIPWALK_FUZZ_REGRESSION_DIR;
  std::sort(inputs.begin(), inputs.end());
  for (const auto& input : inputs) {
    SCOPED_TRACE(input.filename().string());
    std::ifstream stream(input, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(stream)),
                                     std::istreambuf_iterator<char>());
    EXPECT_LT(bytes.size(), 65536u) << "saved inputs stay small";
    // A sanitizer report or an abort fails the suite. Writes by the uninstrumented FFmpeg
    // libraries past a heap block are only seen once ASan reuses the damaged neighbour,
    // so each input runs often enough for its allocations to cycle through the quarantine.
    for (int replay = 0; replay < kReplays; ++replay) drive_input(bytes.data(), bytes.size());
  }
}

}  // namespace
