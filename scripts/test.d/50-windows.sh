#!/usr/bin/env bash
# The Windows programs: cross-built with MinGW-w64 and tested under Wine on a
# virtual display: the engine core (golden renders included), the stream
# engine's render thread on the test device, the file watcher, the main window
# driven through its window procedure, and the winmm output without a sound
# server and on a private PulseAudio null sink whose monitor is recorded.
set -euo pipefail
ROOT="${ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
. "$ROOT/scripts/lib/common.sh"
BUILD="$ROOT/build-windows"

fail() { echo "FAIL windows: $*" >&2; exit 1; }
started=$SECONDS

"$ROOT/scripts/build-windows"

export WINEPREFIX="$BUILD/wine-prefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installers

# One prefix per build folder: creating it is the slow part.
if [ ! -f "$WINEPREFIX/bleepforge-ready" ]; then
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wineserver -w
    # Dialogs close at once without a window manager; Japanese needs a CJK
    # font behind the usual UI faces; sound goes to PulseAudio only.
    {
        printf '%s\r\n' 'REGEDIT4' '' \
            '[HKEY_CURRENT_USER\Software\Wine\X11 Driver]' '"Managed"="N"' '' \
            '[HKEY_CURRENT_USER\Software\Wine\Drivers]' '"Audio"="pulse"' '' \
            '[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]'
        for face in "Tahoma" "MS Shell Dlg" "MS Shell Dlg 2" "MS UI Gothic" "Segoe UI" "System"; do
            printf '"%s"="Noto Sans CJK JP"\r\n' "$face"
        done
    } >"$BUILD/wine-settings.reg"
    wine regedit /S "Z:${BUILD//\//\\}\\wine-settings.reg"
    wineserver -w
    touch "$WINEPREFIX/bleepforge-ready"
fi

# Its exit trap stops, last of all, the virtual display started here.
. "$ROOT/scripts/lib/pulse.sh"

# One virtual display for every program of the stage. Xvfb picks a free
# display itself and writes its number once it accepts connections (guessing a
# free number from lock files, as xvfb-run -a does, can lose a race, and a
# program then failed without a word).
display_file="$pulse_work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$display_file" 2>"$pulse_work/xvfb.log" &
xvfb_pid=$!
pids+=("$xvfb_pid")
for _ in $(seq 100); do
    [ -s "$display_file" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
done
[ -s "$display_file" ] || fail "no virtual display: $(tail -n 1 "$pulse_work/xvfb.log")"
export DISPLAY=":$(cat "$display_file")"

# run_windows EXE [ARGS...]: runs a test program under Wine; its exit status
# passes through, and is named when it is not 0.
run_windows() {
    local rc=0
    (cd "$BUILD" && wine "$@") || rc=$?
    wineserver -w
    [ "$rc" = 0 ] || echo "windows: $1 exited with status $rc" >&2
    return "$rc"
}

echo "-- core_tests.exe"
run_windows ./core_tests.exe --gtest_brief=1
echo "-- stream_tests.exe"
run_windows ./stream_tests.exe --gtest_brief=1
echo "-- watch_tests.exe (the file watcher on ReadDirectoryChangesW and polling)"
run_windows ./watch_tests.exe --gtest_brief=1
echo "-- win32_ui_tests.exe (screenshot of the open menu: build-windows/win32-menu.bmp)"
run_windows ./win32_ui_tests.exe --gtest_brief=1
echo "-- winmm_tests.exe without a sound server, and through failing waveOut calls"
PULSE_SERVER="unix:$BUILD/no-such-server" run_windows ./winmm_tests.exe --gtest_brief=1 \
    --gtest_filter='WinmmWithoutServer.*:WinmmFailingCalls.*'

# The wave-out path on a real sound server of our own.
work="$pulse_work"
start_null_sink || fail "PulseAudio could not be started: $pulse_error"

echo "-- winmm_tests.exe on a PulseAudio null sink"
run_windows ./winmm_tests.exe --gtest_brief=1 --gtest_filter='WinmmPlayback.WarmUp'
parec -d nullsink.monitor --rate=44100 --channels=2 --format=s16le --raw "$work/monitor.raw" &
pids+=($!)
parec_pid=$!
sleep 0.5
run_windows ./winmm_tests.exe --gtest_filter='WinmmPlayback.PlaysASongAtTheDevicePace' | tee "$work/play.log" |
    grep -E 'period_ms|FAILED|PASSED'
sleep 0.3
kill "$parec_pid"
wait "$parec_pid" 2>/dev/null || true

raw=(-t raw -r 44100 -e signed -b 16 -c 2)
# The sound itself: from the first to the last sample above 1% of full scale.
sox "${raw[@]}" "$work/monitor.raw" "$work/tone.wav" silence 1 1s 1% reverse silence 1 1s 1% reverse
seconds="$(soxi -D "$work/tone.wav")"
peak_hz="$(sox "$work/tone.wav" -n remix 1 stat -freq 2>&1 |
    awk 'NF == 2 && $1 ~ /^[0-9.]+$/ && $2 ~ /^[0-9.e+-]+$/ { if ($2 > best) { best = $2; f = $1 } } END { print f }')"
echo "recorded from winmm: ${seconds} s of sound, strongest frequency ${peak_hz} Hz"
awk -v s="$seconds" 'BEGIN { exit !(s > 3.9 && s < 4.2) }' || fail "sound lasts ${seconds} s, not 4 s"
awk -v f="$peak_hz" 'BEGIN { exit !(f > 435 && f < 445) }' || fail "strongest frequency ${peak_hz} Hz, not 440 Hz"

ls -l "$BUILD"/bleepforge.exe "$BUILD"/bleepforge-render.exe | awk '{ print $5, $NF }'
echo "windows: passed in $((SECONDS - started)) s"
