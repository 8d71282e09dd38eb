// How navigator operations report a failure to their caller.
#pragma once

#include <string>

namespace clipwalk {

// The library's text for a result code, as av_strerror writes it into 64 zeroed bytes.
std::string error_description(int result);

// Replaces the caller's error text, when there is one, with a single message.
inline void set_error(std::string* error_text, std::string message) {
  if (error_text != nullptr) *error_text = std::move(message);
}

}  // namespace clipwalk
