# The front door: `make run` serves the demo, `make test` runs every test.
BUILD_DIR ?= build

.PHONY: all deps build test run services-start services-stop bench clean

all: build

deps:
	scripts/install-deps

build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja >/dev/null
	cmake --build $(BUILD_DIR)

test:
	BUILD_DIR=$(BUILD_DIR) scripts/test

run:
	BUILD_DIR=$(BUILD_DIR) scripts/run

services-start:
	scripts/services start

services-stop:
	scripts/services stop

bench: build
	bench/run

clean:
	rm -rf $(BUILD_DIR)
