"""What a thread that waits for a container, or for a singleton another thread makes, may run.

While the main thread resolves "hold", another thread's provider is making it
(a singleton), or holds the container's lock while it runs (the fault-injection
build's switch calls a provider without dependencies with the lock held, as a
collection or a finalizer run by the module's own work under the lock would).
The wait must let Python code that runs inside it (a signal handler, a
collection) use containers without being handed the container meanwhile, must
notice a fork made by such code, must read a caller's request whole, and must
not leave the container at exit to a daemon thread that will never run again.
"""
import sysconfig

import pytest

from reliability_support import check_ok, script

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.fixture(params=["a singleton being made", "the lock"])
def run_waiting(request, run_python):
    """Runs code in which MADE says whether "hold" and the other slow keys are
    singletons made by another thread, or are called under the lock."""
    if request.param == "the lock":
        run_faulty = request.getfixturevalue("run_faulty")
        return lambda code, timeout=120: run_faulty("MADE = False\n" + code, faults="calls_under_lock",
                                                    timeout=timeout)
    return lambda code, timeout=120: run_python("MADE = True\n" + code, timeout=timeout)

HOLDER = """
c = Container()
for key in ("a", "b", "c", "d"):
    c.register_provider(key, (lambda key=key: key.upper()), False, False, [])
started = threading.Event()
holding = {"trigger": None, "delay": 0.3}
def hold():
    started.set()
    time.sleep(holding["delay"])
    trigger, holding["trigger"] = holding["trigger"], None  # for its first maker only
    if trigger:
        trigger()
    return "held"
# Registered once here, made once per test: a registration later would drop
# what the container keeps between calls.
c.register_provider("hold", hold, MADE, False, [])
def hold_until(trigger, delay):
    # Another thread's provider makes "hold" for `delay` seconds, then runs
    # `trigger`, while the main thread goes on to wait for it.
    holding.update(trigger=trigger, delay=delay)
    started.clear()
    holder = start(lambda: c.resolve("hold"))
    assert started.wait(30)
    return holder
"""


@pytest.mark.parametrize(
    "change, allowed",
    [
        ("request.clear()", ([], ["A", "B", "C"])),
        ("del request[1:]", (["A"], ["A", "B", "C"])),
        ("request[:] = ['c', 'b', 'a']", (["C", "B", "A"], ["A", "B", "C"])),
        # Read with its old length, the new list is the kept request
        # ["b", "c", "d"], which was never made of this list.
        ("request[:] = ['b', 'c', 'd', 'a']", (["B", "C", "D", "A"], ["A", "B", "C"])),
    ],
)
def test_a_request_changed_while_its_caller_waits_is_read_whole(run_faulty, change, allowed):
    # The request was resolved before, so its order is kept and found by the
    # identity of its items: the lookup must read the list as it is once the
    # container is taken, never its old length with its new items. Only the
    # lock is waited for here: a plan of keys that need no singleton being
    # made does not wait.
    check_ok(run_faulty("MADE = False\n" + script(HOLDER, f"""
        request = ["a", "b", "c"]
        for _ in range(5):
            assert c.resolve_many_plan(request) == ["A", "B", "C"]
            assert c.resolve_many_plan(["b", "c", "d"]) == ["B", "C", "D"]
        holder = hold_until(lambda: exec({change!r}, {{"request": request}}), 0.3)
        got = c.resolve_many_plan(request)
        assert got in {list(allowed)!r}, got
        assert finish(*holder) == {{"ok": "held"}}
        print("OK")
    """), faults="calls_under_lock"))


# A signal handler that runs inside the main thread's wait and uses the container.
SIGNAL_HANDLER = """
def handler(signum, frame):
    seen.append(c.resolve("a"))
signal.signal(signal.SIGUSR1, handler)
threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGUSR1)).start()
"""
def test_a_signal_handler_run_inside_a_wait_uses_the_container_as_any_caller(run_waiting):
    check_ok(run_waiting(script(HOLDER, """
        seen = []
        holder = hold_until(lambda: None, 0.4)
    """, SIGNAL_HANDLER, """
        assert c.resolve("hold") == "held"
        assert finish(*holder) == {"ok": "held"}
        assert seen == ["A"], seen
        print("OK")
    """)))


def test_handler_that_waits_for_the_holder_lets_it_go_on(run_waiting):
    # The handler waits until the holder's thread has used the container once
    # more; had the waiting thread kept anything the holder needs meanwhile (or
    # been handed the container), the holder's second call could never get through.
    check_ok(run_waiting(script(HOLDER, """
        second = threading.Event()
        def holder_then_again():
            c.resolve("hold")
            c.resolve("a")
            second.set()
        def hold():
            started.set()
            time.sleep(0.3)
            return "held"
        c.register_provider("hold", hold, MADE, False, [])
        handled = []
        def handler(signum, frame):
            handled.append(second.wait(20))
        signal.signal(signal.SIGUSR1, handler)
        holder = start(holder_then_again)
        assert started.wait(30)
        threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        assert c.resolve("hold") == "held"
        assert handled == [True], handled
        finish(*holder)
        print("OK")
    """)))


def test_a_fork_from_code_run_inside_a_wait_gives_the_child_the_fork_error(run_waiting):
    check_ok(run_waiting(script(HOLDER, """
        import warnings
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
        child = []
        def handler(signum, frame):
            pid = os.fork()
            if pid == 0:
                child.append(True)
            else:
                child.append(pid)
        signal.signal(signal.SIGUSR1, handler)
        holder = hold_until(lambda: None, 0.3)
        threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        try:
            value = c.resolve("hold")
        except RuntimeError as e:
            outcome = str(e)
        else:
            outcome = value
        if child == [True]:
            # The child's "hold" was being made by a thread that did not survive.
            os._exit(0 if "when the process forked" in outcome else 3)
        assert outcome == "held", outcome
        deadline = time.monotonic() + 30
        while True:
            pid, status = os.waitpid(child[0], os.WNOHANG)
            if pid:
                break
            if time.monotonic() > deadline:
                os.kill(child[0], signal.SIGKILL)
                raise AssertionError("the child hangs in its wait")
            time.sleep(0.01)
        assert os.waitstatus_to_exitcode(status) == 0, status
        assert finish(*holder) == {"ok": "held"}
        print("OK")
    """), timeout=60))


def test_nested_waits_keep_one_record_each(run_waiting):
    # The main thread makes `through` and waits for "hold"; inside that wait a
    # signal handler waits for a singleton of a third container. Once the
    # handler is done, the main thread waits for "hold" again, and its maker
    # needing `through` closes a ring that must be refused, not waited out for
    # ever: whichever of the two is refused, the other then finishes.
    check_ok(run_waiting(script(HOLDER, """
        outer, third = Container(), Container()
        needs_hold = []
        def through():
            if not needs_hold:  # only its first call needs "hold"
                needs_hold.append(1)
                c.resolve("hold")
            return "A"
        outer.register_provider("through", through, MADE, False, [])
        third_held = threading.Event()
        def third_slow():
            third_held.set()
            time.sleep(0.2)
            return "slow"
        third.register_provider("slow", third_slow, MADE, False, [])
        def handler(signum, frame):
            third_holder = start(lambda: third.resolve("slow"))
            assert third_held.wait(30)
            assert third.resolve("slow") == "slow"
            finish(*third_holder)
        signal.signal(signal.SIGUSR1, handler)
        holder = hold_until(lambda: outer.resolve("through"), 0.8)
        threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        try:
            mine = {"ok": outer.resolve("through")}
        except RuntimeError as e:
            mine = {"error": e}
        outcomes = [mine, finish(*holder)]
        refused = [o["error"] for o in outcomes if "error" in o]
        assert len(refused) == 1 and str(refused[0]).startswith(DEADLOCK), outcomes
        assert [o["ok"] for o in outcomes if "ok" in o] in (["A"], ["held"]), outcomes
        print("OK")
    """), timeout=60))


def test_at_exit_the_container_is_not_left_to_a_parked_daemon_thread(run_waiting, request):
    if FREE_THREADED and "the lock" in request.node.name:
        # Without a GIL the daemon thread runs on while the main thread exits,
        # takes the lock and parks inside its provider: that container stays
        # held, as the README says.
        pytest.skip("needs an interpreter lock that keeps the daemon thread from running")
    # A daemon thread waits for the singleton that the main thread makes last
    # (or queues for the lock the main thread holds last), and is woken (or
    # handed the container) once it is made; the main thread then keeps the
    # interpreter lock (no I/O, a long switch interval) until the interpreter
    # finalizes, so the daemon thread never runs again: newer interpreters park
    # it for good. A finalizer run by the last collection at exit must still be
    # able to use the container.
    done = run_waiting(script(HOLDER, """
        import gc
        sys.setswitchinterval(5.0)
        gc.disable()
        class AtExit:
            def __init__(self):
                self.c, self.write, self.me = c, os.write, self
            def __del__(self):
                self.write(1, b"finalizer " + self.c.resolve("b").encode() + b"\\n")
        AtExit()
        queued = threading.Event()
        def hold():
            queued.set()
            time.sleep(0.3)
        c.register_provider("hold", hold, MADE, False, [])
        daemon = threading.Thread(target=lambda: (queued.wait(), c.resolve("hold")), daemon=True)
        daemon.start()
        c.resolve("hold")
    """), timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["finalizer", "B"], done.stdout + done.stderr


# The fault build's switch calls the holder's provider with the lock held: it
# keeps the lock until `go` is set, waiting or computing in Python.
LOCK_HOLDERS = {
    "waiting provider": """
        def slow():
            calls.append(1)
            started.set()
            assert go.wait(30)
            return value
    """,
    "computing provider": """
        def slow():
            calls.append(1)
            started.set()
            while not go.is_set():
                sum(range(100))
            return value
    """,
}

# What the waiting thread calls, what it gets, and what shows that it ran.
LOCK_WAITERS = {
    "register_provider": ("c.register_provider('slow', f, True, False, [])", "None",
                          "c.get_provider_info('slow')[:2] == (f, True)"),
    "resolve": ("c.resolve('slow')", "value", "calls == [1, 1]"),
    "resolve_many": ("c.resolve_many(['other', 'slow'])", "['other', value]", "calls == [1, 1]"),
    "resolve_many_plan": ("c.resolve_many_plan(['slow', 'other'])", "[value, 'other']", "calls == [1, 1]"),
    "begin_override_layer": ("c.begin_override_layer()", "None",
                             "c.set_override('slow', f, False, False, []) is None and c.resolve('slow') == 'f'"),
    "set_override": ("c.set_override('slow', f, False, False, [])", "None", "c.resolve('slow') is value"),
    "get_provider_info": ("c.get_provider_info('slow')[1:]", "(False, False, [])", "True"),
    "get_cached": ("c.get_cached('kept')", "'kept'", "True"),
    "set_cached": ("c.set_cached('kept', 'later')", "None", "c.get_cached('kept') == 'later'"),
    "end_override_layer": ("c.end_override_layer()", "None", "c.resolve('slow') is value"),
}


@pytest.mark.parametrize("holder,waiter", [(h, w) for h in LOCK_HOLDERS for w in LOCK_WAITERS
                                           if h == "waiting provider" or w == "resolve"])
def test_a_thread_waiting_for_the_lock_lets_the_holder_finish(run_faulty, holder, waiter):
    call, result, after = LOCK_WAITERS[waiter]
    check_ok(run_faulty(script(LOCK_HOLDERS[holder], f"""
        def f(*args):
            return "f"
        c = Container()
        started, go = threading.Event(), threading.Event()
        calls, value = [], object()
        c.register_provider("other", lambda: "other", False, False, [])
        c.register_provider("kept", lambda: "kept", True, False, [])
        c.resolve_many(["kept"])
        c.register_provider("slow", slow, False, False, [])
        holder = start(lambda: c.resolve("slow"))
        assert started.wait(30)
        waiter = start(lambda: {call})
        waiter[0].join(0.2)
        assert waiter[0].is_alive() and not waiter[1], waiter[1]
        go.set()  # this thread still runs while the waiter waits
        assert finish(*holder) == {{"ok": value}}
        assert finish(*waiter) == {{"ok": {result}}}
        assert {after}
        print("OK")
    """), faults="calls_under_lock", timeout=90))


def test_one_thread_at_a_time_holds_the_lock(run_faulty):
    # The fault build's switch calls each provider with the lock held, and each
    # call yields the interpreter lock mid-way, so every other thread reaches
    # the lock while it is held: hundreds of hand-offs between sleeping
    # waiters, none of which may let two threads in at once.
    check_ok(run_faulty(script("""
        c = Container()
        inside, most, calls = [0], [0], []
        def guarded(value):
            def provider():
                inside[0] += 1
                most[0] = max(most[0], inside[0])
                time.sleep(0)
                calls.append(1)
                inside[0] -= 1
                return value
            return provider
        c.register_provider("g", guarded(1), False, False, [])
        c.register_provider("h", guarded(2), False, False, [])
        c.register_provider("s", lambda: 3, True, False, [])
        c.resolve_many(["s"])
        def hammer():
            # Quick operations in between take the lock too.
            return sum(c.resolve("g") + c.resolve("h") + c.get_cached("s") for _ in range(150))
        threads = [start(hammer) for _ in range(4)]
        assert [finish(*t) for t in threads] == [{"ok": 900}] * 4
        assert most == [1] and len(calls) == 1200
        print("OK")
    """), faults="calls_under_lock", timeout=90))
