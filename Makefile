# Two entry points for a fresh Debian 12 machine: `make run` and `make test`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= 2
XVFB       := xvfb-run -a -s '-screen 0 1280x1024x24 -noreset'
# Written at build time by vexol-examples; sequence frames are named relative to their directory.
EXAMPLE    ?= ripple.dsq

.PHONY: deps build run test test-asan bench fuzz clean

deps:
	scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

run: build
	scripts/run-example.sh $(BUILD) $(EXAMPLE)

test: build
	cd $(BUILD) && timeout 3000 $(XVFB) ctest --output-on-failure -j$(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVEXOL_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && timeout 3000 $(XVFB) ctest --output-on-failure -j$(JOBS)

bench: build
	$(XVFB) $(BUILD)/bench/vexol-bench

# make fuzz SECONDS=N: every harness for N seconds on its corpus.
SECONDS ?= 60
fuzz:
	scripts/fuzz.sh $(SECONDS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
