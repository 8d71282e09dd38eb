// The decoding of one opened input: its demuxer, its decoder and the decoder's session, the
// stamping of each picture as a decode from the first packet stamps it, and what the
// pictures showed on the way (damage, clock resets). The navigator holds one; the count by
// decoding opens one of its own, so that both name every picture alike.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "clipwalk/frame_navigator.h"
#include "navigator/ffmpeg_handles.h"

struct AVPacket;

namespace clipwalk {

class FramePool;

// Where a picture stands in the stream: its stamp and the byte position of the packet it
// was decoded from (-1 when the demuxer does not tell).
struct FramePlace {
  int64_t pts = 0;
  int64_t position = -1;
};

// The decoder flagged the picture as concealed or corrupt.
bool flagged_damaged(const AVFrame* picture);

// libavcodec's count of stamps found running backwards, which picks each picture's
// best-effort stamp: its pts until the pts have been found faulty more often than the dts,
// then its dts.
struct FaultyStamps {
  int64_t faulty_pts = 0;
  int64_t faulty_dts = 0;
  int64_t last_pts = INT64_MIN;
  int64_t last_dts = INT64_MIN;
  // Counts the picture in; true once the pts have been found faulty more often than the
  // dts, so that libavcodec stamps this picture by its dts: a decoder opened at a later
  // keyframe, which has not counted the earlier faults, may stamp it by its pts.
  bool stamps_by_dts(const AVFrame* picture);
};

// What the decoder has done since it was last reset; a seek starts a new session.
struct DecoderSession {
  bool draining = false;  // the end of the input was sent
  // The decoder refused the packet in the source's packet (AVERROR(EAGAIN)) while it still
  // had pictures to give: it is sent again once they are taken.
  bool packet_pending = false;
  // After a container seek, packets are dropped until a keyframe.
  bool awaiting_keyframe = false;
  // Decoding began at the first packet (not at a keyframe found by a seek), and how many
  // pictures it has delivered since.
  bool decoding_from_start = true;
  uint64_t pictures_from_start = 0;
  // Damaged packets and pictures skipped since the last picture decoded.
  int32_t failures_without_picture = 0;
  // Place of the last picture the decoder delivered in this session.
  bool position_valid = false;
  FramePlace position;
  int64_t position_duration = 0;  // in ticks, at least 1
  // The session's first picture carried no timestamp in a stream that has them, so its
  // stamp could only be guessed: a seek must start further back.
  bool landing_stamp_guessed = false;
  // After a backward refill the window reaches past the decoder's position: forward
  // decoding then drops the pictures up to this one, which the window already holds.
  bool skip_pending = false;
  FramePlace skip_through;
  // Where decoding started: the time a container seek was asked for (unused from the
  // start). Damage shows a picture as the decoder's history before that keyframe makes it
  // (references, reordering, faulty stamps): only what came after a keyframe decoded
  // cleanly in this session, or after a start known to precede all damage, is the plain
  // decode's.
  double started_at_seconds = 0.0;
  double first_seconds = 0.0;   // time of the session's first picture
  int32_t clean_keyframes = 0;  // keyframe pictures shown before any damage
  bool damage_seen = false;
  bool damage_explained = false;  // the decoder's history at the damage is the plain one
  int32_t failures_total = 0;     // damaged packets and pictures in this session
  FaultyStamps faulty_stamps;     // kept where stamp turns are noted
};

// What the stream taught us on the way; true for the source's life.
struct StreamFacts {
  // Stamps of the untimed pictures that open a stream whose later pictures are timed,
  // counted back from the first timed one; learnt once, on the first decode from the start.
  bool leading_stamps_known = false;
  std::vector<int64_t> leading_stamps;
  // Byte position up to which the stream's clock was found to run without a reset, and
  // whether a reset was found (then a stamp alone does not say which run a frame is in).
  int64_t clock_steady_through = -1;
  bool clock_reset_seen = false;
  // The stream's first picture, once a decode from the first packet has shown it.
  bool first_known = false;
  FramePlace first;
  // Stream headers that only the first picture's packet carries, given to every decoder
  // with the container's own, so that one opened at a later keyframe decodes as a decoder
  // that began at the first packet does.
  std::vector<uint8_t> leading_headers;
  // A decoder met damage: pictures concealed with frame threads, and those decoded from
  // them, differ from one decode to the next, so pixels no longer tell two roads apart.
  bool pixels_vary = false;
  // The earliest damage a decode with the plain decode's history has shown, and where that
  // decode started (from_start: the first packet): a road to a later frame starts there,
  // since a decoder that saw the damage may stamp every later picture differently.
  bool damage_known = false;
  int64_t damage_pts = 0;
  bool damage_preroll_from_start = false;
  double damage_preroll_seconds = 0.0;
};

// The demuxer on the opened input, replaced as a whole when the input is opened again.
struct OpenedInput {
  IoDeadline io_deadline;  // bounds every call on format_context, which points to it
  FormatContextPtr format_context;
  AVStream* video_stream = nullptr;  // owned by format_context
  // No packet has been read since the demuxer was opened: it stands at the first packet.
  bool fresh = true;
  // The input's size in bytes when it was opened (-1 unknown): a reopened input must match.
  int64_t bytes = -1;
};

// Far before a landing, packets of pictures no other picture refers to go to the decoder
// marked skippable while they are stamped before until_seconds (the window decides).
struct PacketSkipping {
  bool active = false;
  double until_seconds = 0.0;
  struct Offer {
    int64_t pts = 0;
    int64_t dts = 0;
    int64_t position = 0;
  };
  std::vector<Offer> offers;  // the packets offered, in decode order
};

class DecodingSource {
 public:
  DecodingSource();
  // Tears down in the one safe order; see open.cpp.
  ~DecodingSource();
  DecodingSource(const DecodingSource&) = delete;
  DecodingSource& operator=(const DecodingSource&) = delete;

  // Opening (open.cpp): the demuxer, the video stream chosen, its decoder; fills info.
  bool open(const std::string& path, const OpenOptions& options, std::string* error_text);
  bool reopen_demuxer(std::string* error_text);
  bool input_can_be_read_again() const;
  bool stream_has_timestamps() const;

  double pts_to_seconds(int64_t pts) const;
  int64_t seconds_to_pts(double seconds) const;

  // The next picture a plain decode shows, in decode_frame, with its place; false at the
  // end of the stream or on failure. newest_held is the frame before it where the caller
  // holds one: an untimed picture after a seek is stamped one frame after it.
  bool next_picture(FramePlace* place, const FramePlace* newest_held, std::string* error_text);
  // 1 a picture is in decode_frame, 0 end of stream, -1 failure.
  int32_t pump(std::string* error_text = nullptr);
  int64_t frame_interval_ticks(const AVFrame* frame) const;

  // Where decoding starts: a container seek to the keyframe at or before target, or the
  // first packet. Both start a new session.
  bool demux_seek(int64_t target, std::string* error_text = nullptr);
  bool read_from_start(std::string* error_text);
  void reset_decoding(bool await_keyframe);
  // Ends the skipping of packets: the decoder decodes every picture again.
  void stop_skipping();

  // Damage notes: whether a picture was decoded with a plain decode's history.
  void note_damage(const AVFrame* picture, int64_t pts);
  bool damage_unexplained() const;

  // Fields; ~DecodingSource releases the FFmpeg objects in the order it writes out.
  StreamInfo info;
  OpenedInput demux;
  CodecContextPtr decoder_context;
  FramePtr decode_frame;  // the picture next_picture delivered, until the caller takes it
  PacketPtr packet;
  // The decoder's picture buffers: neither zero-filled nor given back while frames come and
  // go. Decoder threads call it while a decode runs. Freed after the decoder; buffers still
  // held outlive it.
  std::unique_ptr<FramePool> frame_pool;
  DecoderSession session;
  StreamFacts facts;
  PacketSkipping skipping;
  // A count by decoding also notes where libavcodec turned to the dts for its stamps.
  bool notes_stamp_turns = false;
  uint64_t pictures_decoded = 0;  // over the source's life
  uint64_t packets_offered = 0;   // for skipping, over the source's life

 private:
  bool choose_stream(const std::string& path, int32_t asked_index, const AVCodec** decoder,
                     std::string* error_text);
  void describe_stream(const AVCodec& decoder, int32_t preview_limit);
  bool open_decoder(const AVCodec* decoder, std::string* error_text);
  bool note_decode_failure(const char* prefix, int result, std::string* error_text);
  void offer_skip(const AVPacket& next);
  int64_t stamp_for(const AVFrame* frame, const FramePlace* newest_held) const;
  bool learn_leading_stamps();

  int32_t decoder_threads_ = 0;
};

}  // namespace clipwalk
