// Owning handles for FFmpeg objects: each deleter is the library's matching free call.
// The types are only declared here, so that including the navigator's header does not
// pull in FFmpeg's headers; the deleters are defined in ffmpeg_handles.cpp.
#pragma once

#include <memory>

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

}  // namespace clipwalk
