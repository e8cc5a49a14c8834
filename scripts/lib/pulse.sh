# A private PulseAudio server with a null sink, for tests that play real sound.
# Source it, then call start_null_sink; stop_null_sink runs at exit. Processes
# started alongside (recorders) go into `pids` so they are stopped first.

pulse_work="$(mktemp -d)"
pids=()

stop_null_sink() {
    local i
    # Clients first, the server last.
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    rm -rf "$pulse_work"
}
trap stop_null_sink EXIT

# start_null_sink: starts the server (its socket under our own runtime folder,
# nothing of the user's, no autospawn) with a sink "nullsink" at 44100 Hz
# stereo, and a silent low-latency stream that keeps the sink awake so a new
# stream's first write does not stall. Returns 1, with the reason in
# $pulse_error, when no server can be started here.
start_null_sink() {
    mkdir -m 700 -p "$pulse_work/run" "$pulse_work/home/.config/pulse"
    echo "autospawn = no" >"$pulse_work/home/.config/pulse/client.conf"
    export XDG_RUNTIME_DIR="$pulse_work/run" PULSE_SERVER="unix:$pulse_work/run/pulse/native"
    HOME="$pulse_work/home" pulseaudio -n --daemonize=no --exit-idle-time=-1 \
        -L "module-native-protocol-unix auth-anonymous=1" \
        -L "module-null-sink sink_name=nullsink rate=44100 channels=2" >"$pulse_work/pulse.log" 2>&1 &
    local server=$!
    pids+=("$server")
    for _ in $(seq 100); do
        pactl info >/dev/null 2>&1 && break
        kill -0 "$server" 2>/dev/null || break
        sleep 0.1
    done
    if ! pactl info >/dev/null 2>&1; then
        pulse_error="$(tail -n 1 "$pulse_work/pulse.log")"
        return 1
    fi
    pacat --latency-msec=20 --rate=44100 --channels=2 --format=s16le /dev/zero &
    pids+=($!)
    sleep 0.5
}
