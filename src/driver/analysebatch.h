// vallisynth-analyse over a corpus: many recordings in one run.
//
// Inputs come from the command line and from lists (--LIST, one path a
// line); each file's three streams go beside it, or under --OUTDIR at the
// input's own relative path. Files are analysed side by side on --THREADS
// threads, each by its own Analyser, so that the bytes do not depend on the
// thread count. A file whose three outputs exist, have the sizes of one
// analysis and are not older than the input is skipped (--FORCE=1 redoes
// it): every output is written to a temporary file and renamed, so an
// existing output is a complete one, and a run stopped at any moment and
// started again ends with exactly an uninterrupted run's files.
// --SHARD=i/n keeps every n-th input from the i-th (0-based), for job
// arrays. --MANIFEST writes one row per file (its duration, frames, voiced
// share, median f0 and fv, and status) in input order; the rows of skipped
// files are taken from the previous manifest when it has them.
//
// INT, TERM and HUP stop the batch between two blocks of samples: the files
// being written are abandoned (their temporary files removed), every
// finished one stays, the manifest lists the finished files, and the exit
// status is 128 + the signal's number.
#ifndef VALLISYNTH_DRIVER_ANALYSEBATCH_H_
#define VALLISYNTH_DRIVER_ANALYSEBATCH_H_

namespace vallisynth {

// True when the arguments ask for a batch (--LIST, --OUTDIR, --THREADS,
// --FORCE, --MANIFEST or --SHARD); otherwise they are the single-file form.
bool is_analyse_batch(int argc, char** argv);

// Runs a batch. Returns 0 when every file was analysed or was up to date,
// 1 when any failed (the others are done), 255 for a usage error, and
// 128 + the signal's number when a signal stopped it.
int analyse_batch_main(int argc, char** argv);

}  // namespace vallisynth

#endif  // VALLISYNTH_DRIVER_ANALYSEBATCH_H_
