"""Every allocation the module makes, failed one at a time."""

import pytest
from _support import run_isolated

pytest.importorskip("_testcapi")


def test_allocation_failures_raise_memory_error_and_leak_nothing():
    run_isolated("isolated.allocation_failures", timeout=600)


def test_allocation_failures_in_the_listing_raise_memory_error_and_leak_nothing():
    run_isolated("isolated.listing_allocation_failures", timeout=600)


def test_allocation_failures_in_the_listing_from_the_bytes_leak_nothing():
    run_isolated("isolated.json_listing_allocation_failures", timeout=600)


def test_allocation_failures_in_the_yaml_listing_leak_nothing():
    run_isolated("isolated.yaml_listing_allocation_failures", timeout=600)


def test_allocation_failures_in_the_yaml_composer_leak_nothing():
    run_isolated("isolated.yaml_compose_allocation_failures", timeout=600)


def test_allocation_failures_in_the_toml_reading_leak_nothing():
    run_isolated("isolated.toml_allocation_failures", timeout=600)
