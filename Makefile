# The project's verbs.  `make help` lists them.

PYTHON ?= 3.12
# The primary interpreter gets .venv; any other gets a venv of its own.
VENV ?= $(if $(filter 3.12,$(PYTHON)),.venv,.venv-$(notdir $(PYTHON)))
BIN := $(VENV)/bin

SOURCES := props_to_tree/_props_to_tree.cpp $(wildcard props_to_tree/*.py props_to_tree/*.pyi) \
	props_to_tree/py.typed CMakeLists.txt pyproject.toml
PYTEST_ARGS ?=

.PHONY: help venv build test test-gcc test-clang test-compilers clean

help:
	@echo "make venv            create $(VENV) with Python $(PYTHON) and install the package for development"
	@echo "make test            build and run the test suite (PYTHON=3.13 or a path selects the interpreter)"
	@echo "make test-compilers  build with gcc and clang, warnings as errors, and test both builds"
	@echo "make clean           remove builds and virtual environments"

$(BIN)/python:
	@py=$$(scripts/find-python $(PYTHON)) || exit 1; \
	echo "creating $(VENV) with $$py"; \
	"$$py" -m venv $(VENV)
	$(BIN)/python -m pip install -qq --upgrade pip scikit-build-core

$(VENV)/.installed: $(BIN)/python $(SOURCES)
	$(BIN)/python -m pip install -qq --no-build-isolation \
		-C build-dir=build/wheel-$(notdir $(VENV)) ".[test,dev]"
	$(BIN)/python -m pip install -qq --no-build-isolation --no-deps --force-reinstall \
		-C build-dir=build/wheel-$(notdir $(VENV)) .
	@touch $@

venv: $(VENV)/.installed

build: venv

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
	PYTHONPATH=build/$* $(BIN)/pytest $(PYTEST_ARGS)

test-compilers: test-gcc test-clang

clean:
	rm -rf build .venv .venv-* dist *.egg-info .pytest_cache .hypothesis .mypy_cache .ruff_cache
