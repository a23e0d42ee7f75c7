# Two commands matter: `make run` and `make test`. Both install what is
# missing from Debian's packages first (as root), then build with CMake.
SHELL := /bin/bash
JOBS ?= 2
DEPS := cmake g++ make pkg-config openssl libssl-dev libcjson-dev libsqlite3-dev \
        libxml2-dev libgtest-dev libgmock-dev libbenchmark-dev sqlite3 \
        clang-14 libclang-rt-14-dev \
        libp11-kit-dev libnss3-tools opensc gnutls-bin libengine-pkcs11-openssl softhsm2
BUILD_TYPE ?= RelWithDebInfo

.PHONY: all deps build build-asan run test test-plain test-asan bench clean build-fuzz fuzz fuzz-smoke soak browser-deps test-browser

all: build

deps:
	@missing=""; for p in $(DEPS); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  if [ "$$(id -u)" != 0 ]; then echo "run as root to install:$$missing" >&2; exit 1; fi; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null
	cmake --build build -j$(JOBS)

build-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTESSARO_SANITIZE=ON >/dev/null
	cmake --build build-asan -j$(JOBS)

# Browser tests and the demo site: Debian's chromium and firefox-esr, Node.js with npm, and
# playwright-core from browser/tests/package-lock.json. A failure here is only
# a warning: the browser tests then report themselves skipped or failed.
browser-deps:
	@missing=""; command -v chromium >/dev/null 2>&1 || missing="$$missing chromium"; \
	command -v firefox-esr >/dev/null 2>&1 || missing="$$missing firefox-esr"; \
	command -v node >/dev/null 2>&1 || missing="$$missing nodejs"; \
	command -v npm >/dev/null 2>&1 || missing="$$missing npm"; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  if [ "$$(id -u)" = 0 ]; then \
	    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; } || \
	      echo "warning: could not install$$missing; browser tests will be skipped" >&2; \
	  else echo "warning: run as root to install$$missing" >&2; fi; \
	fi
	@if command -v npm >/dev/null 2>&1 && [ ! -d browser/tests/node_modules/playwright-core ]; then \
	  (cd browser/tests && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error) || \
	    echo "warning: npm ci failed in browser/tests" >&2; \
	fi

test-browser: build browser-deps
	cd build && ctest --output-on-failure -L browser

run: build browser-deps
	tools/demo/run-demo.sh build

test-plain: build browser-deps
	cd build && ctest --output-on-failure --repeat until-pass:2 -j$(JOBS)

test-asan: build-asan
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure --repeat until-pass:2 -j$(JOBS)

test: test-plain test-asan fuzz-smoke

bench: build
	tools/bench/run-bench.sh build

# Fuzzing: a clang build of the parsers with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer (fuzz/CMakeLists.txt). `make fuzz` runs every
# target for FUZZ_SECONDS; `make test` runs each for FUZZ_SMOKE_SECONDS after
# replaying the inputs of earlier crashes (fuzz/regressions/).
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 10

build-fuzz: deps
	CC=clang-14 CXX=clang++-14 cmake -S fuzz -B build-fuzz >/dev/null
	cmake --build build-fuzz -j$(JOBS) --target fuzz_all

fuzz: build-fuzz
	fuzz/run-fuzz.sh build-fuzz $(FUZZ_SECONDS) $(JOBS)

fuzz-smoke: build-fuzz
	fuzz/run-fuzz.sh build-fuzz $(FUZZ_SMOKE_SECONDS) $(JOBS)

# Longer runs than `make test` affords: the fuzzers for FUZZ_SECONDS each,
# then the hostile-page, crash-safety, fault-injection and power-cut runs SOAK times over.
SOAK ?= 10
soak: fuzz build
	cd build && TESSARO_SOAK=$(SOAK) ./tests/test_robustness_hostile && TESSARO_SOAK=$(SOAK) ./tests/test_robustness_crashsafety && TESSARO_SOAK=$(SOAK) ./tests/test_robustness_faultinject && TESSARO_SOAK=$(SOAK) ./tests/test_robustness_powercut

clean:
	rm -rf build build-asan build-fuzz
