# The two commands of the README, and the benchmark.
BUILD ?= build
JOBS  ?= $(shell nproc)

.PHONY: all bootstrap build run test bench clean

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

bench: build
	bash bench/run.sh $(BUILD)

clean:
	rm -rf $(BUILD)
