# make run    installs what is missing, builds, and shows spiprobe at work
# make test   installs what is missing, builds, and runs every test
# make bench  runs the benchmarks
# Two build trees: $(BUILD) for 32-bit Windows and $(BUILD)/x64 for x64.
BUILD ?= build
X64 = $(BUILD)/x64

.PHONY: all setup configure build test run bench clean

all: build

setup:
	@sh scripts/setup.sh

configure: setup
	@[ -f $(BUILD)/build.ninja ] || cmake --preset default -B $(BUILD) >/dev/null
	@[ -f $(X64)/build.ninja ] || cmake --preset x64 -B $(X64) \
	  -DSPI_WINE_PREFIX=$(abspath $(BUILD))/wineprefix >/dev/null

build: configure
	@cmake --build $(BUILD)
	@cmake --build $(X64)

# One Wine session for both trees: they share the prefix in $(BUILD).
test: build
	@sh scripts/wine-session.sh $(BUILD) sh -c \
	  'ctest --test-dir "$$1" --output-on-failure; s=$$?; \
	   ctest --test-dir "$$2" --output-on-failure && exit $$s' - $(BUILD) $(X64)

run: build
	@sh scripts/wine-session.sh $(BUILD) sh scripts/run-demo.sh $(BUILD)

bench: build
	@sh scripts/wine-session.sh $(BUILD) sh scripts/run-bench.sh $(BUILD)

clean:
	rm -rf $(BUILD)
