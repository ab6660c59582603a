"""A format added as the README says a format is added, to show that the
contract is all a format needs: `key=value` lines, written in this file,
registered in one line, listed and edited by the unchanged engine through
the command and the API."""

import re

import pytest

import props_to_tree
from props_to_tree import _formats as formats
from props_to_tree._command import cli
from props_to_tree._engine.document import Format, PlainTree, Value
from props_to_tree._engine.errors import ChangeError, DocumentError
from props_to_tree._engine.text import Splice

# --- the format: its whole package -------------------------------------------

ENTRY = re.compile(r"^([\w-]+)=(.*?)\r?$", re.MULTILINE)
TEXT = re.compile(r"(?:(?:[\w-]+=.*|#.*)?(?:\n|\Z))*")


class Lines(PlainTree):
    show = staticmethod(str)
    show_all = staticmethod(lambda values: list(map(str, values)))
    parse = value = staticmethod(lambda data: Value(str(data), str(data)))
    reload = staticmethod(lambda text: Lines(text))

    def __init__(self, text, written=False):
        if TEXT.fullmatch(text) is None:
            raise DocumentError("not key=value lines")
        self.text, self.format = text, FORMAT
        self.entries = {found[1]: found for found in ENTRY.finditer(text)}
        self.tree = {key: found[2] for key, found in self.entries.items()}

    def reach(self, path):
        return int(path[0] in self.tree), None

    def replace(self, path, value):
        return [Splice(*self.entries[path[0]].span(2), value.data)]

    def insert(self, path, keys, value):
        if path or len(keys) > 1:
            raise ChangeError("key=value lines hold no tables")
        end, lead = len(self.text), "\n" if self.text[-1:] not in ("", "\n") else ""
        return [Splice(end, end, f"{lead}{keys[0]}={value.data}\n")]

    def append(self, path, value):
        raise ChangeError("key=value lines hold no lists")

    def delete(self, path):
        start, end = self.entries[path[0]].span()
        return [Splice(start, end + (self.text[end : end + 1] == "\n"), "")]


FORMAT = Format("kv", "key=value", load=Lines, suffixes=(".kv",), comment=("#",))

# --- through the command and the API -------------------------------------------

TEXT_BEFORE = "# settings\nname=web\nport=80\n"


@pytest.fixture(autouse=True)
def registered():
    formats.register(FORMAT)  # the one line that adds it
    yield
    del formats.registered()["kv"]


@pytest.mark.parametrize(
    ("args", "after"),
    [
        (["--set", "port=8080"], "# settings\nname=web\nport=8080\n"),
        (["--set", "debug=on"], TEXT_BEFORE + "debug=on\n"),
        (["--delete", "name"], "# settings\nport=80\n"),
        (["--set", "name=db", "--delete", "port"], "# settings\nname=db\n"),
    ],
)
def test_the_command_edits_a_registered_format(tmp_path, capfd, args, after):
    path = tmp_path / "app.kv"
    path.write_text(TEXT_BEFORE)
    assert cli.main([str(path), "-i", *args]) == 0
    assert path.read_text() == after
    assert cli.main([str(path), "--format", "kv"]) == 0
    listed = capfd.readouterr().out
    assert listed == "".join(f"{k} = {v}\n" for k, v in ENTRY.findall(after))


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--set", "name.first=a", "--create"], "key=value lines hold no tables"),
        # Two that would build one table: refused as each is alone.
        (
            ["--create", "--set", "db.host=h", "--set", "db.port=1"],
            "key=value lines hold no tables",
        ),
        (["--set", "ports[0]=1"], "no 'ports' at the top"),
        (["--get", "missing"], "no 'missing' at the top level"),
    ],
)
def test_what_the_format_refuses_is_one_line(tmp_path, capfd, args, message):
    path = tmp_path / "app.kv"
    path.write_text(TEXT_BEFORE)
    assert cli.main([str(path), *args]) == 2
    error = capfd.readouterr().err
    assert message in error
    assert error.count("\n") == 1
    assert path.read_text() == TEXT_BEFORE


def test_the_api_reads_and_edits_a_registered_format(tmp_path):
    document = props_to_tree.Document(TEXT_BEFORE, "kv")
    assert document["port"] == "80"
    assert document.data == {"name": "web", "port": "80"}
    document.apply("name = web\nport = 81\n")
    assert document.text == "# settings\nname=web\nport=81\n"
    path = tmp_path / "app.kv"
    path.write_text("a=1\r\nb=2\r\n")
    with props_to_tree.edit(path) as edited:  # by its suffix
        edited["a"] = "3"
        del edited["b"]
    assert path.read_bytes() == b"a=3\r\n"
    with pytest.raises(props_to_tree.DocumentError, match="not key=value lines"):
        props_to_tree.Document("[table]\n", "kv")
