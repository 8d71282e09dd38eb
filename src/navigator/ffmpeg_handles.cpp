// The deleters of the owning handles, kept out of line so that the public header only
// declares the FFmpeg types.
#include "navigator/ffmpeg_handles.h"

#include "navigator/libav.h"

namespace clipwalk {

void FormatContextDeleter::operator()(AVFormatContext* context) const {
  avformat_close_input(&context);
}
void CodecContextDeleter::operator()(AVCodecContext* context) const {
  avcodec_free_context(&context);
}
void FrameDeleter::operator()(AVFrame* frame) const { av_frame_free(&frame); }
void PacketDeleter::operator()(AVPacket* packet) const { av_packet_free(&packet); }
void ScalerDeleter::operator()(SwsContext* scaler) const { sws_freeContext(scaler); }

}  // namespace clipwalk
