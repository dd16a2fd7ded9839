/* vallisynth: harmonic-plus-noise speech decoder with a mel-cepstral
 * envelope. The C interface (C99; also usable from C++ and any FFI).
 *
 * Every function that can fail returns an int: VALLISYNTH_OK (0) or one of
 * the negative VALLISYNTH_ERR_* codes; vallisynth_strerror() gives a
 * sentence for each, and vallisynth_last_error() the full message of the
 * calling thread's last failure (the argument or file concerned, and for a
 * file the operating system's reason: "could not create out.wav: No space
 * left on device"; vallisynth_last_system_error() gives its errno). The
 * library never prints and never ends the process.
 *
 * Structures that may grow (vallisynth_options, vallisynth_stats) carry
 * their size in their first member, so that a program built against an
 * older header keeps working with a newer library: set it with the init
 * functions (or to sizeof the structure); fields beyond it are taken at
 * their defaults and never written.
 *
 * Threads: no global or hidden static state. A vallisynth_noise or
 * vallisynth_synth object may be used by one thread at a time; different
 * objects, and the functions on different data, from any number of threads
 * at once.
 *
 * Sample geometry: frame k is centred on sample (k + 1) L, L the frame
 * shift, so K frames give (K + 1) L + 1 samples (vallisynth_rendered_length).
 */
#ifndef VALLISYNTH_VALLISYNTH_H_
#define VALLISYNTH_VALLISYNTH_H_

#include <stddef.h>
#include <stdint.h>

/* The interface stays visible when the library is built with hidden
 * symbols (the shared library exports nothing else). A result code that
 * is ignored draws a warning. */
#if defined(__GNUC__)
#define VALLISYNTH_API __attribute__((visibility("default")))
#define VALLISYNTH_CHECK __attribute__((warn_unused_result))
#else
#define VALLISYNTH_API
#define VALLISYNTH_CHECK
#endif

#define VALLISYNTH_VERSION_MAJOR 1
#define VALLISYNTH_VERSION_MINOR 0
#define VALLISYNTH_VERSION_PATCH 0
#define VALLISYNTH_VERSION_STRING "1.0.0"

/* Results. */
#define VALLISYNTH_OK 0
#define VALLISYNTH_ERR_BAD_ARGUMENT (-1)   /* an option or argument out of its range */
#define VALLISYNTH_ERR_DIMENSIONS (-2)     /* stream lengths that do not fit together */
#define VALLISYNTH_ERR_TOO_LONG (-3)       /* more samples than a WAV file holds */
#define VALLISYNTH_ERR_OUT_OF_MEMORY (-4)  /* buffers could not be allocated */
#define VALLISYNTH_ERR_OPEN (-5)           /* a stream could not be opened or read */
#define VALLISYNTH_ERR_CREATE (-6)         /* an output file could not be written */
#define VALLISYNTH_ERR_NOT_STREAMABLE (-7) /* the options need the whole utterance */

/* Cepstral forms (see vallisynth_options.cepstrum_form). */
#define VALLISYNTH_CC_STORED 0 /* c0 + 5, 2 c1, ..., 2 c(order) */
#define VALLISYNTH_CC_SPTK 1   /* as SPTK's mcep and hts_engine write them */

#ifdef __cplusplus
extern "C" {
#endif

/* The library's version, "major.minor.patch". */
VALLISYNTH_API const char* vallisynth_version(void);

/* A sentence describing a result code; never null. */
VALLISYNTH_API const char* vallisynth_strerror(int code);

/* The message of the calling thread's last failed call ("" before any);
 * valid until its next failed call. */
VALLISYNTH_API const char* vallisynth_last_error(void);
/* The errno value behind the calling thread's last failed call, 0 when it
 * was not the operating system's. */
VALLISYNTH_API int vallisynth_last_system_error(void);

/* Limits and defaults of the options. */
#define VALLISYNTH_DEFAULT_SAMPLE_RATE 16000
#define VALLISYNTH_MIN_SAMPLE_RATE 8000
#define VALLISYNTH_MAX_SAMPLE_RATE 48000
#define VALLISYNTH_MAX_THREADS 1024

/* Rendering options; vallisynth_options_init() sets the command line's
 * defaults. Values out of range are refused (VALLISYNTH_ERR_BAD_ARGUMENT). */
typedef struct vallisynth_options {
  size_t size;             /* sizeof(vallisynth_options) as the caller knows it */
  int32_t sample_rate;     /* Hz, 8000 to 48000; default 16000 */
  uint32_t frame_shift;    /* samples; 0: 5 ms at sample_rate, rounded */
  int32_t alpha_set;       /* 0: alpha is the rate's conventional one */
  double alpha;            /* all-pass constant, |alpha| < 1 */
  double gamma;            /* postfilter strength, 0: off */
  double fv_alpha;         /* all-pass constant of the fv track, |x| < 1 */
  double pitch_factor;     /* 0.25 to 4 */
  double pitch_range;      /* 0 to 4 */
  double duration_factor;  /* 0.25 to 4 */
  double vocal_tract_warp; /* -0.99 to 0.99 */
  int32_t normalize;       /* nonzero: peak scaled to 0.99 */
  int32_t cepstrum_form;   /* VALLISYNTH_CC_STORED or VALLISYNTH_CC_SPTK */
  /* Utterance-wide values (see vallisynth_utterance_stats); each is used
   * only when its _set flag is nonzero. A streaming decoder must be given
   * those its options need. */
  int32_t c0_limits_set;
  double c0_lowest;         /* smallest c0 of all frames */
  double c0_highest_voiced; /* largest c0 of the voiced frames */
  int32_t mean_lf0_set;
  double mean_lf0; /* mean voiced log-f0 after pitch_factor */
  int32_t gain_set;
  double gain; /* fixed output gain instead of normalize's */
  /* Threads that render, the caller's included: 1 (the default) the
   * calling thread alone, 0 every usable core, at most 1024. The samples
   * are the same for every count. */
  uint32_t threads;
} vallisynth_options;

/* Sets the defaults in the size bytes of *options (size included). */
VALLISYNTH_API void vallisynth_options_init_size(vallisynth_options* options, size_t size);
#define vallisynth_options_init(options) vallisynth_options_init_size((options), sizeof *(options))

/* Samples that rendering frames frames gives, 0 when the options are out
 * of range, UINT64_MAX when the count does not fit 64 bits. */
VALLISYNTH_API uint64_t vallisynth_rendered_length(uint64_t frames,
                                                   const vallisynth_options* options);

/* The conventional all-pass constant of a rate (Hz), and its default frame
 * shift (5 ms in whole samples). */
VALLISYNTH_API double vallisynth_default_alpha(int32_t sample_rate);
VALLISYNTH_API uint32_t vallisynth_default_frame_shift(int32_t sample_rate);
/* The frame shift at which options synthesise (frame_shift x
 * duration_factor, truncated). */
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_synthesis_frame_shift(
    const vallisynth_options* options, uint32_t* shift);

/* The noise-phase sequence; made at its beginning. Pass one source from
 * utterance to utterance to render a batch as the command line does. */
typedef struct vallisynth_noise vallisynth_noise;
VALLISYNTH_API vallisynth_noise* vallisynth_noise_create(void); /* null: no memory */
VALLISYNTH_API void vallisynth_noise_destroy(vallisynth_noise* noise);
VALLISYNTH_API void vallisynth_noise_reset(vallisynth_noise* noise);
/* Moves noise on to where rendering frames frames with options (null: the
 * defaults) leaves it, without rendering them: where the next utterance of
 * a batch starts. VALLISYNTH_ERR_BAD_ARGUMENT for options out of range. */
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_noise_skip(vallisynth_noise* noise, uint64_t frames,
                                                          const vallisynth_options* options);
/* The position as VALLISYNTH_NOISE_SAVED_SIZE bytes, and a source moved to
 * a position so saved: a source can be stored or sent to another process. */
#define VALLISYNTH_NOISE_SAVED_SIZE 124
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_noise_save(const vallisynth_noise* noise,
                                                          uint8_t* saved, size_t size);
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_noise_restore(vallisynth_noise* noise,
                                                             const uint8_t* saved, size_t size);
/* 1 when a and b stand at the same place in the sequence, else 0. */
VALLISYNTH_API int vallisynth_noise_equal(const vallisynth_noise* a, const vallisynth_noise* b);
/* The cores this process may run on (its CPU affinity), at least 1. */
VALLISYNTH_API unsigned vallisynth_usable_threads(void);

/* Renders one utterance into out.
 *
 * lf0, frames       natural log of f0 (Hz) per frame; not above -1e10: unvoiced
 * cc, cc_count      frames x (order + 1) cepstral coefficients
 * fv, fv_count      maximum voiced frequency per frame (Hz), at least frames
 *                   values; fv null: derived from c0
 * options           null: the defaults
 * noise             null: a fresh sequence (the command line's samples)
 * out, out_capacity at least vallisynth_rendered_length(frames, options)
 *                   doubles; receives the samples, full scale 1.0
 * out_count         receives the number of samples written; may be null */
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_render(const double* lf0, size_t frames,
                                                      const double* cc, size_t cc_count,
                                                      const double* fv, size_t fv_count,
                                                      const vallisynth_options* options,
                                                      vallisynth_noise* noise, double* out,
                                                      size_t out_capacity, size_t* out_count);

/* What rendering works out from the whole utterance (as the C++
 * UtteranceStats). Set size (vallisynth_stats_init) before a call fills it. */
typedef struct vallisynth_stats {
  size_t size;              /* sizeof(vallisynth_stats) as the caller knows it */
  double c0_lowest;         /* DBL_MAX without finite frames */
  double c0_highest_voiced; /* -DBL_MAX without voiced frames */
  double mean_lf0;          /* NaN without voiced frames */
  uint64_t voiced;
  uint64_t nonfinite; /* frames rendered silent or unvoiced; of those: */
  uint64_t nonfinite_lf0;
  uint64_t nonfinite_cc;
  uint64_t nonfinite_fv;
  uint64_t overflowing; /* finite rows whose envelope is too large */
  int32_t lf0_in_hz;    /* 1: the lf0 track looks like f0 in Hz */
} vallisynth_stats;

VALLISYNTH_API void vallisynth_stats_init_size(vallisynth_stats* stats, size_t size);
#define vallisynth_stats_init(stats) vallisynth_stats_init_size((stats), sizeof *(stats))

VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_utterance_stats(const double* lf0, size_t frames,
                                                               const double* cc, size_t cc_count,
                                                               const double* fv, size_t fv_count,
                                                               const vallisynth_options* options,
                                                               vallisynth_stats* stats);

/* The utterance's statistics with the cepstral rows (and fv values) given
 * piece by piece: the same values. lf0 is not copied and must outlive the
 * scanner. vallisynth_scanner_stats fails until every frame was added. */
typedef struct vallisynth_scanner vallisynth_scanner;
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_scanner_create(const double* lf0, size_t frames,
                                                              uint32_t order,
                                                              const vallisynth_options* options,
                                                              vallisynth_scanner** scanner);
VALLISYNTH_API void vallisynth_scanner_destroy(vallisynth_scanner* scanner);
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_scanner_add(vallisynth_scanner* scanner,
                                                           const double* cc, size_t cc_count,
                                                           const double* fv, size_t fv_count);
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_scanner_stats(const vallisynth_scanner* scanner,
                                                             vallisynth_stats* stats);

/* Frames that render silent or unvoiced (values not finite, envelopes that
 * overflow), as vallisynth_stats.nonfinite counts them. */
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_count_nonfinite_frames(
    const double* lf0, size_t frames, const double* cc, size_t cc_count, const double* fv,
    size_t fv_count, const vallisynth_options* options, uint64_t* count);

/* 1 when the lf0 track looks like f0 in Hz (most values above ln 1000, the
 * others exactly 0), else 0. */
VALLISYNTH_API int vallisynth_lf0_looks_like_hz(const double* lf0, size_t frames);

/* The streaming decoder: frames in, final samples out, exactly the samples
 * of vallisynth_render. Each pushed frame releases latency samples (the
 * frame shift L); flush releases the last latency + 1 and starts a new
 * utterance. Nothing is allocated after creation. Without an fv track the
 * options must declare c0_limits; with pitch_range other than 1 mean_lf0;
 * with normalize a gain (else VALLISYNTH_ERR_NOT_STREAMABLE). noise may be
 * null (a fresh sequence owned by the decoder) and must outlive it. */
typedef struct vallisynth_synth vallisynth_synth;
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_synth_create(uint32_t order, int32_t fv_track,
                                                            const vallisynth_options* options,
                                                            vallisynth_noise* noise,
                                                            vallisynth_synth** synth);
VALLISYNTH_API void vallisynth_synth_destroy(vallisynth_synth* synth);
VALLISYNTH_API uint32_t vallisynth_synth_latency(const vallisynth_synth* synth);
/* Frames pushed since the utterance began. */
VALLISYNTH_API uint64_t vallisynth_synth_frames(const vallisynth_synth* synth);
/* fv null and fv_count 0 without an fv track; out receives frames x latency
 * samples. */
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_synth_push(
    vallisynth_synth* synth, const double* lf0, size_t frames, const double* cc, size_t cc_count,
    const double* fv, size_t fv_count, double* out, size_t out_capacity, size_t* out_count);
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_synth_flush(vallisynth_synth* synth, double* out,
                                                           size_t out_capacity, size_t* out_count);
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_synth_reset(vallisynth_synth* synth,
                                                           int32_t restart_noise);

/* 16-bit samples exactly as the WAV writer makes them. */
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_to_pcm16(const double* x, size_t count,
                                                        int16_t* out);

/* x scaled in place so that its largest magnitude is 0.99 (silence is left
 * alone), as normalize does. */
VALLISYNTH_API void vallisynth_normalize(double* x, size_t count);

/* Writes a 16-bit mono WAV file; normalize nonzero scales the peak (of a
 * copy) to 0.99 first. */
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_write_wav(const char* path, const double* x,
                                                         size_t count, int32_t sample_rate,
                                                         int32_t normalize);

/* Reads a parameter stream (little-endian float32) widened to double. On
 * success *values is a new array of *count values, to be released with
 * vallisynth_free (null when the stream is empty). */
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_read_stream(const char* path, double** values,
                                                           size_t* count);
VALLISYNTH_API void vallisynth_free(void* p);

/* A parameter stream read piece by piece ("-": standard input).
 * vallisynth_reader_size gives 1 and the value count when it is known
 * without reading (a regular file), else 0; vallisynth_reader_read reads up
 * to capacity values (*count 0 at the end); vallisynth_reader_rewind gives
 * 0 when the stream cannot seek (a pipe). */
typedef struct vallisynth_reader vallisynth_reader;
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_reader_open(const char* path,
                                                           vallisynth_reader** reader);
VALLISYNTH_API void vallisynth_reader_close(vallisynth_reader* reader);
VALLISYNTH_API int vallisynth_reader_size(const vallisynth_reader* reader, uint64_t* count);
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_reader_read(vallisynth_reader* reader, double* out,
                                                           size_t capacity, size_t* count);
VALLISYNTH_API int vallisynth_reader_rewind(vallisynth_reader* reader);

/* A WAV file written as the samples come, to a temporary file renamed into
 * place by vallisynth_wav_commit (devices, FIFOs and "-" directly): a
 * failed or abandoned output leaves nothing behind. vallisynth_wav_close
 * discards an output that was not committed. */
typedef struct vallisynth_wav vallisynth_wav;
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_wav_open(const char* path, uint64_t samples,
                                                        int32_t sample_rate, vallisynth_wav** wav);
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_wav_write(vallisynth_wav* wav, const double* x,
                                                         size_t count);
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_wav_commit(vallisynth_wav* wav);
VALLISYNTH_API void vallisynth_wav_close(vallisynth_wav* wav);

/* ------------------------------------------------------------------------
 * Analysis: recordings to the decoder's streams (see analysis.hpp for the
 * frame geometry and the streaming rules). Frame k describes the signal
 * around sample (k + 1) L; an analyser releases it once latency samples
 * past its centre have been pushed, exactly the one-shot frames for any
 * way of cutting the input; nothing is allocated after creation.
 * ------------------------------------------------------------------------ */

/* Analysis options. Their size comes first, set with the defaults by
 * vallisynth_analysis_options_init(), so that fields added later are told
 * apart from an older caller's. */
typedef struct vallisynth_analysis_options {
  size_t size;
  int32_t sample_rate;   /* Hz of the samples, 8000 to 48000; default 16000 */
  uint32_t frame_shift;  /* samples; 0: 5 ms at sample_rate, rounded */
  uint32_t order;        /* cepstral order, 0 to 200; default 24 */
  int32_t alpha_set;     /* 0: alpha is the rate's conventional one */
  double alpha;          /* all-pass constant, |alpha| < 1 */
  double f0_min;         /* Hz, 40 <= f0_min < f0_max <= 1000; default 50 */
  double f0_max;         /* Hz; default 800 */
  int32_t cepstrum_form; /* VALLISYNTH_CC_STORED (default) or VALLISYNTH_CC_SPTK */
} vallisynth_analysis_options;

/* Sets the defaults in the size bytes of *options (size included). */
VALLISYNTH_API void vallisynth_analysis_options_init_size(vallisynth_analysis_options* options,
                                                          size_t size);
#define vallisynth_analysis_options_init(options) \
  vallisynth_analysis_options_init_size((options), sizeof *(options))

/* Analyses count samples (full scale 1.0, finite, within 1e6) at once. On
 * success *lf0, *cc and *fv are new arrays of *frames, *frames x (order + 1)
 * and *frames values (null when there are no frames), to be released with
 * vallisynth_free. options null: the defaults. */
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_analyse(const double* x, size_t count,
                                                       const vallisynth_analysis_options* options,
                                                       double** lf0, double** cc, double** fv,
                                                       size_t* frames);

/* The streaming analyser. */
typedef struct vallisynth_analyser vallisynth_analyser;
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_analyser_create(
    const vallisynth_analysis_options* options, vallisynth_analyser** analyser);
VALLISYNTH_API void vallisynth_analyser_destroy(vallisynth_analyser* analyser);
/* Samples past a frame's centre needed before it is released. */
VALLISYNTH_API uint32_t vallisynth_analyser_latency(const vallisynth_analyser* analyser);
/* Most frames a push of samples samples (0: a flush) can release. */
VALLISYNTH_API size_t vallisynth_analyser_max_frames(const vallisynth_analyser* analyser,
                                                     size_t samples);
/* Pushes count samples; the released frames go to lf0, fv (one value each)
 * and cc (order + 1 values each), which hold capacity frames, at least
 * vallisynth_analyser_max_frames(count); *frames receives their number. */
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_analyser_push(vallisynth_analyser* analyser,
                                                             const double* x, size_t count,
                                                             double* lf0, double* cc, double* fv,
                                                             size_t capacity, size_t* frames);
/* Ends the recording (its last frames, as push) and starts a new one. */
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_analyser_flush(vallisynth_analyser* analyser,
                                                              double* lf0, double* cc, double* fv,
                                                              size_t capacity, size_t* frames);
VALLISYNTH_API void vallisynth_analyser_reset(vallisynth_analyser* analyser);

/* Reads an audio file (WAV, FLAC, AIFF, Ogg) as mono samples, full scale
 * 1.0. sample_rate 0 keeps the file's rate (8000 to 48000 Hz), else the
 * file is resampled to it; channel 0 mixes all channels down, n >= 1 picks
 * channel n. On success *samples is a new array of *count values (release
 * it with vallisynth_free), *rate their rate and *channels the file's
 * channel count (either may be null). */
VALLISYNTH_API VALLISYNTH_CHECK int vallisynth_read_audio(const char* path, int32_t sample_rate,
                                                          int32_t channel, double** samples,
                                                          size_t* count, int32_t* rate,
                                                          int32_t* channels);

#ifdef __cplusplus
}
#endif

#endif /* VALLISYNTH_VALLISYNTH_H_ */
