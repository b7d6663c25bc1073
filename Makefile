# Everything starts from nothing: the venv is made, the tools are installed
# from the package registry and the extension is built before use.
VENV    := .venv
VPY     := $(VENV)/bin/python
STAMP   := $(VENV)/.tools-installed
TOOLS   := pip scikit-build-core cmake ninja pytest hypothesis numpy bitstruct
# bitloom_io's extras (tables, dask, XTCE), test references (bitstruct too,
# for venvs made before TOOLS had it) and the docs builder: a stamp of their
# own, renewed when this file changes, so that venvs made before a tool was
# added get it too.
IOSTAMP := $(VENV)/.io-tools-installed
IOTOOLS := pandas pyarrow "dask[dataframe,distributed]" mkdocs defusedxml space_packet_parser bitstruct \
           polars xarray matplotlib astropy-iers-data

.PHONY: test browser demo docs build bench bench-large clean venv sanitize fuzz fuzz-ci leaks typecheck sdist-check lint format

venv: $(STAMP)

$(STAMP):
	@set -e; py="$$(scripts/find-python)"; echo "using $$py"; \
	  "$$py" -m venv $(VENV); \
	  $(VPY) -m pip install --quiet --upgrade $(TOOLS)
	@touch $@

$(IOSTAMP): $(STAMP) Makefile
	$(VPY) -m pip install --quiet $(IOTOOLS)
	@touch $@

# The project's own builds treat warnings as errors; a user's install does not.
build: $(STAMP) $(IOSTAMP)
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps . \
	  --config-settings=cmake.define.BITLOOM_WERROR=ON

test: build browser
	$(VPY) -m pytest -q tests

# The report's test opens it in a real headless Chromium: Debian's, installed
# when no Chromium is on the PATH.
browser:
	@command -v chromium >/dev/null 2>&1 || command -v chromium-browser >/dev/null 2>&1 || { \
	  echo "installing Debian's chromium for the browser test"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && $$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium; }

# The whole suite against an ASan + UBSan build (own venv and build dir).
sanitize:
	scripts/sanitize

# Leak and reference-count checks alone.
leaks: build
	$(VPY) -m pytest -q -m leaks tests

# libFuzzer targets on the native routines: FUZZ_SECONDS per target.
FUZZ_SECONDS ?= 600
fuzz:
	fuzz/run $(FUZZ_SECONDS)

# The bounded run that CI does.
fuzz-ci:
	fuzz/run 60

JPSS := tests/data/realdata/jpss
CTIM := tests/data/realdata/ctim

demo: build
	@set -e; for f in examples/*.py; do echo "== $$f"; $(VPY) $$f; done
	@echo "== bitloom-io on the JPSS file"
	$(VENV)/bin/bitloom-io info $(JPSS)/J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1
	$(VENV)/bin/bitloom-io show $(JPSS)/ccsdspy_jpss1_geolocation.csv
	$(VENV)/bin/bitloom-io decode $(JPSS)/J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1 \
	  --layouts $(JPSS)/ccsdspy_jpss1_geolocation.csv --out build/demo/jpss
	@echo "== bitloom-io on the CTIM file, from its XTCE definition"
	$(VENV)/bin/bitloom-io show $(CTIM)/ctim_xtce_v1.xml | head -8
	$(VENV)/bin/bitloom-io decode $(CTIM)/ccsds_2021_155_14_39_51 --xtce $(CTIM)/ctim_xtce_v1.xml \
	  --out build/demo/ctim

# The user guide (docs/, mkdocs.yml) into build/site; any warning fails it.
docs: $(IOSTAMP)
	$(VPY) -m mkdocs build --strict --site-dir build/site

bench: build
	$(VPY) -m pip install --quiet bitstruct construct numpy ccsdspy
	@$(VPY) -m pip install --quiet cbitstruct 2>/dev/null || echo "cbitstruct does not install for this Python"
	$(VPY) bench/floor/build.py
	$(VPY) bench/run.py
	$(VPY) bench/layouts.py
	$(VPY) -m pip install --quiet space_packet_parser ccsdspy
	$(VPY) bench/xtce.py
	$(VPY) bench/stream.py
	$(VPY) bench/dask_bench.py
	$(VPY) bench/encode.py
	$(VPY) bench/times.py

# Whole files at the scale of a day of data: 1 GiB files made from the real
# packets in a temporary directory (never committed), deleted afterwards.
bench-large: build
	$(VPY) -m pip install --quiet ccsdspy space_packet_parser
	$(VPY) bench/large.py

# Checks beyond the test suite; CI runs them after `make test`.
DEVSTAMP := $(VENV)/.dev-tools-installed
DEVTOOLS := mypy build "ruff>=0.17,<0.18"

$(DEVSTAMP): $(STAMP)
	$(VPY) -m pip install --quiet --upgrade $(DEVTOOLS)
	@touch $@

# The installed stubs against the built modules (-P: the installed
# bitloom_io, not its sources here; bitloom_io's pure-Python modules are
# their own type information), then the typed examples, the typing checks
# and the README's Python examples under mypy --strict.
typecheck: build $(DEVSTAMP)
	$(VPY) -P -m mypy.stubtest --allowlist tests/typing/stubtest-allowlist.txt \
	  bitloom bitloom_io._native bitloom_io._check
	$(VPY) -m mypy --strict examples/typed_usage.py examples/typed_layout.py tests/typing
	$(VPY) scripts/typecheck-readme

# sdist and wheel with `python -m build`, then the sdist into a fresh venv.
sdist-check: $(DEVSTAMP)
	scripts/sdist-check $(VPY)

# ruff over the Python, clang-format (check only) and clang-tidy over src/;
# `make format` rewrites.
lint: $(STAMP)
	scripts/lint

format:
	scripts/lint format

# The Python-free core compiled for x86_64 Windows and arm64 macOS with zig's
# clang (PyPI's ziglang, installed into the venv).
portability: $(STAMP)
	scripts/portability

clean:
	rm -rf build dist $(VENV) .venv-sanitize .pytest_cache .mypy_cache
