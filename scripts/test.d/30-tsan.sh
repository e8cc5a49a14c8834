#!/usr/bin/env bash
# The threaded stream tests built with ThreadSanitizer in their own build
# folder; any report fails the stage.
set -euo pipefail
ROOT="${ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
. "$ROOT/scripts/lib/common.sh"
ensure_package_lists core stream

cmake -S "$ROOT" -B "$ROOT/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
    -DBLEEPFORGE_BENCH=OFF >/dev/null
cmake --build "$ROOT/build-tsan" --target stream_tests -j"$(nproc)"

# Kernels with wide mmap randomisation clash with the sanitizer's memory layout.
norandom=()
if command -v setarch >/dev/null && setarch "$(uname -m)" -R true 2>/dev/null; then
    norandom=(setarch "$(uname -m)" -R)
fi
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1"
"${norandom[@]}" "$ROOT/build-tsan/tests/stream_tests" --gtest_repeat=3 --gtest_brief=1
echo "ThreadSanitizer: no reports"
