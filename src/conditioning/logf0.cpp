#include "conditioning/logf0.h"

#include <cmath>
#include <cstdint>

#include "conditioning/finite.h"

namespace vallisynth {

namespace {
bool isvoiced(double lf0) {
  return lf0 > kUnvoicedLogF0;
}
}  // namespace

int shiftlogpitch(std::span<double> lf0, double shift) {
  if (shift == 0.0) {
    return 0;
  }
  for (double& v : lf0) {
    if (isvoiced(v)) {
      v = v + shift;
    }
  }
  return 0;
}

void addlogf0sum(std::span<const double> lf0, double& sum, std::uint64_t& count) {
  // A frame whose log-f0 or f0 is not finite stays out of the mean (and is
  // left as it is, unvoiced later): one bad frame must not move the others.
  for (const double v : lf0) {
    if (isvoiced(v) && hasfinitef0(v)) {
      sum += v;
      ++count;
    }
  }
}

int scalelogpitcharound(std::span<double> lf0, double factor, double mean) {
  for (double& v : lf0) {
    if (isvoiced(v) && hasfinitef0(v)) {
      v = (v - mean) * factor + mean;
    }
  }
  return 0;
}

int logf02f0(std::span<double> lf0) {
  for (double& v : lf0) {
    v = isvoiced(v) ? std::exp(v) : 0.0;
  }
  return 0;
}

}  // namespace vallisynth
