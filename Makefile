# make demo: install what is missing, build, open the window on a demo database.
# make test: install what is missing, build, run every test.
# make demo-server, make bench, make screenshot, make package, make windows, make windows-test:
# see the README.

BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# Debian 12 packages the build, the tests and the demo need.
PACKAGES := cmake make g++ pkg-config qt6-base-dev qt6-translations-l10n \
            libsqlite3-dev sqlite3 xvfb xauth xdotool x11-utils libxcb1-dev imagemagick \
            dpkg-dev file \
            unixodbc unixodbc-dev libsqliteodbc odbc-postgresql postgresql libpq-dev \
            mariadb-server odbc-mariadb libmariadb-dev iptables

# Cross-compiling for Windows: MinGW-w64, host tools from Debian's Qt, the installer's makensis and
# the tools that draw its images.
WINDOWS_PACKAGES := cmake make xz-utils qt6-base-dev qt6-translations-l10n nsis \
            imagemagick librsvg2-bin g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix \
            g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
# Running the Windows programs: Wine, and ODBC with its drivers.
WINE_PACKAGES := wine64 wine unixodbc libsqliteodbc odbc-postgresql
# The same for 32-bit programs (the 32-bit Duplivo, and both installers), from the archive's i386
# index: where that cannot be had, tools/windows/wine32.sh says why and the rest still runs.
WINE32_PACKAGES := wine32:i386 libodbc2:i386 libsqliteodbc:i386 odbc-postgresql:i386
WINDOWS_BUILD ?= build-windows

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
DEMO := $(CURDIR)/$(BUILD)/demo

.PHONY: all deps configure build test demo demo-server bench screenshot package windows \
        windows-test clean

all: build

deps:
	@case "$(PACKAGES)" in *:i386*) \
	    dpkg --print-foreign-architectures | grep -qx i386 || $(SUDO) dpkg --add-architecture i386;; \
	esac; \
	missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; \
	done); \
	if [ -n "$$missing" ]; then \
	    echo "Instalando: $$missing"; \
	    $(SUDO) apt-get -o Acquire::Retries=3 update || \
	        echo "apt-get update ha fallado; se sigue con las listas que hay" >&2; \
	    $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get -o Acquire::Retries=5 install -y \
	        --no-install-recommends $$missing; \
	fi

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

# Every test, on SQLite, on SQLite through ODBC and on throwaway PostgreSQL and MariaDB servers.
test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ../tools/with_postgres.sh ../tools/with_mariadb.sh \
	    ctest --output-on-failure -j$(JOBS)

demo: build
	$(BUILD)/bin/duplivo-make-demo $(DEMO)
	XDG_CONFIG_HOME=$(DEMO)/config WINEPREFIX=$(DEMO)/wine $(BUILD)/bin/duplivo

# The demo data on a local PostgreSQL server, reached through an ODBC file DSN.
demo-server: build
	tools/with_postgres.sh tools/demo_server.sh $(BUILD)

BENCH_BUILD ?= build-bench

bench: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target duplivo-bench
	tools/with_postgres.sh tools/with_mariadb.sh $(BENCH_BUILD)/bin/duplivo-bench

# The window in use on the demo database, as docs/duplivo.png.
screenshot: build
	tools/screenshot.sh $(BUILD)

# A Debian package of the program: build/duplivo_<version>_<arch>.deb
package: build
	cd $(BUILD) && cpack -G DEB

# Duplivo for 64- and 32-bit Windows: in $(WINDOWS_BUILD)/ the folders duplivo-1.00-win64/ and
# duplivo-1.00-win32/, their zips and their installers.
windows:
	@$(MAKE) --no-print-directory deps PACKAGES="$(WINDOWS_PACKAGES)"
	DUPLIVO_WINDOWS_CMAKE_FLAGS="$(CMAKE_FLAGS)" tools/windows/build.sh win64 $(WINDOWS_BUILD)
	DUPLIVO_WINDOWS_CMAKE_FLAGS="$(CMAKE_FLAGS)" tools/windows/build.sh win32 $(WINDOWS_BUILD)

# The Windows programs under Wine: their tests, their installers, and the end-to-end cases.
windows-test: build windows
	@$(MAKE) --no-print-directory deps PACKAGES="$(WINE_PACKAGES)"
	tools/windows/wine32.sh $(WINDOWS_BUILD) $(WINE32_PACKAGES)
	tools/windows/test.sh $(BUILD) $(WINDOWS_BUILD)

clean:
	rm -rf $(BUILD) $(WINDOWS_BUILD)
