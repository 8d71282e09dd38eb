// Opening a demuxer, shared by the navigator, its reopening and the prescan worker.
#pragma once

#include <string>

#include "clipwalk/ffmpeg_handles.h"

namespace clipwalk {

// Opens path with its stream facts read, the same way for every reader, so that every
// demuxer of one input numbers and stamps its streams alike; deadline bounds each call
// and must outlive the demuxer.
FormatContextPtr open_demuxer(const std::string& path, IoDeadline& deadline,
                              std::string* error_text);

}  // namespace clipwalk
