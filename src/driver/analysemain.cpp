// vallisynth-analyse: recordings in, the decoder's parameter streams out.
#include "driver/analysecommand.h"

int main(int argc, char** argv) {
  return vallisynth::analyse_main(argc, argv);
}
