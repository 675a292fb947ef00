# quarn-udf: loadable SQL functions for MariaDB/MySQL.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all deps build test demo bench sanitize fuzz install package clean

all: build

deps:
	@scripts/deps.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD) -j$(JOBS) --output-on-failure --timeout 900

demo: build
	scripts/demo.sh $(BUILD)

bench: build
	scripts/bench.sh $(BUILD)

sanitize: deps
	scripts/sanitize.sh

fuzz: deps
	scripts/fuzz.sh

# make install [DESTDIR=...] [PLUGIN_DIR=...]
install: build
	cmake -S . -B $(BUILD) $(if $(PLUGIN_DIR),-DQUARN_PLUGIN_DIR:PATH=$(PLUGIN_DIR))
	cmake --build $(BUILD) -j$(JOBS)
	DESTDIR=$(DESTDIR) cmake --install $(BUILD)

# Builds only the libraries the packages hold.
package: deps $(BUILD)/CMakeCache.txt
	JOBS=$(JOBS) scripts/package.sh $(BUILD)

clean:
	rm -rf $(BUILD) build-*
