// The PPM snapshot of the landed frame.
#include "cli/snapshot.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace clipwalk {

namespace {

// True when both paths name one file, however spelled (links, relative parts).
bool same_file(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool write_ppm(std::FILE* file, const uint8_t* pixels, const FrameStamp& landed) {
  if (pixels == nullptr) return false;
  if (std::fprintf(file, "P6\n%d %d\n255\n", landed.width, landed.height) <= 0) return false;
  const size_t width = static_cast<size_t>(landed.width);
  std::vector<uint8_t> row(width * 3);
  for (size_t y = 0; y < static_cast<size_t>(landed.height); ++y) {
    const uint8_t* rgba = pixels + y * width * 4;
    for (size_t x = 0; x < width; ++x) {
      std::copy_n(rgba + x * 4, 3, row.begin() + static_cast<std::ptrdiff_t>(x * 3));
    }
    if (std::fwrite(row.data(), 1, row.size(), file) != row.size()) return false;
  }
  return true;
}

}  // namespace

// Writes the landed frame as binary P6. A regular file is written beside its final name
// and renamed into place only when complete, so a failure leaves neither a partial image
// nor a damaged earlier file; a device (such as /dev/full) is written directly.
bool write_snapshot(FrameNavigator& nav, const FrameStamp& landed, const std::string& path,
                    const std::string& input_path) {
  // Writing over the input would destroy the video being read.
  if (same_file(path, input_path)) return false;
  struct stat info {};
  const bool exists = stat(path.c_str(), &info) == 0;
  const bool device = exists && !S_ISREG(info.st_mode);

  // A link is followed, so that the file it names is replaced, not the link.
  std::string target = path;
  if (exists && !device) {
    if (char* resolved = realpath(path.c_str(), nullptr)) {
      target = resolved;
      std::free(resolved);
    }
  }
  std::string temporary;
  std::FILE* file = nullptr;
  if (device) {
    file = std::fopen(path.c_str(), "wb");
  } else {
    temporary = target + ".partial-XXXXXX";
    const int descriptor = mkstemp(temporary.data());
    if (descriptor >= 0) {
      // mkstemp makes the file private; give it the mode a plain create would.
      const mode_t mask = umask(0);
      umask(mask);
      fchmod(descriptor, exists ? info.st_mode & 07777 : 0666 & ~mask);
      file = fdopen(descriptor, "wb");
      if (file == nullptr) close(descriptor);
    }
  }
  if (file == nullptr) {
    if (!temporary.empty()) std::remove(temporary.c_str());
    return false;
  }
  bool ok = write_ppm(file, nav.preview_pixels(), landed);
  ok = std::fflush(file) == 0 && ok;
  ok = std::fclose(file) == 0 && ok;
  if (device) return ok;
  ok = ok && std::rename(temporary.c_str(), target.c_str()) == 0;
  if (!ok) std::remove(temporary.c_str());
  return ok;
}

}  // namespace clipwalk
