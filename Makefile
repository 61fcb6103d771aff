# make test   install what is missing, build, run every test
# make bench  build and run the benchmarks
# make demo   start the demo node
# SAN=address | SAN=thread  sanitizer builds (in build-address / build-thread)
SAN ?=
BUILD ?= build$(if $(SAN),-$(SAN))
JOBS ?= $(shell nproc)

DEBIAN_PACKAGES := cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev \
	libtomlplusplus-dev libcli11-dev libmodbus-dev python3 python3-pymodbus mbpoll socat python3-serial \
	can-utils python3-can iproute2 procps
BENCH_PACKAGES := rt-tests strace

.PHONY: all deps bench-deps install-packages configure build test build-without-tests bench demo demo-wire install clean

all: build

# Each list in its own make run: make runs a target once per run, so two
# lists through one target would install only the first.
bench-deps:
	@$(MAKE) --no-print-directory install-packages PACKAGES="$(BENCH_PACKAGES)"
deps:
	@$(MAKE) --no-print-directory install-packages PACKAGES="$(DEBIAN_PACKAGES)"

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
	cmake -S . -B $(BUILD) -G Ninja -DIOH_SANITIZE=$(SAN) -DIOH_WERROR=ON

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# A sanitizer report in any process a test starts ends that process, so the test sees it.
# The plain build then also builds as a user would without the tests.
test: build
	cd $(BUILD) && TSAN_OPTIONS=halt_on_error=1 ASAN_OPTIONS=halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest -j $(JOBS) --output-on-failure --timeout 300
	$(if $(SAN),,$(MAKE) --no-print-directory build-without-tests)

# The project without its tests and benchmarks, as a packager builds it.
build-without-tests:
	cmake -S . -B build-notests -G Ninja -DBUILD_TESTING=OFF -DIOH_BUILD_BENCH=OFF >/dev/null
	cmake --build build-notests -j $(JOBS) >/dev/null
	@echo "build without tests: ok"

# Google Benchmark programs take its flags; the others run as they are (and
# once: asking a program for its --help would run one that takes no flags).
bench: build bench-deps
	@for b in $(BUILD)/bin/bench_*; do echo "== $$b"; \
	  if ldd $$b | grep -q libbenchmark; then $$b --benchmark_min_time=0.2 || exit 1; \
	  else $$b || exit 1; fi; done

# The demo plant in the foreground; Ctrl-C ends it. DEMO_DIR is its node directory.
DEMO_DIR ?= /tmp/iohost-demo-$(shell id -un)
demo: build
	@mkdir -p $(DEMO_DIR) && chmod 700 $(DEMO_DIR)
	@echo "demo node in $(DEMO_DIR); look at it from another terminal with:"
	@echo "  export RT_NODE_DIR=$(DEMO_DIR) PATH=$(CURDIR)/$(BUILD)/bin:\$$PATH; ko list; ko can dump 0; mbpoll -m tcp -p 1502 -r 1 -c 3 127.0.0.1"
	@sleep 2
	RT_NODE_DIR=$(DEMO_DIR) $(BUILD)/bin/konode up demo/node.toml

# The demo plant over a cable (root): a veth pair, the master on one end
# and ecatslaves, an app of the node, answering on the other.
DEMO_WIRE ?= iohdemo
demo-wire: build
	@mkdir -p $(DEMO_DIR) && chmod 700 $(DEMO_DIR)
	@ip link show $(DEMO_WIRE)0 >/dev/null 2>&1 || ip link add $(DEMO_WIRE)0 type veth peer name $(DEMO_WIRE)1
	@ip link set $(DEMO_WIRE)0 up && ip link set $(DEMO_WIRE)1 up
	@{ printf '[[ethercat]]\nname = "default"\ninterface = "$(DEMO_WIRE)0"\n\n'; cat demo/node.toml; \
	  printf '\n[[app]]\nname = "ecatslaves"\ncommand = ["ecatslaves", "--interface", "$(DEMO_WIRE)1"]\n'; \
	} > $(DEMO_DIR)/wire.toml
	@echo "demo node over $(DEMO_WIRE)0 in $(DEMO_DIR) (ip link del $(DEMO_WIRE)0 removes the pair)"
	RT_NODE_DIR=$(DEMO_DIR) $(BUILD)/bin/konode up $(DEMO_DIR)/wire.toml

# make install [PREFIX=/usr/local]: programs in PREFIX/bin, libraries in PREFIX/lib, drivers in PREFIX/lib/rsl.
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf build build-address build-thread build-notests
