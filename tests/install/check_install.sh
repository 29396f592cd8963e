#!/usr/bin/env bash
# Checks what a built tree installs and packs: the desktop entry and the
# AppStream metainfo validate, the installed program starts, and the Debian
# package holds every file, declares the libraries it needs and passes lintian.
# Usage: tests/install/check_install.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
id=io.github.brindlewick.Brindlewick

scratch=$(mktemp -d)
program_pid=
cleanup() {
    if [ -n "$program_pid" ]; then kill -KILL "$program_pid" 2>/dev/null || true; fi
    rm -rf "$scratch"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# wait_for SECONDS COMMAND...: true as soon as COMMAND succeeds, false once
# SECONDS have passed without it.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

running() { kill -0 "$program_pid" 2>/dev/null; }
stopped() { ! running; }

installed_files=(
    bin/brindlewick
    share/applications/$id.desktop
    share/metainfo/$id.metainfo.xml
    share/man/man1/brindlewick.1.gz
    share/doc/brindlewick/copyright
    share/doc/brindlewick/changelog.gz)
for size in 16 32 48 64 128 256; do
    installed_files+=("share/icons/hicolor/${size}x${size}/apps/$id.png")
done

echo "--- cmake --install"
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
for file in "${installed_files[@]}"; do
    [ -f "$prefix/$file" ] || fail "not installed: $file"
done

echo "--- desktop entry and metainfo"
desktop-file-validate "$prefix/share/applications/$id.desktop"
appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml"
# The metainfo's launchable must name the installed desktop entry.
appstreamcli validate-tree --no-net "$prefix"

echo "--- the installed program answers --version without a display"
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/brindlewick" --version | grep -qx "brindlewick [0-9.]*" ||
    fail "--version"

echo "--- the installed program starts"
mkdir -m 700 "$scratch/config" "$scratch/runtime"
XDG_CONFIG_HOME=$scratch/config XDG_RUNTIME_DIR=$scratch/runtime QT_QPA_PLATFORM=offscreen \
    "$prefix/bin/brindlewick" >"$scratch/output" 2>&1 &
program_pid=$!
wait_for 30 grep -qx "Finish registering signals." "$scratch/output" ||
    fail "the main window was not built: $(cat "$scratch/output")"
# The program has no way to say it is idle in its event loop, so it is given
# two seconds there to show that it does not fall over after start-up.
sleep 2
running || fail "the program ended by itself: $(cat "$scratch/output")"
kill -TERM "$program_pid"
wait_for 10 stopped || fail "the program did not end on SIGTERM"
status=0
wait "$program_pid" || status=$?
program_pid=
# 0 once the program quits cleanly on SIGTERM, 143 while it simply dies of it.
[ "$status" -eq 0 ] || [ "$status" -eq 143 ] || fail "exit status $status after SIGTERM"

echo "--- cpack -G DEB"
(cd "$scratch" && cpack -G DEB -B "$scratch/package" --config "$build/CPackConfig.cmake" >/dev/null)
debs=("$scratch"/package/brindlewick_*.deb)
[ -f "${debs[0]}" ] || fail "no package was built"
contents=$(dpkg-deb -c "${debs[0]}" | awk '{ print $NF }')
for file in "${installed_files[@]}"; do
    grep -qxF "./usr/$file" <<<"$contents" || fail "not in the package: /usr/$file"
done
depends=$(dpkg-deb -f "${debs[0]}" Depends)
echo "Depends: $depends"
[[ $depends == *libqt6widgets6* ]] || fail "the package does not depend on libqt6widgets6"
echo "--- lintian"
lintian --fail-on error,warning --tag-display-limit 0 "${debs[0]}" || fail "lintian finds fault with the package"
echo "install check passed"
