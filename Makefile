# make run    installs what is missing, builds, and shows spiprobe at work
# make test   installs what is missing, builds, and runs every test
# make bench  runs the benchmarks
# make dist   packs build/dist/spiprobe-<version>-win.zip for Windows users
# make campaign [SEEDS=N] [FIRST=K] [CHECK_EVERY=M]  a longer seeded campaign
# Two build trees: $(BUILD) for 32-bit Windows and $(BUILD)/x64 for x64.
BUILD ?= build
X64 = $(BUILD)/x64

.PHONY: all setup configure build test run bench dist campaign clean

all: build

setup:
	@sh scripts/setup.sh $(BUILD)

configure: setup
	@[ -f $(BUILD)/build.ninja ] || cmake --preset default -B $(BUILD) >/dev/null
	@[ -f $(X64)/build.ninja ] || cmake --preset x64 -B $(X64) \
	  -DSPI_WINE_PREFIX=$(abspath $(BUILD))/wineprefix >/dev/null

build: configure
	@cmake --build $(BUILD)
	@cmake --build $(X64)
	@cmake --build $(BUILD) --target peer_runner peer_spicheck

# Each tree's tests open and close their Wine session themselves (the
# fixture tests wine_session_start and wine_session_stop), as
# `ctest --preset default` and `ctest --preset x64` do; both trees share the
# prefix in $(BUILD). Both run, and either failing fails the target. The
# package is made first: a test of the 32-bit tree unpacks and runs it.
# scripts/run-tests.sh says what it leaves out on a machine that cannot
# run 32-bit programs.
test: build
	@sh scripts/run-tests.sh $(BUILD)

# What the demonstration runs, and nothing more: a first `make run` need not
# wait for the tests' programs and plug-ins.
DEMO_TARGETS = spiprobe spicheck spirunner bmp tar defect_null_callback

run: configure
	@cmake --build $(BUILD) --target $(DEMO_TARGETS)
	@cmake --build $(X64) --target $(DEMO_TARGETS) peer_runner peer_spicheck
	@cmake --build $(BUILD) --target peer_runner peer_spicheck
	@sh scripts/wine-session.sh $(BUILD) sh scripts/run-demo.sh $(BUILD)

dist: build
	@sh scripts/wine-session.sh $(BUILD) cmake --build $(BUILD) --target dist

bench: build
	@sh scripts/wine-session.sh $(BUILD) sh scripts/run-bench.sh $(BUILD)

# The tests' seeded campaign, longer: spiprobe on SEEDS seeds from FIRST on
# the hostile plug-in, spicheck on every CHECK_EVERY-th of them.
SEEDS ?= 1000
FIRST ?= 1
CHECK_EVERY ?= 5
campaign: build
	@SPI_CAMPAIGN_SEEDS=$(SEEDS) SPI_CAMPAIGN_FIRST=$(FIRST) SPI_CAMPAIGN_CHECK_EVERY=$(CHECK_EVERY) \
	 sh scripts/wine-session.sh $(BUILD) $(abspath $(BUILD))/wine-run.sh \
	 $(abspath $(BUILD))/bin/test_campaign.exe

clean:
	rm -rf $(BUILD)
