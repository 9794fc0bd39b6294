#!/usr/bin/env bash
# Builds the Debian package from a build folder, installs it on this machine, and checks that it
# depends on SQLite's library and not on Qt's SQL module, its licence record, and that the installed
# program starts under Xvfb: with no setting it shows the installation message, with a demo setting
# it reaches the window. Removes the package again at the end. Needs root.
set -euo pipefail
build=${1:?uso: check_package.sh CARPETA_DE_COMPILACION}
build=$(cd "$build" && pwd)

(cd "$build" && cpack -G DEB >/dev/null)
package=$(ls -t "$build"/duplivo_*.deb | head -n 1)
echo "paquete: $package"
dpkg-deb --info "$package" | sed -n '/Package:/,/Description:/p'
dpkg-deb --contents "$package" | awk '{print $6}'
# SQLite is linked into the program, not a plugin: shlibdeps names its library, and nothing of Qt's
# SQL module is needed.
depends=$(dpkg-deb --field "$package" Depends)
grep -qw 'libsqlite3-0' <<<"$depends" || { echo "el paquete no depende de libsqlite3-0" >&2; exit 1; }
! grep -q 'libqt6sql6' <<<"$depends" || { echo "el paquete depende de Qt SQL" >&2; exit 1; }

work=$(mktemp -d)
chmod 700 "$work"
xvfb_pid=
cleanup() {
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    dpkg -r duplivo >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$package" >/dev/null
test -x /usr/bin/duplivo
test -f /usr/share/applications/duplivo.desktop
test -f /usr/share/icons/hicolor/scalable/apps/duplivo.svg
# The package says under which terms it may be used, in Debian's machine-readable format.
copyright=/usr/share/doc/duplivo/copyright
grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$copyright"
grep -qx 'Files: \*' "$copyright"
grep -qx 'License: Expat' "$copyright"
grep -qx ' Permission is hereby granted, free of charge, to any person obtaining a copy' "$copyright"

exec 5<> <(:)
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
read -r -t 20 display <&5
export DISPLAY=":$display"

# Starts the installed program with HOME and the settings in $work, waits for a window titled $1.
expect_window() {
    local title=$1 config=$2 window name
    env -i PATH=/usr/bin:/bin DISPLAY="$DISPLAY" HOME="$work/home" XDG_CONFIG_HOME="$config" \
        WINEPREFIX="$work/demo/wine" XDG_RUNTIME_DIR="$work" /usr/bin/duplivo &
    local pid=$!
    # xdotool's patterns work on bytes: find the window by its ASCII start, then compare exactly.
    window=$(timeout 20 xdotool search --sync --name "^${title:0:8}" | head -n 1) || true
    name=$([ -n "$window" ] && xdotool getwindowname "$window" || true)
    if [ "$name" != "$title" ]; then
        kill "$pid" 2>/dev/null || true
        echo "no apareció la ventana «$title» (se vio «$name»)" >&2
        return 1
    fi
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    echo "ventana «$title»: bien"
}

mkdir -p "$work/home"
expect_window "Error de instalación" "$work/home/.config"
"$build/bin/duplivo-make-demo" "$work/demo"
expect_window "Copia de Empresa" "$work/demo/config"
