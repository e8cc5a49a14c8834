#!/usr/bin/env bash
# The threaded stream tests built with ThreadSanitizer in their own build
# folder; any report fails the stage.
set -euo pipefail
ROOT="${ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
. "$ROOT/scripts/lib/common.sh"
ensure_package_lists core stream

configure_tsan_build stream_tests
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1"
without_aslr "$ROOT/build-tsan/tests/stream_tests" --gtest_repeat=3 --gtest_brief=1
echo "ThreadSanitizer: no reports"
