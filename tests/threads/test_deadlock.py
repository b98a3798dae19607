"""Singletons whose providers need each other's singleton, made by threads in opposite orders.

Threads that each make one singleton and wait for the next one round a ring
would wait for ever. The wait that closes the ring is refused with a
RuntimeError instead: that thread's call fails, the singleton it was making is
left to the thread that waited for it, and every other thread finishes. The
ring may run through one container or through several, and through containers
whose lock a thread holds while a provider runs (the fault-injection build's
switch calls a provider without dependencies with the lock held).
"""
import pytest

from reliability_support import check_ok, script

RING = """
    n = {n}
    rings = [Container()] * n if {shared} else [Container() for _ in range(n)]
    barrier = threading.Barrier(n)
    made = [[] for _ in range(n)]
    for i, c in enumerate(rings):
        following, nxt = rings[(i + 1) % n], "enter%d" % ((i + 1) % n)
        # The first call makes its singleton, waits until every thread makes
        # its own, then needs the next one round the ring; a second call, by
        # the thread that waited for a refused maker, needs nothing.
        def enter(i=i, following=following, nxt=nxt):
            made[i].append(1)
            if len(made[i]) > 1:
                return "made again"
            barrier.wait(30)
            return ("enter", {inner})
        c.register_provider("enter%d" % i, enter, True, False, [])
"""

INNER = {
    "resolve": "following.resolve(nxt)",
    "resolve_many": "following.resolve_many([nxt])[0]",
    "resolve_many_plan": "following.resolve_many_plan([nxt])[0]",
}
OUTER = {
    "resolve": "c.resolve('enter%d' % i)",
    "resolve_many": "c.resolve_many(['enter%d' % i])[0]",
}


@pytest.mark.parametrize("n", [2, 3, 4])
@pytest.mark.parametrize("shared", [True, False], ids=["one container", "a container each"])
@pytest.mark.parametrize("inner", INNER)
@pytest.mark.parametrize("outer", OUTER)
def test_a_ring_of_waits_refuses_exactly_one_and_the_others_finish(run_python, n, shared, inner, outer):
    check_ok(run_python(script(RING.format(n=n, shared=shared, inner=INNER[inner]), f"""
        threads = [start(lambda c=c, i=i: {OUTER[outer]}) for i, c in enumerate(rings)]
        outcomes = [finish(*t, timeout=20) for t in threads]
        refused = [i for i, o in enumerate(outcomes) if "error" in o]
        assert len(refused) == 1, outcomes
        error = outcomes[refused[0]]["error"]
        assert type(error) is RuntimeError and str(error).startswith(DEADLOCK), repr(error)
        # The refused thread's singleton was made by the one that waited for it.
        assert [len(m) for m in made] == [2 if i in refused else 1 for i in range(n)], made
        for i, (c, o) in enumerate(zip(rings, outcomes)):
            kept = c.get_cached("enter%d" % i)
            if "ok" in o:
                assert o["ok"] is kept and kept == ("enter", rings[(i + 1) % n].get_cached("enter%d" % ((i + 1) % n)))
            else:
                assert kept == "made again"
        print("OK")
    """), timeout=60))


HELD_DEADLOCK = ("Deadlock detected: the container is held by a thread that is waiting for a container held by "
                 "the calling thread")
MADE_DEADLOCK = ("Deadlock detected: the singleton for key 'enter' is being made by a thread that is waiting for "
                 "the calling thread")

# Thread i runs rings[i]'s "enter": with rings[i]'s lock held ("held", the
# fault build's switch), or as a singleton it makes ("made"). Its provider
# waits until every thread holds or makes its own, then asks the next
# container round the ring through INNER; a later maker of a singleton whose
# first maker was refused returns at once.
MIXED_RING = """
    KINDS = {kinds!r}
    INNER = {{"held": lambda following: following.get_cached("leaf"),
              "made": lambda following: following.resolve_many(["enter"])[0]}}
    n = len(KINDS)
    rings = [Container() for _ in range(n)]
    barrier = threading.Barrier(n)
    calls = [0] * n
    def entering(i, following):
        def provider():
            calls[i] += 1
            if calls[i] > 1:
                return "again"
            barrier.wait(30)
            return INNER[KINDS[(i + 1) % n]](following)
        return provider
    for i, c in enumerate(rings):
        c.register_provider("leaf", lambda: "leaf", False, False, [])
        c.register_provider("enter", entering(i, rings[(i + 1) % n]), KINDS[i] == "made", False, [])
"""


@pytest.mark.parametrize("kinds", [("held", "held"), ("held", "held", "held", "held"), ("held", "made"),
                                   ("made", "held", "held"), ("held", "made", "held", "made")])
def test_a_ring_through_held_containers_refuses_exactly_one(run_faulty, kinds):
    # One record of waits for the lock and for makers: a ring through held
    # locks, or through both, is found whichever wait closes it, and refused
    # with the message of what that wait was for.
    check_ok(run_faulty(script("HELD_DEADLOCK, MADE_DEADLOCK = %r, %r" % (HELD_DEADLOCK, MADE_DEADLOCK),
                               MIXED_RING.format(kinds=kinds), """
        outer = {"held": lambda c: c.resolve("enter"), "made": lambda c: c.resolve_many(["enter"])[0]}
        threads = [start(lambda c=c, kind=kind: outer[kind](c)) for c, kind in zip(rings, KINDS)]
        outcomes = [finish(*t, timeout=20) for t in threads]
        refused = [i for i, o in enumerate(outcomes) if "error" in o]
        assert len(refused) == 1, outcomes
        error = outcomes[refused[0]]["error"]
        expected = HELD_DEADLOCK if KINDS[(refused[0] + 1) % n] == "held" else MADE_DEADLOCK
        assert type(error) is RuntimeError and error.args == (expected,), outcomes
        assert calls == [2 if i == refused[0] and KINDS[i] == "made" else 1 for i in range(n)], calls
        # Every container is free and sound again.
        assert [c.resolve("leaf") for c in rings] == ["leaf"] * n
        print("OK")
    """), faults="calls_under_lock", timeout=60))


# What a provider asks of a container another thread holds: each waits for its lock.
HELD_INNER = {
    "resolve": ("following.resolve('leaf')", "'leaf'"),
    "resolve_many_plan": ("following.resolve_many_plan(['leaf'])", "['leaf']"),
    "register_provider": ("following.register_provider('other', f, False, False, [])", "None"),
}


@pytest.mark.parametrize("inner", HELD_INNER)
def test_every_call_that_waits_for_a_held_container_takes_part_in_the_ring(run_faulty, inner):
    call, result = HELD_INNER[inner]
    check_ok(run_faulty(script(f"""
        def f():
            return "f"
        rings = [Container() for _ in range(3)]
        barrier = threading.Barrier(3)
        for i, c in enumerate(rings):
            c.register_provider("leaf", lambda: "leaf", False, False, [])
            c.register_provider("enter", lambda following=rings[(i + 1) % 3]: (barrier.wait(30), {call})[1],
                                False, False, [])
        threads = [start(lambda c=c: c.resolve("enter")) for c in rings]
        outcomes = [finish(*t, timeout=20) for t in threads]
        refused = [o["error"] for o in outcomes if "error" in o]
        assert len(refused) == 1 and refused[0].args == ({HELD_DEADLOCK!r},), outcomes
        assert [o["ok"] for o in outcomes if "ok" in o] == [{result}] * 2, outcomes
        print("OK")
    """), faults="calls_under_lock", timeout=60))


# Whether the threads wait for singletons being made, or for locks held while
# a provider runs.
FLAVOURS = ["singletons being made", "held locks"]


def run_flavour(request, flavour, code, timeout):
    if flavour == "held locks":
        return request.getfixturevalue("run_faulty")("MADE = False\n" + code, faults="calls_under_lock",
                                                     timeout=timeout)
    return request.getfixturevalue("run_python")("MADE = True\n" + code, timeout=timeout)


@pytest.mark.parametrize("flavour", FLAVOURS)
def test_waits_that_form_no_ring_are_not_refused(request, flavour):
    # A chain: one thread makes (or holds) A and waits for B, another makes B
    # and waits for C, whose maker is busy but waits for nothing; a fourth
    # waits for A.
    check_ok(run_flavour(request, flavour, script("""
        a, b, c = Container(), Container(), Container()
        go = threading.Event()
        held = {"a": threading.Event(), "b": threading.Event(), "c": threading.Event()}
        def holding(name, then):
            def provider():
                held[name].set()
                return then()
            return provider
        c.register_provider("k", holding("c", lambda: go.wait(30) and "c"), MADE, False, [])
        b.register_provider("k", holding("b", lambda: c.resolve("k") + "b"), MADE, False, [])
        a.register_provider("k", holding("a", lambda: (held["b"].wait(30), b.resolve("k"))[1] + "a"), MADE, False, [])
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


def test_calling_back_through_another_container_is_an_ordinary_call(run_python):
    check_ok(run_python(script("""
        a, b = Container(), Container()
        a.register_provider("k", lambda: b.resolve("k"), False, False, [])
        a.register_provider("v", lambda: "v", False, False, [])
        b.register_provider("k", lambda: a.resolve("v"), False, False, [])
        assert finish(*start(lambda: a.resolve("k"))) == {"ok": "v"}
        # Back to a key that this thread resolves: a cycle, not a hang or a recursion error.
        a.register_provider("p", lambda: b.resolve("q"), False, False, [])
        b.register_provider("q", lambda: a.resolve_many(["p"]), False, False, [])
        error = finish(*start(lambda: a.resolve("p"))).get("error")
        assert type(error) is RuntimeError and error.args == ("Dependency cycle detected at key: p",), repr(error)
        print("OK")
    """), timeout=60))


def test_calling_back_into_a_held_container_is_a_reentrant_call_not_a_deadlock(run_faulty):
    # With a's lock held around its provider, which holds b's around b's, the
    # call back into a waits for nobody but the calling thread itself.
    check_ok(run_faulty(script("""
        REENTRY = "Container is already in use by the calling thread (a re-entrant call)"
        a, b = Container(), Container()
        a.register_provider("k", lambda: b.resolve("k"), False, False, [])
        a.register_provider("v", lambda: "v", False, False, [])
        b.register_provider("k", lambda: a.resolve("v"), False, False, [])
        error = finish(*start(lambda: a.resolve("k"))).get("error")
        assert type(error) is RuntimeError and error.args == (REENTRY,), repr(error)
        assert a.resolve("v") == "v" and b.resolve_many(["k"]) == ["v"]
        print("OK")
    """), faults="calls_under_lock", timeout=60))


@pytest.mark.parametrize("flavour", FLAVOURS)
def test_opposite_orders_in_many_unsynchronised_rounds_never_hang(request, flavour):
    # Without a barrier the two threads sometimes meet and sometimes do not:
    # whatever the timing, a round refuses at most one of them and never hangs.
    # A singleton needs the other side's only when made by its own side's
    # thread, so no thread meets a cycle of its own.
    check_ok(run_flavour(request, flavour, script("""
        a, b = Container(), Container()
        side = threading.local()
        def resolve_as(name, c):
            def call():
                side.name = name
                return c.resolve("cross")
            return call
        met = 0
        for _ in range(60):
            for this, other, name in ((a, b, "a"), (b, a, "b")):
                this.register_provider("cross", lambda other=other, name=name: (
                    time.sleep(0.001), other.resolve("cross"))[1] if side.name == name else "leaf", MADE, False, [])
            rounds = [start(resolve_as("a", a)), start(resolve_as("b", b))]
            outcomes = [finish(*t, timeout=20) for t in rounds]
            refused = [o["error"] for o in outcomes if "error" in o]
            assert len(refused) <= 1, outcomes
            if refused:
                met += 1
                assert str(refused[0]).startswith(DEADLOCK), refused
            assert [o["ok"] for o in outcomes if "ok" in o] == ["leaf"] * (2 - len(refused))
        print(f"refused in {met} of 60 rounds")
        print("OK")
    """), timeout=120))
