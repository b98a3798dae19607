"""Calls that a provider's callable, or a finalizer, makes to its own container.

Such a call is an ordinary call; only a key met again on the same thread's
path (a cycle through re-entrant calls) is refused, never waited for. A wrong
answer can be a hang, so every case runs in a subprocess with a timeout.
"""
import pytest

from all_methods import ALL_TEN_SOURCE
from reliability_support import check_ok, script

PRELUDE = """
def f(*args):
    return "f"
""" + ALL_TEN_SOURCE

OUTERS = {
    "resolve": "c.resolve('{}')",
    "resolve_many": "c.resolve_many(['{}'])[0]",
    "resolve_many_plan": "c.resolve_many_plan(['{}'])[0]",
}


@pytest.mark.parametrize("outer", OUTERS)
def test_a_provider_calls_every_operation_of_its_own_container(run_python, outer):
    call = OUTERS[outer].format("k")
    check_ok(run_python(script(PRELUDE, f"""
        c = Container()
        c.register_provider("a", f, True, False, [])
        c.register_provider("s", f, True, False, [])
        c.resolve("s")
        def reenter():
            got = {{name: call(c) for name, call in ALL_TEN.items()}}
            got["resolve of a cached singleton"] = c.resolve("s")
            got["get_cached of a cached singleton"] = c.get_cached("s")
            return got
        c.register_provider("k", reenter, False, False, [])
        outcome = finish(*start(lambda: {call}))
        assert outcome == {{"ok": {{
            "register_provider": None, "resolve": "f", "resolve_many": ["f"], "resolve_many_plan": ["f"],
            "begin_override_layer": None, "set_override": None, "get_provider_info": (f, True, False, []),
            "get_cached": "f", "set_cached": None, "end_override_layer": None,
            "resolve of a cached singleton": "f", "get_cached of a cached singleton": "f"}}}}, outcome
        # What the calls did stays: the value set, the record made, the layer ended.
        assert c.get_cached("a") == 1 and c.resolve("z") == "f"
        c.set_override("z", lambda: "dropped", False, False, [])
        assert c.resolve("z") == "f"

        # An error of a re-entrant call reaches the outer caller as the same object.
        raised = []
        def propagate():
            try:
                return c.resolve("missing")
            except KeyError as e:
                raised.append(e)
                raise
        c.register_provider("k", propagate, False, False, [])
        outcome = finish(*start(lambda: {call}))
        assert raised and outcome == {{"error": raised[0]}}, outcome
        print("OK")
    """), timeout=60))


# Registrations whose resolution of the requested key meets a key again on
# the same thread through a re-entrant call; the key the error names.
CYCLES = {
    "a provider resolving its own key": ("""
        provide("A", lambda: c.resolve("A"))
    """, "A", "A"),
    "a dependent of the provider's own key": ("""
        provide("A", lambda: c.resolve("B"))
        provide("B", lambda a: a, deps=["A"])
    """, "A", "A"),
    "two providers resolving each other": ("""
        provide("A", lambda: c.resolve_many(["x", "B"]))
        provide("B", lambda: c.resolve("A"))
        provide("x", lambda: "x")
    """, "A", "A"),
    "a singleton resolving itself": ("""
        provide("S", lambda: c.resolve("S"), singleton=True)
    """, "S", "S"),
    "a singleton reached through a plan": ("""
        provide("S", lambda: c.resolve_many_plan(["x", "B"]), singleton=True)
        provide("B", lambda s: s, deps=["S"])
        provide("x", lambda: "x")
    """, "S", "S"),
}


@pytest.mark.parametrize("cycle", CYCLES)
def test_a_cycle_through_reentrant_calls_is_refused(run_python, cycle):
    registrations, key, named = CYCLES[cycle]
    outers = {name: outer.format(key) for name, outer in OUTERS.items()}
    check_ok(run_python(script(f"""
        c = Container()
        calls = []
        def provide(key, make, singleton=False, deps=()):
            def logged(*args):
                calls.append(key)
                return make(*args)
            c.register_provider(key, logged, singleton, False, list(deps))
    """, registrations, f"""
        message = "Dependency cycle detected at key: {named}"
        for name, outer in {outers!r}.items():
            for attempt in range(2):  # nothing of the refused resolution is left over
                del calls[:]
                outcome = finish(*start(lambda: eval(outer)))
                error = outcome.get("error")
                assert type(error) is RuntimeError and error.args == (message,), (name, outcome)
                # Refused when first met again: no provider ran twice.
                assert len(calls) == len(set(calls)), (name, calls)
            assert c.get_cached("{key}") is None, name
        c.register_provider("{key}", lambda: "{key}", False, False, [])
        assert c.resolve("{key}") == "{key}"
        print("OK")
    """), timeout=60))


# What releases the object, what the finalizer's call then sees, and the state afterwards.
TRIGGERS = {
    "register_provider": ("c.register_provider('k', Finalized(), False, False, [])",
                          "c.register_provider('k', f, False, False, [])", "c.resolve('k') == 'f'"),
    "set_override": ("c.begin_override_layer(); c.set_override('k', Finalized(), False, False, [])",
                     "c.set_override('k', f, False, False, [])", "c.resolve('k') == 'f'"),
    "end_override_layer": ("c.begin_override_layer(); c.set_override('k', Finalized(), False, False, [])",
                           "c.end_override_layer()", "c.resolve_many(['a']) == ['f']"),
    "set_cached": ("c.register_provider('k', f, True, False, []); c.set_cached('k', Finalized())",
                   "c.set_cached('k', 'new')", "c.get_cached('k') == 'new'"),
}


@pytest.mark.parametrize("trigger", TRIGGERS)
def test_a_finalizer_calls_its_own_container(run_python, trigger):
    setup, release, after = TRIGGERS[trigger]
    check_ok(run_python(script(PRELUDE, f"""
        c = Container()
        c.register_provider("a", f, False, False, [])
        seen = []
        class Finalized:
            def __call__(self):
                return "old"
            def __del__(self):
                seen.append((c.resolve("a"), c.resolve_many_plan(["a"])))
        unraisable = []
        sys.unraisablehook = unraisable.append
        # One thread makes and releases the object: a free-threaded CPython
        # finalizes an object that another thread made on that thread, later.
        def set_up_and_release():
            {setup}
            assert seen == []
            return {release}
        assert finish(*start(set_up_and_release)) == {{"ok": None}}
        assert unraisable == [] and seen == [("f", ["f"])], (unraisable, seen)
        assert {after}
        print("OK")
    """), timeout=60))
