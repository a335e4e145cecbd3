# Two commands do all set-up on a fresh Debian 12 machine: `make run` and `make test`.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
# The window by default; `make run RUN_ARGS=--headless` serves without one.
RUN_ARGS ?=

# Debian packages the build, the tests and the program need.
DEBS := cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev qt6-base-dev \
        qt6-base-dev-tools python3 iproute2 util-linux xvfb xauth xdotool libxcb1-dev \
        fonts-dejavu-core

.PHONY: all deps configure build run test tsan asan fuzz bench clean

all: build

deps:
	@missing=""; \
	for p in $(DEBS); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing Debian packages:$$missing"; \
	  sudo=""; [ "$$(id -u)" = 0 ] || sudo=sudo; \
	  $$sudo apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y -qq --no-install-recommends $$missing; \
	fi

configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: configure
	cmake --build $(BUILD)

run: build
	./$(BUILD)/quillsend-server $(RUN_ARGS)

test: build
	cd $(BUILD) && ctest --output-on-failure --timeout 600

# The server tests once more with ThreadSanitizer, in a build folder of their own.
tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQS_SANITIZE=thread -DQS_BUILD_UI=OFF
	cmake --build build-tsan --target core_tests
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest --output-on-failure --timeout 600 -R 'Server|Refusal|Slow|Roster|Fault'

# The core tests under AddressSanitizer, LeakSanitizer and UBSan: nothing may leak or
# touch freed memory, whatever the clients do.
asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQS_SANITIZE=address -DQS_BUILD_UI=OFF
	cmake --build build-asan --target core_tests
	cd build-asan && ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
	  ctest --output-on-failure --timeout 600 -E headless

# The libFuzzer targets, each for FUZZ_SECONDS (default 60), in build-fuzz; fails on a finding.
fuzz: deps
	./fuzz/run_fuzz.sh

# Our server against ngircd and InspIRCd on loopback, then the window's event-loop lag under
# a flood (Xvfb); writes bench/results/latest.md. Not part of `make test`.
bench: build
	QS_SERVER=$(CURDIR)/$(BUILD)/quillsend-server bash bench/run_bench.sh
	cmake --build $(BUILD) --target qs-uilag
	xvfb-run -a -s "-screen 0 1024x768x24" ./$(BUILD)/qs-uilag build-bench/qs-loadgen 100 10 \
	  | tee -a bench/results/latest.md

clean:
	rm -rf $(BUILD) build-tsan build-asan build-bench build-fuzz
