# make demo | make test | make check | make bench | make bench-publish | make verify-math | make lint
# PYTHON picks the interpreter; NUMPY a numpy series to run with (NUMPY=1.21
# installs numpy==1.21.*; by default the newest the build requirements allow).
# Each interpreter and numpy pair gets its own virtual environment.
PYTHON ?= python3
NUMPY ?=
ifeq ($(PYTHON),python3)
VENV ?= .venv$(if $(NUMPY),-numpy$(NUMPY))
else
VENV ?= .venv-$(notdir $(PYTHON))$(if $(NUMPY),-numpy$(NUMPY))
endif
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
SOURCES := $(wildcard vesk_ext/src/*.cpp vesk_ext/src/*.h vesk_ext/src/*.pyi vesk/*.py vesk/py.typed) CMakeLists.txt pyproject.toml
# CMake definitions for the module build; the project's own builds keep the
# sources warning-free. BUILD_SETTINGS: further settings of the build backend.
CMAKE_DEFINES ?= -DVESK_WERROR=ON
BUILD_SETTINGS ?=

.PHONY: all venv build test demo bench wheel test-wheel clean

all: test

# What building needs: the build requirements of pyproject.toml, so that
# rebuilds need no isolated environment, and numpy.
$(VENV)/.deps: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PY) .ci/requirements.py build dev > $(VENV)/requirements.txt
	$(PIP) install -q --only-binary numpy -r $(VENV)/requirements.txt
	touch $@

# What the suite needs besides: the test tools, and the optional dask cluster,
# progress bar and formulas (sympy) of the vesk package, which the suite runs too.
$(VENV)/.test-deps: $(VENV)/.deps
	$(PY) .ci/requirements.py test distributed progress formula > $(VENV)/test-requirements.txt
	$(PIP) install -q --only-binary numpy -r $(VENV)/test-requirements.txt
	$(if $(NUMPY),$(PIP) install -q --only-binary numpy "numpy==$(NUMPY).*")
	touch $@

venv: $(VENV)/.deps

# With NUMPY set, the module is still built against the numpy of the build
# requirements (as pip builds it), and the chosen numpy replaces it afterwards.
$(VENV)/.built: $(VENV)/.deps $(SOURCES)
	$(if $(NUMPY),$(PIP) install -q --only-binary numpy -r $(VENV)/requirements.txt)
	$(PIP) install -q --no-build-isolation --no-deps --force-reinstall \
	    -C build-dir=$(VENV)/build -C cmake.args="$(CMAKE_DEFINES)" $(BUILD_SETTINGS) .
	$(if $(NUMPY),$(PIP) install -q --only-binary numpy "numpy==$(NUMPY).*")
	touch $@

build: $(VENV)/.built

# -rs: the reason of every skipped test is printed.
test: build $(VENV)/.test-deps
	$(PY) -m pytest -q -rs tests

# The inner loop: the suite without the tests marked slow (clusters, child
# interpreters at scale, the bench's smoke run, cold mypy runs, the
# browser; tests/conftest.py lists them by what they cost).
.PHONY: check
check: build $(VENV)/.test-deps
	$(PY) -m pytest -q -rs -m "not slow" tests

# The suite again, with the module built under AddressSanitizer and
# UndefinedBehaviorSanitizer in a virtual environment of its own. The
# interpreter is not instrumented: the runtime is preloaded and the
# interpreter's own allocator is bypassed, so that every object is checked.
# The leak checker runs at the exit of every process. The interpreter leaves
# a few KB of its own there, so only blocks whose allocation stack passes
# through the module count (tests/sanitizer_reports.py); as the fast unwinder
# often stops inside the interpreter, tests/test_leaks.py also runs a loop
# that creates, trains, copies, pickles and destroys graphs in a child with
# whole stacks. Reports go to files, so that one from a child interpreter
# cannot go unseen; a leak report leaves a process's exit status as it was,
# any other report fails it. pytest leaves the standard error uncaptured: a
# report the runtime writes there as it stops the process is seen in the log.
ASAN_VENV ?= .venv-asan
ASAN_REPORTS = $(CURDIR)/$(ASAN_VENV)/sanitizer-reports
.PHONY: test-asan
test-asan:
	$(MAKE) build $(ASAN_VENV)/.test-deps VENV=$(ASAN_VENV) \
	    CMAKE_DEFINES="-DVESK_WERROR=ON;-DVESK_SANITIZE=address,undefined" BUILD_SETTINGS="-C install.strip=false"
	rm -rf $(ASAN_REPORTS) && mkdir -p $(ASAN_REPORTS)
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so)" PYTHONMALLOC=malloc \
	    ASAN_OPTIONS=detect_leaks=1:log_path=$(ASAN_REPORTS)/asan \
	    LSAN_OPTIONS=exitcode=0 \
	    UBSAN_OPTIONS=print_stacktrace=1:log_path=$(ASAN_REPORTS)/ubsan \
	    VESK_TEST_ASAN=1 $(ASAN_VENV)/bin/python -m pytest -q --capture=sys tests; \
	status=$$?; $(ASAN_VENV)/bin/python tests/sanitizer_reports.py $(ASAN_REPORTS); reports=$$?; \
	test $$status -eq 0 && test $$reports -eq 0

# A long, randomised session of the graph state machine (FUZZ_EXAMPLES
# examples; the suite runs a short, repeatable one) and a longer leak check.
FUZZ_EXAMPLES ?= 5000
.PHONY: fuzz
fuzz: build $(VENV)/.test-deps
	VESK_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) VESK_LEAK_QUERIES=1000000 $(PY) -m pytest -q -s tests/test_fuzz.py tests/test_leaks.py

# The demo's plotting dependency (the "demo" extra); the demo runs without
# it and skips its plot, so a failed install does not stop it.
$(VENV)/.demo-deps: $(VENV)/.deps
	$(PY) .ci/requirements.py demo > $(VENV)/demo-requirements.txt
	$(PIP) install -q -r $(VENV)/demo-requirements.txt && touch $@ \
	    || echo "The demo's plotting dependency could not be installed; the demo runs without its plot."

demo: build $(VENV)/.demo-deps
	$(PY) examples/demo.py

# The benchmark suite (bench/suite.py; not part of `make test`). Its peers
# (the "bench" extra: numba, PyTorch's CPU build, matplotlib for the chart) are
# installed first; BENCH_ARGS passes options to the suite. `make bench` writes
# to build/bench; `make bench-publish` also runs the measurements behind
# --full and writes the committed results in bench/results.
$(VENV)/.bench-deps: $(VENV)/.deps
	$(PY) .ci/requirements.py bench > $(VENV)/bench-requirements.txt
	$(PIP) install -q -r $(VENV)/bench-requirements.txt
	touch $@

.PHONY: bench-publish
bench: build $(VENV)/.bench-deps
	$(PY) bench/suite.py --out build/bench $(BENCH_ARGS)

bench-publish: build $(VENV)/.bench-deps
	$(PY) bench/suite.py --full --out bench/results $(BENCH_ARGS)

# Every form of the module's own float functions against the C library over
# all 2^32 float inputs, on every core (tools/verify_math.py); fails on any
# result that differs. The C library must be this CPU's FMA build, as on
# any CPU with FMA.
.PHONY: verify-math
verify-math: build
	$(PY) tools/verify_math.py

# The linters: ruff over the Python code, clang-format's check of the C++
# sources (.clang-format) and mypy --strict over the package.
$(VENV)/.lint-deps: $(VENV)/.deps
	$(PY) .ci/requirements.py lint > $(VENV)/lint-requirements.txt
	$(PIP) install -q -r $(VENV)/lint-requirements.txt
	touch $@

.PHONY: lint
lint: build $(VENV)/.lint-deps
	$(VENV)/bin/ruff check vesk tests bench examples tools .ci
	$(VENV)/bin/clang-format --dry-run --Werror vesk_ext/src/*.cpp vesk_ext/src/*.h
	$(PY) -m mypy --strict vesk

# A wheel and an sdist in dist/, built as pip builds them (in isolation, with
# the build requirements of pyproject.toml); the wheel is repaired to a
# manylinux tag, and the untagged one removed.
DIST ?= dist
$(VENV)/.dist-deps: $(VENV)/.deps
	$(PY) .ci/requirements.py dist > $(VENV)/dist-requirements.txt
	$(PIP) install -q -r $(VENV)/dist-requirements.txt
	touch $@

wheel: $(VENV)/.dist-deps
	rm -rf $(DIST)
	PIP_ONLY_BINARY=numpy $(PY) -m build --outdir $(DIST) .
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" auditwheel repair --wheel-dir $(DIST) $(DIST)/*-linux_x86_64.whl
	rm $(DIST)/*-linux_x86_64.whl
	ls $(DIST)

# The wheel as a user meets it: installed from dist/ into a fresh virtual
# environment with no compiler on PATH, beside numpy WHEEL_NUMPY (by default
# numpy 1.x, which the wheel, built against numpy 2, must serve too). The
# README's first example runs there with its printed output checked, then
# the whole suite.
WHEEL_NUMPY ?= 1.26
WHEEL_VENV ?= .venv-wheel-numpy$(WHEEL_NUMPY)
NO_COMPILER := env PATH="$(CURDIR)/$(WHEEL_VENV)/bin" CC=false CXX=false
test-wheel: wheel
	rm -rf $(WHEEL_VENV)
	$(PYTHON) -m venv $(WHEEL_VENV)
	$(PY) .ci/requirements.py test > $(WHEEL_VENV)/requirements.txt
	$(NO_COMPILER) $(WHEEL_VENV)/bin/python -m pip install -q --only-binary :all: \
	    -r $(WHEEL_VENV)/requirements.txt "numpy==$(WHEEL_NUMPY).*" $(DIST)/*.whl
	cd $(WHEEL_VENV) && $(NO_COMPILER) bin/python $(CURDIR)/tests/test_readme.py --first
	$(WHEEL_VENV)/bin/python -m pytest -q tests

clean:
	rm -rf .venv .venv-* build dist
