// Renders a log-f0 and a mel-cepstral stream (and an optional fv stream)
// to a WAV file through the C++ interface:
//   render_cpp utt.lf0 utt.cc [utt.fv] out.wav
#include <cstdio>
#include <vallisynth/vallisynth.hpp>

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: %s lf0 cc [fv] out.wav\n", argv[0]);
    return 2;
  }
  try {
    const std::vector<double> lf0 = vallisynth::read_stream(argv[1]);
    const std::vector<double> cc = vallisynth::read_stream(argv[2]);
    std::vector<double> fv;
    if (argc == 5) {
      fv = vallisynth::read_stream(argv[3]);
    }
    vallisynth::Options options;  // 16 kHz, 5 ms frames, alpha 0.42
    const std::vector<double> x = vallisynth::render(lf0, cc, fv, options);
    vallisynth::write_wav(argv[argc - 1], x, options.sample_rate);
  } catch (const vallisynth::Error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
