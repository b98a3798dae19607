"""A fork of the process while containers are in use.

The child has only the forking thread: a singleton that another thread was
making at the fork can never be made there, so resolving it must fail at once,
while everything else (the same container included) goes on working in the
child; a container whose lock another thread held (the fault-injection build's
switch calls a provider without dependencies with the lock held) can never be
released there, so every operation on it must fail at once. The parent is not
affected. Each scenario runs in a subprocess with a timeout, the child's exit
awaited with one too.
"""
import os

import pytest

from all_methods import ALL_TEN_SOURCE
from reliability_support import check_ok, script

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="the platform has no fork")

PRELUDE = """
import warnings
# Forking a process with threads is what is tested here.
warnings.simplefilter("ignore", DeprecationWarning)
def f(*args):
    return "f"
""" + ALL_TEN_SOURCE + """
def in_child(child_body):
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            child_body()
            status = 0
        except BaseException:
            import traceback
            traceback.print_exc()
        finally:
            os._exit(status)
    return wait_child(pid)

def wait_child(pid):
    deadline = time.monotonic() + 30
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            raise AssertionError("the child hangs")
        time.sleep(0.01)
"""


def test_a_singleton_another_thread_was_making_fails_in_the_child(run_python):
    code = script(PRELUDE, """
        held, go = threading.Event(), threading.Event()
        def hold():
            held.set()
            go.wait(30)
            return "held"
        c = Container()
        c.register_provider("a", f, True, False, [])
        c.register_provider("hold", hold, True, False, [])
        c.register_provider("uses_hold", lambda h: [h], False, False, ["hold"])
        c.register_provider("s", f, True, False, [])
        c.resolve("s")  # a cached value, remembered by its key object
        reads = {"resolve of a cached singleton": lambda c: c.resolve("s"),
                 "get_cached of a cached singleton": lambda c: c.get_cached("s")}
        other = Container()
        other.register_provider("a", f, True, False, [])
        holder = start(lambda: c.resolve("hold"))
        assert held.wait(30)
        # Another thread waits for it too: its wait is lost in the fork.
        waiter = start(lambda: c.resolve_many(["hold"]))
        time.sleep(0.05)
        def child():
            needs = {"resolve": lambda: c.resolve("hold"), "resolve_many": lambda: c.resolve_many(["a", "hold"]),
                     "resolve_many_plan": lambda: c.resolve_many_plan(["uses_hold"]),
                     "a dependent": lambda: c.resolve("uses_hold")}
            for name, need in needs.items():
                for attempt in range(2):  # it stays unmade
                    try:
                        need()
                    except RuntimeError as e:
                        assert "when the process forked" in str(e), (name, str(e))
                    else:
                        raise AssertionError(name + " did not fail")
            # Everything else works, in this container and in others.
            for name, call in [*ALL_TEN.items(), *reads.items()]:
                call(c)
            assert c.get_cached("a") == 1 and c.resolve("z") == "f"
            assert other.resolve("a") == "f" and other.resolve_many_plan(["a"]) == ["f"]
            fresh = Container()
            fresh.register_provider("n", lambda: 7, False, False, [])
            assert fresh.resolve("n") == 7
        assert in_child(child) == 0
        go.set()
        assert finish(*holder) == {"ok": "held"}
        assert finish(*waiter) == {"ok": ["held"]}
        assert c.resolve("a") == "f"
        print("OK")
    """)
    check_ok(run_python(code, timeout=120))


def test_a_container_another_thread_held_fails_every_operation_in_the_child(run_faulty):
    # The switch is armed once the cached value is made.
    check_ok(run_faulty(script(PRELUDE, """
        FORKED = ("Container was in use by another thread when the process forked; it cannot be used in "
                  "this process")
        held, go = threading.Event(), threading.Event()
        def hold():
            held.set()
            go.wait(30)
            return "held"
        c = Container()
        c.register_provider("a", f, False, False, [])
        c.register_provider("hold", hold, False, False, [])
        c.register_provider("s", f, True, False, [])
        c.resolve("s")  # a cached value, remembered by its key object
        reads = {"resolve of a cached singleton": lambda c: c.resolve("s"),
                 "get_cached of a cached singleton": lambda c: c.get_cached("s")}
        other = Container()
        other.register_provider("a", f, True, False, [])
        os.environ["QUORIX_FAULTS"] = "calls_under_lock"
        holder = start(lambda: c.resolve("hold"))
        assert held.wait(30)
        # Another thread waits too: its place in the queue is lost in the fork.
        waiter = start(lambda: c.resolve("a"))
        time.sleep(0.05)
        def child():
            for name, call in [*ALL_TEN.items(), *reads.items()]:
                for attempt in range(2):  # it stays unusable
                    try:
                        call(c)
                    except RuntimeError as e:
                        assert str(e) == FORKED, (name, str(e))
                    else:
                        raise AssertionError(name + " did not fail")
            # Containers no lost thread held work normally, new ones too.
            del os.environ["QUORIX_FAULTS"]
            assert other.resolve("a") == "f" and other.resolve_many_plan(["a"]) == ["f"]
            fresh = Container()
            fresh.register_provider("n", lambda: 7, False, False, [])
            assert fresh.resolve("n") == 7
        assert in_child(child) == 0
        go.set()
        assert finish(*holder) == {"ok": "held"}
        assert finish(*waiter) == {"ok": "f"}
        assert c.resolve("a") == "f"
        print("OK")
    """), timeout=120))


@pytest.mark.parametrize("holds", ["a singleton being made", "the lock"])
@pytest.mark.parametrize("waiting", [0, 3], ids=["alone", "with waiters"])
def test_a_fork_from_inside_a_provider_lets_the_forking_thread_finish(request, run_python, waiting, holds):
    # The waiters wait for the singleton "fork", or (the fault build's switch
    # calling "fork" with the lock held) for the lock.
    made = holds == "a singleton being made"
    wanted = "fork" if made else "a"
    got = "forking" if made else "f"
    code = script(PRELUDE, f"""
        c = Container()
        c.register_provider("a", f, False, False, [])
        waiters = []
        forked = []
        def forking():
            for _ in range({waiting}):
                waiters.append(start(lambda: c.resolve("{wanted}")))
            time.sleep(0.1)  # the waiters are asleep, waiting for this singleton or the lock, at the fork
            forked.append(os.fork())
            return "forking"
        c.register_provider("fork", forking, {made}, False, [])
        value = c.resolve("fork")
        if forked[0] == 0:
            status = 1
            try:
                # The resolution ended normally, and the container works on.
                assert value == "forking" and (not {made} or c.resolve("fork") == "forking")
                assert c.resolve("a") == "f" and c.resolve_many_plan(["a"]) == ["f"]
                worker = start(lambda: c.resolve_many(["a", "a"]))
                assert finish(*worker) == {{"ok": ["f", "f"]}}
                status = 0
            finally:
                os._exit(status)
        assert wait_child(forked[0]) == 0
        for waiter in waiters:
            assert finish(*waiter) == {{"ok": "{got}"}}
        assert value == "forking"
        print("OK")
    """)
    if made:
        check_ok(run_python(code, timeout=120))
    else:
        check_ok(request.getfixturevalue("run_faulty")(code, faults="calls_under_lock", timeout=120))
