# Two commands for a fresh clone: `make run` (or `make run ROM=path/to/image.gba`) and `make test`.
BUILD := build
SANITIZE_BUILD := build-sanitize
JOBS := 2

.PHONY: build run test lint clean

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

# Without ROM, patches a copy of the bundled sample in $(BUILD)/demo.
run: build
ifdef ROM
	$(BUILD)/halvek "$(ROM)"
else
	mkdir -p $(BUILD)/demo
	cp examples/sample.gba $(BUILD)/demo/sample.gba
	cd $(BUILD)/demo && ../halvek sample.gba
endif

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DHALVEK_SANITIZE=ON
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && ctest --output-on-failure -j $(JOBS)

lint: build
	clang-format --dry-run -Werror header/* tool/* tests/*.cpp
	clang-tidy -p $(BUILD) --quiet 2>/dev/null header/*.cpp tool/*.cpp

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)
