#!/usr/bin/env bash
# Cross-compiles Duplivo and its Wine-run tests for Windows, then lays out the shipping folder and
# makes the zip and the installer from it:
#
#     tools/windows/build.sh win64|win32 [OUT]        (OUT: build-windows)
#
# leaves OUT/duplivo-<version>-<flavour>/, its .zip and its -setup.exe; the build itself is in
# OUT/<flavour>/, with the installer's script as installer.nsi.
set -euo pipefail
flavour=${1:?uso: build.sh win64|win32 [CARPETA]}
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$(mkdir -p "${2:-$root/build-windows}" && cd "${2:-$root/build-windows}" && pwd)
case $flavour in
win64) arch=x86_64 ;;
win32) arch=i686 ;;
*) echo "build.sh: $flavour no es win64 ni win32" >&2; exit 2 ;;
esac

# Not read through a process substitution, whose failure would go unnoticed.
folders=$("$root/tools/windows/kit.sh" "$arch" "$out/kit")
mapfile -t kit <<<"$folders"
qt=${kit[0]} sqlite=${kit[1]}
build=$out/$flavour

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-$arch.cmake" \
    -DCMAKE_PREFIX_PATH="$qt" -DCMAKE_FIND_ROOT_PATH="$qt;$sqlite" -DQT_HOST_PATH=/usr \
    -DSQLite3_INCLUDE_DIR="$sqlite/include" -DSQLite3_LIBRARY="$sqlite/lib/libsqlite3.a" \
    ${DUPLIVO_WINDOWS_CMAKE_FLAGS:-}
cmake --build "$build" -j"$(nproc)"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
package=duplivo-$version-$flavour
rm -rf "$out/$package" "$out/$package.zip" "$out/$package-setup.exe"
cmake --install "$build" --prefix "$out/$package" --strip
(cd "$build" && cpack -B "$out/cpack" >/dev/null)
mv "$out/cpack/$package.zip" "$out/cpack/$package-setup.exe" "$out/"
# The installer's script as makensis read it, for tools/windows/test.sh.
mv "$out/cpack/_CPack_Packages/$flavour/NSIS/project.nsi" "$build/installer.nsi"
rm -rf "$out/cpack"
ls -l "$out/$package.zip" "$out/$package-setup.exe"
