"""Signals reach a thread that waits for a singleton another thread is making, or for a held lock.

The main thread waits for a singleton whose maker runs a slow provider, or
for the container's lock while another thread's slow provider runs under it
(the fault-injection build's switch calls a provider without dependencies with
the lock held); a signal (Ctrl-C) must be handled while it waits, not when the
maker or holder finishes. A handler that raises makes the waiting call fail
with that exception, having changed nothing; one that returns lets the wait go
on.
"""
import pytest

from all_methods import ALL_TEN_SOURCE
from reliability_support import check_ok, script

SETUP = """
# Ctrl-C raises KeyboardInterrupt even if the parent ignored SIGINT (as a shell
# without job control does for its background jobs).
signal.signal(signal.SIGINT, signal.default_int_handler)

def f(*args):
    return "f"

c = Container()
started, go = threading.Event(), threading.Event()
value = object()
def waiting():
    started.set()
    go.wait(10)  # bounded, so a wait that cannot be interrupted fails instead of hanging
    return value
def computing():
    started.set()
    deadline = time.monotonic() + 10
    while not go.is_set() and time.monotonic() < deadline:
        sum(range(100))
    return value
def original_a():
    return "a"
c.register_provider("a", original_a, True, False, [])
c.register_provider("uses_slow", lambda s: [s], False, False, ["slow"])
c.begin_override_layer()
c.set_override("o", f, False, False, [])

def unchanged():
    # The record of "a" is the original one and holds no value, "z" has no
    # provider, and exactly one layer is open.
    assert c.get_provider_info("a")[0] is original_a
    assert c.get_cached("a") is None
    try:
        c.get_provider_info("z")
    except KeyError:
        pass
    else:
        raise AssertionError("an interrupted call added a record")
    c.end_override_layer()
    try:
        c.resolve("o")
    except KeyError:
        pass
    else:
        raise AssertionError("an interrupted call opened or closed a layer")
"""


def holding(provider, singleton=True):
    return f"""
        c.register_provider("slow", {provider}, {singleton}, False, [])
        holder = start(lambda: c.resolve("slow"))
        assert started.wait(30)
    """


# The calls that wait for "slow": "a" comes after it, so it is never made.
WAITING = {
    "resolve": "c.resolve('slow')",
    "resolve_many": "c.resolve_many(['slow', 'a'])",
    "resolve_many_plan": "c.resolve_many_plan(['slow', 'a'])",
    "a dependent": "c.resolve('uses_slow')",
}


@pytest.mark.parametrize("provider", ["waiting", "computing"])
@pytest.mark.parametrize("method", WAITING)
def test_ctrl_c_interrupts_a_waiting_call_which_changes_nothing(run_python, provider, method):
    check_ok(run_python(script(SETUP, holding(provider), f"""
        threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            {WAITING[method]}
        except KeyboardInterrupt:
            holder_busy = holder[0].is_alive() and not holder[1]
        else:
            raise AssertionError("no KeyboardInterrupt")
        assert holder_busy, "interrupted only after the maker finished"
        go.set()
        assert finish(*holder) == {{"ok": value}}
        unchanged()
        {WAITING[method]}  # usable afterwards: the made value answers
        assert c.resolve("slow") is value
        print("OK")
    """), timeout=60))


@pytest.mark.parametrize("provider", ["waiting", "computing"])
@pytest.mark.parametrize("method", ["register_provider", "resolve", "resolve_many", "resolve_many_plan",
                                    "begin_override_layer", "set_override", "get_provider_info", "get_cached",
                                    "set_cached", "end_override_layer"])
def test_ctrl_c_interrupts_a_call_waiting_for_the_lock_which_changes_nothing(run_faulty, provider, method):
    check_ok(run_faulty(script(ALL_TEN_SOURCE, SETUP, holding(provider, singleton=False), f"""
        threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            ALL_TEN["{method}"](c)
        except KeyboardInterrupt:
            holder_busy = holder[0].is_alive() and not holder[1]
        else:
            raise AssertionError("no KeyboardInterrupt")
        assert holder_busy, "interrupted only after the holder released the container"
        go.set()
        assert finish(*holder) == {{"ok": value}}
        unchanged()
        del os.environ["QUORIX_FAULTS"]  # the resolutions below walk as usual
        ALL_TEN["{method}"](c)  # usable afterwards
        print("OK")
    """), faults="calls_under_lock", timeout=60))


HANDLERS = {
    # The handler's exception is what the call raises: the very object.
    "raises": ("""
        raised = LookupError("from the handler")
        def handler(signum, frame):
            handled.append(holder[0].is_alive())
            raise raised
    """, """
        try:
            c.resolve_many(["slow", "a"])
        except LookupError as e:
            assert e is raised
        else:
            raise AssertionError("the handler's exception was lost")
        go.set()
        unchanged()
    """),
    # A handler that returns lets the wait go on; the call then completes.
    "returns": ("""
        def handler(signum, frame):
            handled.append(holder[0].is_alive())
    """, """
        result = c.resolve_many(["slow", "a"])
        assert result == [value, "a"] and c.get_cached("a") == "a"
    """),
}


@pytest.mark.parametrize("wait", ["for a singleton being made", "for the lock"])
@pytest.mark.parametrize("handler", HANDLERS)
def test_signal_handlers_run_while_a_call_waits(request, run_python, handler, wait):
    define, waiting = HANDLERS[handler]
    under_lock = wait == "for the lock"
    code = script(SETUP, holding("waiting", singleton=not under_lock), "handled = []", define, """
        signal.signal(signal.SIGUSR1, handler)
        def release_later():
            wait_until(lambda: handled)
            go.set()
        threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        releaser = start(release_later)
    """, waiting, """
        assert handled == [True], handled  # ran once, while the maker or holder still ran "slow"
        assert finish(*holder) == {"ok": value}
        finish(*releaser)
        print("OK")
    """)
    if under_lock:
        check_ok(request.getfixturevalue("run_faulty")(code, faults="calls_under_lock", timeout=60))
    else:
        check_ok(run_python(code, timeout=60))


def test_a_waiting_thread_other_than_the_main_one_is_not_disturbed_by_signals(run_python):
    # Only the main thread runs handlers: a waiter elsewhere keeps waiting and
    # gets its result, while the main thread takes the KeyboardInterrupt.
    check_ok(run_python(script(SETUP, holding("waiting"), """
        waiter = start(lambda: c.resolve_many(["a", "slow"]))
        time.sleep(0.05)
        try:
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(5)
        except KeyboardInterrupt:
            pass
        else:
            raise AssertionError("no KeyboardInterrupt")
        assert waiter[0].is_alive() and not waiter[1]
        go.set()
        assert finish(*holder) == {"ok": value}
        assert finish(*waiter) == {"ok": ["a", value]}
        print("OK")
    """), timeout=60))
