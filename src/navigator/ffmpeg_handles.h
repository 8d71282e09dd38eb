// Owning handles for FFmpeg objects: each deleter is the library's matching free call.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace clipwalk {

struct FormatContextDeleter {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecContextDeleter {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ScalerDeleter {
  void operator()(SwsContext* scaler) const { sws_freeContext(scaler); }
};

using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using ScalerPtr = std::unique_ptr<SwsContext, ScalerDeleter>;

// A limit on how long one demuxer call may take. FFmpeg polls it while it waits, so an
// input that makes it loop or wait for ever (a playlist that lists itself, a live
// playlist without an end) ends with an error instead of holding the tool.
struct IoDeadline {
  static constexpr std::chrono::seconds kLimit{10};
  std::chrono::steady_clock::time_point limit = std::chrono::steady_clock::time_point::max();
  bool expired = false;
  const std::atomic<bool>* stop = nullptr;  // a stop request ends the call at once

  void arm() {
    limit = std::chrono::steady_clock::now() + kLimit;
    expired = false;
  }
  static int check(void* opaque) {
    auto* deadline = static_cast<IoDeadline*>(opaque);
    if (std::chrono::steady_clock::now() > deadline->limit) deadline->expired = true;
    return deadline->expired || (deadline->stop != nullptr && deadline->stop->load()) ? 1 : 0;
  }
  // The reason for a failed call: the limit, when it was what ended it.
  std::string reason(int result) const;
};

// Opens path with its stream facts read, the same way for every reader, so that every
// demuxer of one input numbers and stamps its streams alike; deadline bounds each call.
FormatContextPtr open_demuxer(const std::string& path, IoDeadline& deadline,
                              std::string* error_text);

// The library's text for a result code, as av_strerror writes it into 64 zeroed bytes.
std::string error_description(int result);

// Replaces the caller's error text, when there is one, with a single message.
inline void set_error(std::string* error_text, std::string message) {
  if (error_text != nullptr) *error_text = std::move(message);
}

}  // namespace clipwalk
