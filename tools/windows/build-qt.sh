#!/usr/bin/env bash
# Builds the Windows kit (Qt 6.4.2 qtbase and a static SQLite 3.40.1, MinGW-w64 posix threads)
# from Debian's own source packages, so that the prebuilt cache can always be remade from Debian
# alone. Writes OUTDIR/qt-6.4.2-ARCH-w64-mingw32.tar.xz and OUTDIR/sqlite-3.40.1-ARCH-w64-mingw32.tar.xz
# and prints their sha256. Needs root on Debian 12 (it installs packages and may add a deb-src source).
#
#   tools/windows/build-qt.sh x86_64|i686 OUTDIR
#
# The work happens in a temporary folder under OUTDIR (or under $BUILD_QT_TMPDIR), removed at the
# end; it is kept when a step fails, so that its logs can be read.
set -euo pipefail

usage() { echo "uso: build-qt.sh x86_64|i686 CARPETA_DE_SALIDA" >&2; exit 2; }
[ $# -eq 2 ] || usage
arch=$1
case "$arch" in
    x86_64) mingw_pkg=x86-64 libgcc_dll=libgcc_s_seh-1.dll ;;
    # 32-bit MinGW-w64 uses DWARF-2 unwinding, hence a differently named runtime DLL.
    i686) mingw_pkg=i686 libgcc_dll=libgcc_s_dw2-1.dll ;;
    *) usage ;;
esac
[ "$(id -u)" -eq 0 ] || { echo "build-qt.sh necesita root (apt-get)" >&2; exit 1; }

qt_version=6.4.2
sqlite_version=3.40.1
triple=$arch-w64-mingw32
qt_name=qt-$qt_version-$triple
sqlite_name=sqlite-$sqlite_version-$triple

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
toolchain=$(cd "$here/../../cmake" && pwd)/toolchain-mingw-$arch.cmake
[ -f "$toolchain" ] || { echo "falta $toolchain" >&2; exit 1; }

mkdir -p "$2"
outdir=$(cd "$2" && pwd)
work_parent=${BUILD_QT_TMPDIR:-$outdir}
mkdir -p "$work_parent"
work=$(mktemp -d "$work_parent/build-qt-$arch.XXXXXX")
logs=$work/logs
mkdir -p "$logs"
started=$(date +%s)

finish() {
    local rc=$?
    if [ "$rc" -eq 0 ]; then
        rm -rf "$work"
    else
        echo "build-qt.sh: falló; la carpeta de trabajo queda en $work" >&2
    fi
}
trap finish EXIT

say() { echo "build-qt: $*" >&2; }

# Runs a command with its output in logs/NAME.log; on failure shows the end of that log.
step() {
    local name=$1
    shift
    if ! "$@" >"$logs/$name.log" 2>&1; then
        echo "build-qt.sh: falló el paso «$name»; final de $logs/$name.log:" >&2
        tail -n 40 "$logs/$name.log" >&2
        exit 1
    fi
}

# --- packages and Debian sources -------------------------------------------------------------
# gcc is the host compiler SQLite's amalgamation tools (lemon, mkkeywordhash…) are built with;
# make and perl (Qt's syncqt.pl) come with dpkg-dev anyway, listed so the need is visible.
packages=("g++-mingw-w64-$mingw_pkg-posix" "gcc-mingw-w64-$mingw_pkg-posix"
          qt6-base-dev qt6-base-dev-tools cmake ninja-build tcl dpkg-dev xz-utils gcc make perl)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done

sources_known() {
    apt-cache showsrc qt6-base 2>/dev/null | grep -q '^Package: qt6-base$' &&
        apt-cache showsrc sqlite3 2>/dev/null | grep -q '^Package: sqlite3$'
}
has_deb_src() {
    grep -qsE '^[[:space:]]*(deb-src[[:space:]]|Types:.*\bdeb-src\b)' \
        /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources
}

need_update=0
[ ${#missing[@]} -eq 0 ] || need_update=1
if ! sources_known; then
    need_update=1
    if ! has_deb_src; then
        # A file of its own, so the system's debian.sources stays as it was.
        cat >/etc/apt/sources.list.d/duplivo-src.sources <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    fi
fi
export DEBIAN_FRONTEND=noninteractive
if [ "$need_update" -eq 1 ]; then
    say "apt-get update"
    # A mirror caught mid-sync fails the update as a whole; the check below says whether what
    # this build needs is known all the same.
    step apt-update sh -c 'apt-get -o Acquire::Retries=3 update ||
        echo "apt-get update ha fallado; se sigue con las listas que hay"'
fi
if [ ${#missing[@]} -gt 0 ]; then
    say "instalando ${missing[*]}"
    step apt-install apt-get -o Acquire::Retries=5 install -y --no-install-recommends "${missing[@]}"
fi
sources_known || { echo "apt no conoce las fuentes de qt6-base y sqlite3" >&2; exit 1; }

say "apt-get source qt6-base sqlite3"
mkdir -p "$work/src"
step apt-source sh -c 'cd "$1" && apt-get -o Acquire::Retries=5 source qt6-base sqlite3' sh "$work/src"
qt_src=$(ls -d "$work"/src/qt6-base-"$qt_version"*/ 2>/dev/null | head -n 1 || true)
sqlite_src=$(ls -d "$work"/src/sqlite3-"$sqlite_version"/ 2>/dev/null | head -n 1 || true)
qt_src=${qt_src%/} sqlite_src=${sqlite_src%/}
# The archive names carry the versions, so a different upstream version must not slip through.
[ -n "$qt_src" ] && [ -f "$qt_src/CMakeLists.txt" ] ||
    { echo "las fuentes de qt6-base no son de Qt $qt_version: $(ls "$work/src")" >&2; exit 1; }
[ -n "$sqlite_src" ] && [ -x "$sqlite_src/configure" ] ||
    { echo "las fuentes de sqlite3 no son de SQLite $sqlite_version: $(ls "$work/src")" >&2; exit 1; }

# --- SQLite ----------------------------------------------------------------------------------
# Debian's qt6-base carries no SQLite, so Qt's driver is linked with this static build.
say "SQLite $sqlite_version"
sqlite_build=$work/build/sqlite
sqlite_dir=$work/stage/$sqlite_name
mkdir -p "$sqlite_build" "$sqlite_dir/include" "$sqlite_dir/lib"
step sqlite-configure sh -c 'cd "$1" && "$2/configure" --disable-tcl' sh "$sqlite_build" "$sqlite_src"
step sqlite-amalgamation make -C "$sqlite_build" sqlite3.c
step sqlite-compile sh -c 'cd "$1" && "$2-gcc-posix" -O2 -DSQLITE_ENABLE_COLUMN_METADATA \
    -DSQLITE_THREADSAFE=1 -c sqlite3.c -o sqlite3.o' sh "$sqlite_build" "$triple"
# The target's ar, so that the archive index is right whatever BFD targets the host ar knows.
step sqlite-ar "$triple-ar" rcs "$sqlite_dir/lib/libsqlite3.a" "$sqlite_build/sqlite3.o"
cp "$sqlite_build/sqlite3.h" "$sqlite_src/src/sqlite3ext.h" "$sqlite_dir/include/"

# --- Qt --------------------------------------------------------------------------------------
host_multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null)
qt_build=$work/build/qt
qt_dir=$work/stage/$qt_name
say "configurando Qt $qt_version para $triple"
step qt-configure cmake -G Ninja -S "$qt_src" -B "$qt_build" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_FIND_ROOT_PATH="$sqlite_dir" \
    -DCMAKE_INSTALL_PREFIX="$qt_dir" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR="/usr/lib/$host_multiarch/cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_SHARED_LIBS=ON -DQT_QMAKE_TARGET_MKSPEC=win32-g++ -DQT_BUILD_EXAMPLES=OFF \
    -DQT_BUILD_TESTS=OFF \
    -DFEATURE_pkg_config=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DINPUT_opengl=no \
    -DFEATURE_vulkan=OFF \
    -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_icu=OFF \
    -DFEATURE_zstd=OFF \
    -DFEATURE_direct2d=OFF -DFEATURE_tabletevent=OFF -DFEATURE_directwrite3=OFF \
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_png=OFF \
    -DFEATURE_system_jpeg=OFF \
    -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF \
    -DFEATURE_sql=ON -DFEATURE_sql_sqlite=ON -DFEATURE_system_sqlite=ON -DFEATURE_sql_odbc=ON \
    -DFEATURE_sql_psql=OFF -DFEATURE_sql_mysql=OFF -DFEATURE_sql_ibase=OFF -DFEATURE_sql_oci=OFF \
    -DFEATURE_sql_db2=OFF \
    -DSQLite3_INCLUDE_DIR="$sqlite_dir/include" -DSQLite3_LIBRARY="$sqlite_dir/lib/libsqlite3.a"
say "compilando Qt (ninja -j$(nproc))"
step qt-build ninja -C "$qt_build" -j"$(nproc)"
step qt-install cmake --install "$qt_build"

# --- checks ----------------------------------------------------------------------------------
# A kit built with the wrong compiler or missing a plugin would only show up on Windows.
for f in bin/Qt6Core.dll bin/Qt6Gui.dll bin/Qt6Widgets.dll bin/Qt6Sql.dll bin/Qt6Test.dll \
         plugins/platforms/qwindows.dll plugins/platforms/qoffscreen.dll \
         plugins/platforms/qminimal.dll plugins/sqldrivers/qsqlite.dll \
         plugins/sqldrivers/qsqlodbc.dll plugins/styles/qwindowsvistastyle.dll; do
    [ -f "$qt_dir/$f" ] || { echo "el kit no tiene $f" >&2; exit 1; }
done
imports() { "$triple-objdump" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p'; }
core_imports=$(imports "$qt_dir/bin/Qt6Core.dll")
for dll in "$libgcc_dll" libwinpthread-1.dll libstdc++-6.dll; do
    grep -qx "$dll" <<<"$core_imports" || { echo "Qt6Core.dll no usa $dll" >&2; exit 1; }
done
if imports "$qt_dir/plugins/sqldrivers/qsqlite.dll" | grep -qi '^sqlite3'; then
    echo "qsqlite.dll no lleva SQLite dentro" >&2
    exit 1
fi

# --- archives --------------------------------------------------------------------------------
# Sorted names and fixed owners, so that two builds differ only where their files do.
pack() {
    local name=$1
    tar -C "$work/stage" --sort=name --owner=root:0 --group=root:0 -cf - "$name" |
        xz -T0 -6 >"$work/$name.tar.xz" &&
        mv -f "$work/$name.tar.xz" "$outdir/$name.tar.xz"
}
say "empaquetando"
step pack-sqlite pack "$sqlite_name"
step pack-qt pack "$qt_name"

say "listo en $(( ($(date +%s) - started) / 60 )) min"
(cd "$outdir" && sha256sum "$qt_name.tar.xz" "$sqlite_name.tar.xz")
