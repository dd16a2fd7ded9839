// A bounded window onto a sample sequence addressed by absolute position:
// the look-ahead and history that the frame step reads.
#ifndef VALLISYNTH_ANALYSIS_HISTORY_H_
#define VALLISYNTH_ANALYSIS_HISTORY_H_

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace vallisynth {

class SampleHistory {
 public:
  explicit SampleHistory(std::size_t capacity) : buf_(capacity) {
  }

  void reset() {
    base_ = 0;
    size_ = 0;
  }
  // Samples appended since the reset: the next one's position.
  std::int64_t end() const {
    return base_ + static_cast<std::int64_t>(size_);
  }
  // Room for that many more samples without dropping any kept one.
  std::size_t room() const {
    return buf_.size() - size_;
  }
  void append(double v) {
    buf_[size_++] = v;
  }
  void append(std::span<const double> x) {
    std::copy(x.begin(), x.end(), buf_.begin() + static_cast<std::ptrdiff_t>(size_));
    size_ += x.size();
  }
  // Forgets the samples before position keep.
  void discard_before(std::int64_t keep) {
    if (keep <= base_) {
      return;
    }
    const auto drop = static_cast<std::size_t>(
        std::min<std::int64_t>(keep - base_, static_cast<std::int64_t>(size_)));
    std::copy(buf_.begin() + static_cast<std::ptrdiff_t>(drop),
              buf_.begin() + static_cast<std::ptrdiff_t>(size_), buf_.begin());
    size_ -= drop;
    base_ += static_cast<std::int64_t>(drop);
  }
  // The scratch.size() samples from position start on: a view of the kept
  // samples when they are all there, else a copy in scratch, as copy() makes.
  std::span<const double> window(std::int64_t start, std::span<double> scratch) const {
    const std::int64_t p = start - base_;
    if (p >= 0 &&
        p + static_cast<std::int64_t>(scratch.size()) <= static_cast<std::int64_t>(size_)) {
      return std::span<const double>(buf_.data() + p, scratch.size());
    }
    copy(start, scratch);
    return scratch;
  }
  // Copies the samples from position start on into out; positions before the
  // first sample and from end() on read as 0 (the silence around a
  // recording).
  void copy(std::int64_t start, std::span<double> out) const {
    for (std::size_t i = 0; i < out.size(); ++i) {
      const std::int64_t p = start + static_cast<std::int64_t>(i) - base_;
      out[i] =
          p >= 0 && p < static_cast<std::int64_t>(size_) ? buf_[static_cast<std::size_t>(p)] : 0.0;
    }
  }

 private:
  std::vector<double> buf_;
  std::int64_t base_ = 0;
  std::size_t size_ = 0;
};

}  // namespace vallisynth

#endif  // VALLISYNTH_ANALYSIS_HISTORY_H_
