# The two commands of this repository:
#   make demo    builds everything and runs the demonstration
#   make check   builds and runs every test, normally and under sanitizers
# Both install the Debian packages they need first (as root), or name them.

BUILD       ?= build
ASAN_BUILD  ?= build-asan
FUZZ_BUILD  ?= build-fuzz
JOBS        ?= $(shell nproc)
FUZZ_SECONDS ?= 45

PACKAGES = build-essential cmake ninja-build pkg-config uuid-dev libgtest-dev \
           libbenchmark-dev clang libclang-rt-14-dev python3 tar util-linux mount passwd \
           gdb curl libsqlite3-dev

.PHONY: all demo check deps build asan fuzz bench clean e2e

all: build

deps:
	@if ! command -v dpkg-query >/dev/null 2>&1; then \
	  echo "This project builds on Debian 12; please install: $(PACKAGES)"; exit 1; fi; \
	missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing:$$missing"; \
	    apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	  else \
	    echo "Missing packages:$$missing"; \
	    echo "Install them with: sudo apt-get install$$missing"; exit 1; \
	  fi; \
	fi

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

asan: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKS_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)

fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKS_FUZZ=ON \
	  -DCMAKE_CXX_COMPILER=clang++ -DKS_FUZZ_SECONDS=$(FUZZ_SECONDS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

demo: build
	sh scripts/demo.sh $(BUILD)

# Root only, not part of check: a real crash through the kernel's core
# pattern, which is restored on every way out.
e2e: build
	sh scripts/e2e.sh $(BUILD)

check: build asan fuzz
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)
	cd $(FUZZ_BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; "$$b" || exit 1; done
	@for s in bench/*_bench.sh; do echo "== $$s"; sh "$$s" $(BUILD) || exit 1; done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
