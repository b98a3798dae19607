"""A typed client of the module.

Strict type checkers check this file against the stubs of the installed wheel
(tools/check_types.py, from tools/run-tests): it must type-check cleanly except
on the line marked as a deliberate mistake. Run by pytest, it checks that what
the methods return is what the stubs promise, which stubtest cannot see.
"""
from __future__ import annotations

from typing import Any, Callable, List, Tuple

import pytest

from _quorix_core import Container


class Engine:
    def __init__(self, power: int) -> None:
        self.power = power


def make_power() -> int:
    return 42


def wired() -> Container:
    container = Container()
    container.register_provider("power", make_power, True, False, [])
    container.register_provider("engine", Engine, False, False, ("power",))
    return container


def test_provider_info_is_the_declared_four_tuple() -> None:
    info: Tuple[Callable[..., Any], bool, bool, List[str]] = wired().get_provider_info("engine")
    factory, singleton, is_async, dep_keys = info
    assert type(info) is tuple and len(info) == 4
    assert factory is Engine
    assert (type(singleton), type(is_async)) == (bool, bool)
    # Declared List[str]: a fresh list, even when registered from a tuple.
    assert type(dep_keys) is list and dep_keys == ["power"]


STATE_CHANGES: List[Tuple[str, Callable[[Container], object]]] = [
    ("register_provider", lambda c: c.register_provider("k", make_power, False, False, [])),
    ("begin_override_layer", lambda c: c.begin_override_layer()),
    ("set_override", lambda c: c.set_override("power", make_power, True, False, [])),
    ("end_override_layer", lambda c: c.end_override_layer()),
    ("set_cached", lambda c: c.set_cached("power", 7)),
]


@pytest.mark.parametrize("name, call", STATE_CHANGES, ids=[name for name, _ in STATE_CHANGES])
def test_state_changes_return_none(name: str, call: Callable[[Container], object]) -> None:
    container = wired()
    container.begin_override_layer()
    assert call(container) is None


BATCHES: List[Tuple[str, Callable[[Container, List[str]], List[Any]]]] = [
    ("resolve_many", lambda c, keys: c.resolve_many(keys)),
    ("resolve_many_plan", lambda c, keys: c.resolve_many_plan(keys)),
]


@pytest.mark.parametrize("name, call", BATCHES, ids=[name for name, _ in BATCHES])
def test_batches_return_lists_in_request_order(name: str, call: Callable[[Container, List[str]], List[Any]]) -> None:
    values = call(wired(), ["power", "engine", "power"])
    assert type(values) is list
    assert [type(v) for v in values] == [int, Engine, int]


def test_cache_reads_are_optional() -> None:
    container = wired()
    assert container.get_cached("power") is None
    engine: Engine = container.resolve("engine")
    assert engine.power == 42 and container.get_cached("power") == 42


def test_wrongly_typed_flag_is_refused_by_checkers_and_module() -> None:
    container = Container()
    with pytest.raises(TypeError):
        container.register_provider("k", make_power, 1, False, [])  # expect-type-error
