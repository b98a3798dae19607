"""A thread that waits for a container gets it, however busy another thread keeps it.

A release lets the running thread take the lock straight back, so a waiter,
which must first get the interpreter lock back, could lose every race to a
thread that resolves in a tight loop. Here the holder spends nearly all its
time inside the container (a provider that computes for milliseconds, which
the fault-injection build's switch calls with the container's lock held), and
each waiter must still get through within a few seconds: a bound far above
any scheduling delay, so what fails is starvation, not slowness.
"""
import pytest

from reliability_support import check_ok, script

# The waiters' operation: a resolution, a cache read, and a batch plan.
WAITERS = {
    "resolve": "c.resolve('quick')",
    "get_cached": "c.get_cached('quick')",
    "resolve_many_plan": "c.resolve_many_plan(['quick'])",
}


@pytest.mark.parametrize("call", WAITERS.values(), ids=WAITERS.keys())
def test_waiters_get_the_container_from_a_thread_resolving_in_a_tight_loop(run_faulty, call):
    code = script(f"""
        c = Container()
        def busy():
            end = time.perf_counter() + 0.004
            while time.perf_counter() < end:
                pass
            return 1
        c.register_provider("busy", busy, False, False, [])
        c.register_provider("quick", lambda: 2, False, False, [])
        running = [True]
        holder_calls = [0]
        def hold():
            while running[0]:
                c.resolve("busy")
                holder_calls[0] += 1
        holder = threading.Thread(target=hold, daemon=True)
        holder.start()
        wait_until(lambda: holder_calls[0] > 2)
        waits = []
        def waiter():
            started = time.monotonic()
            {call}
            waits.append(time.monotonic() - started)
        try:
            for round in range(3):
                threads = [start(waiter) for _ in range(3)]
                for thread, outcome in threads:
                    assert finish(thread, outcome, timeout=60) == {{"ok": None}}, outcome
            assert max(waits) < 5, waits
            before = holder_calls[0]
            wait_until(lambda: holder_calls[0] > before)  # and the holder goes on
        finally:
            running[0] = False
            holder.join(30)
        print("OK")
    """)
    check_ok(run_faulty(code, faults="calls_under_lock", timeout=180))
