// Opening a file: the failures and their messages, from the navigator and from the tool.
// The stream lines are checked end to end by the conformance test.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

#include "clipwalk/frame_navigator.h"
#include "support/probe.h"

namespace clipwalk {
namespace {

using testing::fixture_path;
using testing::run_clipwalk;

TEST(OpenFailure, MessagesOnStderrAndNothingOnStdout) {
  const std::string missing = fixture_path("does_not_exist.mp4");
  const std::string audio = fixture_path("audio_only.m4a");
  const std::string cover = fixture_path("audio_cover.m4a");
  const std::string text = fixture_path("not_video.txt");
  const std::pair<std::string, std::string> cases[] = {
      {missing, "could not open " + missing + ": No such file or directory"},
      {audio, "no video stream in " + audio},
      {cover, "no video stream in " + cover},
      {text, "could not open " + text + ": Invalid data found when processing input"},
  };
  for (const auto& [path, message] : cases) {
    std::string error = "stale text to be replaced";
    EXPECT_EQ(FrameNavigator::open(path, 1920, 1 << 20, &error), nullptr);
    EXPECT_EQ(error, message);
    const testing::CommandResult r = run_clipwalk({path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    // FFmpeg's own log lines may come first; ours is the last.
    const std::string line = "open failed: " + message + "\n";
    EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), line.size())), line) << r.err;
  }
  const testing::CommandResult usage = run_clipwalk({});
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.out, "");
  EXPECT_EQ(usage.err, "usage: clipwalk <file> [seek_seconds] [steps]\n");
}

}  // namespace
}  // namespace clipwalk
