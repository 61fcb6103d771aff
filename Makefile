# make test   install what is missing, build, run every test
# make bench  build and run the benchmarks
# make demo   start the demo node
# SAN=address | SAN=thread  sanitizer builds (in build-address / build-thread)
SAN ?=
BUILD ?= build$(if $(SAN),-$(SAN))
JOBS ?= $(shell nproc)

DEBIAN_PACKAGES := cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev \
	libtomlplusplus-dev libcli11-dev libmodbus-dev python3 python3-pymodbus mbpoll socat python3-serial
BENCH_PACKAGES := rt-tests

.PHONY: all deps bench-deps install-packages configure build test bench demo clean

all: build

bench-deps: PACKAGES = $(BENCH_PACKAGES)
bench-deps: install-packages
deps: PACKAGES = $(DEBIAN_PACKAGES)
deps: install-packages

install-packages:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DIOH_SANITIZE=$(SAN)

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# A sanitizer report in any process a test starts ends that process, so the test sees it.
test: build
	cd $(BUILD) && TSAN_OPTIONS=halt_on_error=1 ASAN_OPTIONS=halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest -j $(JOBS) --output-on-failure --timeout 300

# Google Benchmark programs take its flags; the others run as they are.
bench: build bench-deps
	@for b in $(BUILD)/bin/bench_*; do echo "== $$b"; \
	  if $$b --help 2>&1 | grep -q benchmark_filter; then $$b --benchmark_min_time=0.2 || exit 1; \
	  else $$b || exit 1; fi; done

demo:
	@echo "make demo: the demo node needs iohost, konode and the drivers, which are not built yet." >&2
	@exit 1

clean:
	rm -rf build build-address build-thread
