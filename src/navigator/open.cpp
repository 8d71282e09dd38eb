// Opening a video, describing its stream, and the one place where a navigator is torn down.
#include <algorithm>
#include <cmath>

#include "navigator/frame_navigator.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace clipwalk {

std::string error_description(int result) {
  char buffer[64] = {};
  av_strerror(result, buffer, sizeof buffer);
  return buffer;
}

HeldFrame::HeldFrame(HeldFrame&& other) noexcept
    : FrameStamp(other), frame(std::move(other.frame)), bytes(other.bytes) {
  other.bytes = 0;
}

HeldFrame& HeldFrame::operator=(HeldFrame&& other) noexcept {
  if (this != &other) {
    static_cast<FrameStamp&>(*this) = other;
    frame = std::move(other.frame);
    bytes = other.bytes;
    other.bytes = 0;
  }
  return *this;
}

namespace {

// Halves away from zero; a side below 3 becomes 2 and an odd side is made even, so
// that 4:2:0 previews always have whole chroma samples.
int32_t scaled_side(int32_t side, double scale) {
  long value = std::lround(static_cast<double>(side) * scale);
  if (value < 3) return 2;
  if (value % 2 != 0) ++value;
  return static_cast<int32_t>(value);
}

}  // namespace

PreviewSize compute_preview_size(int32_t source_width, int32_t source_height,
                                 int32_t preview_limit) {
  PreviewSize size{source_width, source_height};
  const int32_t longer = std::max(source_width, source_height);
  if (preview_limit > 0 && longer > preview_limit) {
    const double scale = static_cast<double>(preview_limit) / static_cast<double>(longer);
    size.width = scaled_side(source_width, scale);
    size.height = scaled_side(source_height, scale);
  }
  return size;
}

std::unique_ptr<FrameNavigator> FrameNavigator::open(const std::string& path, int32_t preview_limit,
                                                     uint64_t cache_budget_bytes,
                                                     std::string* error_text) {
  // On every early return the unique_ptr runs the full teardown of ~FrameNavigator.
  std::unique_ptr<FrameNavigator> nav(new FrameNavigator());
  nav->source_path = path;
  nav->cache_budget_bytes = cache_budget_bytes;

  AVFormatContext* raw_format = nullptr;
  int result = avformat_open_input(&raw_format, path.c_str(), nullptr, nullptr);
  if (result < 0) {
    set_error(error_text, "could not open " + path + ": " + error_description(result));
    return nullptr;
  }
  nav->format_context.reset(raw_format);

  result = avformat_find_stream_info(nav->format_context.get(), nullptr);
  if (result < 0) {
    set_error(error_text, "could not read stream info: " + error_description(result));
    return nullptr;
  }

  const AVCodec* decoder = nullptr;
  result = av_find_best_stream(nav->format_context.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
  // A cover picture attached to an audio file is chosen only when no real video exists.
  if (result < 0 || decoder == nullptr ||
      (nav->format_context->streams[result]->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0) {
    set_error(error_text, "no video stream in " + path);
    return nullptr;
  }
  nav->video_stream_index = result;
  nav->video_stream = nav->format_context->streams[result];

  nav->decoder_context.reset(avcodec_alloc_context3(decoder));
  if (!nav->decoder_context) {
    set_error(error_text, "out of memory allocating decoder");
    return nullptr;
  }
  result = avcodec_parameters_to_context(nav->decoder_context.get(), nav->video_stream->codecpar);
  if (result < 0) {
    set_error(error_text, "could not configure decoder: " + error_description(result));
    return nullptr;
  }
  nav->decoder_context->thread_count = 0;  // let libavcodec pick the thread count
  nav->frame_pool.install(nav->decoder_context.get());
  result = avcodec_open2(nav->decoder_context.get(), decoder, nullptr);
  if (result < 0) {
    set_error(error_text, "could not open decoder: " + error_description(result));
    return nullptr;
  }

  nav->source_width = nav->decoder_context->width;
  nav->source_height = nav->decoder_context->height;
  if (nav->source_width <= 0 || nav->source_height <= 0) {
    set_error(error_text, "video stream has no usable dimensions");
    return nullptr;
  }

  nav->codec_name = decoder->name != nullptr ? decoder->name : "?";
  const char* pixel_format = av_get_pix_fmt_name(nav->decoder_context->pix_fmt);
  nav->pixel_format_name = pixel_format != nullptr ? pixel_format : "?";

  const AVStream* stream = nav->video_stream;
  if (stream->time_base.den != 0) {
    nav->time_base_seconds =
        static_cast<double>(stream->time_base.num) / static_cast<double>(stream->time_base.den);
  }
  nav->start_pts = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;

  if (nav->format_context->duration > 0) {
    nav->duration_seconds = static_cast<double>(nav->format_context->duration) / 1000000.0;
  } else if (stream->duration > 0) {
    nav->duration_seconds = static_cast<double>(stream->duration) * nav->time_base_seconds;
  }

  const AVRational rate =
      av_guess_frame_rate(nav->format_context.get(), nav->video_stream, nullptr);
  nav->frames_per_second = (rate.num > 0 && rate.den > 0)
                               ? static_cast<double>(rate.num) / static_cast<double>(rate.den)
                               : 25.0;
  nav->container_frame_count = stream->nb_frames > 0 ? stream->nb_frames : 0;

  const PreviewSize preview =
      compute_preview_size(nav->source_width, nav->source_height, preview_limit);
  nav->preview_width = preview.width;
  nav->preview_height = preview.height;

  nav->decode_frame.reset(av_frame_alloc());
  nav->packet.reset(av_packet_alloc());
  if (!nav->decode_frame || !nav->packet) {
    set_error(error_text, "out of memory allocating frame/packet");
    return nullptr;
  }
  return nav;
}

FrameNavigator::~FrameNavigator() {
  // The worker reads source_path and writes the prescan fields until it returns,
  // so it is stopped and joined before anything is released.
  stop_prescan();
  window_scaler.reset();
  rgba_scaler.reset();
  decode_frame.reset();
  packet.reset();
  decoder_context.reset();
  format_context.reset();
  // The rest goes in reverse field order: prescan_pts, the joined thread, the window
  // (whose frames own references to their own buffers), the names, preview_rgba, source_path.
}

}  // namespace clipwalk
