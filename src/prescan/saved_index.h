// Frame lists saved once counted, and loaded by the next open of the same file.
#pragma once

#include <cstdint>
#include <string>

namespace clipwalk {

struct FrameList;

// What names one version of a file: a copy rewritten in place differs in size, modification
// time or the digest of its first and last 64 KiB.
struct FileIdentity {
  bool valid = false;  // a regular file, read
  std::string path;    // absolute
  int64_t size = 0;
  int64_t modified_ns = 0;
  uint64_t digest = 0;

  bool operator==(const FileIdentity&) const = default;
};

FileIdentity identify_file(const std::string& path);

// Which list a file holds, and what it depends on besides the file: the stream, and for a
// count by decoding the decoder's thread count (frame threads conceal damage differently).
struct SavedListKey {
  std::string dir;
  int32_t stream_index = -1;
  bool decoded = false;
  int32_t decoder_threads = 0;
};

// Writes the list beside its final name and renames it into place, so that readers never
// see a partial file and writers side by side each leave a whole one. False on any failure,
// which costs nothing but the next count.
bool save_frame_list(const SavedListKey& key, const FileIdentity& file, const FrameList& list);
// The saved list of this file, or false where there is none, or it is stale, truncated or
// corrupt: then the frames are counted again.
bool load_frame_list(const SavedListKey& key, const FileIdentity& file, FrameList* list);

}  // namespace clipwalk
