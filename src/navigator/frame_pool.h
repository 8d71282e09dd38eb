// Picture buffers for the decoder that are neither zero-filled nor returned to the system
// while the decoder lives: a frame the window lets go of gives its memory to the next picture.
// Huge pages (MADV_HUGEPAGE) were measured and left out: on a VM that hands freed memory
// back to its host in 2 MiB blocks, a fresh huge page after an idle moment costs more than
// the 4 KiB faults it saves (262 MB: 260-530 ms against about 100 ms).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
}

namespace clipwalk {

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#define CLIPWALK_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#include <sanitizer/tsan_interface.h>
#define CLIPWALK_TSAN 1
#endif
#endif

// libavcodec hands a picture from the decoder thread that got its buffer from the pool to the
// caller through C11 atomics, which ThreadSanitizer cannot see in FFmpeg's uninstrumented
// code. The pool marks the buffer's reference as handed over once it has written it, and the
// caller marks each reference of a picture it received as taken: no effect outside TSan.
inline void mark_handed_over(const AVBufferRef* buffer) {
#if defined(CLIPWALK_TSAN)
  __tsan_release(const_cast<AVBufferRef*>(buffer));
#else
  (void)buffer;
#endif
}
inline void mark_taken_over(const AVFrame* picture) {
#if defined(CLIPWALK_TSAN)
  for (AVBufferRef* buffer : picture->buf) {
    if (buffer != nullptr) __tsan_acquire(buffer);
  }
#else
  (void)picture;
#endif
}

// Maps the pages of a new picture buffer in one call: its writer fills all of it at once,
// and a fault per page costs more than the kernel's zeroing of it. Without the call (Linux
// before 5.14) the pages are faulted in as they are written.
void populate_pages(uint8_t* data, size_t size);

// The geometry libavcodec's default pool gives a decoder's picture: dimensions aligned as
// the codec asks, the width widened until every line size meets the stride alignment, and
// per plane the picture size plus 16 + alignment - 1 bytes of padding; laid out here in one
// buffer.
struct PictureLayout {
  int planes = 0;
  int linesize[4] = {};
  size_t offset[4] = {};  // of each plane in the one buffer
  size_t counted = 0;     // what the library's per-plane buffers add up to
  size_t size = 0;        // the one buffer: counted, or the layout and its padding if larger
};
// False where the format or size has no such layout.
bool picture_layout(AVCodecContext* decoder, int format, int width, int height,
                    PictureLayout* layout);

// The pool is also what a decoder's `opaque` names, so that its log messages find it: see
// decoder_logged_error.
class FramePool {
 public:
  FramePool();
  // Buffers still referenced by frames outlive the pool; the last one frees the memory.
  ~FramePool();
  FramePool(const FramePool&) = delete;
  FramePool& operator=(const FramePool&) = delete;
  FramePool(FramePool&&) = delete;
  FramePool& operator=(FramePool&&) = delete;

  // Makes this pool the decoder's get_buffer2 when the codec renders into caller buffers
  // (AV_CODEC_CAP_DR1); call before avcodec_open2. The pool must outlive the decoder.
  void install(AVCodecContext* decoder);

  // Whether a decoder given this pool has logged an error. libavcodec's frame threads flag a
  // concealed picture only in the copy of the thread that decoded it, so the flag often never
  // reaches the caller, while the decoder logs the damage on every decode. A process-wide log
  // callback (it prints what the default one prints) sees the message by the time any picture
  // decoded from the concealed one comes out, as frame threads return pictures in order.
  bool decoder_logged_error() const;

  // Notes an error that a decoder given a pool logged; any other message is ignored. Called
  // by the log callback, on any thread.
  static void note_log(void* context, int level);

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
  PictureLayout layout_;
  uint64_t pictures_ = 0;
  // Counted by the mapping callback, which runs only while the pool is alive.
  std::atomic<uint64_t> allocations_{0};
  std::atomic<bool> decoder_logged_error_{false};
};

}  // namespace clipwalk
