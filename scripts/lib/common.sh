# Shared by the project's scripts: installing Debian packages and building.

# ensure_packages PKG...: installs the packages that are not installed yet.
ensure_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}" >&2
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q >/dev/null || true
    $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

# ensure_package_lists NAME...: installs scripts/packages/NAME.txt (one package a line).
ensure_package_lists() {
    local pkgs=() name
    for name in "$@"; do
        mapfile -t -O "${#pkgs[@]}" pkgs < <(grep -v '^\s*\(#\|$\)' "$ROOT/scripts/packages/$name.txt")
    done
    ensure_packages "${pkgs[@]}"
}

# configure_and_build DIR [cmake args...]
configure_and_build() {
    local dir="$1"; shift
    cmake -S "$ROOT" -B "$ROOT/$dir" "$@" >/dev/null
    cmake --build "$ROOT/$dir" -j"$(nproc)"
}

# configure_sanitizer_build: build-san, everything but the Qt window built by
# clang with AddressSanitizer and UBSan, plus the libFuzzer targets.
configure_sanitizer_build() {
    local flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
    CC=clang CXX=clang++ configure_and_build build-san -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DBLEEPFORGE_FUZZ=ON -DBLEEPFORGE_BENCH=OFF -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON \
        -DCMAKE_CXX_FLAGS="$flags" >/dev/null
}

# configure_tsan_build TARGET...: build-tsan, built with ThreadSanitizer.
configure_tsan_build() {
    cmake -S "$ROOT" -B "$ROOT/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS="-fsanitize=thread" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
        -DBLEEPFORGE_BENCH=OFF >/dev/null
    cmake --build "$ROOT/build-tsan" --target "$@" -j"$(nproc)"
}

# without_aslr CMD...: runs CMD with address randomisation off where the kernel
# allows it; wide mmap randomisation clashes with ThreadSanitizer's memory layout.
without_aslr() {
    if command -v setarch >/dev/null && setarch "$(uname -m)" -R true 2>/dev/null; then
        setarch "$(uname -m)" -R "$@"
    else
        "$@"
    fi
}
