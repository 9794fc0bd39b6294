#!/usr/bin/env bash
# Makes the Windows Qt kit for ARCH (x86_64 or i686) ready under KITDIR and prints the two folders
# to build with: Qt's, then SQLite's. The prebuilt archives in ../shared/windows are only a cache:
# they are used when their SHA256SUMS line matches, and otherwise build-qt.sh makes the same
# archives from Debian's source packages.
#
#     tools/windows/kit.sh ARCH KITDIR
set -euo pipefail
arch=${1:?uso: kit.sh x86_64|i686 CARPETA}
kitdir=$(mkdir -p "${2:?uso: kit.sh x86_64|i686 CARPETA}" && cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
cache=${DUPLIVO_WINDOWS_KIT_CACHE:-$here/../../../shared/windows}

archives=("qt-6.4.2-$arch-w64-mingw32.tar.xz" "sqlite-3.40.1-$arch-w64-mingw32.tar.xz")

cached() {
    [ -f "$cache/SHA256SUMS" ] || return 1
    local archive
    for archive in "${archives[@]}"; do
        grep -q " $archive\$" "$cache/SHA256SUMS" || return 1
        (cd "$cache" && grep " $archive\$" SHA256SUMS | sha256sum --check --status) || return 1
    done
}

# Extracted once per archive; a stamp holding the archive's checksum says it is complete.
for archive in "${archives[@]}"; do
    folder=$kitdir/${archive%.tar.xz}
    source=$cache/$archive
    if [ ! -f "$folder/.archive-sha256" ]; then
        if ! cached; then
            echo "kit.sh: la caché $cache no tiene $archive o no coincide con SHA256SUMS;" \
                "se construye desde las fuentes de Debian" >&2
            "$here/build-qt.sh" "$arch" "$kitdir/built" >&2
            source=$kitdir/built/$archive
        fi
        rm -rf "$folder"
        tar -xJf "$source" -C "$kitdir"
        [ -d "$folder" ] || { echo "kit.sh: $archive no contiene ${folder##*/}/" >&2; exit 1; }
        sha256sum "$source" | cut -d' ' -f1 >"$folder/.archive-sha256"
    fi
done
echo "$kitdir/${archives[0]%.tar.xz}"
echo "$kitdir/${archives[1]%.tar.xz}"
