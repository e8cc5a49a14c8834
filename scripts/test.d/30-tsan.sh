#!/usr/bin/env bash
# The threaded stream tests built with ThreadSanitizer in their own build
# folder; any report fails the stage.
set -euo pipefail
ROOT="${ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
. "$ROOT/scripts/lib/common.sh"
ensure_package_lists core stream

configure_tsan_build stream_tests app_tests
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1"
without_aslr "$ROOT/build-tsan/tests/stream_tests" --gtest_repeat=3 --gtest_brief=1
# The controller's worker and posted calls. Not here: the case that caps the
# address space (ThreadSanitizer's shadow memory needs more) and the late-block
# count of loading a 16 MiB song, a timing check the tool's slowdown defeats
# (the main suite runs it).
without_aslr "$ROOT/build-tsan/tests/app_tests" --gtest_repeat=3 --gtest_brief=1 \
    --gtest_filter='-*CannotBeAllocated*:*NoBlockLate*'
echo "ThreadSanitizer: no reports"
