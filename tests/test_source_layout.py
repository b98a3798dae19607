"""The sources keep their floors: the interpreter runtime (src/runtime) at the
bottom, the container core (src/core) on it, the Python binding (src/python)
on both. A file includes only its own floor and those below."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
INCLUDE = re.compile(r'^\s*#\s*include\s*"([a-z_]+)/', re.M)
BELOW = {"runtime": {"runtime"}, "core": {"runtime", "core"}, "python": {"runtime", "core", "python"}}


def sources(floor):
    return sorted(p for p in (SRC / floor).rglob("*") if p.suffix in (".cpp", ".hpp"))


def test_every_source_is_on_a_floor():
    folders = {p.relative_to(SRC).parts[0] for p in SRC.rglob("*") if p.suffix in (".cpp", ".hpp")}
    assert folders == set(BELOW)


@pytest.mark.parametrize("floor", sorted(BELOW))
def test_includes_go_no_higher_than_their_floor(floor):
    files = sources(floor)
    assert files
    upward = [f"{path.relative_to(SRC)} includes {target}/"
              for path in files for target in INCLUDE.findall(path.read_text())
              if target not in BELOW[floor]]
    assert upward == []
