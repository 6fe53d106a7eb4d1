.PHONY: run test bench build check-asan fuzz package screenshot clean

SECONDS ?= 60

# Only the program and its helpers are built: the tests and the benchmarks wait for
# make test and make bench.
run:
	scripts/deps.sh run
	scripts/build.sh --target vendrel9
	build/bin/vendrel9

test:
	scripts/deps.sh test
	scripts/test.sh

bench:
	scripts/deps.sh bench
	scripts/bench.sh

# The whole suite built with AddressSanitizer and UndefinedBehaviorSanitizer. The modem
# shim is preloaded ahead of the sanitizer runtime, which therefore skips its link check.
check-asan:
	scripts/deps.sh test
	BUILD_DIR=build-asan ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  scripts/test.sh -DVENDREL9_SANITIZE=ON

# libFuzzer on opening, decoding and the first buffer, for SECONDS seconds. Seeds are
# generated; findings kept in tests/fuzz/regressions are replayed first.
fuzz:
	scripts/deps.sh fuzz
	scripts/fuzz.sh $(SECONDS)

# A Debian package of the program in build/.
package:
	scripts/deps.sh package
	scripts/build.sh --target vendrel9 --target vendrel9_docs
	cd build && cpack -G DEB

# Refreshes docs/screenshot.png from the real window under Xvfb.
screenshot:
	scripts/deps.sh screenshot
	scripts/build.sh --target vendrel9
	scripts/screenshot.sh docs/screenshot.png

build:
	scripts/deps.sh run
	scripts/build.sh --target vendrel9

clean:
	rm -rf build build-debug build-asan build-fuzz
