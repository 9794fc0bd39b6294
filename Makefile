# make demo: install what is missing, build, open the window on a demo database.
# make test: install what is missing, build, run every test.

BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# Debian 12 packages the build, the tests and the demo need.
PACKAGES := cmake make g++ pkg-config qt6-base-dev libqt6sql6-sqlite qt6-translations-l10n \
            libsqlite3-dev xvfb xauth xdotool x11-utils dpkg-dev file

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
DEMO := $(CURDIR)/$(BUILD)/demo

.PHONY: all deps configure build test demo package clean

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; \
	done); \
	if [ -n "$$missing" ]; then \
	    echo "Instalando: $$missing"; \
	    $(SUDO) apt-get update && \
	    $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	fi

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)

demo: build
	$(BUILD)/bin/duplivo-make-demo $(DEMO)
	XDG_CONFIG_HOME=$(DEMO)/config WINEPREFIX=$(DEMO)/wine $(BUILD)/bin/duplivo

# A Debian package of the program: build/duplivo_<version>_<arch>.deb
package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD)
