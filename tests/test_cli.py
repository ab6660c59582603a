"""`python -m props_to_tree`, end to end in a subprocess."""

import json
import os
import subprocess
import sys

import pytest
from _support import IMPORT_ROOT

CONFIG = """
[db]
host = "h"
port = 5432
created = 2024-01-02

[db.pool]
max = 20
"""


def run(*args, stdin=None, cwd):
    return subprocess.run(
        [sys.executable, "-m", "props_to_tree", *args],
        input=stdin,
        capture_output=True,
        text=True,
        cwd=cwd,
        env=dict(os.environ, PYTHONPATH=IMPORT_ROOT),
    )


@pytest.fixture
def config(tmp_path):
    path = tmp_path / "config.toml"
    path.write_text(CONFIG)
    return path


def test_lists_properties(config):
    result = run(str(config), cwd=config.parent)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        'db.host = "h"',
        "db.port = 5432",
        'db.created = "2024-01-02"',
        "db.pool.max = 20",
    ]


def test_set_writes_values_back(config):
    result = run(
        str(config),
        "--set=db.port=5433",
        "--set=db.pool.max=[1, 2]",
        "--set=db.host=not json",
        "--set=db.new=null",
        cwd=config.parent,
    )
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == {
        "db": {
            "host": "not json",
            "port": 5433,
            "created": "2024-01-02",
            "pool": {"max": [1, 2]},
            "new": None,
        }
    }


def test_reads_json_from_stdin(tmp_path):
    result = run(stdin='{"a": {"b": [1, "é"]}}', cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout == 'a.b = [1, "é"]\n'


@pytest.mark.parametrize(
    ("args", "stdin", "message"),
    [
        (["--set=web.port=1"], "{}", "cannot set web.port: no table 'web'"),
        (["--set=a.b.c=1"], '{"a": {"b": 1}}', "cannot set a.b.c"),
        (["--set", "db.port"], "{}", "expected PATH=VALUE"),
        ([], "{not json", "standard input is not valid JSON"),
        (["--format=toml"], "a = = 1", "is not valid TOML"),
        ([], "[1, 2]", "does not hold an object"),
        (["missing.json"], None, "cannot read missing.json"),
        (["--bogus"], "{}", "unrecognized arguments"),
    ],
)
def test_user_errors_are_one_line_and_status_2(tmp_path, args, stdin, message):
    result = run(*args, stdin=stdin, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.count("\n") == 1
    assert result.stderr.startswith("props_to_tree: error: ")
    assert message in result.stderr
