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
           gdb curl libcurl4-openssl-dev libzstd-dev zstd time libsqlite3-dev

# What make package-check needs besides: the .deb's tools and Debian's checkers.
PACKAGE_CHECK_PACKAGES = dpkg-dev file lintian systemd man-db groff-base gzip util-linux

.PHONY: all demo check deps package-deps build asan fuzz bench clean e2e e2e-fleet package-check

all: build

# $(1): the Debian packages to install (as root) or name.
define install_packages
	@if ! command -v dpkg-query >/dev/null 2>&1; then \
	  echo "This project builds on Debian 12; please install: $(1)"; exit 1; fi; \
	missing=""; \
	for p in $(1); do \
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
endef

deps:
	$(call install_packages,$(PACKAGES))

package-deps:
	$(call install_packages,$(PACKAGE_CHECK_PACKAGES))

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
# pattern, which is restored on every way out, then through the installed
# package. It changes the machine: run it under flock /tmp/kestrel-global.lock
# where others share the machine.
e2e: build package-deps
	sh scripts/e2e.sh $(BUILD)

# Not part of check: builds the .deb and checks it with lintian,
# systemd-analyze (verify, and security at 4.5 or lower) and man --warnings.
package-check: build package-deps
	sh scripts/package-check.sh $(BUILD)

# Root only, not part of check: crashes shipped to a real S3 store, a
# one-node Ceph on 127.0.0.1 that it sets up and removes, under the lock
# that every change to this machine takes.
e2e-fleet: build
	flock /tmp/kestrel-global.lock env KESTREL_GLOBAL_LOCK=held sh scripts/e2e-fleet.sh $(BUILD)

check: build asan fuzz
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)
	cd $(FUZZ_BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; "$$b" || exit 1; done
	@for s in bench/*_bench.sh; do echo "== $$s"; sh "$$s" $(BUILD) || exit 1; done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
