#!/usr/bin/env bash
# The Debian package: built by scripts/package (lintian errors fail), installed
# with apt-get, checked where a user meets it (the renderer in /usr/bin renders
# the golden songs exactly, .mml files open with our desktop entry, the manual
# pages are found and cover --help and the menus), then purged, leaving
# nothing behind. A bleepforge package installed before is never touched.
set -euo pipefail
ROOT="${ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
. "$ROOT/scripts/lib/common.sh"

fail() { echo "FAIL package: $*" >&2; exit 1; }
started=$SECONDS

# dpkg's state of the bleepforge package: empty or "not-installed" when absent.
package_state() { dpkg-query -W -f='${db:Status-Status}' bleepforge 2>/dev/null || true; }

if [ -n "$(package_state)" ] && [ "$(package_state)" != not-installed ]; then
    echo "SKIP package: a bleepforge package is installed already ($(package_state), dpkg -s bleepforge);" \
        "remove it to run this test, which installs and removes its own"
    exit 0
fi

log="$(mktemp)"
work="$(mktemp -d)"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
installed=0
cleanup() {
    if [ "$installed" -eq 1 ]; then
        $sudo apt-get remove --purge -y -q bleepforge >/dev/null 2>&1 || true
    fi
    rm -rf "$work" "$log"
}
trap cleanup EXIT

"$ROOT/scripts/package" >"$log" 2>&1 || { cat "$log" >&2; fail "scripts/package failed"; }
grep -E '^[EWI]: ' "$log" || true
deb="$(sed -n 's/^package: \(.*\.deb\)$/\1/p' "$log")"
[ -f "$deb" ] || fail "scripts/package named no .deb file"

export DEBIAN_FRONTEND=noninteractive
installed=1
$sudo apt-get install -y -q "$deb" >"$log" 2>&1 || { cat "$log" >&2; fail "apt-get install $deb failed"; }
dpkg-query -L bleepforge | sort >"$work/files"

echo "-- /usr/bin/bleepforge-render --version"
version="$(/usr/bin/bleepforge-render --version)" || fail "/usr/bin/bleepforge-render --version failed"
[[ "$version" == "bleepforge Version "* ]] || fail "--version printed \"$version\""

# The packaged renderer (hardened, stripped) must keep every sample exact.
echo "-- golden renders with /usr/bin/bleepforge-render"
conformance="$ROOT/tests/data/conformance"
while IFS=$'\t' read -r song seconds frames sha; do
    [ "$song" = song ] && continue
    /usr/bin/bleepforge-render "$conformance/songs/$song" -o "$work/out.wav" --seconds "$seconds" -q ||
        fail "$song: the render failed"
    bytes="$(($(stat -c %s "$work/out.wav") - 44))"
    [ "$bytes" -eq "$((frames * 4))" ] || fail "$song: $((bytes / 4)) frames, not $frames"
    got="$(tail -c +45 "$work/out.wav" | sha256sum | cut -d' ' -f1)"
    [ "$got" = "$sha" ] || fail "$song: the samples differ from the golden render"
done <"$conformance/expected.tsv"

echo "-- desktop-file-validate, xdg-mime query default"
desktop-file-validate /usr/share/applications/bleepforge.desktop || fail "the desktop entry is not valid"
mime_type="$(sed -n 's/.*<mime-type type="\([^"]*\)".*/\1/p' "$ROOT/resources/bleepforge-mml.xml")"
# The user's own choices (mimeapps.list, ~/.local/share/applications) and a
# running desktop must not decide the answer: ask as a fresh user without one.
mkdir -p "$work/config" "$work/data"
default="$(env -u DISPLAY -u WAYLAND_DISPLAY -u XDG_CURRENT_DESKTOP -u DESKTOP_SESSION \
    -u KDE_FULL_SESSION -u GNOME_DESKTOP_SESSION_ID -u XDG_DATA_DIRS -u XDG_CONFIG_DIRS \
    XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" xdg-mime query default "$mime_type")"
[ "$default" = bleepforge.desktop ] ||
    fail "xdg-mime query default $mime_type says \"$default\", not bleepforge.desktop"

echo "-- man -w"
for page in bleepforge bleepforge-render; do
    grep -qx "/usr/share/man/man1/$page.1.gz" "$work/files" ||
        fail "$page.1.gz was not installed (does a dpkg path-exclude in /etc/dpkg/dpkg.cfg.d drop manual pages?)"
    # Without a current index man-db still searches the directories; refresh it
    # once where the lookup fails (a man-db trigger that did not run).
    where="$(man -w "$page" 2>/dev/null)" || { $sudo mandb -q; where="$(man -w "$page")"; } ||
        fail "man -w $page finds no page"
    [ "$where" = "/usr/share/man/man1/$page.1.gz" ] || fail "man -w $page names $where"
done

# The pages as a reader sees them: every option of --help, every menu and item.
render_page="$(MANWIDTH=200 man -P cat bleepforge-render 2>/dev/null)"
for option in $(/usr/bin/bleepforge-render --help | grep -oE '(^|[][ (])--?[a-z][a-z-]*' | grep -oE -- '-.*' | sort -u); do
    grep -qE -- "(^|[^a-z-])$option([^a-z-]|$)" <<<"$render_page" || fail "bleepforge-render(1) lacks $option"
done
player_page="$(LC_ALL=C.UTF-8 MANWIDTH=200 man -P cat bleepforge 2>/dev/null)"
while IFS= read -r item; do
    grep -qF -- "$item" <<<"$player_page" || fail "bleepforge(1) lacks the menu text \"$item\""
done < <(grep -oE 'add(Menu|Action)\("[^"]+"\)' "$ROOT/app/qt/main_window.cpp" | sed -E 's/^[^"]*"(.*)"\)$/\1/; s/&//')

# The files bleepforge(1) names are there (a glob names each size of icon).
mapfile -t named < <(sed -n '/^FILES/,/^[A-Z]/s/^ *\(\/usr\/[^ ]*\)$/\1/p' <<<"$player_page")
[ ${#named[@]} -gt 0 ] || fail "bleepforge(1) has no FILES section naming paths"
for path in "${named[@]}"; do
    compgen -G "$path" >/dev/null || fail "bleepforge(1) names $path, which was not installed"
done

# Caches that the triggers of shared-mime-info and desktop-file-utils build
# from our files must forget them again.
generated=()
for f in "/usr/share/mime/$mime_type.xml"; do [ -e "$f" ] && generated+=("$f"); done

echo "-- apt-get remove --purge"
$sudo apt-get remove --purge -y -q bleepforge >"$log" 2>&1 || { cat "$log" >&2; fail "apt-get remove failed"; }
installed=0
state="$(package_state)"
[ -z "$state" ] || [ "$state" = not-installed ] || fail "the bleepforge package is still there (state: $state)"
left=()
while IFS= read -r path; do
    [ "$path" = /. ] && continue
    if [ -d "$path" ] && [ ! -L "$path" ]; then
        # A folder may stay only while another package owns it.
        dpkg-query -S "$path" >/dev/null 2>&1 || left+=("$path")
    elif [ -e "$path" ] || [ -L "$path" ]; then
        left+=("$path")
    fi
done <"$work/files"
for f in "${generated[@]}"; do [ -e "$f" ] && left+=("$f"); done
if grep -ls 'bleepforge' /usr/share/applications/mimeinfo.cache >/dev/null; then
    left+=("/usr/share/applications/mimeinfo.cache (names bleepforge.desktop)")
fi
[ ${#left[@]} -eq 0 ] || fail "left behind after removal: ${left[*]}"

echo "package: $(wc -l <"$work/files") paths installed and removed, passed in $((SECONDS - started)) s"
