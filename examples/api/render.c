/* Renders a log-f0 and a mel-cepstral stream (and an optional fv stream)
 * to a WAV file through the C interface:
 *   render_c utt.lf0 utt.cc [utt.fv] out.wav */
#include <stdio.h>
#include <stdlib.h>
#include <vallisynth/vallisynth.h>

/* The failure's own message names the cause, and for a file the system's
 * reason; the code's sentence is the fallback. */
static int fail(const char* what, int code) {
  const char* detail = vallisynth_last_error();
  fprintf(stderr, "%s: %s\n", what, *detail != '\0' ? detail : vallisynth_strerror(code));
  return 1;
}

int main(int argc, char** argv) {
  double* lf0 = NULL;
  double* cc = NULL;
  double* fv = NULL;
  double* x = NULL;
  size_t frames = 0, ncc = 0, nfv = 0, nx = 0;
  vallisynth_options options;
  int status = 0;
  int rc;
  if (argc != 4 && argc != 5) {
    fprintf(stderr, "usage: %s lf0 cc [fv] out.wav\n", argv[0]);
    return 2;
  }
  vallisynth_options_init(&options);
  options.threads = 0; /* every usable core: the same samples */
  if ((rc = vallisynth_read_stream(argv[1], &lf0, &frames)) != VALLISYNTH_OK) {
    status = fail(argv[1], rc);
  } else if ((rc = vallisynth_read_stream(argv[2], &cc, &ncc)) != VALLISYNTH_OK) {
    status = fail(argv[2], rc);
  } else if (argc == 5 && (rc = vallisynth_read_stream(argv[3], &fv, &nfv)) != VALLISYNTH_OK) {
    status = fail(argv[3], rc);
  } else {
    const uint64_t n = vallisynth_rendered_length(frames, &options);
    x = malloc((size_t)n * sizeof(double));
    if (x == NULL) {
      status = fail("output", VALLISYNTH_ERR_OUT_OF_MEMORY);
    } else if ((rc = vallisynth_render(lf0, frames, cc, ncc, fv, nfv, &options, NULL, x, (size_t)n,
                                       &nx)) != VALLISYNTH_OK) {
      status = fail("render", rc);
    } else if ((rc = vallisynth_write_wav(argv[argc - 1], x, nx, options.sample_rate, 0)) !=
               VALLISYNTH_OK) {
      status = fail(argv[argc - 1], rc);
    }
  }
  vallisynth_free(lf0);
  vallisynth_free(cc);
  vallisynth_free(fv);
  free(x);
  return status;
}
