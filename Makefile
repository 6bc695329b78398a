# Entry points. Each target installs what the machine lacks, configures,
# builds and runs.
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 20

.PHONY: deps demo test test-asan test-tsan fuzz-smoke bench clean

deps:
	@scripts/install-deps

demo: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)
	scripts/with-jack build/default/sim/machine/orvo-demo
	scripts/machine-demo build/default
	@if [ -e build/default/classcomp/asio/libOrvoUac2Asio.so ]; then \
	  build/default/sim/asiohost/orvo-asio-host --machine --buffers --seconds 3 --signal sine; fi
	scripts/with-jack scripts/demo-panel build/default
	scripts/demo-buffersize build/default

test: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)
	scripts/with-jack ctest --preset default

test-asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)
	scripts/with-jack ctest --preset asan

test-tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS)
	scripts/with-jack ctest --preset tsan

fuzz-smoke: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	scripts/fuzz-smoke build/fuzz $(FUZZ_SECONDS)

bench: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	@for b in $$(find build/release/bench -maxdepth 1 -type f -executable | sort); do echo "== $$b"; $$b || exit 1; done

clean:
	rm -rf build
