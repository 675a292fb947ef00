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
	ctest --test-dir $(BUILD) --output-on-failure --timeout 900

demo: build
	scripts/demo.sh $(BUILD)

bench: build
	scripts/bench.sh $(BUILD)

sanitize: deps
	scripts/sanitize.sh

fuzz: deps
	scripts/fuzz.sh

clean:
	rm -rf $(BUILD) build-*
