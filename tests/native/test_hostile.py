import hostile
import pytest
from _support import run_isolated


@pytest.mark.parametrize("mutation", hostile.MUTATIONS)
@pytest.mark.parametrize("hook", hostile.HOOKS)
def test_node_code_attacking_the_write_back(hook, mutation):
    run_isolated("hostile.run_case", hook, mutation)


@pytest.mark.parametrize("mutation", hostile.LISTING_MUTATIONS)
@pytest.mark.parametrize("hook", hostile.LISTING_HOOKS)
def test_callbacks_attacking_the_listing(hook, mutation):
    run_isolated("hostile.run_listing_case", hook, mutation)
