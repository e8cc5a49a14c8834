#!/usr/bin/env bash
# End to end on a real sound server: a private PulseAudio daemon with a null
# sink, a song played through ALSA "default" by the real stream engine, the
# sink's monitor recorded and checked for the song's tone, length and pace.
set -euo pipefail
ROOT="${ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
. "$ROOT/scripts/lib/common.sh"
ensure_package_lists core stream cli
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
# The recording's last sample is from about the time written to $work/NAME.ended.
record() {
    local name="$1"; shift
    parec -d nullsink.monitor --latency-msec=10 --rate=44100 --channels=2 --format=s16le --raw "$work/$name.raw" &
    local parec_pid=$!
    pids+=("$parec_pid")
    sleep 0.3
    set +e
    "$@" >"$work/$name.out" 2>"$work/$name.err"
    rc=$?
    set -e
    sleep 0.3
    date +%s.%N >"$work/$name.ended"
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

    # --play --watch: the song rewritten in place from 440 Hz to 880 Hz while it
    # plays is heard changing; the delay from the save to the first 880 Hz sound
    # is measured on the recording, placed in time by when the recording ended.
    printf '0t120 @48 o4 l1 L a\n' > "$work/watch.mml"
    record watch bash -c '"$0" "$1" --play --watch & p=$!; sleep 1.5
        date +%s.%N >"$2"; printf "0t120 @48 o5 l1 L a\n" >"$1"
        sleep 1.5; kill -INT $p; wait $p' "$render" "$work/watch.mml" "$work/watch.saved"
    [ "$rc" -eq 130 ] || fail "--play --watch did not stop on Ctrl-C as it should (exit $rc): $(cat "$work/watch.err")"
    grep -qxF "reloaded $work/watch.mml (no warnings)" "$work/watch.err" ||
        fail "--play --watch did not say it reloaded: $(cat "$work/watch.err")"
    result="$(python3 - "$work/watch.raw" "$(cat "$work/watch.saved")" "$(cat "$work/watch.ended")" <<'PY'
import math, struct, sys
raw, saved, ended = open(sys.argv[1], "rb").read(), float(sys.argv[2]), float(sys.argv[3])
left = struct.unpack("<%dh" % (len(raw) // 2), raw[: len(raw) // 4 * 4])[0::2]
rate, step = 44100, 220  # windows of 5 ms
def power(x, hz):  # Goertzel
    c, s1, s2 = 2 * math.cos(2 * math.pi * hz / rate), 0.0, 0.0
    for v in x:
        s1, s2 = v + c * s1 - s2, s1
    return s1 * s1 + s2 * s2 - c * s1 * s2
def at(t):  # wall time to sample index
    return max(0, len(left) - int((ended - t) * rate))
def tone(a, b):  # 440, 880 or 0, by the stronger of the two in left[a:b]
    p440, p880 = power(left[a:b], 440), power(left[a:b], 880)
    return 0 if max(p440, p880) < 1e3 * (b - a) ** 2 else 440 if p440 > 10 * p880 else 880 if p880 > 10 * p440 else 0
onset = next((i for i in range(at(saved), len(left) - step, step) if tone(i, i + step) == 880), None)
if onset is None:
    print("before=%d after=none delay=none" % tone(at(saved) - rate, at(saved) - step))
else:
    print("before=%d after=%d delay=%.3f" % (tone(at(saved) - rate, at(saved) - step),
          tone(onset + rate // 5, onset + rate), (onset - at(saved)) / rate))
PY
)"
    echo "--play --watch: $result (seconds from the save to the first 880 Hz sound)"
    [[ "$result" == "before=440 after=880 "* ]] || fail "--play --watch was not heard changing from 440 Hz to 880 Hz"
    delay="${result##*delay=}"
    between "$delay" 0 1.0 || fail "--play --watch took ${delay} s from the save to the new song"
else
    echo "pulse-e2e: no bleepforge-render built; --play not tested"
fi
echo "pulse-e2e: passed"
