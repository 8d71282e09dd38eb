// Opening a video, describing its stream, and the one place where a navigator is torn down.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "navigator/demuxer.h"
#include "navigator/errors.h"
#include "navigator/frame_pool.h"
#include "navigator/libav.h"
#include "navigator/navigator_impl.h"
#include "navigator/preview.h"

extern "C" {
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
}

namespace clipwalk {

namespace {
// What estimates assume when the file gives no frame rate: the PAL rate, the most common
// one in files that leave it out, and never 0, so that estimates stay finite.
constexpr double kFallbackFramesPerSecond = 25.0;

// The machine's physical memory; 0 when it cannot be told.
uint64_t physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
}

// The most any budget gives the window: half of the machine's physical memory, so that a
// huge budget (a negative count on the command line) cannot exhaust the machine.
uint64_t window_budget_cap() {
  const uint64_t memory = physical_memory_bytes();
  return memory != 0 ? memory / 2 : std::numeric_limits<uint64_t>::max();
}

// The budget raised to hold `frames` frames of `frame_bytes` each, to at most an eighth of the
// physical memory (none where that is unknown), so that a default made for large pictures
// leaves room for other work; never lowered.
uint64_t budget_holding(uint64_t budget, uint32_t frames, uint64_t frame_bytes) {
  const uint64_t ceiling = physical_memory_bytes() / 8;
  const uint64_t wanted = frame_bytes > ceiling / frames ? ceiling : frame_bytes * frames;
  return std::max(budget, wanted);
}
}  // namespace

namespace {
// MPEG-4 Part 2 may carry stream-wide flags in user data after the first picture's headers
// only, such as the 'DivX503b1393p' mark of packed B-frames: a decoder opened at a later
// keyframe never learns that each P-frame's chunk holds a B-frame too, and loses those.
// The bytes before the first picture start code, when they hold user data.
std::vector<uint8_t> mpeg4_leading_headers(const AVPacket& packet) {
  const auto start_code = [&](size_t at, uint8_t code) {
    return packet.data[at] == 0 && packet.data[at + 1] == 0 && packet.data[at + 2] == 1 &&
           packet.data[at + 3] == code;
  };
  constexpr uint8_t kUserData = 0xB2;
  constexpr uint8_t kPicture = 0xB6;
  const size_t size = packet.size > 0 ? static_cast<size_t>(packet.size) : 0;
  bool user_data = false;
  for (size_t at = 0; at + 4 <= size; ++at) {
    if (start_code(at, kPicture)) {
      if (!user_data) return {};
      return std::vector<uint8_t>(packet.data, packet.data + at);
    }
    user_data = user_data || start_code(at, kUserData);
  }
  return {};
}

// Reads the stream's first packet with a demuxer of its own, leaving the navigator's at the
// start; only for MPEG-4 Part 2 in an input that can be read twice.
std::vector<uint8_t> read_leading_headers(const std::string& path, int32_t stream_index,
                                          IoDeadline& deadline) {
  FormatContextPtr demuxer = open_demuxer(path, deadline, nullptr);
  PacketPtr packet(av_packet_alloc());
  if (!demuxer || !packet) return {};
  while (true) {
    deadline.arm();
    if (av_read_frame(demuxer.get(), packet.get()) < 0) return {};
    if (packet->stream_index == stream_index) return mpeg4_leading_headers(*packet);
    av_packet_unref(packet.get());
  }
}
}  // namespace

DecodingSource::DecodingSource() : frame_pool(std::make_unique<FramePool>()) {}

FrameNavigator::Impl::Impl() = default;

namespace {
// Text that FFmpeg draws as pictures (ANSI art, binary text): any text file with a ".txt"
// name opens as a video of a few frames. No user of a video library means such a file.
bool renders_text(AVCodecID codec) {
  return codec == AV_CODEC_ID_ANSI || codec == AV_CODEC_ID_BINTEXT || codec == AV_CODEC_ID_XBIN ||
         codec == AV_CODEC_ID_IDF;
}
}  // namespace

bool DecodingSource::choose_stream(const std::string& path, int32_t asked_index,
                                   const AVCodec** decoder, std::string* error_text) {
  int result = 0;
  if (asked_index >= 0) {
    result = asked_index;
    if (static_cast<unsigned>(result) >= demux.format_context->nb_streams) {
      set_error(error_text, "no stream " + std::to_string(result) + " in " + path);
      return false;
    }
    const AVCodecParameters& asked = *demux.format_context->streams[result]->codecpar;
    *decoder = avcodec_find_decoder(asked.codec_id);
    if (asked.codec_type != AVMEDIA_TYPE_VIDEO) {
      set_error(error_text, "stream " + std::to_string(result) + " of " + path + " is not video");
      return false;
    }
    if (*decoder == nullptr) {
      set_error(error_text, "no decoder for stream " + std::to_string(result) + " of " + path);
      return false;
    }
  } else {
    result =
        av_find_best_stream(demux.format_context.get(), AVMEDIA_TYPE_VIDEO, -1, -1, decoder, 0);
    // A cover picture attached to an audio file is chosen only when no real video exists.
    if (result < 0 || *decoder == nullptr ||
        (demux.format_context->streams[result]->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0) {
      set_error(error_text, "no video stream in " + path);
      return false;
    }
  }
  if (renders_text(demux.format_context->streams[result]->codecpar->codec_id)) {
    set_error(error_text, path + " is text, not a video");
    return false;
  }
  info.stream_index = result;
  demux.video_stream = demux.format_context->streams[result];
  return true;
}

bool DecodingSource::open(const std::string& path, const OpenOptions& options,
                          std::string* error_text) {
  // A failure leaves what was obtained to the destructor, the one teardown.
  info.source_path = path;
  decoder_threads_ = std::max(options.decoder_threads, 0);
  demux.format_context = open_demuxer(path, demux.io_deadline, error_text);
  if (!demux.format_context) return false;

  const AVCodec* decoder = nullptr;
  if (!choose_stream(path, options.stream_index, &decoder, error_text)) return false;
  demux.bytes = demux.format_context->pb != nullptr ? avio_size(demux.format_context->pb) : -1;
  if (demux.video_stream->codecpar->codec_id == AV_CODEC_ID_MPEG4 && input_can_be_read_again()) {
    facts.leading_headers = read_leading_headers(path, info.stream_index, demux.io_deadline);
  }

  if (!open_decoder(decoder, error_text)) return false;

  info.source_width = decoder_context->width;
  info.source_height = decoder_context->height;
  if (info.source_width <= 0 || info.source_height <= 0) {
    set_error(error_text, "video stream has no usable dimensions");
    return false;
  }
  describe_stream(*decoder, options.preview_limit);

  decode_frame.reset(av_frame_alloc());
  packet.reset(av_packet_alloc());
  if (!decode_frame || !packet) {
    set_error(error_text, "out of memory allocating frame/packet");
    return false;
  }
  return true;
}

bool FrameNavigator::Impl::open_input(const std::string& path, std::string* error_text) {
  window.set_budget(std::min(window.budget(), window_budget_cap()));
  if (!source.open(path, options, error_text)) return false;
  if (options.min_held_frames > 0) {
    const StreamInfo& info = source.info;
    const uint64_t each =
        held_frame_bytes(*source.decoder_context, {info.preview_width, info.preview_height});
    window.set_budget(budget_holding(window.budget(), options.min_held_frames, each));
  }
  return true;
}

void DecodingSource::describe_stream(const AVCodec& decoder, int32_t preview_limit) {
  info.codec_name = decoder.name != nullptr ? decoder.name : "?";
  const char* pixel_format = av_get_pix_fmt_name(decoder_context->pix_fmt);
  info.pixel_format_name = pixel_format != nullptr ? pixel_format : "?";

  const AVStream* stream = demux.video_stream;
  info.time_base_num = stream->time_base.num;
  info.time_base_den = stream->time_base.den;
  if (stream->time_base.den != 0) {
    info.time_base_seconds =
        static_cast<double>(stream->time_base.num) / static_cast<double>(stream->time_base.den);
  }
  info.start_pts = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
  if (demux.format_context->start_time != AV_NOPTS_VALUE) {
    info.container_start_seconds =
        static_cast<double>(demux.format_context->start_time) / static_cast<double>(AV_TIME_BASE);
  }

  if (demux.format_context->duration > 0) {
    info.duration_seconds = static_cast<double>(demux.format_context->duration) / 1000000.0;
  } else if (stream->duration > 0) {
    info.duration_seconds = static_cast<double>(stream->duration) * info.time_base_seconds;
  }

  const AVRational rate =
      av_guess_frame_rate(demux.format_context.get(), const_cast<AVStream*>(stream), nullptr);
  const bool rate_known = rate.num > 0 && rate.den > 0;
  info.frames_per_second = rate_known
                               ? static_cast<double>(rate.num) / static_cast<double>(rate.den)
                               : kFallbackFramesPerSecond;
  info.frame_rate_num = rate_known ? rate.num : 0;
  info.frame_rate_den = rate_known ? rate.den : 1;
  info.container_frame_count = stream->nb_frames > 0 ? stream->nb_frames : 0;

  const AVRational aspect = av_guess_sample_aspect_ratio(demux.format_context.get(),
                                                         const_cast<AVStream*>(stream), nullptr);
  if (aspect.num > 0 && aspect.den > 0) {
    info.sample_aspect_num = aspect.num;
    info.sample_aspect_den = aspect.den;
  }
  const uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr);
  if (matrix != nullptr) {
    const double rotation = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
    if (std::isfinite(rotation)) info.rotation_degrees = rotation == 0.0 ? 0.0 : rotation;
  }

  const PreviewSize preview =
      compute_preview_size(info.source_width, info.source_height, preview_limit);
  info.preview_width = preview.width;
  info.preview_height = preview.height;
}

DecodingSource::~DecodingSource() {
  decode_frame.reset();
  packet.reset();
  decoder_context.reset();
  // The decoder drew its pictures from the pool; frames still held keep their buffers.
  frame_pool.reset();
  demux.format_context.reset();
}

FrameNavigator::Impl::~Impl() {
  // The worker reads source.info and writes the counts until it returns, so it is stopped
  // and joined before anything is released.
  stop_prescan();
  window_scaler.reset();
  output.scaler.reset();
  // The rest goes in reverse field order: the counts and the joined thread, the window
  // (whose frames own references to their own buffers), the source (the decoder, then the
  // pool, then the demuxer), output.
}

}  // namespace clipwalk
