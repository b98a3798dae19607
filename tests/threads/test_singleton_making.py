"""A singleton is made once: threads that need it while another thread makes it wait for that value.

If the maker fails, one of the waiters makes it; a value written while it is
made wins for later reads. Each case runs in a subprocess with a timeout, its
threads joined with timeouts.
"""
import pytest

from reliability_support import check_ok, script

# Ways to need the singleton "s": directly, through the dependent "d", in batches.
NEEDS = """
c.register_provider("d", lambda s: [s], False, False, ["s"])
NEEDS = [lambda: c.resolve("s"), lambda: c.resolve("d")[0], lambda: c.resolve_many(["d", "s"])[1],
         lambda: c.resolve_many_plan(["s", "d"])[0], lambda: c.resolve_many_plan(["d"])[0][0],
         lambda: c.resolve_many(["s"])[0]]
"""


def test_a_storm_of_resolutions_calls_a_singleton_once(run_python):
    check_ok(run_python(script("""
        c = Container()
        calls = []
        def make():
            calls.append(1)
            time.sleep(0.05)  # every other thread comes to need it meanwhile
            return object()
        c.register_provider("s", make, True, False, [])
    """, NEEDS, """
        barrier = threading.Barrier(16)
        def at_once(need):
            return lambda: (barrier.wait(30), need())[1]
        threads = [start(at_once(NEEDS[i % len(NEEDS)])) for i in range(16)]
        values = [finish(*t)["ok"] for t in threads]
        assert calls == [1]
        assert all(v is values[0] for v in values) and c.get_cached("s") is values[0]
        print("OK")
    """), timeout=60))


def test_a_failed_maker_leaves_the_singleton_to_one_waiter(run_python):
    check_ok(run_python(script("""
        c = Container()
        first, go = threading.Event(), threading.Event()
        makers, value, boom = [], object(), LookupError("boom")
        def make():
            makers.append(threading.get_ident())
            if len(makers) == 1:
                first.set()
                assert go.wait(30)
                raise boom
            time.sleep(0.05)  # the other waiters are still waiting while it is made again
            return value
        c.register_provider("s", make, True, False, [])
    """, NEEDS, """
        maker = start(lambda: c.resolve("s"))
        assert first.wait(30)
        waiters = [start(need) for need in NEEDS]
        time.sleep(0.2)
        assert all(t.is_alive() and not outcome for t, outcome in waiters), "a waiter did not wait"
        go.set()
        assert finish(*maker) == {"error": boom}
        assert [finish(*w) for w in waiters] == [{"ok": value}] * len(NEEDS)
        assert len(makers) == 2 and makers[1] != makers[0], makers
        assert c.get_cached("s") is value
        print("OK")
    """), timeout=60))


# A write for "s" while it is made, what it leaves in the cache, and what later reads give.
WRITES = {
    "set_cached": ("c.set_cached('s', 'written')", "c.get_cached('s') == 'written'"),
    "register_provider": ("c.register_provider('s', lambda: 'written', True, False, [])",
                          "c.get_cached('s') is None"),
}
WRITTEN_BY = {
    "the provider itself": "{write}",
    "another thread": "assert finish(*start(lambda: {write}), timeout=10) == {{'ok': None}}",
}


@pytest.mark.parametrize("by", WRITTEN_BY)
@pytest.mark.parametrize("write", WRITES)
def test_a_write_while_the_singleton_is_made_wins_for_later_reads(run_python, write, by):
    make_write, after = WRITES[write]
    check_ok(run_python(script(f"""
        c = Container()
        value, calls = object(), []
        def make():
            calls.append(1)
            {WRITTEN_BY[by].format(write=make_write)}
            return value
        c.register_provider("s", make, True, False, [])
        made = finish(*start(lambda: c.resolve("s")))
        assert made == {{"ok": value}}, made  # the maker's caller gets what it made
        assert {after}
        assert c.resolve("s") == "written" and c.resolve_many_plan(["s"]) == ["written"]
        assert c.get_cached("s") == "written" and calls == [1]
        print("OK")
    """), timeout=60))


def test_values_replaced_while_other_threads_read_them(run_python):
    check_ok(run_python(script("""
        c = Container()
        made = []
        def make():
            made.append(object())
            return made[-1]
        overridden = []
        def make_override():
            overridden.append(make())
            return overridden[-1]
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
                c.set_override("s", make_override, True, False, [])
                # A read begun before the override may still make the base
                # record's value meanwhile: the override's own value is checked.
                if c.resolve("s") is not overridden[-1]:
                    wrong.append("stale after set_override")
                c.end_override_layer()
                c.register_provider("s", make, True, False, [])  # readers make the next value
        threads = [start(read) for _ in range(3)] + [start(write)]
        for t in threads:
            assert finish(*t) == {"ok": None}
        assert not wrong, wrong[:3]
        print("OK")
    """), timeout=90))
