// The compiled half of the Python package: plain types and calls over FrameNavigator. The
// user-facing classes, argument checks, errors and docstrings are the pure-Python layer's
// (python/clipwalk/). Every call that decodes, seeks or waits releases the GIL; pixels leave
// as numpy arrays that own their memory.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "clipwalk/frame_navigator.h"

namespace py = pybind11;

namespace clipwalk {
namespace {

// A failure the navigator reported; becomes clipwalk.Error.
struct NavigatorError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// The navigator could not be opened; becomes clipwalk.OpenError.
struct OpenError : NavigatorError {
  using NavigatorError::NavigatorError;
};
// A second thread called while another's call ran; becomes clipwalk.BusyError.
struct BusyError : NavigatorError {
  using NavigatorError::NavigatorError;
};

std::string failure(const char* what, const std::string& reason) {
  return reason.empty() ? std::string(what) : std::string(what) + ": " + reason;
}

// Pixels owned by the array that shows them: the vector moves into a capsule that frees it
// with the array, so nothing is copied a second time.
py::array owned_array(std::vector<uint8_t>&& pixels, int32_t width, int32_t height,
                      PixelFormat format) {
  const py::ssize_t channels = bytes_per_pixel(format);
  auto* owner = new std::vector<uint8_t>(std::move(pixels));
  py::capsule release(owner, [](void* p) { delete static_cast<std::vector<uint8_t>*>(p); });
  std::vector<py::ssize_t> shape{height, width};
  std::vector<py::ssize_t> strides{width * channels, channels};
  if (channels > 1) {
    shape.push_back(channels);
    strides.push_back(1);
  }
  return py::array(py::dtype::of<uint8_t>(), std::move(shape), std::move(strides), owner->data(),
                   release);
}

// FFmpeg's log lines wait here, from whichever thread logged them, until Python takes them
// into its logging (take_log_lines): no decoder thread ever waits for the GIL.
class LogQueue {
 public:
  static LogQueue& instance() {
    static auto* queue = new LogQueue();  // never destroyed: threads may log at exit
    return *queue;
  }

  // Lines at levels up to `threshold` (FFmpeg's numbers) are kept; more than kMaxLines
  // waiting are counted, not kept.
  void forward(int threshold) {
    threshold_.store(threshold);
    static std::once_flag installed;
    std::call_once(installed, [] {
      pthread_atfork([] { instance().mutex_.lock(); }, [] { instance().mutex_.unlock(); },
                     [] { instance().mutex_.unlock(); });
      set_log_sink([](int level, const std::string& line) { instance().push(level, line); });
    });
  }

  std::pair<std::vector<std::pair<int, std::string>>, uint64_t> take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<int, std::string>> lines(lines_.begin(), lines_.end());
    lines_.clear();
    const uint64_t dropped = dropped_;
    dropped_ = 0;
    return {std::move(lines), dropped};
  }

 private:
  static constexpr size_t kMaxLines = 1000;

  void push(int level, const std::string& line) {
    if (level > threshold_.load()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (lines_.size() >= kMaxLines) {
      ++dropped_;
      return;
    }
    lines_.emplace_back(level, line);
  }

  std::atomic<int> threshold_{16};
  std::mutex mutex_;
  std::deque<std::pair<int, std::string>> lines_;
  uint64_t dropped_ = 0;
};

// One opened video for Python: the navigator and a flag that keeps a second thread out
// while a call runs (the navigator serves one thread at a time).
class Navigator {
 public:
  explicit Navigator(std::unique_ptr<FrameNavigator> navigator)
      : navigator_(std::move(navigator)) {}

  // Opening reads the container's header and probes the stream: the GIL is let go.
  static std::unique_ptr<Navigator> open(const std::string& path, int32_t preview_limit,
                                         uint64_t budget_bytes, int32_t stream_index,
                                         int32_t threads, const std::string& index_dir,
                                         uint32_t min_held_frames) {
    OpenOptions options;
    options.preview_limit = preview_limit;
    options.cache_budget_bytes = budget_bytes;
    options.min_held_frames = min_held_frames;
    options.stream_index = stream_index;
    options.decoder_threads = threads;
    options.index_dir = index_dir;
    std::string error;
    std::unique_ptr<FrameNavigator> navigator;
    {
      py::gil_scoped_release unlocked;
      navigator = FrameNavigator::open(path, options, &error);
    }
    if (!navigator) throw OpenError(failure("open failed", error));
    return std::make_unique<Navigator>(std::move(navigator));
  }

  // Frees the navigator; its destructor stops and joins the prescan worker.
  void close() {
    Use use(*this, /*closing=*/true);
    py::gil_scoped_release unlocked;
    navigator_.reset();
  }
  bool closed() const { return navigator_ == nullptr; }

  // In a forked child: the navigator's threads (prescan, decoder) stayed in the parent, so
  // it is neither used nor destroyed here, only forgotten; its memory is the parent's copy.
  void abandon() {
    (void)navigator_.release();
    busy_.store(false);
  }

  bool met_damage() {
    Use use(*this);
    return navigator_->met_damage();
  }
  bool count_from_saved_index() {
    Use use(*this);
    return navigator_->count_from_saved_index();
  }

  StreamInfo stream() {
    Use use(*this);
    return navigator_->stream();
  }
  int64_t estimated_frame_count() {
    Use use(*this);
    return navigator_->estimated_frame_count();
  }

  bool start_prescan(bool decode) {
    Use use(*this);
    return navigator_->start_prescan(decode ? CountBy::kDecoding : CountBy::kDemuxing);
  }
  bool prescan_completed() {
    Use use(*this);
    return navigator_->prescan_completed();
  }
  float prescan_progress() {
    Use use(*this);
    return navigator_->prescan_progress();
  }

  // The exact count; waits for the prescan. Raises where the frames cannot be counted.
  int64_t frame_count() {
    Use use(*this);
    std::string error;
    int64_t count = 0;
    {
      py::gil_scoped_release unlocked;
      count = navigator_->frame_count(&error);
    }
    if (count < 0) throw NavigatorError(error.empty() ? "the frames cannot be counted" : error);
    return count;
  }

  // Every frame's time in seconds, in frame order, from the completed count.
  py::array_t<double> frame_seconds() {
    Use use(*this);
    std::string error;
    std::vector<double> seconds;
    int64_t count = 0;
    {
      py::gil_scoped_release unlocked;
      count = navigator_->frame_count(&error);
      if (count > 0) {
        seconds.reserve(static_cast<size_t>(count));
        for (int64_t index = 0; index < count; ++index) {
          seconds.push_back(navigator_->exact_frame_seconds(index));
        }
      }
    }
    if (count < 0) throw NavigatorError(error.empty() ? "the frames cannot be counted" : error);
    py::array_t<double> out(static_cast<py::ssize_t>(seconds.size()));
    if (!seconds.empty()) std::memcpy(out.mutable_data(), seconds.data(), seconds.size() * 8);
    return out;
  }

  // The last message of the library, kept even where the call went on: a damaged packet the
  // decode skipped, as the tool's "last error" line shows it.
  std::string last_error() {
    Use use(*this);
    return last_error_;
  }

  int64_t current_frame_index() {
    Use use(*this);
    return navigator_->current_frame_index();
  }
  std::optional<FrameStamp> current_stamp() {
    Use use(*this);
    const FrameStamp* stamp = navigator_->current_stamp();
    return stamp != nullptr ? std::optional<FrameStamp>(*stamp) : std::nullopt;
  }

  void seek_to_seconds(double seconds) {
    Use use(*this);
    std::string error;
    bool landed = false;
    {
      py::gil_scoped_release unlocked;
      landed = navigator_->seek_to_seconds(seconds, &error);
    }
    remember(error);
    if (!landed) throw NavigatorError(failure("seek failed", error));
    if (navigator_->current_stamp() == nullptr) throw NavigatorError("no frame after seek");
  }

  void seek_to_frame(int64_t index) {
    Use use(*this);
    std::string error;
    bool landed = false;
    {
      py::gil_scoped_release unlocked;
      landed = navigator_->seek_to_frame(index, &error);
    }
    remember(error);
    if (!landed) throw NavigatorError(failure("seek failed", error));
    if (navigator_->current_stamp() == nullptr) throw NavigatorError("no frame after seek");
  }

  // Moves |frames| frames, back for a negative number. Where one step finds the end or the
  // start of the stream, the steps already made are walked back, so that the current frame
  // is the one before the call, and the answer is false.
  bool step(int64_t frames) {
    Use use(*this);
    const bool forward = frames > 0;
    const uint64_t wanted = forward ? uint64_t(frames) : uint64_t(0) - uint64_t(frames);
    const auto move = [this](bool ahead, std::string* error) {
      const bool moved = ahead ? navigator_->step_forward(error) : navigator_->step_backward(error);
      if (moved && !navigator_->warning().empty()) *error = navigator_->warning();
      return moved;
    };
    uint64_t made = 0;
    bool returned = true;
    std::string error;
    {
      py::gil_scoped_release unlocked;
      while (made < wanted && move(forward, &error)) ++made;
      if (made < wanted) {
        for (uint64_t back = 0; back < made && returned; ++back) returned = move(!forward, &error);
      }
    }
    remember(error);
    if (!returned) {
      throw NavigatorError(failure("could not return to the frame the steps started from", error));
    }
    return made == wanted;
  }

  // The current frame: its stamp and a copy of its pixels, or None before the first landing.
  py::object current_frame(PixelFormat format) {
    Use use(*this);
    const FrameStamp* stamp = navigator_->current_stamp();
    if (stamp == nullptr) return py::none();
    const FrameStamp copied_stamp = *stamp;
    std::vector<uint8_t> pixels;
    FramePixels view;
    {
      py::gil_scoped_release unlocked;
      view = navigator_->current_pixels(format);
      if (view.data != nullptr) {
        const size_t row = size_t(view.width) * size_t(bytes_per_pixel(format));
        pixels.resize(row * size_t(view.height));
        for (int32_t y = 0; y < view.height; ++y) {
          std::memcpy(pixels.data() + row * size_t(y), view.data + ptrdiff_t(view.stride) * y, row);
        }
      }
    }
    if (view.data == nullptr) throw NavigatorError("could not convert the frame's pixels");
    return py::make_tuple(copied_stamp,
                          owned_array(std::move(pixels), view.width, view.height, format));
  }

  // Frames by number, in the order asked, decoded in stream order: (stamp, index, pixels).
  py::list frames_at_indices(const std::vector<int64_t>& indices, PixelFormat format) {
    Use use(*this);
    std::vector<FrameCopy> frames;
    std::string error;
    bool copied = false;
    {
      py::gil_scoped_release unlocked;
      copied = navigator_->copy_frames_at_indices(indices, format, &frames, &error);
    }
    remember(error);
    if (!copied) throw NavigatorError(failure("could not read the frames", error));
    py::list out;
    for (FrameCopy& frame : frames) {
      out.append(py::make_tuple(frame.stamp, frame.index,
                                owned_array(std::move(frame.pixels), frame.stamp.width,
                                            frame.stamp.height, frame.format)));
    }
    return out;
  }

 private:
  // Held for the length of one call: a closed navigator raises ValueError, and a call while
  // another thread's runs raises BusyError.
  class Use {
   public:
    explicit Use(Navigator& owner, bool closing = false) : owner_(owner) {
      if (owner_.busy_.exchange(true)) {
        throw BusyError("the video is in use by another thread");
      }
      if (owner_.navigator_ == nullptr && !closing) {
        owner_.busy_.store(false);
        throw py::value_error("the video is closed");
      }
    }
    ~Use() { owner_.busy_.store(false); }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

   private:
    Navigator& owner_;
  };

  // The last message: a failure's, or what a call that succeeded met on its way.
  void remember(const std::string& error) {
    const std::string& message = error.empty() ? navigator_->warning() : error;
    if (!message.empty()) last_error_ = message;
  }

  std::unique_ptr<FrameNavigator> navigator_;
  std::atomic<bool> busy_{false};
  std::string last_error_;
};

}  // namespace
}  // namespace clipwalk

PYBIND11_MODULE(_clipwalk, module) {
  using namespace clipwalk;
  module.doc() = "The compiled core of clipwalk; use the clipwalk package instead.";
  module.attr("__version__") = CLIPWALK_VERSION;

  auto error = py::register_exception<NavigatorError>(module, "Error", PyExc_Exception);
  py::register_exception<OpenError>(module, "OpenError", error.ptr());
  py::register_exception<BusyError>(module, "BusyError", error.ptr());

  py::enum_<PixelFormat>(module, "PixelFormat")
      .value("RGBA", PixelFormat::kRgba)
      .value("RGB24", PixelFormat::kRgb24)
      .value("GRAY8", PixelFormat::kGray8)
      .value("BGR24", PixelFormat::kBgr24);

  module.def(
      "forward_log", [](int threshold) { LogQueue::instance().forward(threshold); },
      py::arg("threshold"),
      "From now on FFmpeg's lines at levels up to threshold wait for take_log_lines instead "
      "of going to standard error.");
  module.def(
      "take_log_lines", [] { return LogQueue::instance().take(); },
      "The FFmpeg lines waiting, as (level, line) pairs, and how many more were dropped.");

  py::class_<StreamInfo>(module, "StreamInfo")
      .def_readonly("source_path", &StreamInfo::source_path)
      .def_readonly("stream_index", &StreamInfo::stream_index)
      .def_readonly("source_width", &StreamInfo::source_width)
      .def_readonly("source_height", &StreamInfo::source_height)
      .def_readonly("preview_width", &StreamInfo::preview_width)
      .def_readonly("preview_height", &StreamInfo::preview_height)
      .def_readonly("duration_seconds", &StreamInfo::duration_seconds)
      .def_readonly("frames_per_second", &StreamInfo::frames_per_second)
      .def_readonly("start_pts", &StreamInfo::start_pts)
      .def_readonly("time_base_num", &StreamInfo::time_base_num)
      .def_readonly("time_base_den", &StreamInfo::time_base_den)
      .def_readonly("container_frame_count", &StreamInfo::container_frame_count)
      .def_readonly("codec_name", &StreamInfo::codec_name)
      .def_readonly("pixel_format_name", &StreamInfo::pixel_format_name)
      .def_readonly("frame_rate_num", &StreamInfo::frame_rate_num)
      .def_readonly("frame_rate_den", &StreamInfo::frame_rate_den)
      .def_readonly("sample_aspect_num", &StreamInfo::sample_aspect_num)
      .def_readonly("sample_aspect_den", &StreamInfo::sample_aspect_den)
      .def_readonly("rotation_degrees", &StreamInfo::rotation_degrees)
      .def_readonly("container_start_seconds", &StreamInfo::container_start_seconds);

  py::class_<FrameStamp>(module, "FrameStamp")
      .def_readonly("pts", &FrameStamp::pts)
      .def_readonly("seconds", &FrameStamp::seconds)
      .def_readonly("width", &FrameStamp::width)
      .def_readonly("height", &FrameStamp::height)
      .def_readonly("key_frame", &FrameStamp::key_frame)
      .def_readonly("duration", &FrameStamp::duration)
      .def_readonly("damaged", &FrameStamp::damaged);

  py::class_<Navigator>(module, "Navigator")
      .def_static("open", &Navigator::open, py::arg("path"), py::arg("preview_limit"),
                  py::arg("budget_bytes"), py::arg("stream_index") = -1, py::arg("threads") = 0,
                  py::arg("index_dir") = std::string(), py::arg("min_held_frames") = 0)
      .def("close", &Navigator::close)
      .def("abandon", &Navigator::abandon)
      .def("met_damage", &Navigator::met_damage)
      .def("count_from_saved_index", &Navigator::count_from_saved_index)
      .def_property_readonly("closed", &Navigator::closed)
      .def("stream", &Navigator::stream)
      .def("estimated_frame_count", &Navigator::estimated_frame_count)
      .def("start_prescan", &Navigator::start_prescan, py::arg("decode") = false)
      .def("prescan_completed", &Navigator::prescan_completed)
      .def("prescan_progress", &Navigator::prescan_progress)
      .def("frame_count", &Navigator::frame_count)
      .def("frame_seconds", &Navigator::frame_seconds)
      .def("current_frame_index", &Navigator::current_frame_index)
      .def("current_stamp", &Navigator::current_stamp)
      .def("last_error", &Navigator::last_error)
      .def("seek_to_seconds", &Navigator::seek_to_seconds, py::arg("seconds"))
      .def("seek_to_frame", &Navigator::seek_to_frame, py::arg("index"))
      .def("step", &Navigator::step, py::arg("frames"))
      .def("current_frame", &Navigator::current_frame, py::arg("format"))
      .def("frames_at_indices", &Navigator::frames_at_indices, py::arg("indices"),
           py::arg("format"));
}
