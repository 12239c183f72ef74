# Shared set-up for the build, test, demo and benchmark commands.
# Sourced, not run. Installs what is missing, builds, and brings up Wine.

QVS_TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# libgnutls30: Wine's bcrypt does ECDSA P-256 (the signed releases) through it, loaded
# at run time; it is only a Recommends of libwine.
# libxml2-utils: xmllint, which checks the Group Policy templates.
QVS_PACKAGES="g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 xvfb xauth googletest cmake ninja-build fuse3 python3-pyfuse3 libgnutls30 chromium libxml2-utils"

log() { printf '== %s\n' "$*" >&2; }

# Installs the Debian packages the project needs, only when one is missing.
ensure_packages() {
    local missing=""
    for p in $QVS_PACKAGES; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    log "installing:$missing"
    local sudo=""
    [ "$(id -u)" = 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

# The Wine loader is not on PATH in Debian's wine64 package.
find_wine() {
    if [ -z "${QVS_WINE:-}" ]; then
        if [ -x /usr/lib/wine/wine64 ]; then
            QVS_WINE=/usr/lib/wine/wine64
        else
            QVS_WINE=$(dpkg -L wine64 | grep -E '/wine64$' | head -n 1)
        fi
    fi
    if [ -z "${QVS_WINESERVER:-}" ]; then
        QVS_WINESERVER=$(dirname "$QVS_WINE")/wineserver
        [ -x "$QVS_WINESERVER" ] || QVS_WINESERVER=$(command -v wineserver)
    fi
    export QVS_WINE QVS_WINESERVER
}

# configure_and_build PRESET [CMAKE-ARGS...]: configures and builds with the preset.
configure_and_build() {
    local preset=$1 out
    shift
    cd "$QVS_TOP"
    out=$(mktemp)
    if ! { cmake --preset "$preset" "$@" && cmake --build --preset "$preset"; } >"$out" 2>&1; then
        cat "$out" >&2
        rm -f "$out"
        log "the build failed"
        return 1
    fi
    rm -f "$out"
}

# wine_up BUILD_DIR: a private prefix, a virtual display when none is set,
# a persistent wine server and one warm-up process. wine_down undoes it.
QVS_STARTED_XVFB=""
wine_up() {
    local build=$1
    find_wine
    export WINEPREFIX="$build/wineprefix"
    export WINEARCH=win64
    export WINEDEBUG=${WINEDEBUG:--all}
    export WINEDLLOVERRIDES="mscoree,mshtml="
    # Wine takes the code page of file names and of the ANSI functions from the
    # locale: the same one whoever runs the tests (without one, names outside
    # ASCII cannot even be created).
    export LC_ALL=C.UTF-8
    if [ -z "${DISPLAY:-}" ]; then
        # Wine left running in this prefix by an earlier session has its desktop on
        # that session's display; processes of this one, on another display, were
        # seen to stall for a minute and a half. Start afresh.
        "$QVS_WINESERVER" -k >/dev/null 2>&1 || true
        # Xvfb picks a free display itself and names it when it is ready: several
        # sessions choosing numbers at once could otherwise end up on one server,
        # and lose their windows when its owner stops it.
        local numfile
        numfile=$(mktemp)
        # -noreset: without it the server starts afresh whenever its last client
        # goes, as between two test programs, and the pointer is back in the middle.
        Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$numfile" >/dev/null 2>&1 </dev/null &
        QVS_STARTED_XVFB=$!
        local i
        for i in $(seq 100); do [ -s "$numfile" ] && break; sleep 0.05; done
        export DISPLAY=":$(head -n 1 "$numfile")"
        rm -f "$numfile"
        park_pointer
    fi
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        log "creating the Wine prefix $WINEPREFIX (once, 10-15 s)"
        mkdir -p "$WINEPREFIX"
        "$QVS_WINE" wineboot --init >/dev/null 2>&1 </dev/null || true
        "$QVS_WINESERVER" -w
    fi
    # The server and its first process come up while the shares are prepared.
    setsid "$QVS_WINESERVER" -p >/dev/null 2>&1 </dev/null &
    "$QVS_WINE" cmd /c exit >/dev/null 2>&1 </dev/null &
    local warming=$!
    # \\qvsserver\release reaches build/unc-share: a real UNC path for the tests.
    mkdir -p "$build/unc-share" "$WINEPREFIX/dosdevices/unc/qvsserver"
    ln -sfn "$build/unc-share" "$WINEPREFIX/dosdevices/unc/qvsserver/release"
    export QVS_UNC_SHARE='\\qvsserver\release'
    export QVS_UNC_LOCAL="Z:$(printf '%s' "$build/unc-share" | tr / '\\')"
    # \\qvsalias\apps reaches the same folder under another server name, as a DFS
    # namespace or a DNS alias of the file server does (QVSMakeList --published-as).
    # One spelling only: of two folders that differ in case Wine may take either.
    mkdir -p "$WINEPREFIX/dosdevices/unc/qvsalias"
    ln -sfn "$build/unc-share" "$WINEPREFIX/dosdevices/unc/qvsalias/apps"
    export QVS_ALIAS_SHARE='\\qvsalias\apps'
    # Server lists name folders as \\COMPUTER\<path after the drive>, reachable when the
    # drive's top folder is shared under its own name: share the build's top folder so.
    local top host
    top=$(printf '%s' "$build" | cut -d/ -f2)
    host=$(hostname | tr '[:lower:]' '[:upper:]')
    for h in "$host" "$(printf '%s' "$host" | tr '[:upper:]' '[:lower:]')"; do
        mkdir -p "$WINEPREFIX/dosdevices/unc/$h"
        ln -sfn "/$top" "$WINEPREFIX/dosdevices/unc/$h/$top"
    done
    stall_share_up "$build"
    small_disk_up "$build"
    read_only_folder_up "$build"
    wait "$warming" || true
    # Xvfb runs no window manager, and Wine's X11 driver then waits 2 s for every
    # window it hides; unmanaged windows (Wine draws their frames) have no such wait.
    grep -q '^"Managed"="N"' "$WINEPREFIX/user.reg" 2>/dev/null ||
        "$QVS_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
}

# park_pointer: moves the pointer of our own X server to its bottom right corner,
# away from every window the tests make. Under a pointer, a window's first
# messages make Wine load the cursor on the X connection all its threads share;
# with Wine 8 and libX11 1.8 a thread doing that while another makes or shows a
# window can stop both for good (a status popup and its dialog were seen so).
park_pointer() {
    /usr/bin/python3 - <<'PY' >/dev/null 2>&1 || true
import ctypes
x = ctypes.CDLL("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XOpenDisplay.argtypes = [ctypes.c_char_p]
x.XDefaultRootWindow.restype = ctypes.c_ulong
x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x.XWarpPointer.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong] + [ctypes.c_int] * 2 + [ctypes.c_uint] * 2 + [ctypes.c_int] * 2
x.XCloseDisplay.argtypes = [ctypes.c_void_p]
x.XDisplayWidth.argtypes = x.XDisplayHeight.argtypes = [ctypes.c_void_p, ctypes.c_int]
display = x.XOpenDisplay(None)
if display:
    x.XWarpPointer(display, 0, x.XDefaultRootWindow(display), 0, 0, 0, 0,
                   x.XDisplayWidth(display, 0) - 1, x.XDisplayHeight(display, 0) - 1)
    x.XCloseDisplay(display)
PY
}

wine_down() {
    stall_share_down
    small_disk_down
    read_only_folder_down
    if [ -n "${WINEPREFIX:-}" ] && [ -n "${QVS_WINESERVER:-}" ]; then
        "$QVS_WINESERVER" -k >/dev/null 2>&1 || true
    fi
    if [ -n "$QVS_STARTED_XVFB" ]; then
        kill "$QVS_STARTED_XVFB" 2>/dev/null || true
        wait "$QVS_STARTED_XVFB" 2>/dev/null || true
        QVS_STARTED_XVFB=""
    fi
}

# \\qvsstall\release reaches build/stall-share, a FUSE mirror of build/stall-backing
# that stops answering, lags, goes away or drops reads on request
# (tests/support/stallfs.py): accesses below the share's folder X wait while the
# control folder holds X.stall, fail while it holds X.gone, single reads fail as
# X.drop names them, and every access takes the milliseconds in X.latency longer. Tests write the release into the backing
# folder directly. Where FUSE cannot mount, the variables stay unset and the tests
# that need the share fail saying so.
QVS_STALL_MOUNT=""
QVS_STALL_PID=""
stall_share_up() {
    local build=$1 i
    local mnt="$build/stall-share" control="$build/stall-control"
    # A run killed earlier may have left its mount, and stalls that hold its server.
    rm -rf "$control"
    fusermount3 -u -z "$mnt" >/dev/null 2>&1 || true
    mkdir -p "$build/stall-backing" "$control" "$mnt"
    setsid /usr/bin/python3 "$QVS_TOP/tests/support/stallfs.py" \
        "$build/stall-backing" "$mnt" "$control" >"$build/stall-share.log" 2>&1 </dev/null &
    QVS_STALL_PID=$!
    for i in $(seq 100); do
        mountpoint -q "$mnt" && break
        kill -0 "$QVS_STALL_PID" 2>/dev/null || break
        sleep 0.05
    done
    if ! mountpoint -q "$mnt"; then
        log "the stalling share could not be mounted (tests that need it will fail):"
        tail -n 3 "$build/stall-share.log" >&2
        kill "$QVS_STALL_PID" 2>/dev/null || true
        wait "$QVS_STALL_PID" 2>/dev/null || true
        QVS_STALL_PID=""
        unset QVS_STALL_SHARE QVS_STALL_LOCAL QVS_STALL_CONTROL QVS_STALL_FOLDER
        return 0
    fi
    QVS_STALL_MOUNT=$mnt
    mkdir -p "$WINEPREFIX/dosdevices/unc/qvsstall"
    ln -sfn "$mnt" "$WINEPREFIX/dosdevices/unc/qvsstall/release"
    export QVS_STALL_SHARE='\\qvsstall\release'
    export QVS_STALL_LOCAL="Z:$(printf '%s' "$build/stall-backing" | tr / '\\')"
    export QVS_STALL_CONTROL="Z:$(printf '%s' "$control" | tr / '\\')"
    # The mount as this machine reaches it: below the shared top folder, so that a
    # release published there is named \\COMPUTER\... and read through the mount.
    export QVS_STALL_FOLDER="Z:$(printf '%s' "$mnt" | tr / '\\')"
}

# A disk of 16 MB (a tmpfs) for installations that run out of space; its folder
# in QVS_SMALL_DISK. Where it cannot be mounted, the variable stays unset and the
# test that needs it fails saying so.
QVS_SMALL_DISK_MOUNT=""
small_disk_up() {
    local disk="$1/small-disk"
    umount -l "$disk" >/dev/null 2>&1 || true
    mkdir -p "$disk"
    if mount -t tmpfs -o size=16m tmpfs "$disk" >/dev/null 2>&1; then
        QVS_SMALL_DISK_MOUNT=$disk
        export QVS_SMALL_DISK="Z:$(printf '%s' "$disk" | tr / '\\')"
    else
        log "a small disk (tmpfs) could not be mounted (the test that needs it will fail)"
        unset QVS_SMALL_DISK
    fi
}

small_disk_down() {
    [ -n "$QVS_SMALL_DISK_MOUNT" ] || return 0
    umount -l "$QVS_SMALL_DISK_MOUNT" >/dev/null 2>&1 || true
    QVS_SMALL_DISK_MOUNT=""
}

# A folder nobody can write into, root included (a read-only tmpfs), in
# QVS_READ_ONLY_FOLDER; unset where it cannot be mounted (the test that needs it
# fails saying so).
QVS_READ_ONLY_MOUNT=""
read_only_folder_up() {
    local folder="$1/read-only-folder"
    umount -l "$folder" >/dev/null 2>&1 || true
    mkdir -p "$folder"
    if mount -t tmpfs -o size=1m,ro tmpfs "$folder" >/dev/null 2>&1; then
        QVS_READ_ONLY_MOUNT=$folder
        export QVS_READ_ONLY_FOLDER="Z:$(printf '%s' "$folder" | tr / '\\')"
    else
        log "a read-only folder (tmpfs) could not be mounted (the test that needs it will fail)"
        unset QVS_READ_ONLY_FOLDER
    fi
}

read_only_folder_down() {
    [ -n "$QVS_READ_ONLY_MOUNT" ] || return 0
    umount -l "$QVS_READ_ONLY_MOUNT" >/dev/null 2>&1 || true
    QVS_READ_ONLY_MOUNT=""
}

# Releases every stall, unmounts, and ends the file system's server.
stall_share_down() {
    [ -n "$QVS_STALL_PID" ] || return 0
    rm -f "$(dirname "$QVS_STALL_MOUNT")/stall-control/"*
    fusermount3 -u -z "$QVS_STALL_MOUNT" >/dev/null 2>&1 || true
    local i
    for i in $(seq 40); do kill -0 "$QVS_STALL_PID" 2>/dev/null || break; sleep 0.05; done
    kill -9 "$QVS_STALL_PID" 2>/dev/null || true
    wait "$QVS_STALL_PID" 2>/dev/null || true
    QVS_STALL_PID=""
    QVS_STALL_MOUNT=""
}
