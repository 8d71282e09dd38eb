// The decoder's own picture pool: pictures decoded into reused, never zero-filled buffers
// must equal what the ffmpeg tool decodes, and must count against the budget exactly what
// libavcodec's own buffers count, so that the window keeps the same frames.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "clipwalk/frame_navigator.h"
#include "navigator/frame_pool.h"
#include "navigator/libav.h"
#include "support/navigator_test_peer.h"
#include "support/probe.h"
#include "support/raw_pictures.h"

namespace clipwalk {
namespace {

using testing::ffmpeg_decode;
using testing::fixture_path;
using testing::same_picture;

// A budget of 0 keeps two frames, so every picture after the first few lands in a buffer
// that an evicted frame gave back; the walk back re-decodes into reused buffers again.
TEST(FramePool, ReusedBuffersHoldExactlyWhatFfmpegDecodes) {
  struct Case {
    const char* name;
    int frames;
  };
  // 320x240 with B-frames (small buffers), and 1080p (large buffers).
  for (const Case c : {Case{"h264_bframes_aac.mp4", 120}, Case{"h264_1080p.mp4", 40}}) {
    SCOPED_TRACE(c.name);
    const std::string path = fixture_path(c.name);
    const std::string raw = ffmpeg_decode(path, c.frames);
    std::string error;
    auto nav = FrameNavigator::open(path, 1920, 0, &error);
    ASSERT_NE(nav, nullptr) << error;
    ASSERT_TRUE(nav->seek_to_seconds(0.0, &error)) << error;
    ASSERT_TRUE(same_picture(current_picture(*nav), raw, 0));
    for (int k = 1; k < c.frames; ++k) {
      ASSERT_TRUE(nav->step_forward(&error)) << error;
      ASSERT_TRUE(same_picture(current_picture(*nav), raw, size_t(k)));
    }
    for (int k = c.frames - 2; k >= c.frames - 30; --k) {
      ASSERT_TRUE(nav->step_backward(&error)) << error;
      ASSERT_TRUE(same_picture(current_picture(*nav), raw, size_t(k)));
    }
    // The pool served the decoder, and its memory went round: far fewer mappings than
    // pictures (what the decoder keeps for reference and its threads, plus the window).
    const NavigatorSnapshot snap = snapshot(*nav);
    const uint64_t pictures = snap.pool_pictures;
    EXPECT_GE(pictures, uint64_t(c.frames));
    EXPECT_LE(snap.pool_allocations, pictures / 2);
  }
}

// The window's budget counts a held picture by its buffers; with the pool they must add
// up to what libavcodec's own pool gives the same picture.
TEST(FramePool, CountsWhatTheLibrarysBuffersCount) {
  for (const char* name : {"h264_bframes_aac.mp4", "h264_1080p.mp4", "odd_1279x719.mkv",
                           "hevc_opengop.mkv", "vp9.webm"}) {
    SCOPED_TRACE(name);
    std::string error;
    auto nav = FrameNavigator::open(fixture_path(name), 1920, 0, &error);
    ASSERT_NE(nav, nullptr) << error;
    ASSERT_TRUE(nav->seek_to_seconds(0.0, &error)) << error;
    EXPECT_GT(snapshot(*nav).pool_pictures, 0u);

    // The same stream through a decoder left with the library's buffers.
    const AVCodec* codec = avcodec_find_decoder(video_stream(*nav)->codecpar->codec_id);
    ASSERT_NE(codec, nullptr);
    CodecContextPtr plain(avcodec_alloc_context3(codec));
    ASSERT_NE(plain, nullptr);
    ASSERT_GE(avcodec_parameters_to_context(plain.get(), video_stream(*nav)->codecpar), 0);
    ASSERT_GE(avcodec_open2(plain.get(), codec, nullptr), 0);
    ASSERT_GE(avformat_seek_file(demuxer(*nav), -1, INT64_MIN, 0, 0, 0), 0);
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    bool got = false;
    while (!got && av_read_frame(demuxer(*nav), packet.get()) >= 0) {
      if (packet->stream_index == nav->stream().stream_index) {
        ASSERT_GE(avcodec_send_packet(plain.get(), packet.get()), 0);
        got = avcodec_receive_frame(plain.get(), frame.get()) == 0;
      }
      av_packet_unref(packet.get());
    }
    if (!got) {
      ASSERT_GE(avcodec_send_packet(plain.get(), nullptr), 0);
      got = avcodec_receive_frame(plain.get(), frame.get()) == 0;
    }
    ASSERT_TRUE(got);
    EXPECT_EQ(snapshot(*nav).window.front().bytes, frame_bytes(frame.get()));
  }
}

}  // namespace
}  // namespace clipwalk
