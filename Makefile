# The two commands a newcomer needs: `make run` and `make test`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
PYTHON     := /usr/bin/python3

.PHONY: all deps build asan run test unit unit-asan e2e bench clean

all: build

deps:
	scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQM_SANITIZE=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)

run: build
	mkdir -p var/logs
	$(BUILD)/quillmoss -f -c conf/quillmoss.xml -s conf/section.xml \
	  -l var/logs/quillmoss.log -a var/logs/access.log -e var/logs/extended.log \
	  -r var/logs/performance.log

unit: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

unit-asan: asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

e2e: build
	$(PYTHON) -m pytest -q tests/e2e

test: unit unit-asan e2e

bench: build
	bench/run

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
