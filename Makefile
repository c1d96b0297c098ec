# Thin wrapper around CMake. `make demo` and `make test` are all a fresh machine needs.
GEN := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
JOBS ?= 2
PREFIX ?= /usr/local
CTEST := ctest --output-on-failure -j $(JOBS)
# Extra configure arguments of build/, build-asan/ and build-deb/; CI passes -DTOLVAR_WERROR=ON.
CMAKE_ARGS ?=

.PHONY: all build test asan demo bench fuzz install deb clean

all: build

build:
	cmake -S . -B build $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_ARGS)
	cmake --build build -j $(JOBS)

test: build
	cd build && $(CTEST)

asan:
	cmake -S . -B build-asan $(GEN) -DCMAKE_BUILD_TYPE=Debug -DTOLVAR_SANITIZE=ON $(CMAKE_ARGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 $(CTEST)

demo: build
	bash examples/demo.sh build

bench:
	cmake -S . -B build-bench $(GEN) -DCMAKE_BUILD_TYPE=Release -DTOLVAR_BENCH=ON -DTOLVAR_TESTS=OFF
	cmake --build build-bench -j $(JOBS)
	bash bench/run.sh build-bench

fuzz:
	CC=clang CXX=clang++ cmake -S . -B build-fuzz $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVAR_FUZZ=ON -DTOLVAR_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS)
	bash fuzz/run.sh build-fuzz

install: build
	cmake --install build

# The Debian packages tolvar, libquillan1 and libquillan-dev in build-deb/: the optimised programs
# and library alone (no tests), installed under /usr.
deb:
	cmake -S . -B build-deb $(GEN) -DCMAKE_BUILD_TYPE=Release -DTOLVAR_TESTS=OFF -DTOLVAR_DEB=ON -DCMAKE_INSTALL_PREFIX=/usr $(CMAKE_ARGS)
	cmake --build build-deb -j $(JOBS)
	rm -f build-deb/*.deb
	cd build-deb && cpack -G DEB

clean:
	rm -rf build build-asan build-bench build-fuzz build-dev build-release build-deb
