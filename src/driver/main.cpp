// vallisynth: harmonic-plus-noise speech decoder. See README.md.
#include "driver/commandline.h"

int main(int argc, char** argv) {
  return vallisynth::vallisynth_main(argc, argv);
}
