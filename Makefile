# The two commands of the README, and the benchmark.
BUILD ?= build
JOBS  ?= $(shell nproc)

.PHONY: all bootstrap build run test sanitize bench package clean

all: build

bootstrap:
	@bash scripts/bootstrap

build: bootstrap
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/app/quillmoss $(ARGS)

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)
	$(MAKE) --no-print-directory sanitize

# The engine, support and command-line tests once more, built with
# AddressSanitizer and UndefinedBehaviorSanitizer (the slow ones are left out).
sanitize: bootstrap
	cmake -S . -B $(BUILD)-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMOSS_SANITIZE=ON
	cmake --build $(BUILD)-sanitize -j $(JOBS) --target test_support test_engine test_cli quillmoss-squash
	cd $(BUILD)-sanitize && QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS) -L '^(support|engine|cli)$$'

# A Debian package in $(BUILD)/, once its metadata validates.
package: build
	cd $(BUILD) && ctest --output-on-failure -L package
	cd $(BUILD) && cpack

bench: build
	bash bench/run.sh $(BUILD)

clean:
	rm -rf $(BUILD)
