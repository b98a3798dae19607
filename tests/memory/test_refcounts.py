"""Reference counts stay balanced over many resolutions, successful or failing."""
import gc
import sys
import weakref

import pytest

ROUNDS = 200


class Value:
    """A plain object that can be weakly referenced."""


class Boom(Exception):
    pass


OPERATIONS = {
    "resolve": lambda c, k: c.resolve(k),
    "resolve_many": lambda c, k: c.resolve_many(["plain", k, k]),
    "resolve_many_plan": lambda c, k: c.resolve_many_plan(["plain", k, k]),
}


@pytest.mark.parametrize("operation", sorted(OPERATIONS))
@pytest.mark.parametrize("key", ["top", "raises", "missing_dep", "cycle", "async", "cached_async"])
def test_no_reference_leaks(container, operation, key):
    dep, single, out, plain = Value(), Value(), Value(), Value()
    raised = []

    def raise_boom(d, s):
        error = Boom(d, s)
        raised.append(weakref.ref(error))
        raise error

    callables = {
        "dep": lambda: dep,
        "single": lambda: single,
        "plain": lambda: plain,
        "top": lambda d, s, d2: out,
        "raises": raise_boom,
    }
    for k in ("missing_dep", "cycle", "async", "cached_async"):
        callables[k] = lambda *a: out
    deps = {"top": ["dep", "single", "dep"], "raises": ["dep", "single"], "missing_dep": ["dep", "single", "nope"],
            "cycle": ["dep", "cycle"], "async": ["dep"], "cached_async": ["dep"]}
    for k, f in callables.items():
        container.register_provider(k, f, k in ("single", "cached_async"), "async" in k, deps.get(k, []))
    container.set_cached("cached_async", out)
    run = OPERATIONS[operation]

    def counts():
        gc.collect()
        return [sys.getrefcount(o) for o in [dep, single, out, plain, *callables.values()]]

    # The first round caches the singleton; a request resolved again and again
    # is then compiled, and its function holds the callables it calls.
    for _ in range(8):
        try:
            run(container, key)
        except Exception:
            pass
    before = counts()
    for _ in range(ROUNDS):
        try:
            run(container, key)
        except Exception:
            pass
    assert counts() == before
    assert bool(raised) == (key == "raises") and all(r() is None for r in raised)


@pytest.mark.parametrize("operation", sorted(OPERATIONS))
def test_factory_values_are_released(container, operation):
    made = []

    def factory():
        value = Value()
        made.append(weakref.ref(value))
        return value

    container.register_provider("plain", factory, False, False, [])
    container.register_provider("top", lambda a, b: None, False, False, ["plain", "plain"])
    result = OPERATIONS[operation](container, "top")
    # Only a requested value outlives the call, and only as long as the caller keeps it.
    assert [r() for r in made if r() is not None] == [v for v in result or [] if v is not None]
    del result
    assert made and all(r() is None for r in made)
