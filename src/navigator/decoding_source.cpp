// The one place where the demuxer and the decoder meet: where decoding starts, the pictures
// it delivers, their stamps, and the damage they show. Opening is in open.cpp.
#include "navigator/decoding_source.h"

#include <sys/stat.h>

#include <cstring>
#include <limits>

#include "navigator/demuxer.h"
#include "navigator/errors.h"
#include "navigator/frame_pool.h"
#include "navigator/libav.h"
#include "navigator/timeline.h"

namespace clipwalk {

namespace {
// Damaged input is skipped the way a plain decode skips it, but a run this long with no
// picture at all means there is nothing left to find.
constexpr int kMaxFailuresWithoutPicture = 256;

// How many untimed pictures at the start of a stream are looked through for the first
// timed one, from which their stamps are counted back.
constexpr int kLeadingUntimedLimit = 4096;

bool untimed(const AVFrame* frame) {
  return frame->best_effort_timestamp == AV_NOPTS_VALUE && frame->pts == AV_NOPTS_VALUE;
}
}  // namespace

bool flagged_damaged(const AVFrame* picture) {
  return picture->decode_error_flags != 0 || (picture->flags & AV_FRAME_FLAG_CORRUPT) != 0;
}

double DecodingSource::pts_to_seconds(int64_t pts) const {
  int64_t difference = 0;
  if (__builtin_sub_overflow(pts, info.start_pts, &difference)) {
    // Hostile files can put timestamps anywhere in the 64-bit range.
    return (static_cast<double>(pts) - static_cast<double>(info.start_pts)) *
           info.time_base_seconds;
  }
  return static_cast<double>(difference) * info.time_base_seconds;
}

int64_t DecodingSource::seconds_to_pts(double seconds) const {
  if (!(info.time_base_seconds > 0.0)) return info.start_pts;
  return saturating_add(info.start_pts, saturating_llround(seconds / info.time_base_seconds));
}

bool DecodingSource::input_can_be_read_again() const {
  // A pipe, socket or device gives its bytes once: a second reader blocks for ever or
  // steals them from the first.
  struct stat file {};
  if (stat(info.source_path.c_str(), &file) == 0 &&
      (S_ISFIFO(file.st_mode) || S_ISSOCK(file.st_mode) || S_ISCHR(file.st_mode))) {
    return false;
  }
  const AVIOContext* io = demux.format_context ? demux.format_context->pb : nullptr;
  return io == nullptr || (io->seekable & AVIO_SEEKABLE_NORMAL) != 0;
}

bool DecodingSource::stream_has_timestamps() const {
  // Raw elementary streams carry no stamps: no start time, and a duration guessed from the
  // bitrate. A stream whose first packets are untimed (a copy cut mid-GOP) has no start
  // time either, but its container knows its duration.
  return demux.video_stream->start_time != AV_NOPTS_VALUE ||
         demux.format_context->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE;
}

void DecodingSource::reset_decoding(bool await_keyframe) {
  // A fresh decoder, not a flushed one: a flush keeps what the decoder learnt from the
  // stream so far (its reordering delay among others), and across damage that makes it
  // show other pictures than a decode from the first packet does.
  if (!open_decoder(decoder_context->codec, nullptr)) avcodec_flush_buffers(decoder_context.get());
  av_packet_unref(packet.get());  // a packet the old decoder refused belongs to its session
  session = DecoderSession{};
  session.awaiting_keyframe = await_keyframe;
  session.decoding_from_start = !await_keyframe;
  skipping.active = false;
}

bool DecodingSource::demux_seek(int64_t target, std::string* error_text) {
  // Even a refused seek may have moved a demuxer that can seek (an ffconcat list opens
  // another file); one that cannot, on a pipe, has not moved.
  if (input_can_be_read_again()) demux.fresh = false;
  demux.io_deadline.arm();
  const int result =
      avformat_seek_file(demux.format_context.get(), info.stream_index,
                         std::numeric_limits<int64_t>::min(), target, target, AVSEEK_FLAG_BACKWARD);
  if (result < 0 && demux.video_stream->start_time == AV_NOPTS_VALUE) {
    // A stream without timestamps (a raw elementary stream) cannot be sought by time;
    // its first byte precedes every target.
    if (avformat_seek_file(demux.format_context.get(), -1, 0, 0, 0, AVSEEK_FLAG_BYTE) >= 0) {
      reset_decoding(false);
      return true;
    }
  }
  if (result < 0) {
    set_error(error_text, "seek failed: " + demux.io_deadline.reason(result));
    return false;
  }
  // Timestamp searches can land on any packet, and index entries on pictures whose
  // references lie further back: decoding starts at the next keyframe.
  reset_decoding(true);
  session.started_at_seconds = pts_to_seconds(target);
  return true;
}

bool DecodingSource::read_from_start(std::string* error_text) {
  // The stream's frames are what a decode from its first packet shows; a timestamp search
  // for the start can miss pictures that carry no stamp or a clock that starts again.
  std::string reopen_error;
  if (demux.fresh || (input_can_be_read_again() && reopen_demuxer(&reopen_error))) {
    reset_decoding(false);
    return true;
  }
  // Timestamp-searching demuxers skip the first keyframe when asked for start_pts itself,
  // since its decode timestamp lies before it; a second earlier reaches it.
  const int64_t one_second = seconds_to_pts(1.0) - info.start_pts;
  if (one_second > 0 && demux_seek(saturating_add(info.start_pts, -one_second), nullptr))
    return true;
  std::string seek_error;
  if (demux_seek(info.start_pts, &seek_error)) return true;
  // Why the input could not be opened again (gone, or changed under us) says more than
  // the seek's reason.
  set_error(error_text, reopen_error.empty() ? seek_error : reopen_error);
  return false;
}

void DecodingSource::offer_skip(const AVPacket& next) {
  // Packets come in decode order; the first one stamped too late, or not at all, ends
  // the skipping for the rest of the landing.
  const bool skippable = next.pts != AV_NOPTS_VALUE && next.pos >= 0 &&
                         pts_to_seconds(next.pts) < skipping.until_seconds;
  decoder_context->skip_frame = skippable ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
  if (!skippable) {
    skipping.active = false;
    return;
  }
  skipping.offers.push_back({next.pts, next.dts, next.pos});
  ++packets_offered;
}

void DecodingSource::stop_skipping() {
  skipping = PacketSkipping{};
  if (decoder_context) decoder_context->skip_frame = AVDISCARD_DEFAULT;
}

bool DecodingSource::note_decode_failure(const char* prefix, int result, std::string* error_text) {
  set_error(error_text, prefix + error_description(result));
  facts.pixels_vary = true;
  ++session.failures_total;
  return ++session.failures_without_picture < kMaxFailuresWithoutPicture;
}

int32_t DecodingSource::pump(std::string* error_text) {
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
      if (skipping.active) offer_skip(*packet);
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

int64_t DecodingSource::frame_interval_ticks(const AVFrame* frame) const {
  // The best duration the stream and the decoder give: the packet's own, the codec's frame
  // rate, then the guessed rate. At least one tick, so that stamps keep ascending.
  if (frame->pkt_duration > 0) return frame->pkt_duration;
  const AVRational codec_rate = decoder_context->framerate;
  double ticks = 0.0;
  if (codec_rate.num > 0 && codec_rate.den > 0 && info.time_base_seconds > 0.0) {
    ticks = static_cast<double>(codec_rate.den) /
            (static_cast<double>(codec_rate.num) * info.time_base_seconds);
  } else if (info.frames_per_second > 0.0 && info.time_base_seconds > 0.0) {
    ticks = 1.0 / (info.frames_per_second * info.time_base_seconds);
  }
  const int64_t interval = saturating_llround(ticks);
  return interval < 1 ? 1 : interval;
}

int64_t DecodingSource::stamp_for(const AVFrame* frame, const FramePlace* newest_held) const {
  if (frame->best_effort_timestamp != AV_NOPTS_VALUE) return frame->best_effort_timestamp;
  if (frame->pts != AV_NOPTS_VALUE) return frame->pts;
  if (session.decoding_from_start && session.pictures_from_start < facts.leading_stamps.size()) {
    return facts.leading_stamps[session.pictures_from_start];
  }
  // One frame after the picture before it, by that picture's duration.
  if (session.position_valid)
    return saturating_add(session.position.pts, session.position_duration);
  if (newest_held != nullptr) return saturating_add(newest_held->pts, frame_interval_ticks(frame));
  return info.start_pts;
}

bool DecodingSource::learn_leading_stamps() {
  // The first pictures carry no stamp while later ones do (a cut that kept a GOP without
  // timestamps): decode on to the first timed picture and count their stamps back from it,
  // so that stamps ascend into the timed ones and every road gives the same.
  facts.leading_stamps_known = true;
  std::vector<int64_t> offsets;  // from the first picture, in guessed frame intervals
  int64_t offset = 0;
  int32_t result = 1;
  while (result == 1 && untimed(decode_frame.get()) &&
         offsets.size() < static_cast<size_t>(kLeadingUntimedLimit)) {
    offsets.push_back(offset);
    offset = saturating_add(offset, frame_interval_ticks(decode_frame.get()));
    av_frame_unref(decode_frame.get());
    result = pump(nullptr);
    pictures_decoded += result == 1 ? 1 : 0;
  }
  if (result == 1 && !untimed(decode_frame.get())) {
    const int64_t first_timed = stamp_for(decode_frame.get(), nullptr);
    for (const int64_t picture_offset : offsets) {
      facts.leading_stamps.push_back(saturating_add(first_timed, picture_offset - offset));
    }
  }
  av_frame_unref(decode_frame.get());
  return read_from_start(nullptr);
}

bool DecodingSource::next_picture(FramePlace* place, const FramePlace* newest_held,
                                  std::string* error_text) {
  for (;;) {
    if (pump(error_text) <= 0) return false;
    ++pictures_decoded;
    const AVFrame* picture = decode_frame.get();
    if (session.decoding_from_start && session.pictures_from_start == 0 &&
        !facts.leading_stamps_known && untimed(picture) && stream_has_timestamps() &&
        input_can_be_read_again()) {
      if (!learn_leading_stamps()) return false;
      continue;
    }
    place->pts = stamp_for(picture, newest_held);
    place->position = picture->pkt_pos;
    if (session.decoding_from_start) ++session.pictures_from_start;
    if (!session.position_valid && session.decoding_from_start) {
      facts.first_known = true;
      facts.first = *place;
    }
    if (!session.position_valid) {
      session.first_seconds = pts_to_seconds(place->pts);
      session.landing_stamp_guessed = stream_has_timestamps() && untimed(picture);
    }
    session.position_valid = true;
    session.position = *place;
    session.position_duration = frame_interval_ticks(picture);
    note_damage(picture, place->pts);
    return true;
  }
}

bool DecodingSource::open_decoder(const AVCodec* decoder, std::string* error_text) {
  CodecContextPtr context(avcodec_alloc_context3(decoder));
  if (!context) {
    set_error(error_text, "out of memory allocating decoder");
    return false;
  }
  int result = avcodec_parameters_to_context(context.get(), demux.video_stream->codecpar);
  if (result < 0) {
    set_error(error_text, "could not configure decoder: " + error_description(result));
    return false;
  }
  if (!facts.leading_headers.empty()) {
    const AVCodecParameters& stream = *demux.video_stream->codecpar;
    const size_t own = stream.extradata_size > 0 ? static_cast<size_t>(stream.extradata_size) : 0;
    const size_t size = own + facts.leading_headers.size();
    auto* headers = static_cast<uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
    if (headers == nullptr) {
      set_error(error_text, "out of memory allocating decoder");
      return false;
    }
    if (own > 0) std::memcpy(headers, stream.extradata, own);
    std::memcpy(headers + own, facts.leading_headers.data(), facts.leading_headers.size());
    av_freep(&context->extradata);  // the context frees what it holds here
    context->extradata = headers;
    context->extradata_size = static_cast<int>(size);
  }
  // 0 lets libavcodec pick the thread count.
  context->thread_count = decoder_threads_;
  frame_pool->install(context.get());
  result = avcodec_open2(context.get(), decoder, nullptr);
  if (result < 0) {
    set_error(error_text, "could not open decoder: " + error_description(result));
    return false;
  }
  decoder_context = std::move(context);
  return true;
}

namespace {
// How a reopened input differs from the one first opened, or empty when it is the same to
// every fact the navigator keeps: frames found by stamp and byte position in one would
// name other pictures in the other.
std::string input_change(const AVFormatContext& reopened, int32_t index, const AVStream& opened,
                         int64_t opened_start_pts, int64_t opened_bytes) {
  if (static_cast<unsigned>(index) >= reopened.nb_streams) return "its video stream is gone";
  const AVStream& stream = *reopened.streams[index];
  const AVCodecParameters& now = *stream.codecpar;
  const AVCodecParameters& then = *opened.codecpar;
  if (now.codec_type != AVMEDIA_TYPE_VIDEO || now.codec_id != then.codec_id) {
    return "its video stream is another";
  }
  if (av_cmp_q(stream.time_base, opened.time_base) != 0) return "its time base differs";
  // Reading can fill in the open stream's start time, so the one open found is compared.
  const int64_t start = stream.start_time != AV_NOPTS_VALUE ? stream.start_time : 0;
  if (start != opened_start_pts) return "its start differs";
  if (now.width != then.width || now.height != then.height) return "its picture size differs";
  const int64_t bytes = reopened.pb != nullptr ? avio_size(reopened.pb) : -1;
  if (opened_bytes >= 0 && bytes >= 0 && bytes != opened_bytes) return "its size differs";
  return {};
}
}  // namespace

bool DecodingSource::reopen_demuxer(std::string* error_text) {
  FormatContextPtr reopened = open_demuxer(info.source_path, demux.io_deadline, error_text);
  if (!reopened) return false;
  const std::string change =
      input_change(*reopened, info.stream_index, *demux.video_stream, info.start_pts, demux.bytes);
  if (!change.empty()) {
    set_error(error_text, info.source_path + " changed while it was open: " + change);
    return false;
  }
  demux.format_context = std::move(reopened);
  demux.video_stream = demux.format_context->streams[info.stream_index];
  demux.fresh = true;
  return true;
}

bool FaultyStamps::stamps_by_dts(const AVFrame* picture) {
  const int64_t pts = picture->pts;
  const int64_t dts = picture->pkt_dts;
  if (dts != AV_NOPTS_VALUE) {
    faulty_dts += dts <= last_dts ? 1 : 0;
    last_dts = dts;
  } else if (pts != AV_NOPTS_VALUE) {
    last_dts = pts;
  }
  if (pts != AV_NOPTS_VALUE) {
    faulty_pts += pts <= last_pts ? 1 : 0;
    last_pts = pts;
  } else if (dts != AV_NOPTS_VALUE) {
    last_pts = dts;
  }
  return pts != AV_NOPTS_VALUE && dts != AV_NOPTS_VALUE && faulty_pts > faulty_dts;
}

void DecodingSource::note_damage(const AVFrame* picture, int64_t pts) {
  // Concealed pictures, lost packets and stamps the decoder found running backwards (after
  // which it may stamp by the decode stamps) all depend on what the decoder saw before.
  // Faulty stamps count only where they changed a picture's stamp: streams whose stamps
  // repeat by rounding have them throughout, decoded alike from anywhere.
  const bool restamped = picture->best_effort_timestamp != AV_NOPTS_VALUE &&
                         picture->pts != AV_NOPTS_VALUE &&
                         picture->best_effort_timestamp != picture->pts;
  // A count by decoding also marks where libavcodec turned to the dts: any road past it
  // may stamp otherwise from a later keyframe, even where this picture's stamp is the same.
  const bool turned_to_dts = notes_stamp_turns && session.faulty_stamps.stamps_by_dts(picture);
  const bool damaged =
      flagged_damaged(picture) || session.failures_total != 0 || restamped || turned_to_dts;
  if (!damaged) {
    if (picture->key_frame != 0) ++session.clean_keyframes;
    return;
  }
  if (session.damage_seen) return;
  session.damage_seen = true;
  // A keyframe after the first one, reached cleanly, leaves the decoder as a plain decode
  // has it there, unless earlier damage changed that for good: then only a start at or
  // before the road that first showed it does.
  const bool from_known_start = facts.damage_known && !facts.damage_preroll_from_start &&
                                session.started_at_seconds <= facts.damage_preroll_seconds;
  const bool before_known_damage = !facts.damage_known || pts <= facts.damage_pts;
  session.damage_explained = session.decoding_from_start || from_known_start ||
                             (session.clean_keyframes >= 2 && before_known_damage);
  if (session.damage_explained && (!facts.damage_known || pts < facts.damage_pts)) {
    facts.damage_known = true;
    facts.damage_pts = pts;
    facts.damage_preroll_from_start = session.decoding_from_start;
    facts.damage_preroll_seconds = session.started_at_seconds;
  }
}

bool DecodingSource::damage_unexplained() const {
  // An input read once cannot be decoded again from further back.
  return session.damage_seen && !session.damage_explained && input_can_be_read_again();
}

}  // namespace clipwalk
