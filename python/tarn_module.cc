// The Python binding's native part, tarn._tarn: a thin layer over the C
// interface. Every failure becomes tarn.Error with the library's text; the
// decoding calls run without the interpreter lock, on the handle taken while
// it was held (movie_ is only read and written under the lock; a close from
// another thread waits in tarn_close for the call to return).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <tarn/tarn.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace py = pybind11;

namespace {

struct TarnError {
  std::string text;
};

void Check(tarn_status s, const tarn_movie* movie) {
  if (s != TARN_OK) throw TarnError{tarn_last_error(movie)};
}

class PyMovie {
 public:
  static PyMovie OpenPath(const std::string& path, uint64_t offset, uint32_t flags) {
    PyMovie m;
    tarn_status s;
    {
      py::gil_scoped_release unlocked;
      s = tarn_open_path_offset(path.c_str(), offset, flags, &m.movie_);
    }
    Check(s, nullptr);
    return m;
  }
  // The image's buffer stays exported for as long as the movie is open, so
  // that a bytearray cannot be resized under the library.
  static PyMovie OpenBuffer(py::buffer data, uint32_t flags) {
    PyMovie m;
    m.image_ = std::make_unique<py::buffer_info>(data.request());
    const py::buffer_info& b = *m.image_;
    if (b.itemsize != 1 || b.ndim != 1 || (b.strides.size() && b.strides[0] != 1)) {
      throw TarnError{"a movie image must be one contiguous run of bytes"};
    }
    Check(tarn_open_memory(b.ptr, size_t(b.size), flags, &m.movie_), nullptr);
    return m;
  }
  PyMovie() = default;
  PyMovie(PyMovie&& o) noexcept : movie_(o.movie_), image_(std::move(o.image_)) { o.movie_ = nullptr; }
  PyMovie(const PyMovie&) = delete;
  ~PyMovie() { Close(); }

  // Waits, without the interpreter lock, for a call another thread is
  // making on the movie; the image is let go only after that.
  void Close() {
    tarn_movie* const movie = movie_;
    movie_ = nullptr;
    if (movie) {
      py::gil_scoped_release unlocked;
      tarn_close(movie);
    }
    image_.reset();
  }

  py::dict Info() const {
    tarn_info i{};
    Check(tarn_get_info(Open(), &i), movie_);
    py::dict d;
    d["width"] = i.width;
    d["height"] = i.height;
    d["display_width"] = i.display_width;
    d["display_height"] = i.display_height;
    d["rate_numerator"] = i.rate_numerator;
    d["rate_denominator"] = i.rate_denominator;
    d["frame_count"] = i.frame_count;
    d["key_frame_count"] = i.key_frame_count;
    d["display_mode"] = i.display_mode;
    d["has_alpha"] = bool(i.has_alpha);
    d["is_grey"] = bool(i.is_grey);
    d["revision"] = std::string(1, char(i.revision));
    d["track_count"] = i.track_count;
    return d;
  }

  // (id, sample_rate, channels, bits, codec, largest_packet)
  std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t> Track(uint32_t position) const {
    tarn_track t{};
    Check(tarn_get_track(Open(), position, &t), movie_);
    return {t.id, t.sample_rate, t.channels, t.bits, t.codec, t.largest_packet};
  }

  bool IsKeyFrame(uint32_t frame) const {
    int key = 0;
    Check(tarn_is_key_frame(Open(), frame, &key), movie_);
    return key != 0;
  }

  // False at the end of the movie.
  bool NextFrame() {
    tarn_movie* const movie = Open();
    tarn_status s;
    {
      py::gil_scoped_release unlocked;
      s = tarn_next_frame(movie);
    }
    if (s == TARN_END) return false;
    Check(s, movie);
    return true;
  }

  void Goto(uint32_t frame) {
    tarn_movie* const movie = Open();
    tarn_status s;
    {
      py::gil_scoped_release unlocked;
      s = tarn_goto_frame(movie, frame);
    }
    Check(s, movie);
  }

  uint32_t Frame() const {
    tarn_frame f{};
    Check(tarn_get_frame(Open(), &f), movie_);
    return f.number;
  }

  // The current picture: H x W x channels for the RGB formats, the whole
  // I420 image as one run of bytes for I420.
  py::array_t<uint8_t> Picture(int format, bool displayMode) const {
    tarn_movie* const movie = Open();
    const uint32_t options = displayMode ? TARN_PICTURE_DISPLAY_MODE : 0;
    uint32_t w = 0, h = 0;
    size_t bytes = 0;
    Check(tarn_picture_size(movie, tarn_format(format), options, &w, &h, &bytes), movie);
    py::array_t<uint8_t> out;
    if (format == TARN_FORMAT_I420) {
      out = py::array_t<uint8_t>(py::ssize_t(bytes));
    } else {
      const py::ssize_t channels = format == TARN_FORMAT_RGB24 ? 3 : 4;
      out = py::array_t<uint8_t>({py::ssize_t(h), py::ssize_t(w), channels});
    }
    uint8_t* dst = out.mutable_data();
    tarn_status s;
    {
      py::gil_scoped_release unlocked;
      s = tarn_get_picture(movie, tarn_format(format), options, dst, bytes, 0);
    }
    Check(s, movie);
    return out;
  }

  // Interleaved 16-bit values, shaped (sample frames, channels).
  py::array_t<int16_t> Audio(uint32_t position, bool wholeTrack) const {
    tarn_movie* const movie = Open();
    tarn_track t{};
    Check(tarn_get_track(movie, position, &t), movie);
    auto fetch = wholeTrack ? tarn_get_track_audio : tarn_get_frame_audio;
    size_t count = 0;
    tarn_status s;
    {
      py::gil_scoped_release unlocked;
      s = fetch(movie, position, nullptr, 0, &count);
    }
    Check(s, movie);
    std::vector<int16_t> values(count);
    {
      py::gil_scoped_release unlocked;
      s = fetch(movie, position, values.data(), values.size(), &count);
    }
    Check(s, movie);
    // Whole sample frames; a hostile packet may end inside one.
    const py::ssize_t channels = t.channels ? t.channels : 1;
    const py::ssize_t frames = py::ssize_t(values.size()) / channels;
    py::array_t<int16_t> out({frames, channels});
    std::copy_n(values.data(), size_t(frames * channels), out.mutable_data());
    return out;
  }

 private:
  tarn_movie* Open() const {
    if (!movie_) throw TarnError{"the movie is closed"};
    return movie_;
  }
  tarn_movie* movie_ = nullptr;
  std::unique_ptr<py::buffer_info> image_;
};

}  // namespace

PYBIND11_MODULE(_tarn, m) {
  m.doc() = "The Tarn movie library's native part; use the tarn package.";
  static py::exception<TarnError> error(m, "Error");
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const TarnError& e) {
      error(e.text.c_str());
    }
  });
  m.attr("FORMAT_RGBA") = int(TARN_FORMAT_RGBA);
  m.attr("FORMAT_BGRA") = int(TARN_FORMAT_BGRA);
  m.attr("FORMAT_RGB24") = int(TARN_FORMAT_RGB24);
  m.attr("FORMAT_I420") = int(TARN_FORMAT_I420);
  m.attr("OPEN_READ_AHEAD") = TARN_OPEN_READ_AHEAD;
  m.attr("OPEN_NO_PICTURES") = TARN_OPEN_NO_PICTURES;
  py::class_<PyMovie>(m, "Movie")
      .def_static("open_path", &PyMovie::OpenPath)
      .def_static("open_buffer", &PyMovie::OpenBuffer)
      .def("close", &PyMovie::Close)
      .def("info", &PyMovie::Info)
      .def("track", &PyMovie::Track)
      .def("is_key_frame", &PyMovie::IsKeyFrame)
      .def("next_frame", &PyMovie::NextFrame)
      .def("goto", &PyMovie::Goto)
      .def("frame", &PyMovie::Frame)
      .def("picture", &PyMovie::Picture)
      .def("audio", &PyMovie::Audio);
}
