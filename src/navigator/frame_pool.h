// Picture buffers for the decoder that are neither zero-filled nor returned to the system
// while the decoder lives: a frame the window lets go of gives its memory to the next picture.
// Huge pages (MADV_HUGEPAGE) were measured and left out: on a 2-core VM they doubled the
// system time of a 512 MiB seek instead of saving page faults.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
}

namespace clipwalk {

class FramePool {
 public:
  FramePool() = default;
  // Buffers still referenced by frames outlive the pool; the last one frees the memory.
  ~FramePool();
  FramePool(const FramePool&) = delete;
  FramePool& operator=(const FramePool&) = delete;
  FramePool(FramePool&&) = delete;
  FramePool& operator=(FramePool&&) = delete;

  // Makes this pool the decoder's get_buffer2 when the codec renders into caller buffers
  // (AV_CODEC_CAP_DR1); call before avcodec_open2. The pool must outlive the decoder.
  void install(AVCodecContext* decoder);

  // Pictures handed out since the pool was installed, and how many of them needed new memory.
  uint64_t pictures() const;
  uint64_t allocations() const;

 private:
  static int get_buffer(AVCodecContext* decoder, AVFrame* frame, int flags);
  bool prepare(AVCodecContext* decoder, const AVFrame* frame);

  mutable std::mutex mutex_;
  AVBufferPool* pool_ = nullptr;
  int format_ = -1;
  int width_ = 0;
  int height_ = 0;
  int linesize_[4] = {};
  size_t offset_[4] = {};
  int planes_ = 0;
  size_t counted_size_ = 0;  // what the library's own pool would have given for the picture
  uint64_t pictures_ = 0;
  // Counted by the mapping callback, which runs only while the pool is alive.
  std::atomic<uint64_t> allocations_{0};
};

}  // namespace clipwalk
