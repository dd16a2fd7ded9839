#include "driver/statistics.h"

#include <cinttypes>
#include <cmath>

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
  if (stats.nonfinite != 0) {
    std::fprintf(msg, "Warning: %s has %" PRIu64 " frame%s with values that are not finite.\n",
                 opts.filef0, stats.nonfinite, stats.nonfinite == 1 ? "" : "s");
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
