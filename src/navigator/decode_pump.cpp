// The one place where the demuxer and the decoder meet.
#include "navigator/errors.h"
#include "navigator/frame_pool.h"
#include "navigator/libav.h"
#include "navigator/navigator_impl.h"

namespace clipwalk {

namespace {
// Damaged input is skipped the way a plain decode skips it, but a run this long with no
// picture at all means there is nothing left to find.
constexpr int kMaxFailuresWithoutPicture = 256;
}  // namespace

bool flagged_damaged(const AVFrame* picture) {
  return picture->decode_error_flags != 0 || (picture->flags & AV_FRAME_FLAG_CORRUPT) != 0;
}

bool FrameNavigator::Impl::note_decode_failure(const char* prefix, int result,
                                               std::string* error_text) {
  set_error(error_text, prefix + error_description(result));
  facts.pixels_vary = true;
  ++session.failures_total;
  return ++session.failures_without_picture < kMaxFailuresWithoutPicture;
}

int32_t FrameNavigator::Impl::decode_pump(std::string* error_text) {
  AVCodecContext* decoder = decoder_context.get();
  for (;;) {
    const int received = avcodec_receive_frame(decoder, decode_frame.get());
    if (received == 0) {
      mark_taken_over(decode_frame.get());
      session.failures_without_picture = 0;
      if (flagged_damaged(decode_frame.get()) || frame_pool->decoder_logged_error()) {
        facts.pixels_vary = true;
      }
      return 1;
    }
    if (received == AVERROR_EOF) return 0;
    if (received != AVERROR(EAGAIN)) {
      // One damaged picture: decode on, as a plain decode does.
      if (!note_decode_failure("decode failed: ", received, error_text)) return -1;
      continue;
    }
    if (session.draining) return 0;
    if (session.packet_pending) {
      // The decoder refused this packet while it still had pictures to give; it has given
      // them, so the packet goes in now. Refused again with nothing to give, it is lost.
      session.packet_pending = false;
      const int sent = avcodec_send_packet(decoder, packet.get());
      av_packet_unref(packet.get());
      if (sent < 0 && !note_decode_failure("send packet failed: ", sent, error_text)) return -1;
      continue;
    }

    // The decoder wants input: read until a packet of the video stream turns up.
    for (;;) {
      demux.fresh = false;
      demux.io_deadline.arm();
      const int read = av_read_frame(demux.format_context.get(), packet.get());
      if (read < 0) {
        // A read error ends the input like its end does, so that the pictures still held
        // back by reordering come out; a damaged packet the demuxer can step over is skipped.
        if (read != AVERROR_EOF) {
          const bool skippable = read == AVERROR_INVALIDDATA && !demux.io_deadline.expired;
          if (!note_decode_failure("read failed: ", read, error_text)) return -1;
          if (skippable) continue;
        }
        avcodec_send_packet(decoder, nullptr);
        session.draining = true;
        break;
      }
      if (packet->stream_index != info.stream_index ||
          (session.awaiting_keyframe && (packet->flags & AV_PKT_FLAG_KEY) == 0)) {
        // After a container seek, decoding starts at a keyframe: anything before it would
        // be decoded against pictures the decoder never saw.
        av_packet_unref(packet.get());
        continue;
      }
      session.awaiting_keyframe = false;
      if (active_walk != nullptr && active_walk->skipping) offer_skip(*packet);
      const int sent = avcodec_send_packet(decoder, packet.get());
      if (sent == AVERROR(EAGAIN)) {
        session.packet_pending = true;  // kept in packet until the decoder takes it
        break;
      }
      av_packet_unref(packet.get());
      if (sent < 0) {
        if (!note_decode_failure("send packet failed: ", sent, error_text)) return -1;
        continue;  // the packet is lost; the next one may decode
      }
      break;
    }
  }
}

}  // namespace clipwalk
