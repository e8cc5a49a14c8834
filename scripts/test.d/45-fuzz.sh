#!/usr/bin/env bash
# Each fuzz target for a short, bounded time, so the targets keep building and
# a regression in the invariants shows at once. scripts/fuzz runs them longer.
set -euo pipefail
ROOT="${ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
"$ROOT/scripts/fuzz" "${BLEEPFORGE_FUZZ_SECONDS:-30}"
