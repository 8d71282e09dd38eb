// The one place where the demuxer and the decoder meet.
#include "clipwalk/frame_navigator.h"
#include "navigator/errors.h"
#include "navigator/libav.h"

namespace clipwalk {

int32_t FrameNavigator::decode_pump(std::string* error_text) {
  AVCodecContext* decoder = decoder_context.get();
  for (;;) {
    const int received = avcodec_receive_frame(decoder, decode_frame.get());
    if (received == 0) return 1;
    if (received == AVERROR_EOF) return 0;
    if (received != AVERROR(EAGAIN)) {
      set_error(error_text, "decode failed: " + error_description(received));
      return -1;
    }
    if (draining) return 0;

    // The decoder wants input: read until a packet of the video stream turns up.
    for (;;) {
      const int read = av_read_frame(format_context.get(), packet.get());
      if (read == AVERROR_EOF) {
        // Flushes the pictures still held back by reordering.
        avcodec_send_packet(decoder, nullptr);
        draining = true;
        break;
      }
      if (read < 0) {
        set_error(error_text, "read failed: " + error_description(read));
        return -1;
      }
      if (packet->stream_index != video_stream_index) {
        av_packet_unref(packet.get());
        continue;
      }
      const int sent = avcodec_send_packet(decoder, packet.get());
      av_packet_unref(packet.get());
      if (sent < 0 && sent != AVERROR(EAGAIN)) {
        set_error(error_text, "send packet failed: " + error_description(sent));
        return -1;
      }
      break;
    }
  }
}

}  // namespace clipwalk
