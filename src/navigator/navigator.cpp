// The navigator's public face: each operation hands over to the private state.
#include "clipwalk/frame_navigator.h"

#include "navigator/navigator_impl.h"

namespace clipwalk {

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

const StreamInfo& FrameNavigator::stream() const { return impl_->info; }

double FrameNavigator::pts_to_seconds(int64_t pts) const { return impl_->pts_to_seconds(pts); }
int64_t FrameNavigator::seconds_to_pts(double seconds) const {
  return impl_->seconds_to_pts(seconds);
}
int64_t FrameNavigator::estimated_frame_count() const { return impl_->estimated_frame_count(); }
int64_t FrameNavigator::estimated_frame_index() const { return impl_->estimated_frame_index(); }

bool FrameNavigator::seek_to_seconds(double seconds, std::string* error_text) {
  return impl_->seek_to_seconds(seconds, error_text);
}
bool FrameNavigator::seek_to_frame(int64_t index, std::string* error_text) {
  return impl_->seek_to_frame(index, error_text);
}
bool FrameNavigator::step_forward(std::string* error_text) {
  return impl_->step_forward(error_text);
}
bool FrameNavigator::step_backward(std::string* error_text) {
  return impl_->step_backward(error_text);
}

const FrameStamp* FrameNavigator::current_stamp() const { return impl_->current_frame(); }
FramePixels FrameNavigator::current_pixels(PixelFormat format) {
  return impl_->current_pixels(format);
}
const uint8_t* FrameNavigator::preview_pixels() {
  return impl_->current_pixels(PixelFormat::kRgba).data;
}
uint64_t FrameNavigator::current_pixel_digest() const { return impl_->current_pixel_digest(); }
bool FrameNavigator::met_damage() const { return impl_->facts.pixels_vary; }

bool FrameNavigator::frames_at_indices(const std::vector<int64_t>& indices, PixelFormat format,
                                       const FrameVisitor& visit, std::string* error_text) {
  return impl_->visit_frames(indices, format, visit, error_text);
}
bool FrameNavigator::frames_at_seconds(const std::vector<double>& seconds, PixelFormat format,
                                       const FrameVisitor& visit, std::string* error_text) {
  return impl_->visit_frames_at_seconds(seconds, format, visit, error_text);
}
bool FrameNavigator::copy_frames_at_indices(const std::vector<int64_t>& indices, PixelFormat format,
                                            std::vector<FrameCopy>* frames,
                                            std::string* error_text) {
  std::vector<FrameCopy> copies(indices.size());
  if (!impl_->visit_frames(indices, format, copy_into(copies), error_text)) return false;
  *frames = std::move(copies);
  return true;
}
bool FrameNavigator::copy_frames_at_seconds(const std::vector<double>& seconds, PixelFormat format,
                                            std::vector<FrameCopy>* frames,
                                            std::string* error_text) {
  std::vector<FrameCopy> copies(seconds.size());
  if (!impl_->visit_frames_at_seconds(seconds, format, copy_into(copies), error_text)) {
    return false;
  }
  *frames = std::move(copies);
  return true;
}

bool FrameNavigator::start_prescan(CountBy how) { return impl_->start_prescan(how); }
bool FrameNavigator::prescan_running() const { return impl_->counts.running(); }
bool FrameNavigator::prescan_completed() const { return impl_->exact_list() != nullptr; }
float FrameNavigator::prescan_progress() const { return impl_->counts.progress.load(); }
int64_t FrameNavigator::frame_count(std::string* error_text) {
  return impl_->frame_count(error_text);
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
