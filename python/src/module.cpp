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
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "analysis_bindings.h"
#include "vallisynth/vallisynth.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

// The exception types, made once at import and kept for the process's life.
PyObject* g_error = nullptr;     // vallisynth.VallisynthError(RuntimeError)
PyObject* g_argerror = nullptr;  // vallisynth.ArgumentError(VallisynthError, ValueError)
py::handle g_errorcode;          // vallisynth.ErrorCode, an enum.IntEnum

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
// values are not numbers. Strings are refused rather than parsed: a column
// of text read by mistake must not render.
Doubles to_doubles(py::handle obj, const char* name) {
  const py::object numpy = py::module_::import("numpy");
  py::object raw;
  try {
    raw = numpy.attr("asarray")(obj);
  } catch (const py::error_already_set&) {
    throw py::value_error(std::string(name) + " must be an array of numbers, got " +
                          typename_of(obj));
  }
  const std::string kind = py::str(raw.attr("dtype").attr("kind"));
  if (kind != "f" && kind != "i" && kind != "u" && kind != "b") {
    throw py::value_error(std::string(name) + " must be an array of numbers, got " +
                          typename_of(obj) + " of dtype " +
                          std::string(py::str(raw.attr("dtype"))));
  }
  Doubles a = Doubles::ensure(raw);
  if (!a) {
    throw py::value_error(std::string(name) + " must be an array of numbers, got " +
                          typename_of(obj));
  }
  return a;
}

Doubles tovector(py::handle obj, const char* name) {
  Doubles a = to_doubles(obj, name);
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
// One beyond 64 bits is out of every range: ValueError naming it.
long long to_integer(py::handle obj, const char* name, const char* unit) {
  if (PyIndex_Check(obj.ptr()) && !PyBool_Check(obj.ptr())) {
    const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(obj.ptr()));
    if (!index) {
      throw py::error_already_set();
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0) {
      throw py::value_error(std::string(name) + " is " + std::string(py::str(index)) + " " + unit +
                            ", out of range");
    }
    if (v == -1 && PyErr_Occurred() != nullptr) {
      throw py::error_already_set();
    }
    return v;
  }
  if (PyFloat_Check(obj.ptr()) ||
      py::isinstance(obj, py::module_::import("numpy").attr("floating"))) {
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
  const long long fs = to_integer(obj, "fs", "Hz");
  if (fs < vallisynth::min_sample_rate || fs > vallisynth::max_sample_rate) {
    throw py::value_error("fs is " + std::to_string(fs) + " Hz, outside " +
                          std::to_string(vallisynth::min_sample_rate) + " to " +
                          std::to_string(vallisynth::max_sample_rate));
  }
  return static_cast<int>(fs);
}

// A number argument (float, int, numpy scalar); TypeError naming it else.
double tofloat(py::handle obj, const char* name) {
  if (PyBool_Check(obj.ptr()) || PyUnicode_Check(obj.ptr()) || PyBytes_Check(obj.ptr())) {
    throw py::type_error(std::string(name) + " must be a number, got " + typename_of(obj));
  }
  const double v = PyFloat_AsDouble(obj.ptr());
  if (v == -1.0 && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    throw py::type_error(std::string(name) + " must be a number, got " + typename_of(obj));
  }
  return v;
}

// A numpy array that owns v's buffer, without copying it.
template <typename T>
py::array_t<T> adopt(std::vector<T>&& v) {
  auto* owner = new std::vector<T>(std::move(v));
  py::capsule free_when_done(owner, [](void* p) { delete static_cast<std::vector<T>*>(p); });
  return py::array_t<T>(static_cast<py::ssize_t>(owner->size()), owner->data(), free_when_done);
}

// Any str, bytes or os.PathLike, in the file system's encoding. A NUL
// would cut the name short and name another file: ValueError, as open()
// raises. "-" is a file of that name, as everywhere in Python (the
// standard streams are sys.stdin.buffer and sys.stdout.buffer).
std::string pathof(py::handle path) {
  std::string name = py::cast<std::string>(py::module_::import("os").attr("fsencode")(path));
  if (name.find('\0') != std::string::npos) {
    throw py::value_error("embedded null byte");
  }
  return name == "-" ? "./-" : name;
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
  Streams s{tovector(lf0_in, "lf0"), to_doubles(cc_in, "cc"), std::nullopt};
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

// c0_limits as (lowest, highest_voiced): a C0Limits, a tuple or any two numbers.
vallisynth::C0Limits tolimits(py::handle obj, const char* name) {
  const Doubles a = to_doubles(obj, name);
  if (a.size() != 2) {
    throw py::value_error(std::string(name) +
                          " must be two numbers (lowest, highest_voiced), got " +
                          std::to_string(a.size()));
  }
  return {a.data()[0], a.data()[1]};
}

// The one map from the Python keywords onto Options: each Options member
// (named as in vallisynth::option_names) with the conversion of its
// Python value. name is the keyword, for messages.
struct Keyword {
  const char* cpp;
  void (*set)(vallisynth::Options& o, py::handle v, const char* name);
};

constexpr Keyword kKeywords[] = {
    {"sample_rate", [](auto& o, py::handle v, const char*) { o.sample_rate = torate(v); }},
    {"frame_shift",
     [](auto& o, py::handle v, const char* name) {
       if (v.is_none()) {
         o.frame_shift = std::nullopt;
         return;
       }
       const long long shift = to_integer(v, name, "samples");
       if (shift < 1 || shift > 0xFFFFFFFFll) {
         throw py::value_error(std::string(name) + " is " + std::to_string(shift) +
                               ", outside 1 to 4294967295 samples");
       }
       o.frame_shift = static_cast<std::uint32_t>(shift);
     }},
    {"alpha",
     [](auto& o, py::handle v, const char* name) {
       o.alpha = v.is_none() ? std::nullopt : std::optional<double>(tofloat(v, name));
     }},
    {"gamma", [](auto& o, py::handle v, const char* name) { o.gamma = tofloat(v, name); }},
    {"fv_alpha", [](auto& o, py::handle v, const char* name) { o.fv_alpha = tofloat(v, name); }},
    {"pitch_factor",
     [](auto& o, py::handle v, const char* name) { o.pitch_factor = tofloat(v, name); }},
    {"pitch_range",
     [](auto& o, py::handle v, const char* name) { o.pitch_range = tofloat(v, name); }},
    {"duration_factor",
     [](auto& o, py::handle v, const char* name) { o.duration_factor = tofloat(v, name); }},
    {"vocal_tract_warp",
     [](auto& o, py::handle v, const char* name) { o.vocal_tract_warp = tofloat(v, name); }},
    {"normalize",
     [](auto& o, py::handle v, const char*) {
       o.normalize = static_cast<bool>(py::bool_(py::reinterpret_borrow<py::object>(v)));
     }},
    {"cepstrum_form",
     [](auto& o, py::handle v, const char* name) {
       const std::string form = py::str(v);
       if (!py::isinstance<py::str>(v) || (form != "stored" && form != "sptk")) {
         throw py::value_error(std::string(name) + " is " + std::string(py::repr(v)) +
                               ", neither 'stored' nor 'sptk'");
       }
       o.cepstrum_form =
           form == "sptk" ? vallisynth::CepstrumForm::sptk : vallisynth::CepstrumForm::stored;
     }},
    {"threads",
     [](auto& o, py::handle v, const char* name) {
       const long long n = to_integer(v, name, "threads");
       if (n < 0 || n > vallisynth::max_threads) {
         throw py::value_error(std::string(name) + " is " + std::to_string(n) + ", outside 0 to " +
                               std::to_string(vallisynth::max_threads));
       }
       o.threads = static_cast<unsigned>(n);
     }},
    {"c0_limits",
     [](auto& o, py::handle v, const char* name) {
       o.c0_limits = v.is_none() ? std::nullopt : std::optional(tolimits(v, name));
     }},
    {"mean_lf0",
     [](auto& o, py::handle v, const char* name) {
       o.mean_lf0 = v.is_none() ? std::nullopt : std::optional<double>(tofloat(v, name));
     }},
    {"gain",
     [](auto& o, py::handle v, const char* name) {
       o.gain = v.is_none() ? std::nullopt : std::optional<double>(tofloat(v, name));
     }},
};

// Options members that only some calls take.
constexpr const char* kUtteranceWide[] = {"c0_limits", "mean_lf0", "gain", "threads"};

// The options from a call's keyword arguments; extra names the keywords
// (not options) the call takes besides, which are left for the caller.
// TypeError for a keyword the call does not take, as Python's own.
vallisynth::Options to_options(const char* function, const py::kwargs& kwargs, bool utterance_wide,
                               std::initializer_list<const char*> extra = {}) {
  vallisynth::Options o;
  for (const auto& [key, value] : kwargs) {
    const std::string name = py::str(key);
    bool known = false;
    for (const char* e : extra) {
      known = known || name == e;
    }
    for (const Keyword& k : kKeywords) {
      if (known || name != vallisynth::option_name(k.cpp, vallisynth::OptionNames::python)) {
        continue;
      }
      bool wide = false;
      for (const char* w : kUtteranceWide) {
        wide = wide || std::string(k.cpp) == w;
      }
      if (wide && !utterance_wide) {
        break;
      }
      k.set(o, value, name.c_str());
      known = true;
    }
    if (!known) {
      throw py::type_error(std::string(function) + "() got an unexpected keyword argument '" +
                           name + "'");
    }
  }
  vallisynth::check_options(o, vallisynth::OptionNames::python);
  return o;
}

// A keyword argument other than an option, or fallback.
py::object keyword(const py::kwargs& kwargs, const char* name, py::object fallback) {
  return kwargs.contains(name) ? py::reinterpret_borrow<py::object>(kwargs[name]) : fallback;
}

// The PyNoise behind a noise argument, or nullptr for None.
PyNoise* tonoise(const py::object& noise) {
  if (noise.is_none()) {
    return nullptr;
  }
  if (!py::isinstance<PyNoise>(noise)) {
    throw py::type_error("noise must be a vallisynth.NoiseSource or None, got " +
                         typename_of(noise));
  }
  return &py::cast<PyNoise&>(noise);
}

// A Python user coming from f0 extractors that give Hz would otherwise get
// absurd pitches or silence without a word.
void warnifhz(const Doubles& lf0) {
  if (vallisynth::lf0_looks_like_hz(spanof(lf0))) {
    py::module_::import("warnings")
        .attr("warn")(
            "lf0 looks like f0 in Hz, not its natural log (most values above ln 1000, the "
            "others 0): pass np.log(f0) with unvoiced frames at -1e10",
            py::module_::import("builtins").attr("UserWarning"), 3);
  }
}

py::array_t<double> synthesize(const py::object& lf0_in, const py::object& cc_in,
                               const py::object& fv_in, const py::kwargs& kwargs) {
  const vallisynth::Options o = to_options("synthesize", kwargs, true, {"noise"});
  PyNoise* shared = tonoise(keyword(kwargs, "noise", py::none()));
  const Streams in = tostreams(lf0_in, cc_in, fv_in);
  warnifhz(in.lf0);
  NoiseUse source(shared);
  std::vector<double> y;
  {
    py::gil_scoped_release unlocked;
    y = vallisynth::render(spanof(in.lf0), spanof(in.cc), in.fvspan(), o, source.get());
  }
  return adopt(std::move(y));
}

// The namedtuple types of utterance_stats(), made once at import and kept for
// the process's life.
py::handle g_c0limits;
py::handle g_stats;

py::object utterance_stats(const py::object& lf0_in, const py::object& cc_in,
                           const py::object& fv_in, const py::kwargs& kwargs) {
  const vallisynth::Options o = to_options("utterance_stats", kwargs, false);
  const Streams in = tostreams(lf0_in, cc_in, fv_in);
  warnifhz(in.lf0);
  vallisynth::UtteranceStats st;
  {
    py::gil_scoped_release unlocked;
    st = vallisynth::utterance_stats(spanof(in.lf0), spanof(in.cc), in.fvspan(), o);
  }
  return g_stats(g_c0limits(st.c0_limits.lowest, st.c0_limits.highest_voiced), st.mean_lf0,
                 st.voiced, st.nonfinite);
}

// The streaming decoder with a guard, as PyNoise has: a second thread that
// pushes while the first is inside push() gets an error, not a race. A shared
// NoiseSource is kept alive by the reference held here and claimed for each
// call that draws from it.
struct PySynth {
  std::optional<vallisynth::Synthesizer> synth;
  py::object noise;  // the NoiseSource drawn from, or None
  PyNoise* shared = nullptr;
  std::uint32_t order = 0;
  bool fv_track = false;
  int fs = vallisynth::default_sample_rate;
  std::mutex busy;
};

std::unique_ptr<PySynth> newsynth(const py::object& order_in, const py::kwargs& kwargs) {
  const long long order = to_integer(order_in, "order", "coefficients");
  if (order < 0 || order >= 0xFFFFFFFEll) {
    throw py::value_error("order is " + std::to_string(order) + ", outside 0 to 4294967293");
  }
  const bool fv_track = py::bool_(keyword(kwargs, "fv_track", py::bool_(false)));
  const vallisynth::Options o = to_options("Synthesizer", kwargs, true, {"noise", "fv_track"});
  vallisynth::check_streaming_options(o, fv_track, vallisynth::OptionNames::python);
  const py::object noise = keyword(kwargs, "noise", py::none());
  auto self = std::make_unique<PySynth>();
  self->order = static_cast<std::uint32_t>(order);
  self->fv_track = fv_track;
  self->fs = o.sample_rate;
  self->shared = tonoise(noise);
  self->noise = noise;
  if (self->shared == nullptr) {
    self->synth.emplace(self->order, fv_track, o);
  } else {
    self->synth.emplace(self->order, fv_track, o, self->shared->source);
  }
  return self;
}

// Holds a PySynth's guard and that of its shared noise source for one call.
struct SynthUse {
  explicit SynthUse(PySynth& s) : lock(s.busy, std::try_to_lock) {
    if (!lock.owns_lock()) {
      throw std::runtime_error("this Synthesizer is in use by another thread");
    }
    if (s.shared != nullptr) {
      noise = claim(*s.shared);
    }
  }
  std::unique_lock<std::mutex> lock;
  std::unique_lock<std::mutex> noise;
};

py::array_t<double> push(PySynth& self, const py::object& lf0_in, const py::object& cc_in,
                         const py::object& fv_in) {
  const Doubles lf0 = tovector(lf0_in, "lf0");
  const Doubles cc = to_doubles(cc_in, "cc");
  const auto n = static_cast<std::size_t>(lf0.size());
  const std::size_t width = std::size_t{self.order} + 1u;
  const std::string rows = "(" + std::to_string(n) + ", " + std::to_string(width) + ")";
  if (cc.ndim() == 2) {
    if (static_cast<std::size_t>(cc.shape(0)) != n ||
        static_cast<std::size_t>(cc.shape(1)) != width) {
      throw py::value_error("cc has shape (" + std::to_string(cc.shape(0)) + ", " +
                            std::to_string(cc.shape(1)) + "), expected " + rows +
                            ": one row of order + 1 values per frame of lf0");
    }
  } else if (cc.ndim() != 1 || static_cast<std::size_t>(cc.size()) != n * width) {
    throw py::value_error("cc must be 2-D " + rows + " or 1-D with " + std::to_string(n * width) +
                          " values, got " + std::to_string(cc.ndim()) + "-D with " +
                          std::to_string(cc.size()));
  }
  std::optional<Doubles> fv;
  if (self.fv_track) {
    if (fv_in.is_none()) {
      throw py::value_error("fv is None, but this Synthesizer was made with fv_track=True");
    }
    fv = tovector(fv_in, "fv");
    if (static_cast<std::size_t>(fv->size()) != n) {
      throw py::value_error("fv holds " + std::to_string(fv->size()) +
                            " values, expected one per frame of lf0 (" + std::to_string(n) + ")");
    }
  } else if (!fv_in.is_none()) {
    throw py::value_error("fv given, but this Synthesizer was made with fv_track=False");
  }
  SynthUse use(self);
  py::array_t<double> out(static_cast<py::ssize_t>(n * self.synth->latency()));
  const std::span<double> dst(out.mutable_data(), static_cast<std::size_t>(out.size()));
  {
    py::gil_scoped_release unlocked;
    const std::size_t released = self.synth->push(
        spanof(lf0), spanof(cc), fv ? spanof(*fv) : std::span<const double>{}, dst);
    static_cast<void>(released);  // out was sized for exactly these samples
  }
  return out;
}

py::array_t<double> flush(PySynth& self) {
  SynthUse use(self);
  py::array_t<double> out(static_cast<py::ssize_t>(self.synth->latency()) + 1);
  const std::span<double> dst(out.mutable_data(), static_cast<std::size_t>(out.size()));
  {
    py::gil_scoped_release unlocked;
    const std::size_t n = self.synth->flush(dst);
    static_cast<void>(n);  // out was sized for exactly these samples
  }
  return out;
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
    throw py::value_error("fv holds " + std::to_string(in.fv->size()) + " values, fewer than the " +
                          std::to_string(frames) + " frames of lf0");
  }
  vallisynth::Options o;
  o.fv_alpha = fv_alpha;
  vallisynth::check_options(o, vallisynth::OptionNames::python);
  py::gil_scoped_release unlocked;
  return vallisynth::count_nonfinite_frames(spanof(in.lf0), spanof(in.cc), in.fvspan(), o);
}

py::array_t<std::int16_t> to_pcm16(const py::object& x_in) {
  const Doubles x = to_doubles(x_in, "x");
  py::array_t<std::int16_t> out(std::vector<py::ssize_t>(x.shape(), x.shape() + x.ndim()));
  const std::span<std::int16_t> dst(out.mutable_data(), static_cast<std::size_t>(out.size()));
  {
    py::gil_scoped_release unlocked;
    vallisynth::to_pcm16(spanof(x), dst);
  }
  return out;
}

py::array_t<double> normalized(const py::object& x_in) {
  const Doubles x = to_doubles(x_in, "x");
  py::array_t<double> out(std::vector<py::ssize_t>(x.shape(), x.shape() + x.ndim()));
  std::copy(x.data(), x.data() + x.size(), out.mutable_data());
  vallisynth::normalize(
      std::span<double>(out.mutable_data(), static_cast<std::size_t>(out.size())));
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

// Raises a library failure as its Python exception, .code set. A file's
// failure with the system's reason is an OSError, whose constructor picks
// the subclass for the errno (FileNotFoundError, PermissionError...).
void raise(const vallisynth::Error& e) {
  const py::object code = g_errorcode(static_cast<int>(e.code()));
  if (e.system_error() != 0) {
    py::object instance = py::reinterpret_borrow<py::object>(PyExc_OSError)(
        e.system_error(), std::strerror(e.system_error()),
        py::module_::import("os").attr("fsdecode")(py::bytes(e.path())));
    instance.attr("code") = code;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.ptr())), instance.ptr());
    return;
  }
  // A missing utterance-wide value is a keyword argument the caller must add.
  const bool argument = e.code() == vallisynth::Errc::bad_argument ||
                        e.code() == vallisynth::Errc::dimensions ||
                        e.code() == vallisynth::Errc::not_streamable;
  PyObject* type = argument ? g_argerror : g_error;
  py::object instance = py::reinterpret_borrow<py::object>(type)(e.what());
  instance.attr("code") = code;
  PyErr_SetObject(type, instance.ptr());
}

// A short fingerprint of a noise source's position, for its repr.
std::string fingerprint(const vallisynth::NoiseSource& source) {
  std::uint32_t h = 2166136261u;  // FNV-1a over the saved position
  for (const std::uint8_t b : source.save()) {
    h = (h ^ b) * 16777619u;
  }
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(h));
  return text;
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

std::string path_argument(py::handle path) {
  return pathof(path);
}

long long integer_argument(py::handle value, const char* name, const char* unit) {
  return to_integer(value, name, unit);
}

int rate_argument(py::handle fs) {
  return torate(fs);
}

PYBIND11_MODULE(_vallisynth, m) {
  m.doc() = "Harmonic-plus-noise speech decoder with a mel-cepstral envelope (extension module).";
  m.attr("__version__") = vallisynth::version();

  {
    // An IntEnum: the codes compare with ints, as errno's do.
    py::list members;
    for (const auto& [name, code] : {std::pair{"BAD_ARGUMENT", vallisynth::Errc::bad_argument},
                                     {"DIMENSIONS", vallisynth::Errc::dimensions},
                                     {"TOO_LONG", vallisynth::Errc::too_long},
                                     {"OUT_OF_MEMORY", vallisynth::Errc::out_of_memory},
                                     {"OPEN_FAILED", vallisynth::Errc::open_failed},
                                     {"CREATE_FAILED", vallisynth::Errc::create_failed},
                                     {"NOT_STREAMABLE", vallisynth::Errc::not_streamable}}) {
      members.append(py::make_tuple(name, static_cast<int>(code)));
    }
    g_errorcode = py::module_::import("enum")
                      .attr("IntEnum")("ErrorCode", members, "module"_a = "vallisynth")
                      .release();
    g_errorcode.attr("__doc__") =
        "What a VallisynthError reports (VallisynthError.code); an IntEnum, the C\n"
        "interface's numbers.";
    m.add_object("ErrorCode", g_errorcode);
  }

  g_error = newexception(m, "VallisynthError",
                         "A failure reported by the library. .code is an ErrorCode; the message\n"
                         "names the cause and the argument or file concerned.",
                         PyExc_RuntimeError);
  {
    py::tuple bases = py::make_tuple(py::handle(g_error), py::handle(PyExc_ValueError));
    g_argerror =
        newexception(m, "ArgumentError",
                     "A VallisynthError caused by an argument's value, the streams' sizes or a\n"
                     "missing utterance-wide value (code BAD_ARGUMENT, DIMENSIONS or\n"
                     "NOT_STREAMABLE); also a ValueError.",
                     bases.ptr());
  }
  {
    // Named tuples: they unpack, compare and print as users expect, and a
    // C0Limits is a valid c0_limits argument as it is.
    const py::object namedtuple = py::module_::import("collections").attr("namedtuple");
    g_c0limits = namedtuple("C0Limits", py::make_tuple("lowest", "highest_voiced")).release();
    g_c0limits.attr("__module__") = "vallisynth";
    g_c0limits.attr("__doc__") =
        "The c0 range from which fv follows without an fv track: c0 of the quietest\n"
        "frame and of the loudest voiced one (in the cepstra's form).";
    g_stats =
        namedtuple("UtteranceStats", py::make_tuple("c0_limits", "mean_lf0", "voiced", "nonfinite"))
            .release();
    g_stats.attr("__module__") = "vallisynth";
    g_stats.attr("__doc__") =
        "What utterance_stats() works out: c0_limits (a C0Limits), mean_lf0 (mean voiced\n"
        "log-f0 after fpitch, NaN without voiced frames), voiced and nonfinite frame\n"
        "counts.";
    m.add_object("C0Limits", g_c0limits);
    m.add_object("UtteranceStats", g_stats);
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
      .def(
          "skip",
          [](PyNoise& self, const py::object& frames_in, const py::object& fs,
             const py::object& frame_shift, const py::object& fdur) {
            const long long frames = to_integer(frames_in, "frames", "frames");
            if (frames < 0) {
              throw py::value_error("frames is " + std::to_string(frames) + ", below 0");
            }
            py::kwargs options;
            options["fs"] = fs;
            options["frame_shift"] = frame_shift;
            options["fdur"] = fdur;
            const vallisynth::Options o = to_options("skip", options, false);
            const auto lock = claim(self);
            self.source.skip(static_cast<std::uint64_t>(frames), o);
          },
          py::arg("frames"), py::arg("fs") = 16000, py::arg("frame_shift") = py::none(),
          py::arg("fdur") = 1.0,
          "Moves on to where rendering `frames` frames at this rate, frame shift\n"
          "and duration factor leaves the source, without rendering them: where\n"
          "the next utterance of a batch starts, so that utterances can be\n"
          "rendered side by side (each from its own copy).")
      .def(
          "__eq__",
          [](PyNoise& self, PyNoise& other) {
            const auto lock = claim(self);
            return &self == &other || self.source == other.source;
          },
          py::is_operator())
      .def("copy", &snapshot, "A new source at the same position.")
      .def("__copy__", &snapshot)
      .def("__deepcopy__", [](PyNoise& self, py::handle) { return snapshot(self); })
      .def("__repr__",
           [](PyNoise& self) {
             const auto lock = claim(self);
             return self.source == vallisynth::NoiseSource()
                        ? std::string("<vallisynth.NoiseSource at the beginning>")
                        : "<vallisynth.NoiseSource at position " + fingerprint(self.source) + ">";
           })
      // Pickled as its position, so that a source sent to a worker process
      // goes on there where it stood.
      .def(py::pickle(
          [](PyNoise& self) {
            const auto lock = claim(self);
            const std::vector<std::uint8_t> saved = self.source.save();
            return py::make_tuple(
                py::bytes(reinterpret_cast<const char*>(saved.data()), saved.size()));
          },
          [](const py::tuple& state) {
            if (state.size() != 1 || !py::isinstance<py::bytes>(state[0])) {
              throw py::value_error("a NoiseSource's state is one bytes object");
            }
            const std::string bytes = py::cast<std::string>(state[0]);
            auto* noise = new PyNoise;
            try {
              noise->source = vallisynth::NoiseSource::restore(
                  {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
            } catch (...) {
              delete noise;
              throw;
            }
            return noise;
          }));

  // The options come as keyword arguments, mapped onto the library's
  // Options by one table (kKeywords); the signatures are in the .pyi stub.
  m.def("synthesize", &synthesize, "lf0"_a, "cc"_a, "fv"_a = py::none(), R"doc(
synthesize(lf0, cc, fv=None, *, fs=16000, frame_shift=None, alpha=None,
           gamma=0.0, fv_alpha=0.0, fpitch=1.0, fvpitch=1.0, fdur=1.0,
           fwarp=0.0, normalize=False, cc_format="stored", c0_limits=None,
           mean_lf0=None, gain=None, noise=None, threads=1)

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
c0_limits  (lowest, highest_voiced) c0 of the range from which fv follows
        without an fv track; None: the utterance's own (utterance_stats)
mean_lf0  the voiced mean log-f0 around which fvpitch scales; None: the
        utterance's own
gain    a fixed factor for every sample, in place of normalize's
noise   a NoiseSource, left where the utterance ends (pass one on through
        a batch); None: a fresh one, which gives the command line's output
threads threads that render the utterance, this one included: 1 (the
        default) this thread alone, 0 every usable core; the samples are the
        same for every count

Any dtype and memory layout is accepted. K frames give (K + 1) L + 1
samples, L the frame shift times fdur. Raises ValueError for wrong shapes
and values (ArgumentError when the library finds them), TypeError for an
unknown keyword, and VallisynthError for other failures. An lf0 track that
looks like f0 in Hz (most values above ln 1000, the others 0) draws a
UserWarning. The interpreter lock is released while rendering.)doc");

  m.def("utterance_stats", &utterance_stats, "lf0"_a, "cc"_a, "fv"_a = py::none(), R"doc(
utterance_stats(lf0, cc, fv=None, *, fs=16000, frame_shift=None, alpha=None,
                gamma=0.0, fv_alpha=0.0, fpitch=1.0, fvpitch=1.0, fdur=1.0,
                fwarp=0.0, normalize=False, cc_format="stored")

The values synthesize() works out from the whole utterance, which a
Synthesizer must be given to render the same samples. Returns an
UtteranceStats(c0_limits, mean_lf0, voiced, nonfinite):

c0_limits  C0Limits(lowest, highest_voiced): c0 of the quietest frame and
        of the loudest voiced one, in cc_format's form (only needed
        without an fv track)
mean_lf0   mean voiced log-f0 after fpitch, NaN without voiced frames (only
        needed when fvpitch is not 1)
voiced     frames voiced after the pitch changes and f0 limits
nonfinite  frames holding a NaN or infinite value (left out of both)

The arguments are synthesize()'s; use the same cc_format, fpitch and fs.)doc");

  py::class_<PySynth>(m, "Synthesizer", R"doc(
The streaming decoder: frames in, final samples out. Pushing an utterance's
frames in any number of pieces and then flushing gives exactly the samples
synthesize() gives for the whole utterance, when the utterance-wide values
the options need are declared (utterance_stats() gives them):

c0_limits  needed without an fv track (each frame's fv follows its c0 over
        the utterance's range)
mean_lf0   needed when fvpitch is not 1
gain       needed when normalize is set (a fixed factor instead of the peak's)

A missing one raises ArgumentError with code NOT_STREAMABLE (a ValueError).

Frame k is centred on sample (k + 1) L, L = latency (the frame shift times
fdur), and reaches L samples either side: each pushed frame makes L more
samples final, and flush() releases the last L + 1. The interpreter lock is
released in push() and flush(). A Synthesizer is used by one thread at a
time (a second thread gets RuntimeError).)doc")
      .def(py::init(&newsynth), "order"_a, R"doc(
Synthesizer(order, *, fv_track=False, fs=16000, frame_shift=None, alpha=None,
            gamma=0.0, fv_alpha=0.0, fpitch=1.0, fvpitch=1.0, fdur=1.0,
            fwarp=0.0, normalize=False, cc_format="stored", c0_limits=None,
            mean_lf0=None, gain=None, noise=None, threads=1)

order     cepstral order: each frame brings order + 1 coefficients
fv_track  whether every push brings the frames' fv values
noise     a NoiseSource to draw from (kept alive by the Synthesizer, and
          claimed for each call); None: a fresh one of its own
The other options are synthesize()'s, plus the declared values above;
threads renders pushes of 64 frames or more on that many threads.)doc")
      .def("__repr__",
           [](PySynth& self) {
             const SynthUse use(self);
             return "<vallisynth.Synthesizer order=" + std::to_string(self.order) +
                    " fv_track=" + (self.fv_track ? "True" : "False") +
                    " fs=" + std::to_string(self.fs) +
                    " latency=" + std::to_string(self.synth->latency()) +
                    " frames=" + std::to_string(self.synth->frames()) + ">";
           })
      .def("push", &push, "lf0"_a, "cc"_a, "fv"_a = py::none(), R"doc(
Pushes frames: lf0 one value per frame (1-D), cc their rows (2-D (frames,
order + 1) or 1-D), fv one value per frame when made with fv_track=True,
else None. Returns the frames x latency samples that became final (float64,
full scale 1.0). Any number of frames, 0 included.)doc")
      .def("flush", &flush, R"doc(
Ends the utterance: returns its last latency + 1 samples. The next push
starts a new utterance; the noise-phase sequence runs on, as in a batch.)doc")
      .def(
          "reset",
          [](PySynth& self, bool restart_noise) {
            SynthUse use(self);
            self.synth->reset(restart_noise);
          },
          "restart_noise"_a = false, R"doc(
Drops what was pushed and starts a new utterance. restart_noise also takes
the noise-phase sequence (a shared NoiseSource too) back to its beginning.)doc")
      .def_property_readonly(
          "latency", [](const PySynth& self) { return self.synth->latency(); },
          "Samples each pushed frame releases: the frame shift times fdur.")
      .def_property_readonly(
          "frames",
          [](PySynth& self) {
            const SynthUse use(self);  // push() may be counting in another thread
            return self.synth->frames();
          },
          "Frames pushed since the utterance began.")
      .def_readonly("order", &PySynth::order, "The cepstral order.")
      .def_readonly("fv_track", &PySynth::fv_track, "Whether each push brings fv values.");

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
      "default_alpha", [](const py::object& fs) { return vallisynth::default_alpha(torate(fs)); },
      "fs"_a, "The conventional all-pass constant for a sampling rate in Hz (0.42 at 16000).");
  m.def(
      "default_frame_shift",
      [](const py::object& fs) { return vallisynth::default_frame_shift(torate(fs)); }, "fs"_a,
      "The default frame shift for a sampling rate: 5 ms in whole samples (80 at 16000).");
  m.def("version", &vallisynth::version, "The library's version, \"major.minor.patch\".");
  add_analysis_bindings(m);
}
