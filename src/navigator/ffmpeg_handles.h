// Owning handles for FFmpeg objects: each deleter is the library's matching free call.
// The types are only declared here, so that including the navigator's header does not
// pull in FFmpeg's headers; the deleters are defined in ffmpeg_handles.cpp.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
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

// Limits on what the demuxer calls of one input may cost. FFmpeg polls check() while it
// waits, so an input that makes it wait for ever (a live playlist without an end) ends with
// an error instead of holding the caller. One call may take kLimit; what calls take beyond
// their first kGrace is waiting, and every demuxer of one input (the navigator's, the
// prescan's) draws it from one allowance of kLimit, so that the end of a live playlist is
// waited for once, not once a demuxer. One call may also open at most kMaxOpens files
// (a playlist that lists itself makes FFmpeg open it again and again, never polling).
struct IoDeadline {
  static constexpr std::chrono::seconds kLimit{10};
  static constexpr std::chrono::seconds kGrace{1};
  static constexpr int kMaxOpens = 1000;
  bool expired = false;
  bool too_many_opens = false;
  const std::atomic<bool>* stop = nullptr;  // a stop request ends the call at once
  // The deadline whose allowance this one draws on (it must outlive this one); null: its own.
  IoDeadline* shares_waits_with = nullptr;

  void arm() {
    armed_at = std::chrono::steady_clock::now();
    armed = true;
    expired = false;
    too_many_opens = false;
    counted = {};
    opens = 0;
  }
  // Whether the current call may open one more file.
  bool may_open() {
    too_many_opens = too_many_opens || ++opens > kMaxOpens;
    return !too_many_opens;
  }
  static int check(void* opaque);
  // The reason for a failed call: a limit, when one was what ended it.
  std::string reason(int result) const;

 private:
  std::chrono::steady_clock::time_point armed_at{};
  bool armed = false;
  std::chrono::steady_clock::duration counted{};  // the current call's waiting, already drawn
  std::atomic<int64_t> waits_left_ns{std::chrono::nanoseconds(kLimit).count()};
  int opens = 0;
};

}  // namespace clipwalk
