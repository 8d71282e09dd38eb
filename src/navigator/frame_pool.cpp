// The decoder's picture buffers: one buffer per picture, planes laid out as the library's
// own pool lays them out, never zero-filled, reused once the frames holding them are freed.
#include "navigator/frame_pool.h"

#include "navigator/ffmpeg_log.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace clipwalk {

namespace {

constexpr size_t kPlaneAlign = 64;

size_t round_up(size_t value, size_t step) { return (value + step - 1) / step * step; }

// Pictures whose planes all begin at one offset within a page alias in the caches: where a
// line size is a multiple of 4096 bytes (4096-pixel-wide pictures), the rows motion
// compensation reads from a reference and the rows it writes fall into the same cache sets,
// and decoding took 13-20 % longer than in the library's own buffers, which begin wherever
// malloc puts them. So each new buffer begins at another multiple of 64 bytes into its first
// page, an odd step at a time, which visits all 64 of them.
constexpr size_t kColourSpan = 4096;
constexpr size_t kColourStep = 41 * kPlaneAlign;

void free_picture(void* memory, uint8_t* /*data*/) { av_free(memory); }

// The memory is left as it comes, where libavcodec's own pool asks for it zeroed.
AVBufferRef* allocate_picture(void* opaque, size_t size) {
  auto* memory = static_cast<uint8_t*>(av_malloc(size + kColourSpan));
  if (memory == nullptr) return nullptr;
  auto& allocations = *static_cast<std::atomic<uint64_t>*>(opaque);
  const uint64_t made = allocations.fetch_add(1, std::memory_order_relaxed);
  const size_t colour = (made * kColourStep) % kColourSpan;
  AVBufferRef* buffer = av_buffer_create(memory + colour, size, free_picture, memory, 0);
  if (buffer == nullptr) {
    allocations.fetch_sub(1, std::memory_order_relaxed);  // counts buffers made, not tries
    av_free(memory);
    return nullptr;
  }
  populate_pages(buffer->data, size);
  return buffer;
}

// The pools of open navigators, so that a log message's `opaque` is trusted only when it is one
// of them: the callback also sees the messages of every other AVCodecContext in the process.
// Neither is ever destroyed, as a navigator or a message may outlive static destruction.
std::mutex& live_pools_mutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}
std::vector<FramePool*>& live_pools() {
  static auto* pools = new std::vector<FramePool*>();
  // A fork while a decoder thread logs would leave the child with the lock held for ever.
  static const int fork_safe =
      pthread_atfork([] { live_pools_mutex().lock(); }, [] { live_pools_mutex().unlock(); },
                     [] { live_pools_mutex().unlock(); });
  (void)fork_safe;
  return *pools;
}

}  // namespace

void populate_pages(uint8_t* data, size_t size) {
#ifdef MADV_POPULATE_WRITE
  static const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + page - 1) / page * page;
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) / page * page;
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
  (void)data;
  (void)size;
#endif
}

FramePool::FramePool() {
  std::lock_guard<std::mutex> lock(live_pools_mutex());
  live_pools().push_back(this);
}

FramePool::~FramePool() {
  {
    std::lock_guard<std::mutex> lock(live_pools_mutex());
    std::erase(live_pools(), this);
  }
  av_buffer_pool_uninit(&pool_);
}

void FramePool::note_log(void* context, int level) {
  // Frame threads log through copies of the decoder's context, which keep its opaque.
  if (level <= AV_LOG_ERROR && context != nullptr &&
      *static_cast<const AVClass* const*>(context) == avcodec_get_class()) {
    const void* opaque = static_cast<const AVCodecContext*>(context)->opaque;
    std::lock_guard<std::mutex> lock(live_pools_mutex());
    for (FramePool* pool : live_pools()) {
      if (pool == opaque) {
        pool->decoder_logged_error_.store(true, std::memory_order_release);
      }
    }
  }
}

bool FramePool::decoder_logged_error() const {
  return decoder_logged_error_.load(std::memory_order_acquire);
}

void FramePool::install(AVCodecContext* decoder) {
  install_log_callback();
  decoder->opaque = this;
  if (decoder->codec == nullptr || (decoder->codec->capabilities & AV_CODEC_CAP_DR1) == 0 ||
      decoder->codec_type != AVMEDIA_TYPE_VIDEO) {
    return;  // the library's own buffers serve codecs that cannot render into ours
  }
  decoder->get_buffer2 = &FramePool::get_buffer;
#if LIBAVCODEC_VERSION_MAJOR < 60
  // The callback takes its own lock, so frame threads may call it directly; libavcodec 60
  // assumes this of every callback and drops the field.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  decoder->thread_safe_callbacks = 1;
#pragma GCC diagnostic pop
#endif
}

uint64_t FramePool::pictures() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pictures_;
}

uint64_t FramePool::allocations() const { return allocations_.load(std::memory_order_relaxed); }

bool picture_layout(AVCodecContext* decoder, int format, int width, int height,
                    PictureLayout* layout) {
  const auto pixel_format = static_cast<AVPixelFormat>(format);
  if (av_pix_fmt_desc_get(pixel_format) == nullptr || width <= 0 || height <= 0) return false;
  int stride_align[AV_NUM_DATA_POINTERS] = {};
  avcodec_align_dimensions2(decoder, &width, &height, stride_align);

  int linesize[4] = {};
  for (;;) {
    if (av_image_fill_linesizes(linesize, pixel_format, width) < 0) return false;
    bool unaligned = false;
    for (int i = 0; i < 4; ++i) {
      unaligned = unaligned || (stride_align[i] > 0 && linesize[i] % stride_align[i] != 0);
    }
    if (!unaligned) break;
    width += width & ~(width - 1);  // the lowest set bit: the next power-of-two step
  }
  const ptrdiff_t line_sizes[4] = {linesize[0], linesize[1], linesize[2], linesize[3]};
  size_t plane_size[4] = {};
  if (av_image_fill_plane_sizes(plane_size, pixel_format, height, line_sizes) < 0) return false;

  const size_t padding = 16 + static_cast<size_t>(stride_align[0] > 0 ? stride_align[0] : 1) - 1;
  PictureLayout found;
  size_t end = 0;
  for (int i = 0; i < 4 && plane_size[i] != 0; ++i) {
    found.offset[i] = round_up(end, kPlaneAlign);
    found.linesize[i] = linesize[i];
    end = found.offset[i] + plane_size[i];
    found.counted += plane_size[i] + padding;
    ++found.planes;
  }
  if (found.planes == 0) return false;
  // The library's per-plane sizes always cover the layout and the padding after the last
  // plane.
  found.size = std::max(found.counted, end + padding);
  *layout = found;
  return true;
}

// The budget counts the sizes of libavcodec's default pool, so the window evicts exactly as
// it would with the library's buffers.
bool FramePool::prepare(AVCodecContext* decoder, const AVFrame* frame) {
  if (pool_ != nullptr && frame->format == format_ && frame->width == width_ &&
      frame->height == height_) {
    return true;
  }
  const AVPixFmtDescriptor* descriptor =
      av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
  PictureLayout layout;
  if (descriptor == nullptr ||
      (descriptor->flags &
       (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM)) != 0 ||
      !picture_layout(decoder, frame->format, frame->width, frame->height, &layout)) {
    return false;
  }

  AVBufferPool* pool = av_buffer_pool_init2(layout.size, &allocations_, allocate_picture, nullptr);
  if (pool == nullptr) return false;
  av_buffer_pool_uninit(&pool_);
  pool_ = pool;
  format_ = frame->format;
  width_ = frame->width;
  height_ = frame->height;
  layout_ = layout;
  return true;
}

int FramePool::get_buffer(AVCodecContext* decoder, AVFrame* frame, int flags) {
  auto* self = static_cast<FramePool*>(decoder->opaque);
  std::unique_lock<std::mutex> lock(self->mutex_);
  if (!self->prepare(decoder, frame)) {
    lock.unlock();
    return avcodec_default_get_buffer2(decoder, frame, flags);
  }
  AVBufferRef* buffer = av_buffer_pool_get(self->pool_);
  if (buffer == nullptr) return AVERROR(ENOMEM);
  ++self->pictures_;
  for (int i = 0; i < AV_NUM_DATA_POINTERS; ++i) {
    frame->data[i] = i < self->layout_.planes ? buffer->data + self->layout_.offset[i] : nullptr;
    frame->linesize[i] = i < self->layout_.planes ? self->layout_.linesize[i] : 0;
    frame->buf[i] = nullptr;
  }
  // The reference reports what the library's pool would have: the budget counts it.
  buffer->size = self->layout_.counted;
  frame->buf[0] = buffer;
  frame->extended_data = frame->data;
  mark_handed_over(buffer);
  return 0;
}

}  // namespace clipwalk
