#include "driver/statistics.h"

#include <cinttypes>
#include <cmath>
#include <utility>

namespace vallisynth {

std::optional<UtteranceStats> scan_statistics(const DecoderOptions& opts, Utterance& u,
                                              const Options& options, std::span<double> rows,
                                              std::span<double> fvs, std::FILE* msg) {
  const std::size_t nframes = u.lf0.size();
  const std::size_t m = rows.size() / u.p;
  StatsScanner scanner(u.lf0, u.order, options);
  for (std::size_t k0 = 0; k0 < nframes; k0 += m) {
    const std::size_t n = std::min(m, nframes - k0);
    const std::span<double> c = rows.first(n * u.p);
    const std::span<double> v = fvs.first(u.hasfv ? n : 0);
    if (u.cc.read(c) != c.size() || u.fv.read(v) != v.size()) {
      std::fprintf(msg, "Error: could not open %s.\n", opts.filecc);
      return std::nullopt;
    }
    scanner.add(c, v);
  }
  const UtteranceStats stats = scanner.stats();
  for (const auto& [path, n] : {std::pair{opts.filef0, stats.nonfinite_lf0},
                                {opts.filecc, stats.nonfinite_cc},
                                {opts.filefv, stats.nonfinite_fv}}) {
    if (n != 0) {
      std::fprintf(msg, "Warning: %s has %" PRIu64 " frame%s with values that are not finite.\n",
                   path, n, n == 1 ? "" : "s");
    }
  }
  if (stats.overflowing != 0) {
    std::fprintf(msg,
                 "Warning: %s has %" PRIu64
                 " frame%s whose envelope is too large to render (rendered silent).\n",
                 opts.filecc, stats.overflowing, stats.overflowing == 1 ? "" : "s");
  }
  if (stats.lf0_in_hz) {
    std::fprintf(msg,
                 "Warning: %s looks like f0 in Hz, not its natural log (most values above "
                 "ln 1000, the others 0).\n",
                 opts.filef0);
  }
  return stats;
}

bool peak_gain(const DecoderOptions& opts, Utterance& u, Options& options, const NoiseSource& noise,
               std::span<double> rows, std::span<double> fvs, Buffer& out, std::size_t outsize,
               std::FILE* msg) {
  NoiseSource again = noise;
  Synthesizer first(u.order, u.hasfv, options, again);
  out.allocate(outsize);
  double peak = 0.0;
  if (!render_pieces(u, first, rows, fvs, out.span(), false, [&](std::span<const double> x) {
        for (const double v : x) {
          peak = std::fabs(v) > peak ? std::fabs(v) : peak;
        }
      })) {
    std::fprintf(msg, "Error: could not open %s.\n", opts.filecc);
    return false;
  }
  if (peak != 0.0) {
    options.gain = 0.99 / peak;  // as the writer's normalisation
  }
  return true;
}

}  // namespace vallisynth
