#!/usr/bin/env bash
# End to end on a real sound server: a private PulseAudio daemon with a null
# sink, a song played through ALSA "default" by the real stream engine, the
# sink's monitor recorded and checked for the song's tone, length and pace.
set -euo pipefail
ROOT="${ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
. "$ROOT/scripts/lib/common.sh"
ensure_package_lists core stream
BUILD="${BLEEPFORGE_BUILD:-$ROOT/build}"

skip() { echo "SKIP pulse-e2e: $*"; exit 0; }
fail() { echo "FAIL pulse-e2e: $*" >&2; exit 1; }

for tool in pulseaudio pactl pacat parec sox; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
if [ ! -d "$BUILD" ]; then configure_and_build "$(basename "$BUILD")"; fi
cmake --build "$BUILD" --target stream_play_probe -j"$(nproc)" >/dev/null
probe="$BUILD/tests/stream_play_probe"

. "$ROOT/scripts/lib/pulse.sh"
work="$pulse_work"
start_null_sink || skip "PulseAudio could not be started here: $pulse_error"

raw=(-t raw -r 44100 -e signed -b 16 -c 2)
# record NAME CMD...: runs CMD while recording the sink; sets rc, sound_s (from the
# first to the last sample above 1% of full scale) and peak_hz (strongest frequency).
record() {
    local name="$1"; shift
    parec -d nullsink.monitor --rate=44100 --channels=2 --format=s16le --raw "$work/$name.raw" &
    local parec_pid=$!
    pids+=("$parec_pid")
    sleep 0.3
    set +e
    "$@" >"$work/$name.out" 2>"$work/$name.err"
    rc=$?
    set -e
    sleep 0.3
    kill "$parec_pid"
    wait "$parec_pid" 2>/dev/null || true
    sox "${raw[@]}" "$work/$name.raw" "$work/$name.wav" silence 1 1s 1% reverse silence 1 1s 1% reverse
    sound_s="$(soxi -D "$work/$name.wav")"
    peak_hz="$(sox "$work/$name.wav" -n remix 1 stat -freq 2>&1 |
        awk 'NF == 2 && $1 ~ /^[0-9.]+$/ && $2 ~ /^[0-9.e+-]+$/ { if ($2 > best) { best = $2; f = $1 } } END { print f }')"
}
between() { awk -v x="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(x > lo && x < hi) }'; }

# Four seconds of a 440 Hz triangle, then the track stops.
printf '0t120 @48 o4 l1 a a x\n' > "$work/tone.mml"
record tone "$probe" "$work/tone.mml" 20
[ "$rc" -eq 3 ] && fail "the ALSA \"default\" device did not open while PulseAudio runs: $(cat "$work/tone.err")"
[ "$rc" -eq 0 ] || fail "playback failed (exit $rc): $(cat "$work/tone.err")"
result="$(cat "$work/tone.out")"
period="$(sed -n 's/.*period_ms=\([0-9.]*\).*/\1/p' <<<"$result")"
echo "stream: $result"
echo "recorded: ${sound_s} s of sound, strongest frequency ${peak_hz} Hz; block period ${period} ms"
between "$sound_s" 3.95 4.08 || fail "sound lasts ${sound_s} s, not 4 s"
between "$peak_hz" 435 445 || fail "strongest frequency ${peak_hz} Hz, not 440 Hz"
between "$period" 33.5 34.5 || fail "block period ${period} ms, not 34.0 ms"

# The command-line player: --seconds ends it, and Ctrl-C stops it cleanly.
render="$BUILD/cli/bleepforge-render"
if [ -x "$render" ]; then
    printf '0t120 @48 o5 l4 L a\n' > "$work/loop.mml"
    record seconds "$render" "$work/loop.mml" --play --seconds 2
    [ "$rc" -eq 0 ] || fail "--play --seconds 2 failed (exit $rc): $(cat "$work/seconds.err")"
    echo "--play --seconds 2: ${sound_s} s of sound at ${peak_hz} Hz"
    between "$sound_s" 1.95 2.2 || fail "--play --seconds 2 sounded ${sound_s} s"
    between "$peak_hz" 870 890 || fail "--play played ${peak_hz} Hz, not 880 Hz"

    record interrupt bash -c '"$0" "$1" --play & p=$!; sleep 1.5; kill -INT $p; wait $p' "$render" "$work/loop.mml"
    [ "$rc" -eq 130 ] || fail "--play did not stop on Ctrl-C as it should (exit $rc): $(cat "$work/interrupt.err")"
    echo "--play stopped by Ctrl-C after ${sound_s} s of sound"
    between "$sound_s" 1.2 1.8 || fail "--play went on for ${sound_s} s after Ctrl-C at 1.5 s"
else
    echo "pulse-e2e: no bleepforge-render built; --play not tested"
fi
echo "pulse-e2e: passed"
