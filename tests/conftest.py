import os
import types

import model
import pytest
from _support import ext
from hypothesis import settings

# CI must not fail on an example it happened to draw this time only.
settings.register_profile("ci", derandomize=True, deadline=None, print_blob=True)
settings.register_profile("dev", deadline=None)
settings.load_profile("ci" if os.environ.get("CI") else "dev")


def pytest_report_header() -> str:
    return f"props_to_tree extension: {ext.__file__}"


# The tables of cases run against the module and against the model, so that
# the oracle of the differential tests and the fuzz target is checked too.
IMPLEMENTATIONS = {
    "module": types.SimpleNamespace(
        flatten=ext._tree_to_props, write_back=ext._props_to_tree
    ),
    "model": types.SimpleNamespace(
        flatten=model.tree_to_props, write_back=model.props_to_tree
    ),
}


@pytest.fixture(params=IMPLEMENTATIONS)
def impl(request: pytest.FixtureRequest) -> types.SimpleNamespace:
    return IMPLEMENTATIONS[request.param]
