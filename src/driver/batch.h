// The utterances of a batch, decoded side by side: each on a thread of its
// own, starting where the noise phases would stand had every earlier one
// been decoded first, and each put in place and reported in the batch's
// order, so that the files and messages are those of decoding them one
// after the other.
#ifndef VALLISYNTH_DRIVER_BATCH_H_
#define VALLISYNTH_DRIVER_BATCH_H_

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>

#include "driver/commandline.h"
#include "vallisynth/vallisynth.hpp"

namespace vallisynth {

class Batch {
 public:
  // noise: the phases' position, left where the last utterance ends; msg:
  // where the messages go; width: utterances decoded at a time (1: each in
  // turn on the calling thread), at most kTemporarySlots.
  Batch(NoiseSource& noise, std::FILE* msg, unsigned width);
  ~Batch();
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  // Decodes the utterance that opts' file names name now (they are copied).
  void add(const DecoderOptions& opts);

  // Waits for every utterance and prints what is left. Returns 0 when every
  // utterance so far was written, 1 when any was not.
  int finish();

  struct Job;

 private:
  void run_here(const DecoderOptions& opts);
  void retire_oldest();
  bool collides(const Job& job) const;
  void work(Job& job);
  void wait_turn(std::uint64_t seq);

  NoiseSource* noise_;  // where the utterances already put in place end
  std::FILE* msg_;
  unsigned width_;
  int failed_ = 0;
  std::uint64_t added_ = 0;  // utterances handed to threads so far
  NoiseSource predicted_;    // where the last one handed out is expected to end
  Options skipoptions_;      // the rate and frame shift, for skipping frames
  std::deque<std::unique_ptr<Job>> running_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t turn_ = 0;  // the utterance whose output goes in place next
};

}  // namespace vallisynth

#endif  // VALLISYNTH_DRIVER_BATCH_H_
