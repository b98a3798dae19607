"""A provider, or a finalizer, that waits holds its container from nobody.

While Python code that the container runs is blocked, every other thread goes
on using that container; and a resolution keeps the registrations and layers it
began with, whatever is registered, overridden or ended while its providers
run. A wrong answer here is a hang, so each case runs in a subprocess with a
timeout, and its threads are joined with timeouts too.
"""
import pytest

from reliability_support import check_ok, script

# Thread A blocks, until `go` is set, inside: its setup, its call, what the call returns.
HOLDERS = {
    "singleton provider": ("c.register_provider('slow', slow, True, False, [])", "c.resolve('slow')", "value"),
    "transient provider in a batch": ("c.register_provider('slow', slow, False, False, [])",
                                      "c.resolve_many(['cheap', 'slow'])", "['cheap', value]"),
    "dependency in a plan": ("c.register_provider('slow', slow, True, False, [])",
                             "c.resolve_many_plan(['uses_slow'])", "[[value]]"),
    "computing provider": ("c.register_provider('slow', busy, True, False, [])", "c.resolve('slow')", "value"),
    # Thread A makes and releases the object: a free-threaded CPython
    # finalizes an object that another thread made on that thread, later.
    "finalizer": ("c.register_provider('slow', slow, True, False, [])",
                  "c.set_cached('slow', Blocking()) or c.set_cached('slow', value)", "None"),
}

# What thread B does meanwhile, each step checked, in order.
OTHERS = """
def others():
    layered = lambda: "layered"
    steps = [
        ("resolve of a cached singleton", lambda: c.resolve("cached") is cached),
        ("get_cached", lambda: c.get_cached("cached") is cached),
        ("resolve of a transient", lambda: c.resolve("cheap") == "cheap"),
        ("resolve_many_plan", lambda: c.resolve_many_plan(["cheap", "cached"]) == ["cheap", cached]),
        ("set_cached", lambda: c.set_cached("cached", "later") is None and c.resolve("cached") == "later"),
        ("register_provider", lambda: c.register_provider("new", lambda: "new", False, False, []) is None
                                      and c.resolve("new") == "new"),
        ("begin_override_layer", lambda: c.begin_override_layer() is None),
        ("set_override", lambda: c.set_override("cheap", layered, False, False, []) is None
                                 and c.resolve_many(["cheap"]) == ["layered"]),
        ("end_override_layer", lambda: c.end_override_layer() is None and c.resolve("cheap") == "cheap"),
    ] + extra_steps
    for name, step in steps:
        progress.append(name)
        assert step(), name
"""


@pytest.mark.parametrize("holder", HOLDERS)
def test_other_threads_use_the_container_while_a_provider_blocks(run_python, holder):
    setup, hold, held = HOLDERS[holder]
    # Another call of the blocked transient, from B, is no cycle and does not wait.
    extra = "[('the blocked transient', lambda: c.resolve('slow') is value)]" if "transient" in holder else "[]"
    check_ok(run_python(script(OTHERS, f"""
        c = Container()
        started, go = threading.Event(), threading.Event()
        value, calls, progress = object(), [], []
        def slow():
            calls.append(1)
            if len(calls) == 1:  # only thread A's call waits
                started.set()
                assert go.wait(30)
            return value
        def busy():
            started.set()
            while not go.is_set():
                sum(range(100))
            return value
        class Blocking:
            def __del__(self):
                started.set()
                assert go.wait(30)
        c.register_provider("cheap", lambda: "cheap", False, False, [])
        c.register_provider("cached", object, True, False, [])
        c.register_provider("uses_slow", lambda s: [s], False, False, ["slow"])
        cached = c.resolve("cached")
        extra_steps = {extra}
        {setup}
        holder = start(lambda: {hold})
        assert started.wait(30)
        other = start(others)
        other[0].join(10)
        still_blocked = holder[0].is_alive() and not holder[1]
        go.set()
        assert not other[0].is_alive(), "B waits for the blocked code at: " + progress[-1]
        assert finish(*other) == {{"ok": None}}, (progress, other[1])
        assert still_blocked, holder[1]
        assert finish(*holder) == {{"ok": {held}}}
        # What B changed stays.
        assert c.get_cached("cached") == "later" and c.resolve("new") == "new"
        print("OK")
    """), timeout=60))


# Each change turns what "later" resolves to from "old" into "new".
CHANGES = {
    "register_provider": ("c.register_provider('later', lambda: 'old', False, False, [])",
                          "c.register_provider('later', lambda: 'new', False, False, [])"),
    "set_override": ("c.register_provider('later', lambda: 'old', False, False, [])",
                     "c.begin_override_layer(); c.set_override('later', lambda: 'new', False, False, [])"),
    "end_override_layer": ("c.register_provider('later', lambda: 'new', False, False, []); "
                           "c.begin_override_layer(); c.set_override('later', lambda: 'old', False, False, [])",
                           "c.end_override_layer()"),
}

# The resolution under way, and what it gives: "first" runs (and changes the
# registry) before "later" is reached, as a dependency or as a later key.
RESOLUTIONS = {
    "resolve": ("c.resolve('top')", "('first', 'old')"),
    "resolve_many": ("c.resolve_many(['first', 'top'])", "['first', ('first', 'old')]"),
    "resolve_many_plan": ("c.resolve_many_plan(['top', 'later'])", "[('first', 'old'), 'old']"),
}

CHANGED_BY = {
    "the provider itself": "changed()",
    "another thread": "assert finish(*start(changed), timeout=10) == {'ok': None}",
}


@pytest.mark.parametrize("by", CHANGED_BY)
@pytest.mark.parametrize("change", CHANGES)
@pytest.mark.parametrize("resolution", RESOLUTIONS)
def test_a_resolution_keeps_the_registry_it_began_with(run_python, resolution, change, by):
    setup, make_change = CHANGES[change]
    call, expected = RESOLUTIONS[resolution]
    check_ok(run_python(script(f"""
        c = Container()
        {setup}
        seen = []
        def changed():
            {make_change}
            seen.append(c.resolve("later"))  # a resolution begun after the change sees it
        def first():
            if not seen:
                {CHANGED_BY[by]}
            return "first"
        c.register_provider("first", first, False, False, [])
        c.register_provider("top", lambda f, l: (f, l), False, False, ["first", "later"])
        outcome = finish(*start(lambda: {call}))
        assert outcome == {{"ok": {expected}}}, outcome
        assert seen == ["new"], seen
        assert c.resolve("top") == ("first", "new")
        print("OK")
    """), timeout=60))


def test_providers_of_many_threads_run_at_once(run_python):
    # Each provider call waits mid-way with the interpreter lock released, and
    # the threads start together, so other threads enter providers of the same
    # container meanwhile: hundreds of overlapping calls, none lost or answered
    # twice.
    check_ok(run_python(script("""
        c = Container()
        inside, most, calls = [0], [0], []
        count_lock, started = threading.Lock(), threading.Barrier(4)
        def guarded():
            with count_lock:
                inside[0] += 1
                most[0] = max(most[0], inside[0])
            time.sleep(0.0005)
            calls.append(1)
            with count_lock:
                inside[0] -= 1
            return 1
        c.register_provider("g", guarded, False, False, [])
        c.register_provider("d", lambda g: g + 1, False, False, ["g"])
        def hammer():
            started.wait(30)
            return sum(c.resolve("g") + c.resolve_many(["d"])[0] for _ in range(150))
        threads = [start(hammer) for _ in range(4)]
        assert [finish(*t) for t in threads] == [{"ok": 450}] * 4
        assert len(calls) == 1200
        assert most[0] > 1, "no two providers ever ran at once"
        print("OK")
    """), timeout=90))
