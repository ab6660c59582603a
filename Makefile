# The project's verbs.  `make help` lists them.

PYTHON ?= 3.12
# The primary interpreter gets .venv; any other gets a venv of its own.
VENV ?= $(if $(filter 3.12,$(PYTHON)),.venv,.venv-$(notdir $(PYTHON)))
BIN := $(VENV)/bin

SOURCES := props_to_tree/_props_to_tree.cpp $(wildcard props_to_tree/*.py props_to_tree/*.pyi) \
	props_to_tree/py.typed CMakeLists.txt pyproject.toml
PYTEST_ARGS ?=
comma := ,

.PHONY: help venv build demo lint format wheel bench test test-gcc test-clang test-compilers check check-asan check-valgrind fuzz clean

help:
	@echo "make demo            list the example config's properties, then change two by path"
	@echo "make venv            create $(VENV) with Python $(PYTHON) and install the package for development"
	@echo "make test            build and run the test suite (PYTHON=3.13 or a path selects the interpreter)"
	@echo "make test-compilers  build with gcc and clang, warnings as errors, and test both builds"
	@echo "make check           the suite under ASan+UBSan, the driver under valgrind, and a short fuzz run"
	@echo "make fuzz            fuzz both functions against the model (FUZZ_SECONDS=$(FUZZ_SECONDS))"
	@echo "make bench           time both functions against pure Python and PyPI peers (BENCH_ARGS=--quick)"
	@echo "make lint            clang-format, clang-tidy, ruff, mypy --strict and stubtest"
	@echo "make format          reformat the C++ and Python sources"
	@echo "make wheel           build the wheel and sdist into dist/"
	@echo "make clean           remove builds and virtual environments"

$(BIN)/python:
	@py=$$(scripts/find-python $(PYTHON)) || exit 1; \
	echo "creating $(VENV) with $$py"; \
	"$$py" -m venv $(VENV)
	$(BIN)/python -m pip install -qq --upgrade pip scikit-build-core

# Builds in the venv's own build tree, so that a rebuild is incremental.
PIP_INSTALL = $(BIN)/python -m pip install -qq --no-build-isolation \
	-C build-dir=build/wheel-$(notdir $(VENV))

$(VENV)/.installed: $(BIN)/python $(SOURCES)
	$(PIP_INSTALL) ".[test,dev]"
	$(PIP_INSTALL) --no-deps --force-reinstall .
	@touch $@

venv: $(VENV)/.installed

build: venv

demo: venv
	cd examples && ../$(BIN)/python -m props_to_tree service.toml
	cd examples && ../$(BIN)/python -m props_to_tree service.toml --set db.port=5433 --set 'service.tags=["api"]'

PY_SOURCES := props_to_tree tests bench

lint: build/clang/.built
	clang-format --dry-run --Werror props_to_tree/_props_to_tree.cpp
	clang-tidy --quiet -p build/clang props_to_tree/_props_to_tree.cpp
	$(BIN)/ruff check $(PY_SOURCES)
	$(BIN)/ruff format --check $(PY_SOURCES)
	cd / && $(abspath $(BIN))/mypy --strict $(abspath tests/typecheck_usage.py)
	cd / && $(abspath $(BIN))/python -m mypy.stubtest props_to_tree

format: venv
	clang-format -i props_to_tree/_props_to_tree.cpp
	$(BIN)/ruff check --fix-only --quiet $(PY_SOURCES)
	$(BIN)/ruff format $(PY_SOURCES)

BENCH_ARGS ?=

$(VENV)/.bench: $(VENV)/.installed
	$(PIP_INSTALL) ".[bench]"
	@touch $@

bench: $(VENV)/.bench
	cd bench && ../$(BIN)/python run.py $(BENCH_ARGS)

wheel: venv
	rm -rf dist
	$(BIN)/python -m build --outdir dist .

test: venv
	$(BIN)/pytest $(PYTEST_ARGS)

# Builds straight from CMake into build/<name>, laid out as an importable
# package; PYTHONPATH=build/<name> makes the tests import that build.
CMAKE_FLAGS_gcc := -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Release
CMAKE_FLAGS_clang := -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release

build/%/.built: $(SOURCES) | venv
	$(BIN)/cmake -S . -B build/$* -G Ninja -DPython_EXECUTABLE=$(abspath $(BIN)/python) \
		-DPROPS_TO_TREE_WERROR=ON $(CMAKE_FLAGS_$*) > build/$*.configure.log \
		|| { cat build/$*.configure.log; exit 1; }
	$(BIN)/cmake --build build/$*
	@touch $@

test-gcc test-clang: test-%: build/%/.built
	PYTHONPATH=$(abspath build/$*) $(BIN)/pytest -m "not packaging" $(PYTEST_ARGS)

test-compilers: test-gcc test-clang

# --- Memory checking -------------------------------------------------------

# $(call clang_sanitized,SANITIZERS[,EXTRA CXXFLAGS]): a clang build with them.
clang_sanitized = -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=None \
	"-DCMAKE_CXX_FLAGS=-O1 -g -fno-omit-frame-pointer -fsanitize=$(1) $(2)" \
	"-DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=$(1)"
CMAKE_FLAGS_asan := $(call clang_sanitized,address$(comma)undefined,-fno-sanitize-recover=undefined)
CMAKE_FLAGS_fuzz := $(call clang_sanitized,address$(comma)fuzzer-no-link)
CMAKE_FLAGS_debug := -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo

# pymalloc would hide the module's heap errors from both tools.  The
# interpreter's own allocations at exit drown any leak report; leaks are
# covered by the reference and allocation-failure tests instead.
ASAN_ENV = PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Reports go to files: pytest captures the stderr of a process that ASan ends.
check-asan: build/asan/.built
	@rm -f build/asan/report.*
	PYTHONPATH=$(abspath build/asan) $(ASAN_ENV):log_path=$(abspath build/asan/report) \
	LD_PRELOAD=$$(clang -print-file-name=libclang_rt.asan-x86_64.so) \
		$(BIN)/pytest -q -p no:cacheprovider -m "not packaging" $(PYTEST_ARGS) \
		|| { cat build/asan/report.* 2>/dev/null; exit 1; }
	@! cat build/asan/report.* 2>/dev/null

VALGRIND := valgrind --quiet --error-exitcode=99 --leak-check=no --track-origins=yes

check-valgrind: build/debug/.built
	PYTHONPATH=$(abspath build/debug) PYTHONMALLOC=malloc \
		timeout 600 $(VALGRIND) $(BIN)/python tests/valgrind_driver.py

FUZZ_SECONDS ?= 60

$(VENV)/.fuzz: $(VENV)/.installed
	$(PIP_INSTALL) ".[fuzz]"
	@touch $@

fuzz: build/fuzz/.built $(VENV)/.fuzz
	@mkdir -p build/fuzz-corpus
	PYTHONPATH=$(abspath build/fuzz) $(ASAN_ENV) \
	LD_PRELOAD=$$($(BIN)/python -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so \
		$(BIN)/python tests/fuzz.py -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=4096 \
		-print_final_stats=1 -artifact_prefix=build/fuzz- build/fuzz-corpus

check: check-asan check-valgrind
	$(MAKE) fuzz FUZZ_SECONDS=$(or $(CHECK_FUZZ_SECONDS),30)

clean:
	rm -rf build .venv .venv-* dist *.egg-info .pytest_cache .hypothesis .mypy_cache .ruff_cache
