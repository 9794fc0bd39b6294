#!/usr/bin/env bash
# Writes docs/duplivo.png: the window on the demo database, in use, on a private X server.
#
#     tools/screenshot.sh BUILD_DIR [IMAGE.png]
#
# Needs Xvfb, xdotool and ImageMagick's import. The demo environment is made in BUILD_DIR/demo
# when it is missing, as `make demo` makes it.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "uso: $0 CARPETA_DE_COMPILACION [IMAGEN.png]" >&2
    exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
output=${2:-$root/docs/duplivo.png}
demo=$build/demo

fail() {
    echo "screenshot.sh: $*" >&2
    exit 1
}

for tool in Xvfb xdotool import; do
    command -v "$tool" >/dev/null || fail "falta $tool"
done

[ -e "$demo/drive_c/Tarvex.win/Tarvex.mdb" ] || "$build/bin/duplivo-make-demo" "$demo"

work=$(mktemp -d)
xvfb_pid=
app_pid=
cleanup() {
    [ -z "$app_pid" ] || kill "$app_pid" 2>/dev/null || true
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Xvfb takes a free display and writes its number once it accepts clients. 96 DPI keeps the
# window at its designed size.
Xvfb -displayfd 3 -screen 0 1024x768x24 -dpi 96 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb no arranca: $(cat "$work/xvfb.log")"
    sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb no arranca"
DISPLAY=:$(cat "$work/display")
export DISPLAY

# Nothing of the user's desktop settings, so the picture is the same on every machine.
mkdir -m 700 "$work/runtime"
env -i PATH="$PATH" DISPLAY="$DISPLAY" QT_QPA_PLATFORM=xcb LANG=C.UTF-8 HOME="$work" \
    XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_HOME="$demo/config" WINEPREFIX="$demo/wine" \
    "$build/bin/duplivo" >"$work/duplivo.log" 2>&1 &
app_pid=$!

x() {
    timeout 20 xdotool "$@"
}

window=$(x search --sync --all --onlyvisible --pid "$app_pid" --name '^Copia de Empresa$' | head -n 1) \
    || fail "no aparece la ventana: $(cat "$work/duplivo.log")"

# All by keyboard, which the program takes in order: a company from the drop-down list by its
# initial, a new name, then two programs ticked (Tab from the name reaches the list in three).
x windowfocus --sync "$window"
x key alt+Down t Return
x type --delay 20 "Talleres Norte"
x key Tab Tab Tab space Tab Tab Down Down space
# Time to draw the last change.
sleep 1

mkdir -p "$(dirname "$output")"
import -window "$window" "$output"
echo "$output"
