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

TEST(FuzzRegression, EverySavedInputRunsCleanly) {
  av_log_set_level(AV_LOG_QUIET);
  std::vector<std::filesystem::path> inputs;
  for (const auto& entry : std::filesystem::directory_iterator(CLIPWALK_FUZZ_REGRESSION_DIR)) {
    if (entry.is_regular_file() && entry.path().filename() != "README") inputs.push_back(entry.path());
  }
  if (inputs.empty()) GTEST_SKIP() << "no saved inputs in " << CLIPWALK_FUZZ_REGRESSION_DIR;
  std::sort(inputs.begin(), inputs.end());
  for (const auto& input : inputs) {
    SCOPED_TRACE(input.filename().string());
    std::ifstream stream(input, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(stream)),
                                     std::istreambuf_iterator<char>());
    EXPECT_LT(bytes.size(), 65536u) << "saved inputs stay small";
    drive_input(bytes.data(), bytes.size());  // a sanitizer report or an abort fails the suite
  }
}

}  // namespace
