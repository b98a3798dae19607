"""Containers whose providers call into each other in opposite orders.

Threads that each hold one container and wait for the next one round a ring
would wait for ever. The wait that closes the ring is refused with a
RuntimeError instead: that thread's call fails and releases what it holds, and
every other thread finishes.
"""
import pytest

from reliability_support import check_ok, script

RING = """
    n = {n}
    rings = [Container() for _ in range(n)]
    barrier = threading.Barrier(n)
    for i, c in enumerate(rings):
        following = rings[(i + 1) % n]
        c.register_provider("leaf", lambda: "leaf", True, False, [])
        # Holds this container, waits until every thread holds its own, then
        # calls into the next container round the ring.
        c.register_provider("enter", lambda following=following: (barrier.wait(30), {inner})[1], False, False, [])
"""

INNER = {
    "resolve": ("following.resolve('leaf')", "'leaf'"),
    "resolve_many_plan": ("following.resolve_many_plan(['leaf'])", "['leaf']"),
    "get_cached": ("following.get_cached('leaf')", "None"),
    "register_provider": ("following.register_provider('other', f, False, False, [])", "None"),
}
OUTER = {
    "resolve": ("c.resolve('enter')", "{}"),
    "resolve_many": ("c.resolve_many(['enter'])", "[{}]"),
}


@pytest.mark.parametrize("n", [2, 3, 4])
@pytest.mark.parametrize("inner", INNER)
@pytest.mark.parametrize("outer", OUTER)
def test_a_ring_of_waits_refuses_exactly_one_and_the_others_finish(run_python, n, inner, outer):
    call, result = INNER[inner]
    outer_call, outer_result = OUTER[outer]
    check_ok(run_python(script("""
        def f():
            return "f"
    """, RING.format(n=n, inner=call), f"""
        threads = [start(lambda c=c: {outer_call}) for c in rings]
        outcomes = [finish(*t, timeout=20) for t in threads]
        refused = [o["error"] for o in outcomes if "error" in o]
        assert len(refused) == 1, outcomes
        assert type(refused[0]) is RuntimeError and refused[0].args == (DEADLOCK,), refused
        expected = {outer_result.format(result)}
        assert [o["ok"] for o in outcomes if "ok" in o] == [expected] * (n - 1), outcomes
        # Every container is free and sound again.
        assert [c.resolve("leaf") for c in rings] == ["leaf"] * n
        print("OK")
    """), timeout=60))


def test_waits_that_form_no_ring_are_not_refused(run_python):
    # A chain: one thread holds A and waits for B, another holds B and waits for
    # C, whose holder is busy but waits for nothing; a fourth waits for A.
    check_ok(run_python(script("""
        a, b, c = Container(), Container(), Container()
        go = threading.Event()
        held = {"a": threading.Event(), "b": threading.Event(), "c": threading.Event()}
        def holding(name, then):
            def provider():
                held[name].set()
                return then()
            return provider
        c.register_provider("k", holding("c", lambda: go.wait(30) and "c"), False, False, [])
        b.register_provider("k", holding("b", lambda: c.resolve("k") + "b"), False, False, [])
        a.register_provider("k", holding("a", lambda: (held["b"].wait(30), b.resolve("k"))[1] + "a"), False, False, [])
        third = start(lambda: c.resolve("k"))
        assert held["c"].wait(30)
        second = start(lambda: b.resolve("k"))
        first = start(lambda: a.resolve("k"))
        assert held["a"].wait(30)
        fourth = start(lambda: a.resolve_many(["k"]))
        time.sleep(0.2)  # many slices: each waiter has checked for a ring again and again
        assert all(t[0].is_alive() and not t[1] for t in (first, second, fourth))
        go.set()
        assert finish(*third) == {"ok": "c"}
        assert finish(*second) == {"ok": "cb"}
        assert finish(*first) == {"ok": "cba"}
        assert finish(*fourth) == {"ok": ["cba"]}
        print("OK")
    """), timeout=60))


def test_calling_back_through_another_container_is_a_reentrant_call_not_a_deadlock(run_python):
    check_ok(run_python(script("""
        a, b = Container(), Container()
        a.register_provider("k", lambda: b.resolve("k"), False, False, [])
        a.register_provider("v", lambda: "v", False, False, [])
        b.register_provider("k", lambda: a.resolve("v"), False, False, [])
        outcome = finish(*start(lambda: a.resolve("k")))
        error = outcome.get("error")
        assert type(error) is RuntimeError and error.args == (REENTRY,), outcome
        print("OK")
    """), timeout=60))


def test_opposite_orders_in_many_unsynchronised_rounds_never_hang(run_python):
    # Without a barrier the two threads sometimes meet and sometimes do not:
    # whatever the timing, a round refuses at most one of them and never hangs.
    check_ok(run_python(script("""
        a, b = Container(), Container()
        for this, other in ((a, b), (b, a)):
            this.register_provider("leaf", lambda: "leaf", False, False, [])
            this.register_provider("cross", lambda other=other: (time.sleep(0.001), other.resolve("leaf"))[1],
                                   False, False, [])
        met = 0
        for _ in range(60):
            rounds = [start(lambda: a.resolve("cross")), start(lambda: b.resolve("cross"))]
            outcomes = [finish(*t, timeout=20) for t in rounds]
            refused = [o["error"] for o in outcomes if "error" in o]
            assert len(refused) <= 1, outcomes
            if refused:
                met += 1
                assert refused[0].args == (DEADLOCK,), refused
            assert [o["ok"] for o in outcomes if "ok" in o] == ["leaf"] * (2 - len(refused))
        print(f"refused in {met} of 60 rounds")
        print("OK")
    """), timeout=120))
