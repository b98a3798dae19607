"""Batch resolution: key by key (resolve_many) and through a compiled order (resolve_many_plan)."""
import pytest
from hypothesis import given, settings, strategies as st

import _quorix_core

BOTH = pytest.mark.parametrize("plan", [True, False], ids=["plan", "key_by_key"])


def provide(c, calls, key, deps=(), singleton=False, is_async=False, register=None):
    def make(*args):
        calls.append(key)
        return (key, *args)

    (register or c.register_provider)(key, make, singleton, is_async, list(deps))


def runner(c, plan):
    return c.resolve_many_plan if plan else c.resolve_many


@pytest.mark.parametrize(
    "request_keys, order",
    [(["a"], "cba"), (["c", "a"], "cba"), (["a", "a"], "cba"), (["b", "c"], "cb"), ([], "")],
)
def test_plan_runs_a_dependency_first_order(container, request_keys, order):
    calls = []
    provide(container, calls, "a", ["b", "c"])
    provide(container, calls, "b", ["c"])
    provide(container, calls, "c")
    values = container.resolve_many_plan(request_keys)
    assert calls == list(order)
    assert type(values) is list and [v[0] for v in values] == request_keys
    assert container.resolve_many([]) == [] and calls == list(order)


@BOTH
def test_shared_and_repeated_keys(container, plan):
    calls = []
    provide(container, calls, "d")
    provide(container, calls, "a", ["d"])
    provide(container, calls, "b", ["d"])
    provide(container, calls, "e", ["d", "d"])
    values = runner(container, plan)(["a", "b", "a", "e"])
    assert type(values) is list
    a1, b, a2, e = values
    assert calls == (list("dabe") if plan else list("dadbdadde"))
    assert e == ("e", ("d",), ("d",))
    for x, y in [(a1, a2), (a1[1], b[1]), (e[1], e[2]), (e[1], a1[1])]:
        assert (x is y) == plan


FAULTS = {
    "cycle": (RuntimeError, "Dependency cycle detected at key: {}"),
    "missing": (KeyError, "No provider registered for key: {}"),
    "async": (RuntimeError, "Provider for key '{}' is async and requires async resolution"),
}


@pytest.mark.parametrize(
    "graph, asyncs, request_keys, fault, key",
    [
        ({"a": ["b"], "b": ["c"], "c": ["a"]}, (), ["a"], "cycle", "a"),
        ({"a": ["b"], "b": ["c"], "c": ["b"]}, (), ["a"], "cycle", "b"),
        ({"a": ["a"]}, (), ["a"], "cycle", "a"),
        ({"a": ["b", "x"], "b": ["a"]}, (), ["a"], "cycle", "a"),
        ({"a": ["x", "b"], "b": ["a"]}, (), ["a"], "missing", "x"),
        ({"a": ["b"], "b": ["x"]}, ("b",), ["a"], "async", "b"),
        ({}, (), ["zz"], "missing", "zz"),
    ],
)
@BOTH
def test_first_fault_in_walk_order(container, plan, graph, asyncs, request_keys, fault, key):
    calls = []
    provide(container, calls, "ok")
    for k, deps in graph.items():
        provide(container, calls, k, deps, is_async=k in asyncs)
    error, message = FAULTS[fault]
    with pytest.raises(error) as info:
        runner(container, plan)(["ok"] + request_keys)
    assert type(info.value) is error and info.value.args == (message.format(key),)
    # The plan validates the whole closure before it calls anything.
    assert calls == ([] if plan else ["ok"])


@pytest.mark.parametrize(
    "is_async, deps, error, message",
    [
        (False, ["nope"], KeyError, "No provider registered for key: nope"),
        (True, [], RuntimeError, "Provider for key 's' is async and requires async resolution"),
    ],
)
def test_cached_singleton_is_still_validated_by_the_plan(container, is_async, deps, error, message):
    container.register_provider("s", lambda *a: pytest.fail("called"), True, is_async, deps)
    stored = object()
    container.set_cached("s", stored)
    assert container.resolve_many(["s"])[0] is stored
    with pytest.raises(error) as info:
        container.resolve_many_plan(["s"])
    assert info.value.args == (message,)


def test_plan_executes_dependencies_of_a_cached_singleton(container):
    calls = []
    provide(container, calls, "d", singleton=True)
    provide(container, calls, "f")
    provide(container, calls, "s", ["d", "f"], singleton=True)
    container.set_cached("s", "stored")
    assert container.resolve_many(["s"]) == ["stored"] and calls == []
    assert container.resolve_many_plan(["s"]) == ["stored"] and calls == ["d", "f"]
    assert container.get_cached("d") == ("d",)


@BOTH
def test_failure_keeps_singletons_of_completed_steps(container, plan):
    calls = []
    boom = LookupError("boom")

    def fail():
        calls.append("r")
        raise boom

    provide(container, calls, "s1", singleton=True)
    provide(container, calls, "s2", singleton=True)
    container.register_provider("r", fail, False, False, [])
    provide(container, calls, "a", ["s2", "r"])
    with pytest.raises(LookupError) as info:
        runner(container, plan)(["s1", "a"])
    assert info.value is boom and calls == ["s1", "s2", "r"]
    assert container.resolve_many(["s1", "s2"]) == [("s1",), ("s2",)] and len(calls) == 3


def test_override_layer_changes_the_followed_dependencies(container):
    calls = []
    provide(container, calls, "a", ["b"], singleton=True)
    provide(container, calls, "b")
    provide(container, calls, "c")
    container.begin_override_layer()
    provide(container, calls, "a", ["c"], singleton=True, register=container.set_override)
    assert container.resolve_many_plan(["a"]) == [("a", ("c",))]
    container.end_override_layer()
    # The layer's singleton value went into the layer's record, not the base one.
    assert container.resolve_many_plan(["a"]) == [("a", ("b",))]
    assert calls == ["c", "a", "b", "a"]


@st.composite
def graphs(draw):
    size = draw(st.integers(1, 8))
    names = ["k%d" % i for i in range(size)]
    deps = {n: draw(st.lists(st.sampled_from(names[:i]), max_size=4)) if i else [] for i, n in enumerate(names)}
    singleton = {n: draw(st.booleans()) for n in names}
    return deps, singleton, draw(st.lists(st.sampled_from(names), max_size=6))


@settings(max_examples=150, deadline=None, database=None)
@given(graphs())
def test_matches_a_reference_model(case):
    deps, singleton, request_keys = case

    def value(k):
        return (k, *map(value, deps[k]))

    def post_order(keys, seen):
        for k in keys:
            if k not in seen:
                seen.add(k)
                yield from post_order(deps[k], seen)
                yield k

    def key_by_key(k, cached):
        if k in cached:
            return []
        order = [step for d in deps[k] for step in key_by_key(d, cached)] + [k]
        if singleton[k]:
            cached.add(k)
        return order

    expected = [value(k) for k in request_keys]
    for plan in (True, False):
        c, calls = _quorix_core.Container(), []
        for k in deps:
            provide(c, calls, k, deps[k], singleton[k])
        assert runner(c, plan)(request_keys) == expected
        if plan:
            once = list(post_order(request_keys, set()))
            assert calls == once
            del calls[:]
            assert c.resolve_many_plan(request_keys) == expected
            assert calls == [k for k in once if not singleton[k]]
        else:
            cached = set()
            assert calls == [step for k in request_keys for step in key_by_key(k, cached)]
