// The navigator's public face: each operation hands over to the private state.
#include "clipwalk/frame_navigator.h"

#include <type_traits>

#include "navigator/errors.h"
#include "navigator/navigator_impl.h"

namespace clipwalk {

namespace {
// Runs one call with a message of its own. A call that fails hands its message to the
// caller's error_text; one that succeeds keeps what it met on the way (damage it decoded
// past) as the navigator's warning, and leaves error_text alone.
template <typename Call>
auto answer(FrameNavigator::Impl& impl, std::string* error_text, Call call) {
  std::string message;
  const auto result = call(&message);
  const bool failed = [&] {
    if constexpr (std::is_same_v<decltype(result), const bool>) {
      return !result;
    } else {
      return result < 0;
    }
  }();
  impl.warning = failed ? std::string() : message;
  if (failed && !message.empty()) set_error(error_text, std::move(message));
  return result;
}
}  // namespace

FrameNavigator::FrameNavigator(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

// ~Impl writes out the one order of teardown.
FrameNavigator::~FrameNavigator() = default;

std::unique_ptr<FrameNavigator> FrameNavigator::open(const std::string& path, int32_t preview_limit,
                                                     uint64_t cache_budget_bytes,
                                                     std::string* error_text) {
  OpenOptions options;
  options.preview_limit = preview_limit;
  options.cache_budget_bytes = cache_budget_bytes;
  return open(path, options, error_text);
}

std::unique_ptr<FrameNavigator> FrameNavigator::open(const std::string& path,
                                                     const OpenOptions& options,
                                                     std::string* error_text) {
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  impl->window.set_budget(options.cache_budget_bytes);
  if (!impl->open_input(path, error_text)) return nullptr;
  return std::unique_ptr<FrameNavigator>(new FrameNavigator(std::move(impl)));
}

const StreamInfo& FrameNavigator::stream() const { return impl_->source.info; }

double FrameNavigator::pts_to_seconds(int64_t pts) const {
  return impl_->source.pts_to_seconds(pts);
}
int64_t FrameNavigator::seconds_to_pts(double seconds) const {
  return impl_->source.seconds_to_pts(seconds);
}
int64_t FrameNavigator::estimated_frame_count() const { return impl_->estimated_frame_count(); }
int64_t FrameNavigator::estimated_frame_index() const { return impl_->estimated_frame_index(); }

bool FrameNavigator::seek_to_seconds(double seconds, std::string* error_text) {
  return answer(*impl_, error_text,
                [&](std::string* message) { return impl_->seek_to_seconds(seconds, message); });
}
bool FrameNavigator::seek_to_frame(int64_t index, std::string* error_text) {
  return answer(*impl_, error_text,
                [&](std::string* message) { return impl_->seek_to_frame(index, message); });
}
bool FrameNavigator::step_forward(std::string* error_text) {
  return answer(*impl_, error_text,
                [&](std::string* message) { return impl_->step_forward(message); });
}
bool FrameNavigator::step_backward(std::string* error_text) {
  return answer(*impl_, error_text,
                [&](std::string* message) { return impl_->step_backward(message); });
}
const std::string& FrameNavigator::warning() const { return impl_->warning; }

const FrameStamp* FrameNavigator::current_stamp() const { return impl_->current_frame(); }
FramePixels FrameNavigator::current_pixels(PixelFormat format) {
  return impl_->current_pixels(format);
}
const uint8_t* FrameNavigator::preview_pixels() {
  return impl_->current_pixels(PixelFormat::kRgba).data;
}
uint64_t FrameNavigator::current_pixel_digest() const { return impl_->current_pixel_digest(); }
bool FrameNavigator::met_damage() const { return impl_->source.facts.pixels_vary; }

bool FrameNavigator::frames_at_indices(const std::vector<int64_t>& indices, PixelFormat format,
                                       const FrameVisitor& visit, std::string* error_text) {
  return answer(*impl_, error_text, [&](std::string* message) {
    return impl_->visit_frames(indices, format, visit, message);
  });
}
bool FrameNavigator::frames_at_seconds(const std::vector<double>& seconds, PixelFormat format,
                                       const FrameVisitor& visit, std::string* error_text) {
  return answer(*impl_, error_text, [&](std::string* message) {
    return impl_->visit_frames_at_seconds(seconds, format, visit, message);
  });
}
bool FrameNavigator::copy_frames_at_indices(const std::vector<int64_t>& indices, PixelFormat format,
                                            std::vector<FrameCopy>* frames,
                                            std::string* error_text) {
  std::vector<FrameCopy> copies(indices.size());
  if (!frames_at_indices(indices, format, copy_into(copies), error_text)) return false;
  *frames = std::move(copies);
  return true;
}
bool FrameNavigator::copy_frames_at_seconds(const std::vector<double>& seconds, PixelFormat format,
                                            std::vector<FrameCopy>* frames,
                                            std::string* error_text) {
  std::vector<FrameCopy> copies(seconds.size());
  if (!frames_at_seconds(seconds, format, copy_into(copies), error_text)) return false;
  *frames = std::move(copies);
  return true;
}

bool FrameNavigator::start_prescan(CountBy how) { return impl_->start_prescan(how); }
bool FrameNavigator::prescan_running() const { return impl_->counts.running(); }
bool FrameNavigator::prescan_completed() const { return impl_->exact_list() != nullptr; }
float FrameNavigator::prescan_progress() const { return impl_->counts.progress.load(); }
int64_t FrameNavigator::frame_count(std::string* error_text) {
  return answer(*impl_, error_text,
                [&](std::string* message) { return impl_->frame_count(message); });
}
int64_t FrameNavigator::prescan_frame_count() const { return impl_->prescan_frame_count(); }
int64_t FrameNavigator::exact_frame_index() const { return impl_->exact_frame_index(); }
int64_t FrameNavigator::exact_frames_between(double from_seconds, double to_seconds) const {
  return impl_->exact_frames_between(from_seconds, to_seconds);
}
double FrameNavigator::exact_frame_seconds(int64_t index) const {
  return impl_->exact_frame_seconds(index);
}
bool FrameNavigator::count_from_saved_index() const { return impl_->counts.from_saved_index; }

}  // namespace clipwalk
