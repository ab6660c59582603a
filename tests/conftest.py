import os

from _support import ext
from hypothesis import settings

# CI must not fail on an example it happened to draw this time only.
settings.register_profile("ci", derandomize=True, deadline=None, print_blob=True)
settings.register_profile("dev", deadline=None)
settings.load_profile("ci" if os.environ.get("CI") else "dev")


def pytest_report_header() -> str:
    return f"props_to_tree extension: {ext.__file__}"
