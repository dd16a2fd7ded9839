// The analysis half of the Python binding: recordings (numpy arrays or
// files) to the decoder's streams, over the public C++ interface. The
// interpreter lock is released while the library works.
#include "analysis_bindings.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cmath>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "vallisynth/analysis.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

py::object g_analysis;  // the Analysis named tuple
py::object g_audio;     // the Audio named tuple

// Samples as float64 at full scale 1.0: integer PCM scaled by its full
// scale (8-bit unsigned about its midpoint), floats as they are.
Doubles to_samples(py::handle obj) {
  const py::array a = py::array::ensure(obj);
  if (!a) {
    throw py::value_error("x must be an array of samples");
  }
  if (a.ndim() != 1) {
    throw py::value_error("x must be 1-D (mono samples), got " + std::to_string(a.ndim()) + "-D");
  }
  const py::dtype t = a.dtype();
  const char kind = t.kind();
  if (kind == 'f') {
    return Doubles::ensure(a);
  }
  const py::object np = py::module_::import("numpy");
  if (kind == 'i') {
    const double scale = std::ldexp(1.0, -(8 * static_cast<int>(t.itemsize()) - 1));
    return Doubles::ensure(np.attr("multiply")(a, scale, "dtype"_a = "float64"));
  }
  if (kind == 'u' && t.itemsize() == 1) {
    return Doubles::ensure(
        np.attr("multiply")(np.attr("subtract")(a, 128.0, "dtype"_a = "float64"), 1.0 / 128.0));
  }
  throw py::value_error("x must hold floats or signed integer PCM (or 8-bit unsigned), not " +
                        std::string(py::str(static_cast<const py::handle&>(t))));
}

// A count that must fit 32 bits (a frame shift, an order): larger ones are
// refused here, naming the argument; the library checks the range.
std::uint32_t count_argument(py::handle value, const char* name, const char* unit) {
  const long long v = integer_argument(value, name, unit);
  if (v < 0 || v > 0xFFFFFFFFll) {
    throw py::value_error(std::string(name) + " is " + std::to_string(v) + " " + unit +
                          ", out of range");
  }
  return static_cast<std::uint32_t>(v);
}

vallisynth::AnalysisOptions to_analysis_options(const py::object& fs, const py::object& frame_shift,
                                                const py::object& order,
                                                std::optional<double> alpha,
                                                std::optional<double> f0_min,
                                                std::optional<double> f0_max,
                                                const std::string& cc_format) {
  vallisynth::AnalysisOptions o;
  o.sample_rate = rate_argument(fs);
  if (!frame_shift.is_none()) {
    o.frame_shift = count_argument(frame_shift, "frame_shift", "samples");
  }
  o.order = count_argument(order, "order", "coefficients");
  o.alpha = alpha;
  o.f0_min = f0_min.value_or(o.f0_min);
  o.f0_max = f0_max.value_or(o.f0_max);
  if (cc_format == "stored") {
    o.cepstrum_form = vallisynth::CepstrumForm::stored;
  } else if (cc_format == "sptk") {
    o.cepstrum_form = vallisynth::CepstrumForm::sptk;
  } else {
    throw py::value_error("cc_format must be \"stored\" or \"sptk\", not \"" + cc_format + "\"");
  }
  return o;
}

// The frames as (lf0, cc, fv) arrays, cc frames x (order + 1).
py::object to_tuple(const vallisynth::Analysis& a) {
  const auto frames = static_cast<py::ssize_t>(a.frames());
  const auto width = static_cast<py::ssize_t>(a.order + 1);
  Doubles lf0(frames), fv(frames), cc({frames, width});
  std::copy(a.lf0.begin(), a.lf0.end(), lf0.mutable_data());
  std::copy(a.fv.begin(), a.fv.end(), fv.mutable_data());
  std::copy(a.cc.begin(), a.cc.end(), cc.mutable_data());
  return g_analysis(lf0, cc, fv);
}

// An Analyser that one thread uses at a time (another gets RuntimeError).
struct PyAnalyser {
  explicit PyAnalyser(const vallisynth::AnalysisOptions& o) : analyser(o) {
  }
  vallisynth::Analyser analyser;
  std::mutex busy;
  std::unique_lock<std::mutex> claim() {
    std::unique_lock<std::mutex> lock(busy, std::try_to_lock);
    if (!lock.owns_lock()) {
      throw std::runtime_error("Analyser: in use by another thread");
    }
    return lock;
  }
};

const char* kAnalyseDoc = R"doc(
Analyses a recording into the decoder's streams.

x: 1-D samples; floats as they are (full scale 1.0), integer PCM scaled by
its full scale (int16 by 1/32768). fs: their rate in Hz (8000 to 48000).
frame_shift: samples (default 5 ms at fs); order: cepstral order; alpha:
all-pass constant (default the rate's, as the decoder's); f0_min, f0_max:
the f0 search range in Hz (default 50 to 800, for any voice); cc_format:
"stored" or "sptk".

Returns Analysis(lf0, cc, fv): log-f0 per frame (ln Hz, -1e10 unvoiced),
cepstra frames x (order + 1), maximum voiced frequency (Hz, 0 unvoiced).
Frame k describes the signal around sample (k + 1) * frame_shift; there
are round(len(x) / frame_shift) - 1 frames.)doc";

}  // namespace

void add_analysis_bindings(py::module_& m) {
  const py::object namedtuple = py::module_::import("collections").attr("namedtuple");
  g_analysis = namedtuple("Analysis", py::make_tuple("lf0", "cc", "fv"));
  g_analysis.attr("__module__") = "vallisynth";
  g_analysis.attr("__doc__") =
      "Streams of an analysed recording: lf0 (ln Hz, -1e10 unvoiced), cc (frames x\n"
      "(order + 1)) and fv (Hz, 0 unvoiced).";
  g_audio = namedtuple("Audio", py::make_tuple("x", "fs"));
  g_audio.attr("__module__") = "vallisynth";
  g_audio.attr("__doc__") = "A recording read by read_audio(): mono samples x and their rate fs.";
  m.add_object("Analysis", g_analysis);
  m.add_object("Audio", g_audio);

  m.def(
      "analyse",
      [](const py::object& x_in, const py::object& fs, const py::object& frame_shift,
         const py::object& order, std::optional<double> alpha, std::optional<double> f0_min,
         std::optional<double> f0_max, const std::string& cc_format) {
        const vallisynth::AnalysisOptions o =
            to_analysis_options(fs, frame_shift, order, alpha, f0_min, f0_max, cc_format);
        const Doubles x = to_samples(x_in);
        vallisynth::Analysis a;
        {
          py::gil_scoped_release unlocked;
          a = vallisynth::analyse(
              std::span<const double>(x.data(), static_cast<std::size_t>(x.size())), o);
        }
        return to_tuple(a);
      },
      "x"_a, "fs"_a, py::kw_only(), "frame_shift"_a = py::none(), "order"_a = 24,
      "alpha"_a = py::none(), "f0_min"_a = py::none(), "f0_max"_a = py::none(),
      "cc_format"_a = "stored", kAnalyseDoc);

  py::class_<PyAnalyser>(m, "Analyser", R"doc(
The streaming analyser: samples in pieces of any size, the frames that
became final out, exactly analyse()'s frames for any way of cutting the
recording. A frame is released once `latency` samples past its centre have
been pushed. Arguments as analyse()'s. Used by one thread at a time.)doc")
      .def(py::init([](const py::object& fs, const py::object& frame_shift, const py::object& order,
                       std::optional<double> alpha, std::optional<double> f0_min,
                       std::optional<double> f0_max, const std::string& cc_format) {
             return new PyAnalyser(
                 to_analysis_options(fs, frame_shift, order, alpha, f0_min, f0_max, cc_format));
           }),
           "fs"_a = 16000, py::kw_only(), "frame_shift"_a = py::none(), "order"_a = 24,
           "alpha"_a = py::none(), "f0_min"_a = py::none(), "f0_max"_a = py::none(),
           "cc_format"_a = "stored")
      .def(
          "push",
          [](PyAnalyser& self, const py::object& x_in) {
            const Doubles x = to_samples(x_in);
            const auto lock = self.claim();
            vallisynth::Analysis a;
            {
              py::gil_scoped_release unlocked;
              a = self.analyser.push(
                  std::span<const double>(x.data(), static_cast<std::size_t>(x.size())));
            }
            return to_tuple(a);
          },
          "x"_a, "Analyses the next samples; returns the frames that became final (an Analysis).")
      .def(
          "flush",
          [](PyAnalyser& self) {
            const auto lock = self.claim();
            vallisynth::Analysis a;
            {
              py::gil_scoped_release unlocked;
              a = self.analyser.flush();
            }
            return to_tuple(a);
          },
          "Ends the recording: returns its last frames and starts a new one.")
      .def(
          "reset",
          [](PyAnalyser& self) {
            const auto lock = self.claim();
            self.analyser.reset();
          },
          "Drops what was pushed and starts a new recording.")
      .def_property_readonly(
          "latency", [](PyAnalyser& self) { return self.analyser.latency(); },
          "Samples past a frame's centre that must be pushed before it is released.")
      .def_property_readonly(
          "frame_shift", [](PyAnalyser& self) { return self.analyser.frame_shift(); },
          "Frame shift in samples.")
      .def_property_readonly(
          "order", [](PyAnalyser& self) { return self.analyser.order(); }, "Cepstral order.");

  m.def(
      "read_audio",
      [](const py::object& path_in, const py::object& fs, int channel) {
        const std::string path = path_argument(path_in);
        const std::optional<int> rate =
            fs.is_none() ? std::optional<int>() : std::optional<int>(rate_argument(fs));
        vallisynth::Audio a;
        {
          py::gil_scoped_release unlocked;
          a = vallisynth::read_audio(path, rate, channel);
        }
        Doubles x(static_cast<py::ssize_t>(a.samples.size()));
        std::copy(a.samples.begin(), a.samples.end(), x.mutable_data());
        return g_audio(x, a.sample_rate);
      },
      "path"_a, "fs"_a = py::none(), "channel"_a = 0, R"doc(
Reads an audio file (WAV of any sample format, FLAC, AIFF, Ogg) as mono
float64 samples, full scale 1.0: Audio(x, fs). fs: resample to this rate
(high-quality libsoxr) when the file's differs; None keeps the file's rate
(8000 to 48000 Hz). channel: 0 mixes every channel down (their mean), n
picks channel n.)doc");
}
