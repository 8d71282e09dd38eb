// Opening a video, describing its stream, and the one place where a navigator is torn down.
#include <unistd.h>

#include <algorithm>
#include <limits>

#include "clipwalk/frame_navigator.h"
#include "navigator/demuxer.h"
#include "navigator/errors.h"
#include "navigator/frame_pool.h"
#include "navigator/libav.h"
#include "navigator/preview.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace clipwalk {

namespace {
// What estimates assume when the file gives no frame rate: the PAL rate, the most common
// one in files that leave it out, and never 0, so that estimates stay finite.
constexpr double kFallbackFramesPerSecond = 25.0;

// The most any budget gives the window: half of the machine's physical memory, so that a
// huge budget (a negative count on the command line) cannot exhaust the machine.
uint64_t window_budget_cap() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size) / 2;
}
}  // namespace

FrameNavigator::FrameNavigator() : frame_pool(std::make_unique<FramePool>()) {}

std::unique_ptr<FrameNavigator> FrameNavigator::open(const std::string& path, int32_t preview_limit,
                                                     uint64_t cache_budget_bytes,
                                                     std::string* error_text) {
  // On every early return the unique_ptr runs the full teardown of ~FrameNavigator.
  std::unique_ptr<FrameNavigator> nav(new FrameNavigator());
  nav->source_path = path;
  nav->cache_budget_bytes = std::min(cache_budget_bytes, window_budget_cap());

  nav->format_context = open_demuxer(path, nav->io_deadline, error_text);
  if (!nav->format_context) return nullptr;

  const AVCodec* decoder = nullptr;
  int result =
      av_find_best_stream(nav->format_context.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
  // A cover picture attached to an audio file is chosen only when no real video exists.
  if (result < 0 || decoder == nullptr ||
      (nav->format_context->streams[result]->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0) {
    set_error(error_text, "no video stream in " + path);
    return nullptr;
  }
  nav->video_stream_index = result;
  nav->video_stream = nav->format_context->streams[result];

  if (!nav->open_decoder(decoder, error_text)) return nullptr;

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
                               : kFallbackFramesPerSecond;
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

bool FrameNavigator::open_decoder(const AVCodec* decoder, std::string* error_text) {
  CodecContextPtr context(avcodec_alloc_context3(decoder));
  if (!context) {
    set_error(error_text, "out of memory allocating decoder");
    return false;
  }
  int result = avcodec_parameters_to_context(context.get(), video_stream->codecpar);
  if (result < 0) {
    set_error(error_text, "could not configure decoder: " + error_description(result));
    return false;
  }
  context->thread_count = 0;  // let libavcodec pick the thread count
  frame_pool->install(context.get());
  result = avcodec_open2(context.get(), decoder, nullptr);
  if (result < 0) {
    set_error(error_text, "could not open decoder: " + error_description(result));
    return false;
  }
  decoder_context = std::move(context);
  return true;
}

bool FrameNavigator::reopen_demuxer(std::string* error_text) {
  FormatContextPtr reopened = open_demuxer(source_path, io_deadline, error_text);
  if (!reopened) return false;
  if (static_cast<unsigned>(video_stream_index) >= reopened->nb_streams ||
      reopened->streams[video_stream_index]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) {
    set_error(error_text, "the input changed while it was open");
    return false;
  }
  format_context = std::move(reopened);
  video_stream = format_context->streams[video_stream_index];
  demuxer_fresh = true;
  return true;
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
  // The decoder drew its pictures from the pool; frames still held keep their buffers.
  frame_pool.reset();
  format_context.reset();
  // The rest goes in reverse field order: prescan_pts, the joined thread, the window
  // (whose frames own references to their own buffers), the names, preview_rgba, source_path.
}

}  // namespace clipwalk
