#!/usr/bin/env bash
# Render speed against the renderers people already use, in one run (only ratios
# from one run compare): the peer kit's `measure` with bleepforge-render on the
# benchmarks' typical song (bench/typical.mml, the same as mix_bench's) added.
#   bench/peers.sh PATH/TO/peers/measure [PATH/TO/bleepforge-render]
set -euo pipefail
HERE="$(cd "$(dirname "$0")" && pwd)"
MEASURE="${1:?usage: bench/peers.sh PATH/TO/peers/measure [PATH/TO/bleepforge-render]}"
RENDER="$(realpath "${2:-$HERE/../build-rel/cli/bleepforge-render}")"
[ -x "$RENDER" ] || { echo "bench/peers.sh: $RENDER: no renderer there (build the Release tree first)" >&2; exit 2; }
# measure reads each render's CPU time from python3's RUSAGE_CHILDREN. A version
# manager's shim (pyenv's, say) runs helper processes before it starts the
# interpreter, and their time stays in that count: about 0.1 s more for every
# renderer. Put the interpreter itself first on PATH.
if PY="$(python3 -c 'import sys; print(sys.executable)' 2>/dev/null)" && [ -x "$PY" ]; then
  SHIMLESS="$(mktemp -d)"
  trap 'rm -rf "$SHIMLESS"' EXIT
  ln -s "$PY" "$SHIMLESS/python3"
  PATH="$SHIMLESS:$PATH"
fi
cd "$(dirname "$MEASURE")"
VARIANTS=1 BF_CMD="$RENDER SONG -o OUT.wav --seconds 300 -q" BF_SONG="$HERE/typical.mml" "./$(basename "$MEASURE")"
