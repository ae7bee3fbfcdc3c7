#!/usr/bin/env bash
# The Wine harness of tests and demo: a private prefix, a virtual display and one persistent
# wineserver, all started and stopped by pid.
#
#   wine-harness.sh start STATE_DIR [WARMUP_EXE]   starts Xvfb and wineserver, prepares the prefix
#   wine-harness.sh stop STATE_DIR                 ends everything that start began
#
# QOR_WINE_ARCH chooses the Windows build the prefix runs: win64 (the x86_64 build under the
# 64-bit loader, the default; it runs on any x86_64 host) or win32 (the shipped i686 build under
# the 32-bit loader; it needs a kernel that executes 32-bit code, such as the test guest's).
# STATE_DIR/env holds the variables a Wine program needs (scripts/wine-run.sh reads it).
set -euo pipefail

cmd=${1:?usage: wine-harness.sh start|stop STATE_DIR [WARMUP_EXE]}
state=${2:?state directory}
mkdir -p "$state"
state=$(cd "$state" && pwd)

arch=${QOR_WINE_ARCH:-win64}
case "$arch" in
win64) WINE=/usr/lib/wine/wine64; export WINESERVER=/usr/lib/wine/wineserver64 ;;
win32) WINE=/usr/lib/wine/wine; export WINESERVER=/usr/lib/wine/wineserver32 ;;
*) echo "wine-harness: QOR_WINE_ARCH is '$arch'; use win32 or win64" >&2; exit 2 ;;
esac

wine_env() {
    export WINEPREFIX="$state/prefix" WINEARCH=$arch WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
}

stop_pid() {  # stop_pid FILE SIGNAL: signal the recorded process and wait for it to go
    local file=$1 sig=$2 pid
    [ -f "$file" ] || return 0
    pid=$(cat "$file")
    if kill -0 "$pid" 2>/dev/null; then
        kill "-$sig" "$pid" 2>/dev/null || true
        for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -f "$file"
}

case "$cmd" in
start)
    wine_env
    # A host that cannot execute 32-bit code fails here with a clear word, not in the first test.
    if [ ! -x "$WINESERVER" ] || ! "$WINESERVER" --version >/dev/null 2>&1; then
        echo "wine-harness: this machine cannot run $WINESERVER ($arch); the $arch build runs in the test guest (scripts/guest/run.sh)" >&2
        exit 1
    fi
    # Xvfb picks a free display itself and writes its number to the file behind -displayfd.
    rm -f "$state/display"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$state/display" \
        </dev/null >"$state/xvfb.log" 2>&1 &
    echo $! >"$state/xvfb.pid"
    display=""
    for _ in $(seq 1 100); do
        display=$(tr -d '[:space:]' <"$state/display" 2>/dev/null || true)
        [ -n "$display" ] && break
        sleep 0.1
    done
    [ -n "$display" ] || { echo "wine-harness: Xvfb did not start" >&2; exit 1; }
    export DISPLAY=":$display"

    # A new prefix is made before the persistent server starts, by Wine's own short-lived server,
    # so that it is complete on disk when wineboot ends. It takes a minute or more under
    # emulation: with QOR_WINE_PREFIX_CACHE set, the first one made for this Wine version and
    # architecture is kept there as an archive, and later ones (the tests that need a fresh
    # prefix) start as a copy of it.
    mkdir -p "$WINEPREFIX"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        template=""
        if [ -n "${QOR_WINE_PREFIX_CACHE:-}" ]; then
            version=$("$WINESERVER" --version 2>&1 | tr -cd '[:alnum:].-' | head -c 40)
            template=$QOR_WINE_PREFIX_CACHE/prefix-$arch-$version.tar
        fi
        if [ -n "$template" ] && [ -f "$template" ]; then
            tar -xf "$template" -C "$WINEPREFIX"
        else
            "$WINE" wineboot -i </dev/null >"$state/wineboot.log" 2>&1
            "$WINESERVER" -w
            # Wine's own fonts (Debian's fonts-wine) into the prefix, where Wine loads them
            # from: without Marlett a title bar draws its buttons as letters, and screenshots
            # show "r" for a close button.
            if compgen -G "/usr/share/wine/fonts/*.ttf" >/dev/null; then
                mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
                cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
            fi
            if [ -n "$template" ]; then
                # Written whole or not at all, so that a parallel start never reads half of it.
                mkdir -p "$QOR_WINE_PREFIX_CACHE"
                tar -cf "$template.tmp.$$" -C "$WINEPREFIX" . && mv "$template.tmp.$$" "$template"
            fi
        fi
    fi

    # The server works in a folder named after the prefix's device and inode: the prefix must
    # exist before the server starts, and the first Wine program must wait for the server's
    # socket, or it may create the prefix itself and look for a server folder that is not there.
    mkdir -p "$WINEPREFIX"
    "$WINESERVER" -f -p </dev/null >"$state/wineserver.log" 2>&1 &
    server=$!
    echo $server >"$state/wineserver.pid"
    socket=""
    for _ in $(seq 1 100); do
        socket=$(readlink "/proc/$server/cwd" 2>/dev/null || true)/socket
        [ -S "$socket" ] && break
        sleep 0.1
    done
    [ -S "$socket" ] || { echo "wine-harness: wineserver did not start: see $state/wineserver.log" >&2; exit 1; }

    reg() { "$WINE" reg add "$@" /f </dev/null >>"$state/reg.log" 2>&1; }
    # A crashing test must fail, not wait for someone to close a crash dialog.
    reg 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0
    # Without a window manager, unmanaged windows are destroyed at once and get no frames.
    reg 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N
    install_dir=$("$WINE" winepath -w "${QOR_INSTALL_DIR:-$state}" 2>/dev/null)
    reg 'HKLM\SOFTWARE\Halvex Imaging\QOR' /v InstalPath /t REG_SZ /d "$install_dir"
    reg 'HKLM\SOFTWARE\Halvex Imaging\QOR' /v LanguageID /t REG_DWORD /d 1033
    reg 'HKLM\SOFTWARE\Halvex Imaging\QOR' /v LogLevel /t REG_DWORD /d 0

    # Wine's services and desktop inherit the output of the first program that starts them; a
    # synchronous program with all output redirected takes that role, so no pipe reader waits.
    if [ -n "${3:-}" ]; then
        "$WINE" "$3" </dev/null >/dev/null 2>&1 || true
    fi
    # Keeps the desktop process alive between tests.
    "$WINE" start /min notepad.exe </dev/null >/dev/null 2>&1 || true

    {
        echo "export WINEPREFIX='$WINEPREFIX' WINEARCH=$arch QOR_WINE_ARCH=$arch WINEDEBUG=-all"
        echo "export WINESERVER='$WINESERVER' WINE='$WINE'"
        echo "export WINEDLLOVERRIDES='$WINEDLLOVERRIDES'"
        echo "export DISPLAY='$DISPLAY'"
    } >"$state/env"
    ;;
stop)
    wine_env
    # SIGINT ends every process of the prefix with the server; SIGTERM would leave orphans.
    stop_pid "$state/wineserver.pid" INT
    stop_pid "$state/xvfb.pid" TERM
    rm -f "$state/env"
    ;;
*)
    echo "usage: wine-harness.sh start|stop STATE_DIR [WARMUP_EXE]" >&2
    exit 2
    ;;
esac
