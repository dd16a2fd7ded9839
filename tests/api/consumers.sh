#!/bin/bash
# Installs the project into a folder of the build tree, builds the example
# consumers against the installed package (the C++ one with find_package,
# the C one with pkg-config, and each the other way too), runs them, and
# checks that their WAV files are the command line's bytes.
#   consumers.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1
build=$2
work=$build/consumers
rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$work/install" >/dev/null
# The man page goes where man looks for it.
if [ ! -f "$work/install/share/man/man1/vallisynth.1" ]; then
  echo "no man page installed in $work/install/share/man/man1"
  exit 1
fi

cmake -S "$src/examples/api" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/install" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS="-Wall -Wextra -Wpedantic -Werror" \
  -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Werror" >/dev/null
cmake --build "$work/cmake" >/dev/null

export PKG_CONFIG_PATH=$work/install/lib/pkgconfig
# A shared build's library, for the programs linked without a run path.
export LD_LIBRARY_PATH=$work/install/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
read -r -a flags <<<"$(pkg-config --cflags --libs vallisynth)"
cc -std=c99 -Wall -Wextra -Wpedantic -Werror "$src/examples/api/render.c" "${flags[@]}" \
  -o "$work/render_c_pc"
c++ -std=c++20 -Wall -Wextra -Wpedantic -Werror "$src/examples/api/render.cpp" "${flags[@]}" \
  -o "$work/render_cpp_pc"

ex=$src/examples
"$work/install/bin/vallisynth" "$ex/utt01.lf0" "$ex/utt01.cc" "$ex/utt01.fv" "$work/cli.wav" >/dev/null
"$work/install/bin/vallisynth" "$ex/utt02.lf0" "$ex/utt02.cc" "$work/cli2.wav" >/dev/null
status=0
for prog in "$work/cmake/render_cpp" "$work/cmake/render_c" "$work/render_c_pc" "$work/render_cpp_pc"; do
  "$prog" "$ex/utt01.lf0" "$ex/utt01.cc" "$ex/utt01.fv" "$work/out.wav"
  "$prog" "$ex/utt02.lf0" "$ex/utt02.cc" "$work/out2.wav"
  if cmp -s "$work/cli.wav" "$work/out.wav" && cmp -s "$work/cli2.wav" "$work/out2.wav"; then
    echo "same bytes as the command line: $prog"
  else
    echo "DIFFERENT from the command line: $prog"
    status=1
  fi
done
exit $status
