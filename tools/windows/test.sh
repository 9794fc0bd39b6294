#!/usr/bin/env bash
# Runs the Windows programs that tools/windows/build.sh made, under Wine, for each flavour:
# - the window, statement and command tests, in a new prefix with the offscreen platform;
# - the installer, installed and uninstalled silently in that prefix;
# - the end-to-end cases of the Linux test driver against the shipping folder's duplivo.exe, on a
#   SQLite file and, for a copy, on DSN files that reach throwaway PostgreSQL and MariaDB servers.
#
#     tools/windows/test.sh LINUX_BUILD [OUT [FLAVOUR…]]     (OUT: build-windows; win64 win32)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?uso: test.sh CARPETA_DE_COMPILACION_LINUX [CARPETA [win64|win32…]]}" && pwd)
out=$(cd "${2:-$root/build-windows}" && pwd)
shift $(($# < 2 ? $# : 2))
flavours=("${@:-win64}")
[ $# -gt 0 ] || flavours=(win64 win32)

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$out/${flavours[0]}/CMakeCache.txt")
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Headless Wine: the tests use the offscreen platform, the installer shows nothing with /S.
unset DISPLAY

work=$(mktemp -d)
trap 'WINEPREFIX=$work/wine wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT

fail() {
    echo "test.sh: $*" >&2
    exit 1
}

for flavour in "${flavours[@]}"; do
    echo "== $flavour: tests under Wine"
    export WINEPREFIX=$work/wine
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    wineboot --init >/dev/null 2>&1
    # Wine does not hand QT_* variables to Windows programs; its registry does.
    for variable in QT_QPA_PLATFORM=offscreen DUPLIVO_TEST_EVERYTHING=${DUPLIVO_TEST_EVERYTHING:-}; do
        [ -n "${variable#*=}" ] || continue
        wine reg add 'HKCU\Environment' /v "${variable%%=*}" /d "${variable#*=}" /f >/dev/null
    done
    wineserver -w
    ctest --test-dir "$out/$flavour" --output-on-failure -j1

    echo "== $flavour: installer"
    if [ "$flavour" = win64 ]; then programs="Program Files"; else programs="Program Files (x86)"; fi
    installed="$WINEPREFIX/drive_c/$programs/Duplivo"
    menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Duplivo"
    wine "$out/duplivo-$version-$flavour-setup.exe" /S
    wineserver -w
    for file in duplivo.exe Qt6Widgets.dll platforms/qwindows.dll sqldrivers/qsqlite.dll \
        translations/qtbase_es.qm qt.conf Desinstalar.exe; do
        [ -f "$installed/$file" ] || fail "el instalador no dejó $installed/$file"
    done
    [ -f "$menu/Duplivo.lnk" ] || fail "el instalador no creó $menu/Duplivo.lnk"
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Duplivo' /v DisplayVersion |
        grep -q "$version" || fail "el registro de desinstalación no tiene la versión $version"
    # _?= makes the uninstaller run in place, so that waiting for it waits for the removal.
    wine "$installed/Desinstalar.exe" /S "_?=$(WINEPREFIX=$WINEPREFIX winepath -w "$installed")"
    wineserver -w
    [ ! -e "$installed/duplivo.exe" ] || fail "el desinstalador dejó duplivo.exe"
    [ ! -e "$menu/Duplivo.lnk" ] || fail "el desinstalador dejó el acceso del menú Inicio"
    echo "instalado, con su acceso en el menú Inicio, y desinstalado: bien"
    wineserver -k 2>/dev/null || true
    unset WINEPREFIX

    echo "== $flavour: end-to-end under Wine"
    export DUPLIVO_E2E_WINDOWS_PROGRAM=$out/duplivo-$version-$flavour/duplivo.exe
    DUPLIVO_TEST_ENGINE=sqlite "$build/bin/test_e2e"
    DUPLIVO_TEST_ENGINE=postgresql "$root/tools/with_postgres.sh" "$build/bin/test_e2e" \
        copySkipsProgramsTheNewCompanyAlreadyHas
    # MariaDB's ODBC driver exists for 64-bit programs only: Debian's 32-bit one cannot be
    # installed beside it.
    if [ "$flavour" = win64 ]; then
        DUPLIVO_TEST_ENGINE=mariadb "$root/tools/with_mariadb.sh" "$build/bin/test_e2e" \
            copySkipsProgramsTheNewCompanyAlreadyHas
    fi
    unset DUPLIVO_E2E_WINDOWS_PROGRAM
done
