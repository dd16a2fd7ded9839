// The Python binding: numpy arrays in and out over the public C++ interface.
//
// Every array-like argument is converted once to a contiguous float64 array
// (any dtype, any memory layout, nested lists); its shape is checked here so
// that the message names the Python argument. The interpreter lock is
// released while the library works, so that threads render in parallel.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "vallisynth/vallisynth.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

// The exception types, made once at import and kept for the process's life.
PyObject* g_error = nullptr;     // vallisynth.VallisynthError(RuntimeError)
PyObject* g_argerror = nullptr;  // vallisynth.ArgumentError(VallisynthError, ValueError)

// A noise source with a guard: the C++ object may be used by one thread at a
// time, and a Python caller that breaks the rule gets an error, not a race.
struct PyNoise {
  vallisynth::NoiseSource source;
  std::mutex busy;
};

// The guard of a PyNoise, or RuntimeError if another thread holds it.
std::unique_lock<std::mutex> claim(PyNoise& noise) {
  std::unique_lock<std::mutex> lock(noise.busy, std::try_to_lock);
  if (!lock.owns_lock()) {
    throw std::runtime_error("noise: this NoiseSource is in use by another thread");
  }
  return lock;
}

// Holds a PyNoise's guard (or nothing, for a fresh source) for one render.
class NoiseUse {
 public:
  explicit NoiseUse(PyNoise* shared) {
    if (shared == nullptr) {
      own_.emplace();
      source_ = &*own_;
      return;
    }
    lock_ = claim(*shared);
    source_ = &shared->source;
  }
  vallisynth::NoiseSource& get() {
    return *source_;
  }

 private:
  std::optional<vallisynth::NoiseSource> own_;
  std::unique_lock<std::mutex> lock_;
  vallisynth::NoiseSource* source_ = nullptr;
};

// A new source at self's position.
PyNoise* snapshot(PyNoise& self) {
  const auto lock = claim(self);
  auto* copy = new PyNoise;
  copy->source = self.source;
  return copy;
}

std::string typename_of(py::handle obj) {
  return py::str(py::type::handle_of(obj).attr("__name__"));
}

// obj as a contiguous float64 array; ValueError naming the argument if its
// values are not numbers.
Doubles todoubles(py::handle obj, const char* name) {
  Doubles a = Doubles::ensure(obj);
  if (!a) {
    throw py::value_error(std::string(name) + " must be an array of numbers, got " +
                          typename_of(obj));
  }
  return a;
}

Doubles tovector(py::handle obj, const char* name) {
  Doubles a = todoubles(obj, name);
  if (a.ndim() != 1) {
    throw py::value_error(std::string(name) + " must be 1-D (one value per frame), got " +
                          std::to_string(a.ndim()) + "-D");
  }
  return a;
}

std::span<const double> spanof(const Doubles& a) {
  return {a.data(), static_cast<std::size_t>(a.size())};
}

// An integer argument: ints, numpy integers, and floats with a whole value.
long long tointeger(py::handle obj, const char* name, const char* unit) {
  if (PyIndex_Check(obj.ptr()) && !PyBool_Check(obj.ptr())) {
    return py::cast<long long>(py::reinterpret_steal<py::object>(PyNumber_Index(obj.ptr())));
  }
  if (PyFloat_Check(obj.ptr()) || py::isinstance(obj, py::module_::import("numpy").attr("floating"))) {
    const double v = py::cast<double>(obj);
    if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 9.0e15) {
      return static_cast<long long>(v);
    }
    throw py::value_error(std::string(name) + " must be a whole number of " + unit + ", got " +
                          std::string(py::str(obj)));
  }
  throw py::type_error(std::string(name) + " must be an integer (" + unit + "), got " +
                       typename_of(obj));
}

int torate(py::handle obj) {
  const long long fs = tointeger(obj, "fs", "Hz");
  if (fs < 8000 || fs > 48000) {
    throw py::value_error("fs is " + std::to_string(fs) + " Hz, outside 8000 to 48000");
  }
  return static_cast<int>(fs);
}

// A numpy array that owns v's buffer, without copying it.
template <typename T>
py::array_t<T> adopt(std::vector<T>&& v) {
  auto* owner = new std::vector<T>(std::move(v));
  py::capsule free_when_done(owner, [](void* p) { delete static_cast<std::vector<T>*>(p); });
  return py::array_t<T>(static_cast<py::ssize_t>(owner->size()), owner->data(), free_when_done);
}

// The library's messages name its C++ options; a Python caller knows them by
// the keywords of synthesize().
std::string pythonnames(std::string message) {
  static const std::pair<const char*, const char*> kNames[] = {
      {"sample_rate", "fs"},         {"duration_factor", "fdur"}, {"pitch_factor", "fpitch"},
      {"pitch_range", "fvpitch"},    {"vocal_tract_warp", "fwarp"},
      {"cepstrum_form", "cc_format"}};
  for (const auto& [cxx, python] : kNames) {
    const std::string from(cxx);
    for (std::size_t at = message.find(from); at != std::string::npos;
         at = message.find(from, at)) {
      message.replace(at, from.size(), python);
      at += std::char_traits<char>::length(python);
    }
  }
  return message;
}

std::string pathof(py::handle path) {
  // Any str, bytes or os.PathLike, in the file system's encoding.
  return py::cast<std::string>(py::module_::import("os").attr("fsencode")(path));
}

// An utterance's streams as contiguous float64 arrays, their shapes checked.
struct Streams {
  Doubles lf0;
  Doubles cc;
  std::optional<Doubles> fv;
  std::span<const double> fvspan() const {
    return fv ? spanof(*fv) : std::span<const double>{};
  }
};

Streams tostreams(const py::object& lf0_in, const py::object& cc_in, const py::object& fv_in) {
  Streams s{tovector(lf0_in, "lf0"), todoubles(cc_in, "cc"), std::nullopt};
  const Doubles& cc = s.cc;
  if (cc.ndim() == 2) {
    if (cc.shape(0) != s.lf0.shape(0) || cc.shape(1) < 1) {
      throw py::value_error("cc has shape (" + std::to_string(cc.shape(0)) + ", " +
                            std::to_string(cc.shape(1)) + "), expected (" +
                            std::to_string(s.lf0.shape(0)) +
                            ", order + 1): one row per frame of lf0");
    }
  } else if (cc.ndim() != 1) {
    throw py::value_error("cc must be 2-D (frames, order + 1) or 1-D (frame after frame), got " +
                          std::to_string(cc.ndim()) + "-D");
  }
  if (!fv_in.is_none()) {
    s.fv = tovector(fv_in, "fv");
  }
  return s;
}

py::array_t<double> synthesize(const py::object& lf0_in, const py::object& cc_in,
                               const py::object& fv_in,
                               const py::object& fs, const py::object& frame_shift,
                               std::optional<double> alpha,
                               double gamma, double fv_alpha, double fpitch, double fvpitch,
                               double fdur, double fwarp, bool normalize,
                               const std::string& cc_format, const py::object& noise) {
  vallisynth::Options o;
  o.sample_rate = torate(fs);
  if (!frame_shift.is_none()) {
    const long long shift = tointeger(frame_shift, "frame_shift", "samples");
    if (shift < 1 || shift > 0xFFFFFFFFll) {
      throw py::value_error("frame_shift is " + std::to_string(shift) +
                            ", outside 1 to 4294967295 samples");
    }
    o.frame_shift = static_cast<std::uint32_t>(shift);
  }
  o.alpha = alpha;
  o.gamma = gamma;
  o.fv_alpha = fv_alpha;
  o.pitch_factor = fpitch;
  o.pitch_range = fvpitch;
  o.duration_factor = fdur;
  o.vocal_tract_warp = fwarp;
  o.normalize = normalize;
  if (cc_format == "stored") {
    o.cepstrum_form = vallisynth::CepstrumForm::stored;
  } else if (cc_format == "sptk") {
    o.cepstrum_form = vallisynth::CepstrumForm::sptk;
  } else {
    throw py::value_error("cc_format is '" + cc_format + "', neither 'stored' nor 'sptk'");
  }
  PyNoise* shared = nullptr;
  if (!noise.is_none()) {
    if (!py::isinstance<PyNoise>(noise)) {
      throw py::type_error("noise must be a vallisynth.NoiseSource or None, got " +
                           typename_of(noise));
    }
    shared = &py::cast<PyNoise&>(noise);
  }

  const Streams in = tostreams(lf0_in, cc_in, fv_in);
  NoiseUse source(shared);
  std::vector<double> y;
  {
    py::gil_scoped_release unlocked;
    y = vallisynth::render(spanof(in.lf0), spanof(in.cc), in.fvspan(), o, source.get());
  }
  return adopt(std::move(y));
}

std::uint64_t count_nonfinite(const py::object& lf0_in, const py::object& cc_in,
                              const py::object& fv_in, double fv_alpha) {
  const Streams in = tostreams(lf0_in, cc_in, fv_in);
  const auto frames = static_cast<std::size_t>(in.lf0.size());
  const auto values = static_cast<std::size_t>(in.cc.size());
  if (frames != 0 && (values == 0 || values % frames != 0)) {
    throw py::value_error("cc holds " + std::to_string(values) +
                          " values, not a whole number of coefficients for each of the " +
                          std::to_string(frames) + " frames of lf0");
  }
  if (in.fv && static_cast<std::size_t>(in.fv->size()) < frames) {
    throw py::value_error("fv holds " + std::to_string(in.fv->size()) +
                          " values, fewer than the " + std::to_string(frames) + " frames of lf0");
  }
  vallisynth::Options o;
  o.fv_alpha = fv_alpha;
  py::gil_scoped_release unlocked;
  return vallisynth::count_nonfinite_frames(spanof(in.lf0), spanof(in.cc), in.fvspan(), o);
}

py::array_t<std::int16_t> to_pcm16(const py::object& x_in) {
  const Doubles x = todoubles(x_in, "x");
  py::array_t<std::int16_t> out(std::vector<py::ssize_t>(x.shape(), x.shape() + x.ndim()));
  const std::span<std::int16_t> dst(out.mutable_data(), static_cast<std::size_t>(out.size()));
  {
    py::gil_scoped_release unlocked;
    vallisynth::to_pcm16(spanof(x), dst);
  }
  return out;
}

py::array_t<double> normalized(const py::object& x_in) {
  const Doubles x = todoubles(x_in, "x");
  py::array_t<double> out(std::vector<py::ssize_t>(x.shape(), x.shape() + x.ndim()));
  std::copy(x.data(), x.data() + x.size(), out.mutable_data());
  vallisynth::normalize(std::span<double>(out.mutable_data(), static_cast<std::size_t>(out.size())));
  return out;
}

py::array_t<float> read_stream(const py::object& path_in) {
  const std::string path = pathof(path_in);
  std::vector<double> values;
  {
    py::gil_scoped_release unlocked;
    values = vallisynth::read_stream(path);
  }
  // The values were float32 in the file: narrowing back is exact.
  py::array_t<float> out(static_cast<py::ssize_t>(values.size()));
  float* dst = out.mutable_data();
  for (std::size_t i = 0; i < values.size(); ++i) {
    dst[i] = static_cast<float>(values[i]);
  }
  return out;
}

void write_wav(const py::object& path_in, const py::object& x_in, const py::object& fs,
               bool normalize) {
  const std::string path = pathof(path_in);
  const Doubles x = tovector(x_in, "x");
  const int rate = torate(fs);
  py::gil_scoped_release unlocked;
  vallisynth::write_wav(path, spanof(x), rate, normalize);
}

// Raises a library failure as its Python exception, .code set.
void raise(const vallisynth::Error& e) {
  const bool argument =
      e.code() == vallisynth::Errc::bad_argument || e.code() == vallisynth::Errc::dimensions;
  PyObject* type = argument ? g_argerror : g_error;
  py::object instance = py::reinterpret_borrow<py::object>(type)(pythonnames(e.what()));
  instance.attr("code") = py::cast(e.code());
  PyErr_SetObject(type, instance.ptr());
}

PyObject* newexception(py::module_& m, const char* name, const char* doc, PyObject* bases) {
  const std::string qualified = std::string("vallisynth.") + name;
  PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases, nullptr);
  if (type == nullptr) {
    throw py::error_already_set();
  }
  m.add_object(name, py::handle(type));  // the module holds its own reference
  return type;
}

}  // namespace

PYBIND11_MODULE(_vallisynth, m) {
  m.doc() = "Harmonic-plus-noise speech decoder with a mel-cepstral envelope (extension module).";
  m.attr("__version__") = vallisynth::version();

  py::enum_<vallisynth::Errc>(m, "ErrorCode", py::arithmetic(),
                              "What a VallisynthError reports (VallisynthError.code).")
      .value("BAD_ARGUMENT", vallisynth::Errc::bad_argument, "an option or argument out of its range")
      .value("DIMENSIONS", vallisynth::Errc::dimensions, "stream lengths that do not fit together")
      .value("TOO_LONG", vallisynth::Errc::too_long, "more samples than a WAV file holds")
      .value("OUT_OF_MEMORY", vallisynth::Errc::out_of_memory, "buffers could not be allocated")
      .value("OPEN_FAILED", vallisynth::Errc::open_failed, "a stream could not be opened or read")
      .value("CREATE_FAILED", vallisynth::Errc::create_failed, "an output file could not be written")
      .value("NOT_STREAMABLE", vallisynth::Errc::not_streamable,
             "an option that needs the whole utterance, given to a Synthesizer");

  g_error = newexception(m, "VallisynthError",
                         "A failure reported by the library. .code is an ErrorCode; the message\n"
                         "names the cause and the argument or file concerned.",
                         PyExc_RuntimeError);
  {
    py::tuple bases = py::make_tuple(py::handle(g_error), py::handle(PyExc_ValueError));
    g_argerror = newexception(
        m, "ArgumentError",
        "A VallisynthError caused by an argument's value or the streams' sizes\n"
        "(code BAD_ARGUMENT or DIMENSIONS); also a ValueError.",
        bases.ptr());
  }
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) {
        std::rethrow_exception(p);
      }
    } catch (const vallisynth::Error& e) {
      raise(e);
    }
  });

  py::class_<PyNoise>(m, "NoiseSource", R"doc(
The noise-phase sequence: a fixed pseudo-random sequence, started at its
beginning when made or reset. Each rendered frame draws from it, so passing
one source from utterance to utterance renders a batch exactly as the
command line does (--INDLIST). It holds no global state: independent sources
are independent. A source may be used by one thread at a time; using it from
two at once raises RuntimeError. copy.copy() takes a snapshot of the
position.)doc")
      .def(py::init<>(), "A source at the beginning of the sequence.")
      .def(
          "reset",
          [](PyNoise& self) {
            const auto lock = claim(self);
            self.source.reset();
          },
          "Back to the beginning of the sequence.")
      .def("copy", &snapshot, "A new source at the same position.")
      .def("__copy__", &snapshot)
      .def("__deepcopy__", [](PyNoise& self, py::handle) { return snapshot(self); });

  m.def("synthesize", &synthesize, "lf0"_a, "cc"_a, "fv"_a = py::none(), py::kw_only(),
        "fs"_a = 16000, "frame_shift"_a = py::none(), "alpha"_a = py::none(), "gamma"_a = 0.0,
        "fv_alpha"_a = 0.0, "fpitch"_a = 1.0, "fvpitch"_a = 1.0, "fdur"_a = 1.0, "fwarp"_a = 0.0,
        "normalize"_a = false, "cc_format"_a = "stored", "noise"_a = py::none(), R"doc(
Renders one utterance; returns float64 samples, full scale 1.0.

lf0     natural log of f0 in Hz, one value per frame (1-D); -1e10 (anything
        not above it) or NaN marks an unvoiced frame
cc      mel-cepstra, 2-D (frames, order + 1) or 1-D frame after frame
fv      maximum voiced frequency in Hz per frame (at least one per frame);
        None: each voiced frame's follows its energy, 0 to 4500 Hz
fs      sampling rate in Hz, 8000 to 48000
frame_shift  samples between frames; None: 5 ms at fs (80 at 16 kHz)
alpha   all-pass constant of the cepstra; None: fs's conventional one
        (0.42 at 16 kHz)
gamma   formant postfilter strength (0: off)
fv_alpha  all-pass constant with which fv was warped (0: plain Hz)
fpitch  multiplies every voiced f0, 0.25 to 4
fvpitch scales the log-f0 around its voiced mean, 0 to 4 (0: monotone)
fdur    multiplies the frame shift (truncated), 0.25 to 4
fwarp   vocal-tract warp, -0.99 to 0.99 (> 0: formants up)
normalize  scale the output so that its peak is 0.99
cc_format  "stored" (c0 + 5, doubled c1...) or "sptk" (as SPTK's mcep and
        hts_engine write them)
noise   a NoiseSource, left where the utterance ends (pass one on through
        a batch); None: a fresh one, which gives the command line's output

Any dtype and memory layout is accepted. K frames give (K + 1) L + 1
samples, L the frame shift times fdur. Raises ValueError for wrong shapes
and values (ArgumentError when the library finds them) and VallisynthError
for other failures. The interpreter lock is released while rendering.)doc");

  m.def("count_nonfinite_frames", &count_nonfinite, "lf0"_a, "cc"_a, "fv"_a = py::none(),
        py::kw_only(), "fv_alpha"_a = 0.0, R"doc(
Number of frames holding a value that is not finite (NaN or infinite log-f0,
cepstral value or fv, or a log-f0 whose f0 overflows). synthesize() renders
such frames silent or unvoiced and leaves them out of the utterance's
statistics; this says how many there are. The arguments are synthesize()'s.)doc");

  m.def("to_pcm16", &to_pcm16, "x"_a, R"doc(
The 16-bit samples of x exactly as the WAV writer makes them: 32768 x
truncated toward zero, clipped to -32768..32767, NaN as 0. Any shape; the
result has x's shape, dtype int16.)doc");

  m.def("normalize", &normalized, "x"_a, R"doc(
A float64 copy of x scaled so that its largest magnitude is 0.99 (silence is
returned unchanged), exactly as synthesize(normalize=True) does.)doc");

  m.def("read_stream", &read_stream, "path"_a, R"doc(
Reads a parameter stream (headerless little-endian float32 values; 1 to 3
trailing bytes are ignored) into a 1-D float32 array. path: str, bytes or
os.PathLike. Raises VallisynthError (OPEN_FAILED) if the file is missing,
unreadable or shorter than 4 bytes.)doc");

  m.def("write_wav", &write_wav, "path"_a, "x"_a, "fs"_a = 16000, "normalize"_a = false, R"doc(
Writes x (1-D, full scale 1.0) as a 16-bit mono PCM WAV file at fs Hz, with
the samples to_pcm16 makes (after normalize() when normalize is true): the
command line's bytes. Raises VallisynthError (CREATE_FAILED, TOO_LONG).)doc");

  m.def(
      "default_alpha", [](const py::object& fs) { return vallisynth::default_alpha(torate(fs)); }, "fs"_a,
      "The conventional all-pass constant for a sampling rate in Hz (0.42 at 16000).");
  m.def(
      "default_frame_shift",
      [](const py::object& fs) { return vallisynth::default_frame_shift(torate(fs)); }, "fs"_a,
      "The default frame shift for a sampling rate: 5 ms in whole samples (80 at 16000).");
  m.def("version", &vallisynth::version, "The library's version, \"major.minor.patch\".");
}
