# Two commands matter: `make run` and `make test`. Both install what is
# missing from Debian's packages first (as root), then build with CMake.
SHELL := /bin/bash
JOBS ?= 2
DEPS := cmake g++ make pkg-config openssl libssl-dev libcjson-dev libsqlite3-dev \
        libxml2-dev libgtest-dev libgmock-dev libbenchmark-dev sqlite3 \
        clang-14 libclang-rt-14-dev \
        libp11-kit-dev libnss3-tools opensc gnutls-bin libengine-pkcs11-openssl softhsm2
BUILD_TYPE ?= RelWithDebInfo

.PHONY: all deps build build-asan run test test-plain test-asan bench clean build-fuzz fuzz fuzz-smoke soak browser-deps test-browser \
        package package-deps test-package test-package-if-root

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

test: test-plain test-asan fuzz-smoke test-package-if-root

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

# The Debian package: `make package` leaves build/tessaro-enroll_<version>_amd64.deb
# (and its -dbgsym package). ORIGINS="https://enroll.bank.example ..." names the
# page origins the extensions serve (default: the demonstration's loopback ones).
# The package build compiles only the deliverables, through ccache when there.
PACKAGE_DEPS := debhelper dpkg-dev fakeroot lintian python3
ORIGINS ?=
PKG_VERSION = $(shell dpkg-parsechangelog -S Version)
CCACHE_DIR ?= $(shell command -v ccache >/dev/null 2>&1 && ccache -k cache_dir)

package-deps:
	@missing=""; for p in $(DEPS) $(PACKAGE_DEPS); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  if [ "$$(id -u)" != 0 ]; then echo "run as root to install:$$missing" >&2; exit 1; fi; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

# dpkg-buildpackage writes beside the source folder: the results are moved
# into build/ and the rest of the build is cleaned away.
package: package-deps
	@set -e; v=$(PKG_VERSION); up=$$(cd .. && pwd); mkdir -p build; \
	rm -f build/tessaro-enroll_*_amd64.deb build/tessaro-enroll-dbgsym_*_amd64.*deb \
	  build/tessaro-enroll_*_amd64.buildinfo build/tessaro-enroll_*_amd64.changes; \
	rc=0; \
	CCACHE_DIR="$(CCACHE_DIR)" CCACHE_BASEDIR="$${CCACHE_BASEDIR:-$$up}" CCACHE_NOHASHDIR=1 \
	  TESSARO_ORIGINS="$(ORIGINS)" DEB_BUILD_OPTIONS="parallel=$(JOBS) $$DEB_BUILD_OPTIONS" \
	  dpkg-buildpackage -b -us -uc || rc=$$?; \
	for f in tessaro-enroll_$${v}_amd64.deb tessaro-enroll-dbgsym_$${v}_amd64.deb tessaro-enroll-dbgsym_$${v}_amd64.ddeb \
	         tessaro-enroll_$${v}_amd64.buildinfo tessaro-enroll_$${v}_amd64.changes; do \
	  if [ -e "$$up/$$f" ]; then mv -f "$$up/$$f" build/; fi; \
	done; \
	debian/rules clean >/dev/null; \
	[ $$rc = 0 ] || exit $$rc; \
	ls -l build/tessaro-enroll*_$${v}_amd64.deb

# Builds the package, runs lintian and installs it into a throwaway root (an
# overlay of /, removed afterwards): needs root. The enrollments there are
# issued by the build tree's test CA.
test-package: package
	@cmake -S . -B build -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null && cmake --build build -j$(JOBS) --target tessaro-testca
	@rc=0; TESSARO_ORIGINS="$(ORIGINS)" tests/package/run.sh build/tessaro-enroll_$(PKG_VERSION)_amd64.deb || rc=$$?; \
	if [ $$rc = 77 ]; then echo "test-package: skipped (see above)"; elif [ $$rc != 0 ]; then exit $$rc; fi

test-package-if-root:
	@if [ "$$(id -u)" = 0 ]; then $(MAKE) --no-print-directory test-package; \
	else echo "test-package: skipped (needs root to install the package into a throwaway root)"; fi

clean:
	rm -rf build build-asan build-fuzz
