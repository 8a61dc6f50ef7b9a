# make run    installs what is missing, builds, and shows spiprobe at work
# make test   installs what is missing, builds, and runs every test
# make bench  runs the benchmarks
BUILD ?= build

.PHONY: all setup configure build test run bench clean

all: build

setup:
	@sh scripts/setup.sh $(BUILD)

configure: setup
	@[ -f $(BUILD)/build.ninja ] || cmake --preset default -B $(BUILD) >/dev/null

build: configure
	@cmake --build $(BUILD)

# The tests open and close their Wine session themselves (the fixture
# tests wine_session_start and wine_session_stop), as `ctest --preset default` does.
test: build
	@ctest --test-dir $(BUILD) --output-on-failure

run: build
	@sh scripts/wine-session.sh $(BUILD) sh scripts/run-demo.sh $(BUILD)

bench: build
	@sh scripts/wine-session.sh $(BUILD) sh scripts/run-bench.sh $(BUILD)

clean:
	rm -rf $(BUILD)
