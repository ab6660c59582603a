# The project's verbs: `make help` lists each target that has a `## ` comment.

PYTHON ?= 3.12
# The primary interpreter gets .venv; any other gets a venv of its own.
VENV ?= $(if $(filter 3.12,$(PYTHON)),.venv,.venv-$(notdir $(PYTHON)))
BIN := $(VENV)/bin

CXX_SOURCES := props_to_tree/_props_to_tree.cpp props_to_tree/_listing.cpp \
	props_to_tree/_yaml.cpp
SOURCES := $(CXX_SOURCES) $(wildcard props_to_tree/*.py props_to_tree/*.pyi props_to_tree/_*/*.py props_to_tree/_*/*/*.py) \
	props_to_tree/py.typed CMakeLists.txt pyproject.toml
PYTEST_ARGS ?=
comma := ,
# The sanitizer runtimes are named after the processor: x86_64, aarch64, ...
ARCH := $(shell uname -m)

.PHONY: help venv build demo lint format wheel bench stress test test-gcc test-clang test-compilers \
	coverage check check-asan check-valgrind fuzz clean

help: ## list the verbs
	@awk -F':.*## ' '/^[a-z-]+:.*## / {printf "make %-15s %s\n", $$1, $$2}' $(MAKEFILE_LIST)

$(BIN)/python:
	@py=$$(scripts/find-python $(PYTHON)) || exit 1; \
	echo "creating $(VENV) with $$py"; \
	"$$py" -m venv $(VENV)
	$(BIN)/python -m pip install -qq --upgrade pip scikit-build-core

# Builds in the venv's own build tree, so that a rebuild is incremental.
PIP_INSTALL = $(BIN)/python -m pip install -qq --no-build-isolation \
	-C build-dir=build/wheel-$(notdir $(VENV))

$(VENV)/.installed: $(BIN)/python $(SOURCES)
	$(PIP_INSTALL) --group test --group dev .
	# pip skips a package whose version has not changed: force the freshly
	# built one in, without touching the dependencies just installed.
	$(PIP_INSTALL) --no-deps --force-reinstall .
	@touch $@

venv: $(VENV)/.installed ## create the virtual environment and install the package into it

build: venv

CLI := $(BIN)/props-to-tree
DEMO := build/demo

demo: venv ## list the examples, edit copies in place, apply a listing back
	$(CLI) examples/service.toml
	$(CLI) examples/tsconfig.jsonc
	$(CLI) examples/deployment.yaml --get '[0].spec.template.spec.containers[0]'
	@rm -rf $(DEMO) && mkdir -p $(DEMO) && cp examples/* $(DEMO)/
	$(CLI) $(DEMO)/service.toml -i --set db.port=5433 --set 'service.tags=["api"]'
	$(CLI) $(DEMO)/service.yaml -i --set db.port=5433 --delete service.replicas
	$(CLI) $(DEMO)/tsconfig.jsonc -i --set compilerOptions.target=ES2022 \
		--set compilerOptions.noEmit=true
	$(CLI) $(DEMO)/deployment.yaml -i \
		--set '[kind=Deployment].spec.template.spec.containers[name=web].image=nginx:1.27' \
		--set '[kind=Service].spec.ports[1]={port: 443, targetPort: 443}'
	test "$$($(CLI) $(DEMO)/deployment.yaml --get '[*].spec.template.spec.containers[*].image')" = nginx:1.27
	$(CLI) examples/service.toml --diff --set db.port=5433 --set service.replicas=4
	$(CLI) $(DEMO)/service.json $(DEMO)/service.yaml -i --set logging.level=debug
	$(CLI) $(DEMO)/service.json $(DEMO)/service.yaml --get logging.level
	for f in service.toml service.yaml tsconfig.jsonc deployment.yaml service.json; do \
		diff -u examples/$$f $(DEMO)/$$f; test $$? = 1 || exit 1; done
	for f in examples/*; do $(CLI) $$f | $(CLI) $$f --apply - | cmp - $$f || exit 1; done
	@echo "every listing applied back: the same bytes"
	$(BIN)/python scripts/demo_edit.py $(DEMO)

PY_SOURCES := props_to_tree tests bench scripts/*.py

lint: build/clang/.built ## clang-format, clang-tidy, ruff, mypy --strict, stubtest
	clang-format --dry-run --Werror $(CXX_SOURCES)
	clang-tidy --quiet -p build/clang $(CXX_SOURCES)
	$(BIN)/ruff check $(PY_SOURCES)
	$(BIN)/ruff format --check $(PY_SOURCES)
	cd / && $(abspath $(BIN))/mypy --strict -p props_to_tree
	cd / && $(abspath $(BIN))/mypy --strict $(abspath tests/typecheck_usage.py)
	@mkdir -p build && $(BIN)/python scripts/readme_examples.py > build/readme_examples.py
	cd / && $(abspath $(BIN))/mypy --strict $(abspath build/readme_examples.py)
	cd / && $(abspath $(BIN))/python -m mypy.stubtest props_to_tree._props_to_tree \
		props_to_tree._listing props_to_tree._yaml

format: venv ## reformat the C++ and Python sources
	clang-format -i $(CXX_SOURCES)
	$(BIN)/ruff check --fix-only --quiet $(PY_SOURCES)
	$(BIN)/ruff format $(PY_SOURCES)

wheel: venv ## build the wheel and sdist into dist/
	rm -rf dist
	$(BIN)/python -m build --outdir dist .

test: venv ## build and run the tests (PYTHON=3.13 or a path selects the interpreter)
	$(BIN)/pytest $(PYTEST_ARGS)

# --- Benchmarks ---------------------------------------------------------------

BENCH_ARGS ?=
BENCH_OUT := $(if $(filter --quick,$(BENCH_ARGS)),build/bench-quick.json,bench/results/results.json)

$(VENV)/.bench: $(VENV)/.installed pyproject.toml
	$(PIP_INSTALL) --group bench
	scripts/install-peers
	@touch $@

bench: $(VENV)/.bench ## time both functions and the command against peers (BENCH_ARGS=--quick)
	@mkdir -p $(dir $(BENCH_OUT)) && rm -f $(BENCH_OUT)
	$(BIN)/python bench/run.py --quiet $(BENCH_ARGS) -o $(BENCH_OUT)
	$(BIN)/python bench/report.py $(BENCH_OUT) \
		$(if $(filter --quick,$(BENCH_ARGS)),,--readme README.md)

stress: $(VENV)/.bench ## concurrent edits, killed runs, alias bombs, memory (STRESS_ARGS=--quick)
	$(BIN)/python scripts/stress.py $(STRESS_ARGS)

# --- Compilers and coverage -----------------------------------------------------

# Builds straight from CMake into build/<name>, laid out as an importable
# package; PYTHONPATH=build/<name> makes the tests import that build.
CMAKE_FLAGS_gcc := -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Release
CMAKE_FLAGS_clang := -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release
CMAKE_FLAGS_coverage := -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=None \
	"-DCMAKE_CXX_FLAGS=-O0 -g --coverage" "-DCMAKE_MODULE_LINKER_FLAGS=--coverage"

build/%/.built: $(SOURCES) | venv
	$(BIN)/cmake -S . -B build/$* -G Ninja -DPython_EXECUTABLE=$(abspath $(BIN)/python) \
		-DPROPS_TO_TREE_WERROR=ON $(CMAKE_FLAGS_$*) > build/$*.configure.log \
		|| { cat build/$*.configure.log; exit 1; }
	$(BIN)/cmake --build build/$*
	@touch $@

test-gcc test-clang: test-%: build/%/.built
	PYTHONPATH=$(abspath build/$*) $(BIN)/pytest -m "not packaging" $(PYTEST_ARGS)

test-compilers: test-gcc test-clang ## gcc and clang builds, warnings as errors, both tested

COVERAGE_MIN_LINES ?= 98

coverage: build/coverage/.built ## line and branch coverage of the module and the package
	@find build/coverage -name "*.gcda" -delete; rm -f .coverage .coverage.*
	@# Not -m pytest: that would put the sources, which hold no built module, first on sys.path.
	PYTHONPATH=$(abspath build/coverage) $(BIN)/coverage run $(BIN)/pytest -q -p no:cacheprovider \
		-m "not packaging" $(PYTEST_ARGS)
	$(BIN)/coverage combine -q && $(BIN)/coverage report
	@# --merge-lines: the listing's walk is one template, checking and listing; a
	@# refusal only the check can meet is still a line the suite runs.
	$(BIN)/gcovr --root . --filter props_to_tree/ --print-summary --txt-metric branch --merge-lines \
		--fail-under-line $(COVERAGE_MIN_LINES) build/coverage

# --- Memory checking -------------------------------------------------------

# $(call clang_sanitized,SANITIZERS[,EXTRA CXXFLAGS]): a clang build with them.
clang_sanitized = -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=None \
	"-DCMAKE_CXX_FLAGS=-O1 -g -fno-omit-frame-pointer -fsanitize=$(1) $(2)" \
	"-DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=$(1)"
# Not UBSan's check of calls through function pointers: the modules make no
# such call, and the check gives each function a type_info object, exported
# from a module built to export its PyInit_ alone.
CMAKE_FLAGS_asan := $(call clang_sanitized,address$(comma)undefined,-fno-sanitize-recover=undefined \
	-fno-sanitize=function)
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
	LD_PRELOAD=$$(clang -print-file-name=libclang_rt.asan-$(ARCH).so) \
		$(BIN)/pytest -q -p no:cacheprovider -m "not packaging" $(PYTEST_ARGS) \
		|| { cat build/asan/report.* 2>/dev/null; exit 1; }
	@! cat build/asan/report.* 2>/dev/null

VALGRIND := valgrind --quiet --error-exitcode=99 --leak-check=no --track-origins=yes

check-valgrind: build/debug/.built
	PYTHONPATH=$(abspath build/debug) PYTHONMALLOC=malloc \
		timeout 600 $(VALGRIND) $(BIN)/python tests/valgrind_driver.py

FUZZ_SECONDS ?= 60

$(VENV)/.fuzz: $(VENV)/.installed
	$(PIP_INSTALL) --group fuzz
	@touch $@

fuzz: build/fuzz/.built $(VENV)/.fuzz ## fuzz both functions and the listing against their references for FUZZ_SECONDS
	@mkdir -p build/fuzz-corpus
	PYTHONPATH=$(abspath build/fuzz) $(ASAN_ENV) \
	LD_PRELOAD=$$($(BIN)/python -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so \
		$(BIN)/python tests/fuzz.py -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=4096 \
		-print_final_stats=1 -artifact_prefix=build/fuzz- build/fuzz-corpus

check: check-asan check-valgrind ## the suite under ASan+UBSan, valgrind, and a short fuzz run
	$(MAKE) fuzz FUZZ_SECONDS=$(or $(CHECK_FUZZ_SECONDS),30)

clean: ## remove builds and virtual environments
	rm -rf build .venv .venv-* dist *.egg-info .pytest_cache .hypothesis .mypy_cache \
		.ruff_cache .coverage .coverage.*
