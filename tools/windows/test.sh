#!/usr/bin/env bash
# Runs the Windows programs that tools/windows/build.sh made, under Wine, for each flavour:
# - the window, statement and command tests, in a new prefix with the offscreen platform;
# - the shipping folder, its zip and its installer's script: the files and licence notices they
#   carry, the installer's branding and images;
# - the installer, installed and uninstalled silently in that prefix, for the user alone and for
#   everyone;
#
# The 32-bit program and the installers (32-bit programs too) need 32-bit Wine. Where
# tools/windows/wine32.sh could not install it (OUT/wine32-no-disponible.txt says why), what needs
# it is left out, and said so at the start and at the end; everything else runs.
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
# Qt 6.4's test watchdog times the whole run rather than each test function, and the end-to-end
# cases under Wine together take five minutes or more, its default limit.
export QTEST_FUNCTION_TIMEOUT=1200000
# Headless Wine: the tests use the offscreen platform, the installer shows nothing with /S.
unset DISPLAY

work=$(mktemp -d)
trap 'WINEPREFIX=$work/wine wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT

fail() {
    echo "test.sh: $*" >&2
    exit 1
}

# Whether 32-bit Windows programs can run here, and what was left out because they cannot.
wine32_missing=$out/wine32-no-disponible.txt
if [ -f "$wine32_missing" ] || [ ! -x /usr/lib/wine/wine ]; then
    wine32=no
    [ -f "$wine32_missing" ] || echo "No está instalado Wine de 32 bits (/usr/lib/wine/wine)." >"$wine32_missing"
else
    wine32=yes
fi
not_run=()
skip() {
    not_run+=("$1")
    echo "== SIN EJECUTAR (falta Wine de 32 bits): $1"
}
if [ $wine32 = no ]; then
    echo "=================================================================="
    cat "$wine32_missing"
    echo "Sin Wine de 32 bits no se ejecutan el programa de 32 bits ni los instaladores."
    echo "=================================================================="
fi

# A new prefix for the flavour, with the variables the tests need in its registry: Wine does not
# hand QT_* variables to Windows programs.
new_prefix() {
    export WINEPREFIX=$work/wine
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    wineboot --init >/dev/null 2>&1
    for variable in QT_QPA_PLATFORM=offscreen DUPLIVO_TEST_EVERYTHING=${DUPLIVO_TEST_EVERYTHING:-}; do
        [ -n "${variable#*=}" ] || continue
        wine reg add 'HKCU\Environment' /v "${variable%%=*}" /d "${variable#*=}" /f >/dev/null
    done
    wineserver -w
}

# Every copy of the program carries its libraries, plugins and translations, and the licences
# owed for them; the installer's script has no licence page (CPack's would be an English
# placeholder), Duplivo's own branding, and its images in the sizes Modern UI shows unscaled.
check_files() {
    local flavour=$1 file dll record image bitmap zipped notices script
    zipped=$(cmake -E tar tf "$out/$package.zip")
    for file in "${shipped[@]}"; do
        [ -f "$out/$package/$file" ] || fail "la carpeta $package no tiene $file"
        grep -qxF "$package/$file" <<<"$zipped" || fail "$package.zip no tiene $file"
    done
    notices=$out/$package/LICENCIAS
    # Each library shipped has its notice, and each record the notices name is there.
    for dll in "$out/$package"/*.dll; do
        grep -qF "${dll##*/}" "$notices/LEAME.txt" || fail "LICENCIAS/LEAME.txt no nombra ${dll##*/}"
    done
    for record in $(grep -o 'copyright-[^ ]*\.txt' "$notices/LEAME.txt"); do
        [ -s "$notices/$record" ] || fail "LICENCIAS/LEAME.txt nombra $record, que no está"
    done
    tr -d '\r' <"$notices/LGPL-3.txt" | cmp -s - /usr/share/common-licenses/LGPL-3 ||
        fail "LICENCIAS/LGPL-3.txt no es el texto de la LGPL-3.0"
    script=$out/$flavour/installer.nsi
    ! grep -q 'MUI_PAGE_LICENSE' "$script" || fail "el instalador tiene una página de licencia"
    grep -qxF "  BrandingText \"Duplivo $version\"" "$script" ||
        fail "el instalador no lleva el texto de marca «Duplivo $version»"
    for image in MUI_HEADERIMAGE_BITMAP:150 MUI_WELCOMEFINISHPAGE_BITMAP:164; do
        bitmap=$(sed -n "s/^!define ${image%%:*} \"\(.*\)\"\$/\1/p" "$script")
        file "$bitmap" | grep -q "PC bitmap, Windows 3.x format, ${image#*:} x " ||
            fail "el instalador no tiene la imagen ${image%%:*} de ${image#*:} de ancho"
    done
}

windows_folder() { winepath -u "$(wine cmd /c echo "%$1%" | tr -d '\r')"; }

# Installed silently for the user alone and for everyone, then uninstalled: the files, the
# Start-menu entries and the uninstall entry in that mode's place alone, and all gone after.
# The uninstaller is run without a mode: it finds its own.
check_installer() {
    local flavour=$1 programs mode installed menu hive other file link
    local uninstall_key='Software\Microsoft\Windows\CurrentVersion\Uninstall\Duplivo'
    if [ "$flavour" = win64 ]; then programs="Program Files"; else programs="Program Files (x86)"; fi
    for mode in CurrentUser AllUsers; do
        if [ $mode = CurrentUser ]; then
            installed="$(windows_folder LOCALAPPDATA)/Programs/Duplivo"
            menu="$(windows_folder APPDATA)/Microsoft/Windows/Start Menu/Programs/Duplivo"
            hive=HKCU other=HKLM
        else
            installed="$WINEPREFIX/drive_c/$programs/Duplivo"
            menu="$(windows_folder ProgramData)/Microsoft/Windows/Start Menu/Programs/Duplivo"
            hive=HKLM other=HKCU
        fi
        wine "$out/$package-setup.exe" /S /$mode
        wineserver -w
        for file in "${shipped[@]}" Desinstalar.exe; do
            [ -f "$installed/$file" ] || fail "/$mode: el instalador no dejó $installed/$file"
        done
        for link in Duplivo.lnk Desinstalar.lnk; do
            [ -f "$menu/$link" ] || fail "/$mode: el instalador no creó $menu/$link"
        done
        wine reg query "$hive\\$uninstall_key" /v DisplayVersion 2>/dev/null | grep -q "$version" ||
            fail "/$mode: no hay entrada de desinstalación con la versión $version en $hive"
        ! wine reg query "$other\\$uninstall_key" >/dev/null 2>&1 ||
            fail "/$mode: hay una entrada de desinstalación en $other"
        # _?= makes the uninstaller run in place, so that waiting for it waits for the removal.
        wine "$installed/Desinstalar.exe" /S "_?=$(winepath -w "$installed")"
        wineserver -w
        [ ! -e "$installed/duplivo.exe" ] || fail "/$mode: el desinstalador dejó duplivo.exe"
        [ ! -e "$menu/Duplivo.lnk" ] || fail "/$mode: el desinstalador dejó el acceso del menú Inicio"
        ! wine reg query "$hive\\$uninstall_key" >/dev/null 2>&1 ||
            fail "/$mode: el desinstalador dejó la entrada de desinstalación en $hive"
        echo "/$mode: instalado en $installed, con sus accesos y su entrada en $hive, y desinstalado: bien"
    done
}

# The end-to-end cases against the shipping folder's duplivo.exe.
end_to_end() {
    local flavour=$1
    export DUPLIVO_E2E_WINDOWS_PROGRAM=$out/$package/duplivo.exe
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
}

shipped=(duplivo.exe Qt6Widgets.dll platforms/qwindows.dll styles/qwindowsvistastyle.dll
    translations/qtbase_es.qm qt.conf LICENCIAS/LEAME.txt
    LICENCIAS/Duplivo.txt LICENCIAS/LGPL-3.txt LICENCIAS/GPL-3.txt LICENCIAS/qt-kit/build-qt.sh)

for flavour in "${flavours[@]}"; do
    package=duplivo-$version-$flavour
    # The 32-bit program runs only under 32-bit Wine; the installers of both flavours are 32-bit
    # programs. What is built and shipped is checked either way.
    runs=yes
    [ "$flavour" = win64 ] || [ $wine32 = yes ] || runs=no

    if [ $runs = yes ]; then
        echo "== $flavour: tests under Wine"
        new_prefix
        ctest --test-dir "$out/$flavour" --output-on-failure -j1
    else
        skip "$flavour: las pruebas bajo Wine"
    fi

    echo "== $flavour: shipping folder, zip and installer"
    check_files "$flavour"
    if [ $wine32 = yes ]; then
        [ -n "${WINEPREFIX:-}" ] || new_prefix
        check_installer "$flavour"
    else
        skip "$flavour: el instalador, instalado y desinstalado para el usuario y para todos"
    fi
    wineserver -k 2>/dev/null || true
    unset WINEPREFIX

    if [ $runs = yes ]; then
        echo "== $flavour: end-to-end under Wine"
        end_to_end "$flavour"
    else
        skip "$flavour: las pruebas de principio a fin bajo Wine"
    fi
done

if [ ${#not_run[@]} -gt 0 ]; then
    echo "=================================================================="
    echo "test.sh: todo lo demás ha ido bien, pero esto NO se ha ejecutado:"
    printf '  - %s\n' "${not_run[@]}"
    cat "$wine32_missing"
    echo "=================================================================="
fi
