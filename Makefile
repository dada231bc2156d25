# Entry points: `make test` (everything, twice: optimised, then under sanitizers; then the fuzz
# targets), `make check` (the fast suites of the optimised build), `make fuzz`, `make bench`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc)
PACKAGES   := cmake ninja-build g++ pkg-config libsnmp-dev snmp snmpd snmptrapd libfmt-dev \
              libgtest-dev libgmock-dev libbenchmark-dev libsimdjson-dev clang-format smitools \
              libsystemd-dev dpkg-dev socat clang libfuzzer-14-dev libclang-rt-14-dev \
              python3-pytest lintian help2man prometheus prometheus-snmp-exporter libjemalloc-dev \
              libabsl-dev

.PHONY: all deps packages build build-asan build-fuzz package check test test-release test-asan test-fuzz fuzz \
        bench bench-walk soak run prometheus-config clean

all: build

deps: packages node_modules/.package-lock.json

# Debian's packages, plus Node.js and npm unless an npm is already there (another Node.js
# distribution brings its own, which Debian's npm would conflict with).
packages:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | \
	  grep -q '^install ok installed' || echo $$p; done); \
	command -v npm >/dev/null || missing="$$missing nodejs npm"; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q $$missing; \
	fi

# The npm package net-snmp, for the IETF MIB modules it ships (the MIB module imports them) and
# for its SNMP client, which InteropTest compares with the snmp clients.
# npm rewrites its hidden lockfile on every install, so this runs again only after a change.
node_modules/.package-lock.json: package.json package-lock.json | packages
	npm ci --no-audit --no-fund --loglevel=error

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release

$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=ON

build: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

build-asan: $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# The libFuzzer targets, built with clang (the other builds use g++).
$(FUZZ_BUILD)/build.ninja:
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFUZZ=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++

build-fuzz: $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

# The Debian package, build/stormcontrol-agent_VERSION_ARCH.deb.
package: build
	cd $(BUILD) && cpack

# The developer's quick loop: the optimised tree and every suite but the soak and the package,
# without installing anything, sanitizers or fuzzing.
check: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) -LE 'soak|package'

test-release: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# Replays the fuzz corpora and regressions, then fuzzes each target for TEST_FUZZ_S seconds.
TEST_FUZZ_S ?= 60
test-fuzz: build-fuzz
	ctest --test-dir $(FUZZ_BUILD) --output-on-failure
	tests/fuzz/run.sh $(FUZZ_BUILD) $(TEST_FUZZ_S)

test: deps
	$(MAKE) test-release
	$(MAKE) test-asan
	$(MAKE) test-fuzz

# Each fuzz target for FUZZ_S seconds, new inputs kept in $(FUZZ_BUILD)/fuzz/<target>/corpus.
FUZZ_S ?= 300
fuzz: deps build-fuzz
	tests/fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_S)

BENCH_FLAGS ?= --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

bench: deps build
	$(BUILD)/bin/table_bench $(BENCH_FLAGS)
	$(BUILD)/bin/sm_bench $(BENCH_FLAGS)

# CPU per full walk of the daemon beside three baseline agents, at 40,000 and 400,000 rows.
bench-walk: deps build
	bench/walk.sh $(BUILD)

# The soak: the daemon under walks, changes, flaps and restarts for SOAK_S seconds (`make test`
# runs it for 60 among the tests).
SOAK_S ?= 600

soak: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target stormcontrol-agent StormControlSnmp
	SOAK_S=$(SOAK_S) STORMCONTROL_AGENT=$(abspath $(BUILD))/bin/stormcontrol-agent \
	  PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -p no:cacheprovider -s \
	  -m soak tests/host/system/test_soak.py

# The SNMP exporter's module prometheus/snmp.yml, made anew from prometheus/generator.yml and
# the MIB module by Debian's generator (a test fails while the checked-in one differs).
prometheus-config: deps
	prometheus/generate.sh node_modules/net-snmp/lib/mibs

# The daemon on the simulated switch, in the foreground (Ctrl-C stops it), on port RUN_PORT. Its
# net-snmp engine state (engine ID and boots) stays in the build tree, whoever runs it, never in
# an installed service's directory.
RUN_PORT  ?= 1161
RUN_STATE := $(abspath $(BUILD))/run-state
# The snmp clients' options that load the MIB module and the IETF modules it imports.
MIB_OPTS  := -M +$(CURDIR)/mibs:$(CURDIR)/node_modules/net-snmp/lib/mibs -m BRELTA-STORM-CONTROL-MIB

run: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target stormcontrol-agent stormcontrol-oids
	@eval "$$($(BUILD)/bin/stormcontrol-oids)"; \
	  echo "Serving the simulated switch on udp:127.0.0.1:$(RUN_PORT); query it with:"; \
	  echo "  snmpbulkwalk -v2c -c public 127.0.0.1:$(RUN_PORT) $$TABLE_OID"
	@echo "or, with the MIB module loaded:"
	@echo "  snmptable -v2c -c public $(MIB_OPTS) -Ci 127.0.0.1:$(RUN_PORT) breltaStormControlIfTable"
	@echo "net-snmp's engine state: $(RUN_STATE)"
	$(BUILD)/bin/stormcontrol-agent --listen udp:127.0.0.1:$(RUN_PORT) --persistent-dir $(RUN_STATE)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
