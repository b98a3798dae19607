"""The sources keep their floors: the interpreter runtime (src/runtime) at the
bottom, the container core (src/core) on it, the Python binding (src/python)
on both. A file includes only its own floor and those below."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"
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


FLAVOUR_CONDITIONAL = re.compile(
    r"^\s*#\s*(if|ifdef|ifndef|elif)\b.*\b(Py_LIMITED_API|QUORIX_API_LEVEL|Py_GIL_DISABLED|Py_TARGET_ABI3T|PY_VERSION_HEX)\b",
    re.M)
# The capability header names what each flavour can do; only the module entry
# and the type definition, which differ in kind between flavours, test them too.
FLAVOUR_PLACES = {"runtime/capabilities.hpp", "python/module.cpp", "python/container_type.cpp"}


def test_build_flavours_are_tested_only_where_named():
    found = sorted({str(path.relative_to(SRC)) for floor in BELOW for path in sources(floor)
                    if FLAVOUR_CONDITIONAL.search(path.read_text())})
    assert set(found) <= FLAVOUR_PLACES, found
    assert "runtime/capabilities.hpp" in found
