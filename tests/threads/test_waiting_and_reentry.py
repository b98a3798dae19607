"""Threads waiting for a busy container, and re-entrant calls from the holding thread.

A wrong answer here is a hang, so every case runs in a subprocess with a
timeout, and its threads are joined with timeouts too.
"""
import textwrap

import pytest

import reliability_support
from all_methods import ALL_TEN_SOURCE

# The reliability tier's helpers (start, finish, REENTRY), and what these cases add.
PRELUDE = reliability_support.PRELUDE + """
def f(*args):
    return "f"

""" + ALL_TEN_SOURCE + """
def in_thread(call):
    return finish(*start(call))
"""


@pytest.fixture
def run(run_python):
    def go(code):
        done = run_python(PRELUDE + textwrap.dedent(code), timeout=90)
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip() == "OK", done.stdout
    return go


# The holder keeps the lock until `go` is set: in a provider's callable that
# waits, one that computes in Python, a batch plan, or a finalizer run by a release.
HOLDERS = {
    "waiting callable": ("c.register_provider('slow', slow, True, False, [])", "c.resolve('slow')", "value"),
    "computing callable": ("c.register_provider('slow', busy, True, False, [])", "c.resolve('slow')", "value"),
    "batch plan": ("c.register_provider('slow', slow, True, False, [])", "c.resolve_many_plan(['slow'])",
                   "[value]"),
    # The holding thread makes the object it releases: a free-threaded CPython
    # finalizes an object that another thread made on that thread, later.
    "finalizer": ("c.register_provider('slow', slow, True, False, [])",
                  "c.set_cached('slow', Blocking()) or c.set_cached('slow', value)", "None"),
}

# What the waiting thread calls, what it gets, and what shows that it ran after the holder.
WAITERS = {
    "register_provider": ("c.register_provider('slow', f, True, False, [])", "None",
                          "c.get_provider_info('slow')[0] is f and c.get_cached('slow') is None"),
    "resolve": ("c.resolve('slow')", "value", "calls == [1]"),
    "resolve_many": ("c.resolve_many(['other', 'slow'])", "['other', value]", "calls == [1]"),
    "resolve_many_plan": ("c.resolve_many_plan(['slow', 'other'])", "[value, 'other']", "calls == [1]"),
    "begin_override_layer": ("c.begin_override_layer()", "None",
                             "c.set_override('slow', f, False, False, []) is None and c.resolve('slow') == 'f'"),
    "set_override": ("c.set_override('slow', f, False, False, [])", "None", "c.resolve('slow') is value"),
    "get_provider_info": ("c.get_provider_info('slow')[1:]", "(True, False, [])", "True"),
    "get_cached": ("c.get_cached('slow')", "value", "True"),
    "set_cached": ("c.set_cached('slow', 'later')", "None", "c.get_cached('slow') == 'later'"),
    "end_override_layer": ("c.end_override_layer()", "None", "c.resolve('slow') is value"),
}

CASES = [(h, w) for h in HOLDERS for w in WAITERS if h == "waiting callable" or w == "resolve"]


@pytest.mark.parametrize("holder,waiter", CASES)
def test_a_waiting_thread_lets_the_holder_finish(run, holder, waiter):
    setup, hold, held = HOLDERS[holder]
    call, result, after = WAITERS[waiter]
    run(f"""
        c = Container()
        started, go = threading.Event(), threading.Event()
        calls, value = [], object()
        def slow():
            calls.append(1)
            started.set()
            assert go.wait(30)
            return value
        def busy():
            calls.append(1)
            started.set()
            while not go.is_set():
                sum(range(100))
            return value
        class Blocking:
            def __del__(self):
                calls.append(1)
                started.set()
                assert go.wait(30)
        c.register_provider("other", lambda: "other", False, False, [])
        {setup}
        holder = start(lambda: {hold})
        assert started.wait(30)
        waiter = start(lambda: {call})
        waiter[0].join(0.2)
        assert waiter[0].is_alive() and not waiter[1], waiter[1]
        go.set()  # this thread still runs while the waiter waits
        assert finish(*holder) == {{"ok": {held}}}
        assert finish(*waiter) == {{"ok": {result}}}
        assert {after}
        print("OK")
    """)


def test_concurrent_resolutions_call_a_singleton_once(run):
    run("""
        import time
        c = Container()
        calls = []
        def make():
            calls.append(1)
            time.sleep(0.05)  # lets the other threads pile up on the lock
            return object()
        c.register_provider("s", make, True, False, [])
        c.register_provider("d", lambda s: [s], False, False, ["s"])
        barrier = threading.Barrier(6)
        def at_once(call):
            return lambda: (barrier.wait(30), call())[1]
        threads = [start(at_once(call)) for call in [
            lambda: c.resolve("s"), lambda: c.resolve("d")[0], lambda: c.resolve_many(["d", "s"])[1],
            lambda: c.resolve_many_plan(["s", "d"])[0], lambda: c.resolve_many_plan(["d"])[0][0],
            lambda: c.resolve_many(["s"])[0]]]
        values = [finish(*t)["ok"] for t in threads]
        assert calls == [1]
        assert all(v is values[0] for v in values)
        print("OK")
    """)


@pytest.mark.parametrize("outer", ["c.resolve('k')", "c.resolve_many(['k'])", "c.resolve_many_plan(['k'])"])
def test_reentrant_call_from_a_callable(run, outer):
    run(f"""
        c, other = Container(), Container()
        other.register_provider("v", lambda: "v", False, False, [])
        c.register_provider("a", f, True, False, [])
        # A cached singleton read back by the same key object, as reads that
        # change nothing are answered: refused all the same.
        c.register_provider("s", f, True, False, [])
        reads = {{"resolve of a cached singleton": lambda c: c.resolve("s"),
                  "get_cached of a cached singleton": lambda c: c.get_cached("s")}}
        refused = {{}}
        def reenter():
            for name, call in [*ALL_TEN.items(), *reads.items()]:
                try:
                    call(c)
                except RuntimeError as e:
                    refused[name] = e.args
            return other.resolve("v")  # another container's lock is free
        c.register_provider("k", reenter, False, False, [])
        c.resolve("s")  # remembered at the generation the calls below see
        outcome = in_thread(lambda: {outer})
        assert "error" not in outcome, outcome
        assert outcome["ok"] in ("v", ["v"])
        assert refused == {{name: (REENTRY,) for name in [*ALL_TEN, *reads]}}
        # The refused calls did nothing: no record, no layer, no value.
        assert c.get_cached("a") is None
        c.set_override("z", f, False, False, [])
        try:
            c.resolve("z")
        except KeyError:
            pass
        else:
            raise AssertionError("a re-entrant call changed the container")

        raised = []
        def propagate():
            try:
                return c.get_cached("a")
            except RuntimeError as e:
                raised.append(e)
                raise
        c.register_provider("k", propagate, False, False, [])
        outcome = in_thread(lambda: {outer})
        assert raised and outcome == {{"error": raised[0]}}, outcome
        assert type(raised[0]) is RuntimeError and raised[0].args == (REENTRY,)
        c.register_provider("k", lambda: "k", False, False, [])
        assert in_thread(lambda: {outer}) == {{"ok": {outer}}}
        print("OK")
    """)


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
def test_reentrant_call_from_a_finalizer(run, trigger):
    setup, release, after = TRIGGERS[trigger]
    run(f"""
        c = Container()
        c.register_provider("a", f, False, False, [])
        class Finalized:
            def __call__(self):
                return "old"
            def __del__(self):
                c.resolve("a")
        unraisable = []
        sys.unraisablehook = unraisable.append
        # One thread makes and releases the object: a free-threaded CPython
        # finalizes an object that another thread made on that thread, later.
        def set_up_and_release():
            {setup}
            assert unraisable == []
            return {release}
        assert in_thread(set_up_and_release) == {{"ok": None}}
        assert len(unraisable) == 1, unraisable
        error = unraisable[0].exc_value
        assert type(error) is RuntimeError and error.args == (REENTRY,)
        assert {after}
        print("OK")
    """)


def test_one_thread_at_a_time_inside_a_container(run):
    # Each provider call yields the interpreter lock mid-way, so every other
    # thread reaches the container lock while it is held: hundreds of handoffs
    # between sleeping waiters, none of which may let two threads in at once.
    run("""
        import time
        c = Container()
        inside, most, calls = [0], [0], []
        def guarded():
            inside[0] += 1
            most[0] = max(most[0], inside[0])
            time.sleep(0)
            calls.append(1)
            inside[0] -= 1
            return 1
        c.register_provider("g", guarded, False, False, [])
        c.register_provider("d", lambda g: g + 1, False, False, ["g"])
        def hammer():
            return sum(c.resolve("g") + c.resolve_many(["d"])[0] for _ in range(150))
        threads = [start(hammer) for _ in range(4)]
        assert [finish(*t) for t in threads] == [{"ok": 450}] * 4
        assert most == [1] and len(calls) == 1200
        print("OK")
    """)


def test_values_replaced_while_other_threads_read_them(run):
    run("""
        c = Container()
        made = []
        def make():
            made.append(object())
            return made[-1]
        c.register_provider("s", make, True, False, [])
        c.resolve("s")
        stop = time.monotonic() + 1.0
        wrong = []
        def read():
            while time.monotonic() < stop:
                value, kept = c.resolve("s"), c.get_cached("s")
                if value is None or all(value is not m for m in made) or (kept is not None and
                                                                           all(kept is not m for m in made)):
                    wrong.append((value, kept))
        def write():
            while time.monotonic() < stop:
                replacement = make()
                c.set_cached("s", replacement)
                # The only writer: seen at once by its next read.
                if c.resolve("s") is not replacement or c.get_cached("s") is not replacement:
                    wrong.append("stale after set_cached")
                c.begin_override_layer()
                c.set_override("s", make, True, False, [])
                if c.resolve("s") is not made[-1]:
                    wrong.append("stale after set_override")
                c.end_override_layer()
                c.register_provider("s", make, True, False, [])  # readers build the next value
        threads = [start(read) for _ in range(3)] + [start(write)]
        for t in threads:
            assert finish(*t) == {"ok": None}
        assert not wrong, wrong[:3]
        print("OK")
    """)
