"""Single-key resolution: arguments, caching, cycles, missing and async providers, layers."""
import inspect
import traceback

import pytest

CYCLE = "Dependency cycle detected at key: "
MISSING = "No provider registered for key: "


def async_message(key):
    return "Provider for key '" + key + "' is async and requires async resolution"


def provide(c, calls, key, deps=(), singleton=False, is_async=False, label=None, register=None):
    """Registers a provider whose value is (label, *its arguments) and that logs its calls."""
    label = key if label is None else label

    def make(*args):
        calls.append(label)
        return (label, *args)

    (register or c.register_provider)(key, make, singleton, is_async, list(deps))


def raises_exactly(exc_type, message, call, *args):
    with pytest.raises(exc_type) as info:
        call(*args)
    assert type(info.value) is exc_type and info.value.args == (message,)


@pytest.mark.parametrize("singleton", [False, True])
def test_arguments_follow_dep_keys_with_duplicates(container, singleton):
    calls = []
    provide(container, calls, "", singleton=singleton)  # the empty text is a key too
    provide(container, calls, "c")
    provide(container, calls, "a", ["", "c", ""])
    value = container.resolve("a")
    assert value == ("a", ("",), ("c",), ("",))
    assert (value[1] is value[3]) == singleton
    assert calls == (["", "c", "a"] if singleton else ["", "c", "", "a"])


@pytest.mark.parametrize("singleton", [False, True])
@pytest.mark.parametrize("result", [None, "obj"])
def test_call_counts_and_cached_values(container, singleton, result):
    calls = []

    def make():
        calls.append(1)
        return None if result is None else object()

    container.register_provider("k", make, singleton, False, [])
    values = [container.resolve("k") for _ in range(3)]
    assert len(calls) == (1 if singleton else 3)
    if result is None:
        assert values == [None] * 3
    else:
        assert (values[0] is values[2]) == singleton


@pytest.mark.parametrize(
    "graph, key, closes_at",
    [
        ({"a": ["a"]}, "a", "a"),
        ({"a": ["b"], "b": ["a"]}, "a", "a"),
        ({"a": ["b"], "b": ["a"]}, "b", "b"),
        ({"a": ["b"], "b": ["c"], "c": ["b"]}, "a", "b"),
    ],
)
def test_cycle_names_the_key_where_it_closes(container, graph, key, closes_at):
    calls = []
    for k, deps in graph.items():
        provide(container, calls, k, deps)
    raises_exactly(RuntimeError, CYCLE + closes_at, container.resolve, key)
    assert calls == []
    provide(container, calls, closes_at)  # the container stays usable once the cycle is broken
    assert container.resolve(key)[0] == key


@pytest.mark.parametrize("cached_by", ["set_cached", "earlier resolution"])
def test_cached_singleton_cuts_a_cycle(container, cached_by):
    calls = []
    provide(container, calls, "a", ["b"], singleton=True)
    if cached_by == "set_cached":
        provide(container, calls, "b", ["a"])
        container.set_cached("a", "stored")
    else:
        provide(container, calls, "b")
        container.resolve("a")
        provide(container, calls, "b", ["a"])
    assert container.resolve("b") == ("b", container.get_cached("a"))


@pytest.mark.parametrize("singleton", [False, True])
def test_diamond_is_not_a_cycle(container, singleton):
    calls = []
    provide(container, calls, "d", singleton=singleton)
    provide(container, calls, "b", ["d"])
    provide(container, calls, "c", ["d"])
    provide(container, calls, "a", ["b", "c"])
    a = container.resolve("a")
    assert calls.count("d") == (1 if singleton else 2)
    assert (a[1][1] is a[2][1]) == singleton


def test_missing_dependency_keeps_earlier_singletons(container):
    calls = []
    provide(container, calls, "s", singleton=True)
    provide(container, calls, "a", ["s", "nope", "never"])
    provide(container, calls, "never")
    raises_exactly(KeyError, MISSING + "nope", container.resolve, "a")
    raises_exactly(KeyError, MISSING + "a!", container.resolve, "a!")
    assert calls == ["s"]
    assert container.get_cached("s") == ("s",)


@pytest.mark.parametrize(
    "graph, key, refused",
    [
        ({"x": []}, "x", "x"),
        ({"a": ["x"], "x": []}, "a", "x"),
        ({"x": ["nope"]}, "x", "x"),  # the flag is checked before any dependency
    ],
)
@pytest.mark.parametrize("singleton", [False, True])
def test_async_provider_is_refused(container, graph, key, refused, singleton):
    calls = []
    for k, deps in graph.items():
        provide(container, calls, k, deps, singleton=singleton, is_async=(k == "x"))
    raises_exactly(RuntimeError, async_message(refused), container.resolve, key)
    assert calls == []


def test_async_singleton_answers_from_stored_value(container):
    calls = []
    provide(container, calls, "x", ["nope"], singleton=True, is_async=True)
    provide(container, calls, "a", ["x"])
    container.set_cached("x", "external")
    assert container.resolve("x") == "external"
    assert container.resolve("a") == ("a", "external")
    assert calls == ["a"]


def test_override_layers(container):
    calls = []
    provide(container, calls, "s", singleton=True, label="s0")
    provide(container, calls, "top", ["s"])
    base_value = container.resolve("s")
    container.begin_override_layer()
    # A non-singleton in a layer answers although the base record holds a value.
    provide(container, calls, "s", label="s1", register=container.set_override)
    assert container.resolve("top") == ("top", ("s1",))
    container.begin_override_layer()
    provide(container, calls, "s", singleton=True, label="s2", register=container.set_override)
    assert container.resolve("top")[1] is container.resolve("s")
    container.end_override_layer()
    assert container.resolve("s") == ("s1",)
    container.end_override_layer()
    assert container.resolve("s") is base_value
    assert calls == ["s0", "s1", "top", "s2", "top", "s1"]


@pytest.mark.parametrize("key", ["failing", "dependent"])
def test_callable_exception_passes_through_unchanged(container, key):
    attempts = []

    def failing():
        attempts.append(ValueError("boom"))
        raise attempts[-1]

    container.register_provider("failing", failing, True, False, [])
    container.register_provider("dependent", lambda v: v, True, False, ["failing"])
    for n in (1, 2):
        with pytest.raises(ValueError) as info:
            container.resolve(key)
        assert info.value is attempts[-1] and len(attempts) == n
        assert "failing" in [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert container.get_cached("failing") is None


def test_non_callable_fails_at_resolve_time(container):
    container.register_provider("k", 42, False, False, [])
    with pytest.raises(TypeError, match="not callable"):
        container.resolve("k")


def test_coroutine_of_a_plain_provider_is_the_value(container):
    async def make():
        return 1

    container.register_provider("k", make, False, False, [])
    value = container.resolve("k")
    assert inspect.iscoroutine(value)
    value.close()


def test_reentrant_resolve_is_an_ordinary_call_and_its_error_propagates(container):
    container.register_provider("inner", lambda: "inner", False, False, [])
    container.register_provider("outer", lambda: container.resolve("inner"), False, False, [])
    assert container.resolve("outer") == "inner"
    container.register_provider("outer", lambda: container.resolve("missing"), False, False, [])
    raises_exactly(KeyError, MISSING + "missing", container.resolve, "outer")
    assert container.resolve("inner") == "inner"
