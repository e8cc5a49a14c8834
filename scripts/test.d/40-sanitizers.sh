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
# Not here: the late-block count of loading a 16 MiB song, a timing check the
# sanitizers' slowdown defeats on a small machine (the main suite runs it).
(cd "$ROOT/build-san" && ctest --output-on-failure -j"$(nproc)" -LE soak -E NoBlockLate)

"$ROOT/scripts/fuzz" "${BLEEPFORGE_FUZZ_SECONDS:-30}"

# The soak's threads under ThreadSanitizer. Mixing is slower there: the device
# is paced so transport operations keep coming.
configure_tsan_build soak_tests
TSAN_OPTIONS="halt_on_error=1 exitcode=66" BLEEPFORGE_SOAK_AUDIO_SECONDS="${BLEEPFORGE_TSAN_SOAK_SECONDS:-600}" \
    BLEEPFORGE_SOAK_BLOCK_US=5000 BLEEPFORGE_SOAK_VERIFY_BLOCKS=12 \
    without_aslr "$ROOT/build-tsan/tests/soak_tests" --gtest_brief=1
