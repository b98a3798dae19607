"""Calling providers: the dependency values reach every kind of callable as its
positional arguments, in order, and the call keeps no reference of its own."""
import functools
import gc
import sys

import pytest


class Value:
    pass


class Record:
    def __init__(self, *args):
        self.args = args


class WithNew:
    def __new__(cls, *args):
        self = super().__new__(cls)
        self.args = args
        return self


class CallableInstance:
    def __call__(self, *args):
        return args


class Holder:
    def method(self, *args):
        return args


CALLABLES = {
    "function": lambda *args: args,
    "fixed parameters": lambda a, b, c: (a, b, c),
    "class": lambda *args: Record(*args).args,
    "class with __new__": lambda *args: WithNew(*args).args,
    "callable instance": CallableInstance(),
    "bound method": Holder().method,
    "partial": functools.partial(lambda *args: args),
    "builtin": lambda *args: tuple(args),
}


def register(c, name, count):
    """Registers key "top" whose callable gets the values of `count` keys."""
    target = CALLABLES[name]
    if name == "class":
        target = Record
    elif name == "class with __new__":
        target = WithNew
    values = [Value() for _ in range(count)]
    for i, value in enumerate(values):
        c.register_provider(f"d{i}", lambda value=value: value, True, False, [])
    # Each dependency twice in a row: duplicates are passed as given.
    deps = [f"d{i}" for i in range(count) for _ in range(2)]
    c.register_provider("top", target, False, False, deps)
    return [v for v in values for _ in range(2)]


def received(name, result):
    return result.args if name in ("class", "class with __new__") else result


RESOLVERS = {
    "resolve": lambda c: c.resolve("top"),
    "resolve_many": lambda c: c.resolve_many(["top"])[0],
    "resolve_many_plan": lambda c: c.resolve_many_plan(["top"])[0],
}


@pytest.mark.parametrize("resolver", RESOLVERS)
@pytest.mark.parametrize("name", [n for n in CALLABLES if n != "fixed parameters"])
@pytest.mark.parametrize("count", [0, 1, 40])
def test_values_arrive_in_order(container, resolver, name, count):
    expected = register(container, name, count)
    RESOLVERS[resolver](container)  # the first round caches the dependencies
    before = [sys.getrefcount(v) for v in expected]
    for _ in range(50):
        got = received(name, RESOLVERS[resolver](container))
        assert len(got) == len(expected) and all(a is b for a, b in zip(got, expected))
        del got
    gc.collect()
    assert [sys.getrefcount(v) for v in expected] == before


@pytest.mark.parametrize("resolver", RESOLVERS)
@pytest.mark.parametrize("deps,error", [
    (["d0"], TypeError),  # too few for a, b, c
    (["d0"] * 4, TypeError),  # too many
])
def test_wrong_arity_is_the_callables_own_error(container, resolver, deps, error):
    container.register_provider("d0", Value, True, False, [])
    container.register_provider("top", CALLABLES["fixed parameters"], False, False, deps)
    with pytest.raises(error, match="positional argument"):
        RESOLVERS[resolver](container)


@pytest.mark.parametrize("resolver", RESOLVERS)
def test_the_raised_exception_is_the_very_object(container, resolver):
    raised = ValueError("x")
    value = Value()

    def fail(argument):
        assert argument is value
        raise raised

    container.register_provider("d0", lambda: value, True, False, [])
    container.register_provider("top", fail, False, False, ["d0"])
    container.resolve("d0")  # cached before counting
    before = sys.getrefcount(value)
    with pytest.raises(ValueError) as info:
        RESOLVERS[resolver](container)
    assert info.value is raised
    del info
    raised.__traceback__ = None
    gc.collect()
    assert sys.getrefcount(value) == before
