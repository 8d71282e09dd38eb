// Owning handles for FFmpeg objects: each deleter is the library's matching free call.
// The types are only declared here, so that including the navigator's header does not
// pull in FFmpeg's headers; the deleters are defined in ffmpeg_handles.cpp.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

struct AVCodec;
struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct AVStream;
struct SwsContext;

namespace clipwalk {

struct FormatContextDeleter {
  void operator()(AVFormatContext* context) const;
};
struct CodecContextDeleter {
  void operator()(AVCodecContext* context) const;
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const;
};
struct PacketDeleter {
  void operator()(AVPacket* packet) const;
};
struct ScalerDeleter {
  void operator()(SwsContext* scaler) const;
};

using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using ScalerPtr = std::unique_ptr<SwsContext, ScalerDeleter>;

// A limit on how long one demuxer call may take. FFmpeg polls it while it waits, so an
// input that makes it wait for ever (a live playlist without an end) ends with an error
// instead of holding the caller.
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

}  // namespace clipwalk
