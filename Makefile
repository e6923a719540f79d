# The front door: `make run` serves the demo, `make test` runs every test.
BUILD_DIR ?= build
# Seconds each fuzzing target runs in `make fuzz`.
FUZZ_SECONDS ?= 180

.PHONY: all deps build test test-cluster test-sanitize fuzz fuzz-smoke run services-start services-stop bench clean

all: build

deps:
	scripts/install-deps

build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja >/dev/null
	cmake --build $(BUILD_DIR)

test:
	BUILD_DIR=$(BUILD_DIR) scripts/test

# Failover tests on several machines' worth of servers on this one (scripts/cluster): Redis
# Cluster and Sentinel failovers, a database replica and an instance lost under load.
test-cluster:
	BUILD_DIR=$(BUILD_DIR) scripts/test-cluster

# The same suite built with AddressSanitizer and UBSan, in build-sanitize.
test-sanitize:
	scripts/test-sanitize

# Every libFuzzer harness of fuzz/ for FUZZ_SECONDS each, in build-fuzz.
fuzz:
	scripts/fuzz $(FUZZ_SECONDS)

fuzz-smoke:
	scripts/fuzz --smoke

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
