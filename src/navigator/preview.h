// The size at which decoded pictures are held.
#pragma once

#include <cstdint>

struct AVCodecContext;

namespace clipwalk {

struct PreviewSize {
  int32_t width = 0;
  int32_t height = 0;
};

// The size frames are held at: the source size, or scaled so that the longer side meets
// the limit (0 or less: no limit), with even sides of at least 2.
PreviewSize compute_preview_size(int32_t source_width, int32_t source_height,
                                 int32_t preview_limit);

// The pixel format a picture of this format is held in when scaled: its own, or RGBA for
// the formats libswscale can read but not write (palette, Bayer); RGBA keeps a palette's alpha.
int held_pixel_format(int source_format);

// What a picture of the decoder's size and pixel format counts against the budget once held
// at this size, as hold_frame holds it; 0 where that cannot be told (no known pixel format).
uint64_t held_frame_bytes(AVCodecContext& decoder, PreviewSize held);
// What a picture of this format counts once scaled to `held`; 0 where it cannot be allocated.
uint64_t scaled_frame_bytes(int source_format, PreviewSize held);

}  // namespace clipwalk
