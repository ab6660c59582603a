import hostile
import pytest
from _support import run_python


@pytest.mark.parametrize("mutation", hostile.MUTATIONS)
@pytest.mark.parametrize("hook", hostile.HOOKS)
def test_node_code_attacking_the_write_back(hook, mutation):
    result = run_python(
        f"import hostile; hostile.run_case({hook!r}, {mutation!r}); print('ok')"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"
