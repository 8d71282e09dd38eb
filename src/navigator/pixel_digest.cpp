// A digest of the current frame's pixels as held, so that two roads to one frame can be
// compared by picture as well as by stamp.
//
// It reads every row of the luma plane (or of every plane of RGB, grey and palette pictures),
// at the speed of memory. The chroma planes are left out: reading them too cost 2.1 % of a
// walk through full-HD frames, and no decode that differs does so in chroma alone (motion,
// modes and concealment are decided per block for all planes). Reading every other pair of
// rows was slower still, as it defeats the hardware's prefetching.
#include <cstring>

#include "navigator/libav.h"
#include "navigator/navigator_impl.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace clipwalk {

namespace {

// Two 64-bit lanes: plain vector adds that every x86-64 and ARM64 compiler maps to SIMD.
using Lanes = uint64_t __attribute__((vector_size(16)));

// A Fletcher sum over 64-bit words: `sum` changes with any changed word and `weighted` with
// where it stands, so the digest keeps up with memory, which a multiplying hash does not on a
// walk through full-HD frames.
struct Fletcher {
  Lanes sum[2] = {};
  Lanes weighted[2] = {};

  void add_row(const uint8_t* row, size_t bytes) {
    Lanes s0 = sum[0], s1 = sum[1], w0 = weighted[0], w1 = weighted[1];
    size_t k = 0;
    for (; k + 32 <= bytes; k += 32) {
      Lanes a, b;
      std::memcpy(&a, row + k, 16);
      std::memcpy(&b, row + k + 16, 16);
      s0 += a;
      s1 += b;
      w0 += s0;
      w1 += s1;
    }
    uint8_t tail[32] = {};
    std::memcpy(tail, row + k, bytes - k);
    Lanes a, b;
    std::memcpy(&a, tail, 16);
    std::memcpy(&b, tail + 16, 16);
    s0 += a;
    s1 += b;
    w0 += s0;
    w1 += s1;
    // The row's length takes part, so that bytes moved across a row's end show.
    s0[0] += bytes;
    sum[0] = s0;
    sum[1] = s1;
    weighted[0] = w0;
    weighted[1] = w1;
  }

  uint64_t value() const {
    constexpr uint64_t kOdd = 0x9E3779B97F4A7C15ULL;
    uint64_t h = 0;
    for (const Lanes& lanes : {sum[0], sum[1], weighted[0], weighted[1]}) {
      for (int l = 0; l < 2; ++l) h = (h ^ lanes[l] ^ (h >> 31)) * kOdd;
    }
    h ^= h >> 32;
    return h != 0 ? h : 1;  // 0 means no digest
  }
};

}  // namespace

uint64_t FrameNavigator::Impl::current_pixel_digest() const {
  const HeldFrame* current = current_frame();
  if (current == nullptr || !current->frame || source.facts.pixels_vary) return 0;
  if (current->digest != 0) return current->digest;
  const AVFrame* frame = current->frame.get();
  const auto format = static_cast<AVPixelFormat>(frame->format);
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  if (desc == nullptr) return 0;
  Fletcher digest;
  const bool palette = (desc->flags & AV_PIX_FMT_FLAG_PAL) != 0;
  for (int plane = 0; plane < 4 && frame->data[plane] != nullptr; ++plane) {
    if (palette && plane == 1) {  // 256 colours of 4 bytes, whatever the picture's size
      digest.add_row(frame->data[1], 1024);
      continue;
    }
    const bool yuv =
        !palette && (desc->flags & AV_PIX_FMT_FLAG_RGB) == 0 && desc->nb_components >= 3;
    if (yuv && (plane == 1 || plane == 2)) continue;  // chroma: see above
    const int bytes = av_image_get_linesize(format, frame->width, plane);
    if (bytes <= 0) break;
    const int rows = frame->height;
    for (int row = 0; row < rows; ++row) {
      digest.add_row(frame->data[plane] + static_cast<ptrdiff_t>(row) * frame->linesize[plane],
                     static_cast<size_t>(bytes));
    }
  }
  current->digest = digest.value();
  return current->digest;
}

}  // namespace clipwalk
