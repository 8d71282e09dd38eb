#include "navigator/errors.h"

#include "navigator/libav.h"

namespace clipwalk {

std::string error_description(int result) {
  char buffer[64] = {};
  av_strerror(result, buffer, sizeof buffer);
  return buffer;
}

}  // namespace clipwalk
