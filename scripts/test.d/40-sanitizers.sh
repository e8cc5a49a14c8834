#!/usr/bin/env bash
# The unit suites under AddressSanitizer + UBSan, each fuzz target for a short
# bounded time (scripts/fuzz runs them longer), and a short soak under
# ThreadSanitizer. Any sanitizer report fails the stage.
set -euo pipefail
ROOT="${ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
export ROOT
. "$ROOT/scripts/lib/common.sh"
ensure_package_lists core stream sanitizers

configure_sanitizer_build
# A failed allocation must reach the code as a null pointer, as it does without ASan.
export ASAN_OPTIONS="detect_leaks=1 halt_on_error=1 allocator_may_return_null=1" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1"
(cd "$ROOT/build-san" && ctest --output-on-failure -j"$(nproc)" -LE soak)

"$ROOT/scripts/fuzz" "${BLEEPFORGE_FUZZ_SECONDS:-30}"

# The soak's threads under ThreadSanitizer, in the folder of the threaded tests.
cmake -S "$ROOT" -B "$ROOT/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
    -DBLEEPFORGE_BENCH=OFF >/dev/null
cmake --build "$ROOT/build-tsan" --target soak_tests -j"$(nproc)"
norandom=()
if command -v setarch >/dev/null && setarch "$(uname -m)" -R true 2>/dev/null; then
    norandom=(setarch "$(uname -m)" -R)
fi
# Mixing is slower under the sanitizer: pace the device so transport operations keep coming.
TSAN_OPTIONS="halt_on_error=1 exitcode=66" BLEEPFORGE_SOAK_AUDIO_SECONDS="${BLEEPFORGE_TSAN_SOAK_SECONDS:-600}" \
    BLEEPFORGE_SOAK_BLOCK_US=5000 BLEEPFORGE_SOAK_VERIFY_BLOCKS=12 \
    "${norandom[@]}" "$ROOT/build-tsan/tests/soak_tests" --gtest_brief=1
