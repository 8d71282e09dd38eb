// The background prescan against ffprobe's packet list: exact counts, exact indices and
// the time queries, and the worker's life: repeated starts and teardown at any moment.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "clipwalk/frame_navigator.h"
#include "support/fixtures.h"
#include "support/frame_truth.h"
#include "support/navigator_test_peer.h"

namespace clipwalk {
namespace {

using testing::fixture_path;
using testing::frame_truth;
using testing::FrameTruth;

constexpr uint64_t kDefaultBudget = 256 * 1048576ull;

// Polls as the driver does. The limit only keeps a hung worker from hanging the suite.
bool wait_for_prescan(const FrameNavigator& nav) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (nav.prescan_running()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::unique_ptr<FrameNavigator> open_and_scan(const std::string& name) {
  auto nav = FrameNavigator::open(fixture_path(name), 1920, kDefaultBudget);
  if (nav && (!nav->start_prescan() || !wait_for_prescan(*nav))) nav.reset();
  return nav;
}

// A completed count is saved in the index folder and serves the next open of the same file
// only: a saved list damaged or cut short, and a file rewritten in place, are counted again.
TEST(PrescanSavedIndex, ServesTheNextOpenOfTheSameFileOnly) {
  namespace fs = std::filesystem;
  const fs::path dir =
      fs::path(::testing::TempDir()) / ("prescan_saved_index_" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "lists");
  const std::string video = (dir / "clip.mp4").string();
  fs::copy_file(fixture_path("h264_bframes_aac.mp4"), video);
  const auto each_list = [&](const std::function<void(const fs::path&)>& change) {
    for (const auto& entry : fs::directory_iterator(dir / "lists")) change(entry.path());
  };
  const auto flip_a_byte = [&] {
    each_list([](const fs::path& list) {
      std::fstream file(list, std::ios::in | std::ios::out | std::ios::binary);
      const auto middle = static_cast<std::streamoff>(fs::file_size(list) / 2);
      file.seekg(middle);
      const char byte = static_cast<char>(file.get());
      file.seekp(middle);
      file.put(static_cast<char>(~byte));
    });
  };
  const auto cut_short = [&] {
    each_list([](const fs::path& list) { fs::resize_file(list, fs::file_size(list) - 9); });
  };
  const auto rewrite = [&] {
    fs::copy_file(fixture_path("vfr.mkv"), video, fs::copy_options::overwrite_existing);
  };
  struct Case {
    const char* what;
    std::function<void()> change;
    CountBy how;
    bool loaded;
    const char* content;
  };
  const Case cases[] = {
      {"first open", [] {}, CountBy::kDemuxing, false, "h264_bframes_aac.mp4"},
      {"second open", [] {}, CountBy::kDemuxing, true, "h264_bframes_aac.mp4"},
      {"by decoding, first", [] {}, CountBy::kDecoding, false, "h264_bframes_aac.mp4"},
      {"the decoded list serves either", [] {}, CountBy::kDemuxing, true, "h264_bframes_aac.mp4"},
      {"a flipped byte", flip_a_byte, CountBy::kDecoding, false, "h264_bframes_aac.mp4"},
      {"cut short", cut_short, CountBy::kDecoding, false, "h264_bframes_aac.mp4"},
      {"rewritten in place", rewrite, CountBy::kDemuxing, false, "vfr.mkv"},
      {"saved again", [] {}, CountBy::kDemuxing, true, "vfr.mkv"},
  };
  OpenOptions options;
  options.index_dir = (dir / "lists").string();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.change();
    const FrameTruth& truth = frame_truth(fixture_path(c.content));
    std::string error;
    auto nav = FrameNavigator::open(video, options, &error);
    ASSERT_NE(nav, nullptr) << error;
    ASSERT_TRUE(nav->start_prescan(c.how));
    ASSERT_EQ(nav->frame_count(&error), static_cast<int64_t>(truth.stamps.size())) << error;
    EXPECT_EQ(nav->count_from_saved_index(), c.loaded);
    for (size_t i = 0; i < truth.stamps.size(); ++i) {
      ASSERT_EQ(nav->exact_frame_seconds(static_cast<int64_t>(i)), truth.stamp_seconds(i)) << i;
    }
  }
  fs::remove_all(dir);
}

class PrescanCount : public ::testing::TestWithParam<const char*> {};

TEST_P(PrescanCount, MatchesStampedVideoPackets) {
  const FrameTruth& s = frame_truth(fixture_path(GetParam()));
  auto nav = FrameNavigator::open(fixture_path(GetParam()), 1920, kDefaultBudget);
  ASSERT_NE(nav, nullptr);
  // A current frame, with no index before there is a result. With B-frames decode order
  // starts elsewhere, yet the first displayed frame has index 0.
  ASSERT_TRUE(nav->seek_to_seconds(0.0));
  for (int phase = 0; phase < 2; ++phase) {
    const bool counted = phase == 1 && !s.stamps.empty();  // raw Annex-B carries no stamps
    EXPECT_EQ(nav->prescan_completed(), counted);
    EXPECT_EQ(nav->prescan_frame_count(), counted ? int64_t(s.stamps.size()) : -1);
    EXPECT_EQ(nav->exact_frame_index(), counted ? 0 : -1);
    EXPECT_EQ(nav->exact_frames_between(-1.0, 1e9), counted ? int64_t(s.stamps.size()) : -1);
    EXPECT_EQ(nav->exact_frame_seconds(0), counted ? s.stamp_seconds(0) : -1.0);
    if (phase == 0) {
      ASSERT_TRUE(nav->start_prescan() && wait_for_prescan(*nav));
    }
  }
  if (s.stamps.empty()) return;
  EXPECT_EQ(snapshot(*nav).demuxed_pts,
            s.stamps);  // video only: other streams' packets are dropped
  EXPECT_EQ(nav->prescan_progress(), 1.0f);
  const auto n = int64_t(s.stamps.size());
  EXPECT_DOUBLE_EQ(nav->exact_frame_seconds(n - 1), s.stamp_seconds(s.stamps.size() - 1));
  EXPECT_EQ(nav->exact_frame_seconds(-1), -1.0);
  EXPECT_EQ(nav->exact_frame_seconds(n), -1.0);
  // The index is the landed frame's position among the sorted stamps.
  for (const size_t j : {size_t{1}, size_t{2}, s.stamps.size() / 3, s.stamps.size() - 2}) {
    ASSERT_TRUE(nav->seek_to_seconds(s.stamp_seconds(j)));
    ASSERT_EQ(nav->current_stamp()->pts, s.stamps[j]);
    EXPECT_EQ(nav->exact_frame_index(), int64_t(j));
    ASSERT_TRUE(nav->step_forward());
    EXPECT_EQ(nav->exact_frame_index(), int64_t(j + 1));
  }
  ASSERT_TRUE(nav->seek_to_seconds(1e6));
  EXPECT_EQ(nav->exact_frame_index(), n - 1);
  clear_window(*nav);  // no current frame: no index, but the count stands
  EXPECT_EQ(nav->exact_frame_index(), -1);
  EXPECT_EQ(nav->prescan_frame_count(), n);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, PrescanCount, ::testing::ValuesIn(testing::kVideoFixtures),
                         testing::fixture_test_name);

TEST(PrescanQueries, FramesBetweenCountsTheHalfOpenInterval) {
  for (const char* name : {"h264_ts_offset.ts", "vfr.mkv"}) {  // late start; uneven spacing
    SCOPED_TRACE(name);
    const FrameTruth& s = frame_truth(fixture_path(name));
    auto nav = open_and_scan(name);
    ASSERT_NE(nav, nullptr);
    auto expected = [&](double from, double to) {
      int64_t count = 0;
      for (size_t i = 0; i < s.stamps.size(); ++i)
        count += s.stamp_seconds(i) >= from && s.stamp_seconds(i) < to;
      return count;
    };
    const std::pair<size_t, size_t> spans[] = {
        {0, 1}, {3, 40}, {49, 51}, {60, 63}, {0, s.stamps.size() - 1}};
    for (const auto& [i, j] : spans) {
      SCOPED_TRACE(::testing::Message() << i << ".." << j);
      const double from = s.stamp_seconds(i), to = s.stamp_seconds(j),
                   after_from = std::nextafter(from, 1e9);
      EXPECT_EQ(nav->exact_frames_between(from, to), int64_t(j - i));
      EXPECT_EQ(nav->exact_frames_between(from, std::nextafter(to, 1e9)), int64_t(j - i + 1));
      EXPECT_EQ(nav->exact_frames_between(after_from, to), int64_t(j - i - 1));
      EXPECT_EQ(nav->exact_frames_between(from, from), -1);
      EXPECT_EQ(nav->exact_frames_between(from, std::nan("")), -1);
      EXPECT_EQ(nav->exact_frames_between(to, from), -1);
    }
    const std::pair<double, double> times[] = {{-1.0, 0.0}, {0.5, 1.5}, {2.01, 3.33}, {-5.0, 1e3}};
    for (const auto& [from, to] : times) {
      EXPECT_EQ(nav->exact_frames_between(from, to), expected(from, to)) << from << ".." << to;
    }
  }
}

// Starts while the worker runs, and after it completed, leave the one worker and its result.
TEST(PrescanThreads, FurtherStartsKeepTheOneWorker) {
  auto nav = FrameNavigator::open(fixture_path("h264_ts_offset.ts"), 1920, kDefaultBudget);
  ASSERT_NE(nav, nullptr);
  ASSERT_TRUE(nav->start_prescan());
  const std::thread::id worker = snapshot(*nav).prescan_thread_id;
  EXPECT_TRUE(nav->prescan_running() || nav->prescan_completed());
  ASSERT_TRUE(nav->start_prescan());
  EXPECT_EQ(snapshot(*nav).prescan_thread_id, worker);
  // The caller's thread navigates on while the worker reads with its own demuxer.
  ASSERT_TRUE(nav->seek_to_seconds(2.0));
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(nav->step_backward());
  ASSERT_TRUE(nav->start_prescan() && wait_for_prescan(*nav));
  EXPECT_EQ(snapshot(*nav).prescan_thread_id, worker);
  ASSERT_TRUE(nav->prescan_completed());
  const NavigatorSnapshot counted = snapshot(*nav);
  EXPECT_EQ(counted.demuxed_pts, frame_truth(fixture_path("h264_ts_offset.ts")).stamps);
  const void* list = counted.demuxed_pts_address;
  ASSERT_TRUE(nav->start_prescan());
  EXPECT_FALSE(nav->prescan_running());
  const NavigatorSnapshot again = snapshot(*nav);
  EXPECT_EQ(again.prescan_thread_id, worker);
  EXPECT_EQ(again.demuxed_pts_address, list);
  EXPECT_EQ(again.demuxed_pts, frame_truth(fixture_path("h264_ts_offset.ts")).stamps);
  // A count by decoding then runs on a worker of its own beside the caller's navigation,
  // and its list, the plain decode's frames, answers from then on.
  ASSERT_TRUE(nav->start_prescan(CountBy::kDecoding));
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(nav->step_forward());
  ASSERT_TRUE(wait_for_prescan(*nav));
  const std::vector<int64_t>& frames = frame_truth(fixture_path("h264_ts_offset.ts")).frames;
  EXPECT_EQ(snapshot(*nav).decoded_pts, frames);
  EXPECT_EQ(nav->exact_frame_index(),
            std::find(frames.begin(), frames.end(), nav->current_stamp()->pts) - frames.begin());
}

TEST(PrescanThreads, RestartAfterARunWithoutResult) {
  auto nav = open_and_scan("raw_h264.h264");
  ASSERT_TRUE(nav && !nav->prescan_completed());
  ASSERT_TRUE(nav->start_prescan());  // joins the ended worker before starting another
  ASSERT_TRUE(wait_for_prescan(*nav));
  EXPECT_FALSE(nav->prescan_completed());
  EXPECT_EQ(nav->prescan_frame_count(), -1);
}

// Teardown at any stage of the worker's life, or with none ever started. ASan's leak
// check sees whatever a stopped worker would leave behind.
TEST(PrescanThreads, TeardownStopsTheWorkerAtAnyPoint) {
  for (const char* name : {"h264_1080p.mp4", "h264_ts_offset.ts"}) {
    for (const int delay_ms : {-1, 0, 1, 3, 10, 30}) {
      const CountBy how = delay_ms % 2 == 0 ? CountBy::kDecoding : CountBy::kDemuxing;
      SCOPED_TRACE(::testing::Message() << name << " delay " << delay_ms);
      auto nav = FrameNavigator::open(fixture_path(name), 1920, kDefaultBudget);
      ASSERT_NE(nav, nullptr);
      ASSERT_TRUE(nav->seek_to_seconds(1.0));
      if (delay_ms >= 0) {
        ASSERT_TRUE(nav->start_prescan(how));
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
      }
      EXPECT_EQ(snapshot(*nav).prescan_thread_joinable, delay_ms >= 0);
      nav.reset();
    }
  }
}

}  // namespace
}  // namespace clipwalk
