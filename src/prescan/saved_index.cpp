// Saved frame lists: one file per video file, stream and kind of count, in the caller's
// folder. The file is checked whole before it is trusted: magic, version, the video file's
// identity, lengths bounded by the file's own size, and a checksum over everything.
#include "prescan/saved_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "navigator/navigator_impl.h"

namespace clipwalk {

namespace {

constexpr std::array<char, 8> kMagic = {'C', 'W', 'I', 'N', 'D', 'E', 'X', '\n'};
constexpr uint32_t kVersion = 1;
// The digest reads this much of either end of the file.
constexpr int64_t kDigestBytes = 64 * 1024;
// Bytes a frame takes in the file: stamp, position, keyframe flag.
constexpr size_t kFrameBytes = 8 + 8 + 1;

// FNV-1a: a checksum that any flipped or lost byte changes, and nothing to install.
struct Fnv {
  uint64_t value = 0xcbf29ce484222325ull;
  void add(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) value = (value ^ bytes[i]) * 0x100000001b3ull;
  }
};

struct FdCloser {
  void operator()(const int* fd) const {
    if (*fd >= 0) close(*fd);
    delete fd;
  }
};

bool read_at(int fd, int64_t offset, std::vector<uint8_t>& out, size_t size) {
  out.resize(size);
  size_t done = 0;
  while (done < size) {
    const ssize_t got =
        pread(fd, out.data() + done, size - done, static_cast<off_t>(offset) + done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

// The record's fields in file order, written and read alike.
class Writer {
 public:
  template <typename T>
  void put(const T& value) {
    bytes_.insert(bytes_.end(), reinterpret_cast<const uint8_t*>(&value),
                  reinterpret_cast<const uint8_t*>(&value) + sizeof value);
  }
  void put_bytes(const void* data, size_t size) {
    bytes_.insert(bytes_.end(), static_cast<const uint8_t*>(data),
                  static_cast<const uint8_t*>(data) + size);
  }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  template <typename T>
  bool get(T* value) {
    if (size_ - at_ < sizeof(T)) return false;
    std::memcpy(value, data_ + at_, sizeof(T));
    at_ += sizeof(T);
    return true;
  }
  bool get_bytes(void* out, size_t size) {
    if (size_ - at_ < size) return false;
    std::memcpy(out, data_ + at_, size);
    at_ += size;
    return true;
  }
  size_t left() const { return size_ - at_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

void put_header(Writer& out, const SavedListKey& key, const FileIdentity& file) {
  out.put_bytes(kMagic.data(), kMagic.size());
  out.put(kVersion);
  out.put(static_cast<uint32_t>(key.decoded ? 1 : 0));
  out.put(key.stream_index);
  out.put(key.decoded ? key.decoder_threads : 0);
  out.put(file.size);
  out.put(file.modified_ns);
  out.put(file.digest);
  out.put(static_cast<uint32_t>(file.path.size()));
  out.put_bytes(file.path.data(), file.path.size());
}

// The list's file in the folder: named by the video file's path, stream and kind.
std::string list_path(const SavedListKey& key, const FileIdentity& file) {
  Fnv name;
  name.add(file.path.data(), file.path.size());
  const int32_t threads = key.decoded ? key.decoder_threads : 0;
  name.add(&key.stream_index, sizeof key.stream_index);
  name.add(&threads, sizeof threads);
  char text[40];
  std::snprintf(text, sizeof text, "%016llx.%s", static_cast<unsigned long long>(name.value),
                key.decoded ? "decoded" : "demuxed");
  return (std::filesystem::path(key.dir) / text).string();
}

}  // namespace

FileIdentity identify_file(const std::string& path) {
  FileIdentity file;
  struct stat status {};
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return file;
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) return file;
  file.path = absolute.lexically_normal().string();
  file.size = static_cast<int64_t>(status.st_size);
  file.modified_ns = static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 +
                     static_cast<int64_t>(status.st_mtim.tv_nsec);
  const std::unique_ptr<int, FdCloser> fd(new int(::open(path.c_str(), O_RDONLY | O_CLOEXEC)));
  if (*fd < 0) return file;
  Fnv digest;
  std::vector<uint8_t> block;
  const int64_t head = std::min(file.size, kDigestBytes);
  const int64_t tail_start = std::max(head, file.size - kDigestBytes);
  if (!read_at(*fd, 0, block, static_cast<size_t>(head))) return file;
  digest.add(block.data(), block.size());
  if (!read_at(*fd, tail_start, block, static_cast<size_t>(file.size - tail_start))) return file;
  digest.add(block.data(), block.size());
  file.digest = digest.value;
  file.valid = true;
  return file;
}

bool save_frame_list(const SavedListKey& key, const FileIdentity& file, const FrameList& list) {
  if (!file.valid || key.dir.empty() || list.pts.empty()) return false;
  try {
    Writer out;
    put_header(out, key, file);
    out.put(static_cast<uint8_t>(list.damage_known ? 1 : 0));
    out.put(list.damage_pts);
    out.put(static_cast<uint64_t>(list.pts.size()));
    out.put_bytes(list.pts.data(), list.pts.size() * sizeof(int64_t));
    out.put_bytes(list.positions.data(), list.positions.size() * sizeof(int64_t));
    out.put_bytes(list.keyframes.data(), list.keyframes.size());
    Fnv checksum;
    checksum.add(out.bytes().data(), out.bytes().size());
    out.put(checksum.value);

    std::error_code error;
    std::filesystem::create_directories(key.dir, error);
    const std::string final_path = list_path(key, file);
    // A name of this writer's own: another process or thread may be writing the same list.
    const std::string temporary =
        final_path + ".tmp." + std::to_string(getpid()) + "." +
        std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id()));
    std::FILE* stream = std::fopen(temporary.c_str(), "wb");
    if (stream == nullptr) return false;
    const bool written =
        std::fwrite(out.bytes().data(), 1, out.bytes().size(), stream) == out.bytes().size();
    const bool closed = std::fclose(stream) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), final_path.c_str()) != 0) {
      std::remove(temporary.c_str());
      return false;
    }
    return true;
  } catch (const std::exception&) {
    return false;  // no memory for the record, or the folder cannot be made
  }
}

bool load_frame_list(const SavedListKey& key, const FileIdentity& file, FrameList* list) {
  if (!file.valid || key.dir.empty()) return false;
  try {
    const std::string path = list_path(key, file);
    const std::unique_ptr<int, FdCloser> fd(new int(::open(path.c_str(), O_RDONLY | O_CLOEXEC)));
    struct stat status {};
    if (*fd < 0 || fstat(*fd, &status) != 0 || !S_ISREG(status.st_mode)) return false;
    std::vector<uint8_t> bytes;
    if (!read_at(*fd, 0, bytes, static_cast<size_t>(status.st_size))) return false;
    if (bytes.size() < sizeof(uint64_t)) return false;

    // The checksum first: nothing of a damaged file is read.
    const size_t body = bytes.size() - sizeof(uint64_t);
    Fnv checksum;
    checksum.add(bytes.data(), body);
    uint64_t stored = 0;
    std::memcpy(&stored, bytes.data() + body, sizeof stored);
    if (stored != checksum.value) return false;

    // The header must be the one this file, stream and kind would be saved with.
    Writer expected;
    put_header(expected, key, file);
    const std::vector<uint8_t>& header = expected.bytes();
    if (body < header.size() || std::memcmp(bytes.data(), header.data(), header.size()) != 0) {
      return false;
    }
    Reader in(bytes.data() + header.size(), body - header.size());
    uint8_t damage_known = 0;
    FrameList loaded;
    uint64_t count = 0;
    if (!in.get(&damage_known) || !in.get(&loaded.damage_pts) || !in.get(&count)) return false;
    if (count == 0 || count > in.left() / kFrameBytes || in.left() != count * kFrameBytes) {
      return false;
    }
    loaded.damage_known = damage_known != 0;
    loaded.pts.resize(count);
    loaded.positions.resize(count);
    loaded.keyframes.resize(count);
    if (!in.get_bytes(loaded.pts.data(), count * sizeof(int64_t)) ||
        !in.get_bytes(loaded.positions.data(), count * sizeof(int64_t)) ||
        !in.get_bytes(loaded.keyframes.data(), count)) {
      return false;
    }
    *list = std::move(loaded);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

FileIdentity FrameNavigator::Impl::identify_for_saving() const {
  return options.index_dir.empty() ? FileIdentity{} : identify_file(source.info.source_path);
}

void FrameNavigator::Impl::save_count(const FrameList& list, bool decoded_list,
                                      const FileIdentity& counted) const {
  // A file that changed while it was counted keeps no list.
  if (!counted.valid || !(identify_file(source.info.source_path) == counted)) return;
  save_frame_list(
      {options.index_dir, source.info.stream_index, decoded_list, options.decoder_threads}, counted,
      list);
}

bool FrameNavigator::Impl::load_saved_count(bool decoding) {
  const FileIdentity file = identify_for_saving();
  if (!file.valid) return false;
  SavedListKey key{options.index_dir, source.info.stream_index, true, options.decoder_threads};
  FrameList list;
  // A count by decoding serves either kind, as it does when it runs.
  if (load_frame_list(key, file, &list)) {
    counts.by_decoding = true;
    counts.from_saved_index = true;
    publish_count(std::move(list), counts.decoded);
    return true;
  }
  key.decoded = false;
  if (decoding || !load_frame_list(key, file, &list)) return false;
  counts.from_saved_index = true;
  publish_count(std::move(list), counts.demuxed);
  return true;
}

}  // namespace clipwalk
