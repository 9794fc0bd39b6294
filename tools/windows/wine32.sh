#!/usr/bin/env bash
# Installs 32-bit Wine, and 32-bit ODBC with its drivers, where they are missing: the 32-bit
# program runs under them, and so do the installers of both flavours, which are 32-bit programs.
# They come from the archive's i386 index. When that index cannot be had (a mirror caught
# mid-sync), the i386 packages cannot be installed beside the newer amd64 ones: then this leaves
# OUT/wine32-no-disponible.txt with apt's own words and still ends well, so that tools/windows/test.sh
# runs everything else and says what it left out. Any other failure ends it with an error.
#
#     tools/windows/wine32.sh OUT PACKAGE…
set -euo pipefail
out=$(mkdir -p "${1:?uso: wine32.sh CARPETA PAQUETE…}" && cd "$1" && pwd)
shift
packages=("$@")
[ ${#packages[@]} -gt 0 ] || { echo "wine32.sh: no se ha dado ningún paquete" >&2; exit 2; }
missing_file=$out/wine32-no-disponible.txt
if [ "$(id -u)" = 0 ]; then sudo=(); else sudo=(sudo); fi
export DEBIAN_FRONTEND=noninteractive

missing() {
    local package
    for package in "${packages[@]}"; do
        dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed' ||
            echo "$package"
    done
}

if [ -z "$(missing)" ]; then
    rm -f "$missing_file"
    exit 0
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
fi
# The i386 index may be mid-sync: one more try after a pause, then whatever lists there are.
for attempt in 1 2; do
    if "${sudo[@]}" apt-get -o Acquire::Retries=3 update >"$log" 2>&1; then
        break
    fi
    [ "$attempt" = 2 ] || sleep 15
done
update_errors=$(grep '^E:' "$log" || true)
# shellcheck disable=SC2046
if "${sudo[@]}" apt-get -o Acquire::Retries=5 install -y --no-install-recommends \
    $(missing) >"$log" 2>&1; then
    rm -f "$missing_file"
    echo "wine32.sh: Wine de 32 bits instalado"
    exit 0
fi
# Only what the missing i386 index explains is let through: a package of another kind, or a
# failure of another sort, still fails.
if ! grep -q 'but it is not going to be installed\|Unable to correct problems\|has no installation candidate\|Unable to locate package' "$log"; then
    echo "wine32.sh: la instalación de Wine de 32 bits ha fallado por otra causa" >&2
    exit 1
fi
{
    echo "No se puede instalar Wine de 32 bits en esta máquina."
    [ -z "$update_errors" ] || printf 'apt-get update:\n%s\n' "$update_errors"
    echo "apt-get install $(missing | tr '\n' ' '):"
    grep '^E:' "$log" || true
    grep 'but it is not going to be installed' "$log" | head -8 || true
} >"$missing_file"
echo "=================================================================="
cat "$missing_file"
echo "Sin él no se ejecutan el programa de 32 bits ni los instaladores (que son programas de"
echo "32 bits); el resto sí."
echo "=================================================================="
