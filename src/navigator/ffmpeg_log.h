// FFmpeg's process-wide log callback, set once by the first decoder the navigators open.
#pragma once

namespace clipwalk {

// Sets ffmpeg_log_callback as FFmpeg's log callback, once per process.
void install_log_callback();

}  // namespace clipwalk
