#!/usr/bin/env bash
# The run command: installs what is missing, builds, and starts caldervine.exe under Wine in a
# ready work folder (work/, with Share/ holding a sample file, and Incoming/). It uses the
# user's display when there is one, otherwise a private Xvfb, and says so, where the program
# still shares its folder on port 21120 until it is stopped (Ctrl+C, or File > Exit).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >/dev/null
root=$(pwd)

workdir=${CALDERVINE_WORKDIR:-$root/work}
mkdir -p "$workdir/Share" "$workdir/Incoming"
[ -e "$workdir/Share/welcome.txt" ] ||
    printf 'Hello from Caldervine.\r\nFiles in this Share folder are offered to the peer.\r\n' > "$workdir/Share/welcome.txt"

# The shipped program is the 32-bit build; a machine that cannot run 32-bit code runs the
# 64-bit build of the same sources instead (the tests' own check decides, so both agree).
if python3 -c 'import sys; sys.path.insert(0, "tests/e2e"); import harness; sys.exit(not harness.can_run_32bit())'; then
    wine=/usr/lib/wine/wine; exe=$root/build/win32/caldervine.exe
else
    wine=/usr/lib/wine/wine64; exe=$root/build/win64/caldervine.exe
fi

export WINEPREFIX=${WINEPREFIX:-$root/build/wineprefix-run} WINEDEBUG=${WINEDEBUG:--all}
xvfb_pid=
if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
    if [ -z "${DISPLAY:-}" ]; then why="no DISPLAY is set"; else why="the display $DISPLAY cannot be opened"; fi
    for n in $(seq 40 99); do [ -e /tmp/.X11-unix/X$n ] || break; done
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=":$n"
    for _ in $(seq 100); do [ -e /tmp/.X11-unix/X$n ] && break; sleep 0.1; done
    echo "run: $why, so the window opens on a private, invisible display ($DISPLAY)."
    echo "run: to look at it: import -display $DISPLAY -window root shot.png"
    if [ -n "${SUDO_USER:-}" ]; then
        echo "run: sudo drops DISPLAY; to see the window on your screen:" \
             "sudo --preserve-env=DISPLAY,XAUTHORITY bash scripts/run.sh"
    fi
fi
trap '[ -n "$xvfb_pid" ] && kill $xvfb_pid 2>/dev/null; true' EXIT
[ -d "$WINEPREFIX/drive_c" ] || "$wine" wineboot -i >/dev/null 2>&1
# Debian's Wine keeps its own fonts in /usr/share/wine/fonts (package fonts-wine) but puts none of
# them into a prefix, and looks for them only in C:\windows\Fonts: without Marlett the frame that
# Wine draws spells its buttons' symbols in another font, as "0 1 r".
fonts=$WINEPREFIX/drive_c/windows/Fonts
[ -e "$fonts/marlett.ttf" ] || cp /usr/share/wine/fonts/marlett.ttf "$fonts/"
# A private Xvfb has no window manager: Wine then draws the frames itself (caption with the status
# title, icon and buttons) only for windows it does not leave to a manager. On a real display the
# manager frames them as usual. The marker spares a registry edit on every start.
managed=Y; [ -n "$xvfb_pid" ] && managed=N
if [ ! -e "$WINEPREFIX/caldervine-managed-$managed" ]; then
    "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d $managed /f >/dev/null 2>&1
    rm -f "$WINEPREFIX"/caldervine-managed-*
    touch "$WINEPREFIX/caldervine-managed-$managed"
fi

echo "Caldervine is sharing $workdir/Share on TCP port 21120; downloads go to $workdir/Incoming"
cd "$workdir"
set +e
"$wine" "$exe"
code=$?
echo "caldervine.exe ended with exit code $code"
exit $code
