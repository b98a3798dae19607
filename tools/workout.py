"""Exercises every operation and error path once over, for memory checkers."""
import gc
import os
import signal
import threading
import time
import weakref

from _quorix_core import Container


def main():
    for _ in range(20):
        c = Container()
        c.register_provider("a", lambda b, c_: (b, c_), True, False, ["b", "c"])
        c.register_provider("b", lambda c_: [c_], False, False, ["c"])
        c.register_provider("c", object, True, False, [])
        c.register_provider("loop", lambda x: x, False, False, ["loop"])
        c.register_provider("bad", lambda: 1 / 0, False, False, [])
        c.register_provider("async", lambda: None, True, True, ["missing"])
        c.resolve("a")
        c.resolve_many(["a", "b", "b"])
        c.resolve_many_plan(["b", "a", "b"])
        c.begin_override_layer()
        c.set_override("c", lambda: "override", False, False, [])
        c.resolve_many_plan(["b"])
        c.get_provider_info("c")
        # Kept orders and dependency links across changes: warm, change, use again.
        for _ in range(2):
            c.resolve_many_plan(["b", "a", "b"])
            c.resolve("b")
        c.begin_override_layer()
        c.set_override("c", lambda: "layered", True, False, [])
        c.resolve_many_plan(["b", "a", "b"])
        c.resolve("b")
        c.end_override_layer()
        c.resolve_many_plan(["b", "a", "b"])
        c.resolve("b")
        c.end_override_layer()
        c.end_override_layer()
        c.set_cached("async", 1)
        c.get_cached("async")
        for key in ("loop", "bad", "missing", "async"):
            for call in (c.resolve, lambda k: c.resolve_many([k]), lambda k: c.resolve_many_plan([k])):
                try:
                    call(key)
                except Exception:
                    pass
        for bad in ((1, None, True, False, []), ("k", None, 1, False, []), ("k", None, True, False, "ab")):
            try:
                c.register_provider(*bad)
            except TypeError:
                pass
        chain = Container()
        for i in range(2000):
            chain.register_provider(f"k{i}", lambda *a: len(a), False, False, [f"k{i + 1}"] if i < 1999 else [])
        chain.resolve("k0")
        chain.resolve_many_plan(["k0"])
        chain.resolve_many_plan(["k0"])
        chain.register_provider("k1000", lambda: 0, False, False, [])
        chain.resolve("k0")
        chain.resolve_many_plan(["k0"])
        del c, chain
        gc.collect()
    repeated()
    contention()


def repeated():
    """Requests made again and again, which run as generated functions where
    the interpreter has them: calls, a provider that raises, a cached value set
    between calls, and a new generation that drops them."""
    c = Container()
    c.register_provider("leaf", object, False, False, [])
    c.register_provider("single", object, True, False, [])
    c.register_provider("mid", lambda a, s: (a, s), False, False, ["leaf", "single"])
    c.register_provider("top", lambda m, a: (m, a), False, False, ["mid", "leaf"])
    c.register_provider("fails", lambda m, a: 1 / 0, False, False, ["mid", "leaf"])
    for _ in range(3):
        for _ in range(6):
            c.resolve("top")
            c.resolve_many(["top", "mid", "single"])
            c.resolve_many_plan(["top", "mid", "top"])
            for request in (lambda: c.resolve("fails"), lambda: c.resolve_many_plan(["top", "fails"])):
                try:
                    request()
                except ZeroDivisionError:
                    pass
        c.set_cached("single", object())
        c.resolve("top")
        c.register_provider("leaf", list, False, False, [])
    # A cycle through the container, its generated functions alive: only the
    # collector frees it, emptying the container first.
    c.register_provider("self", lambda: c, True, False, [])
    for _ in range(6):
        c.resolve_many_plan(["top", "self"])
        c.resolve("top")
    freed = []
    weakref.finalize(c, freed.append, True)
    del c
    gc.collect()
    assert freed == [True]


def contention():
    """Waits for singletons other threads are making: contended, refused as a
    deadlock, interrupted by a signal handler, and daemon threads still inside
    providers at exit."""
    a, b = Container(), Container()
    arrived = {id(a): threading.Event(), id(b): threading.Event()}
    for this, other in ((a, b), (b, a)):
        this.register_provider("leaf", object, False, False, [])

        def cross(this=this, other=other):
            # Each side makes its own singleton, then needs the other's.
            arrived[id(this)].set()
            arrived[id(other)].wait(5)
            return other.resolve("cross")

        this.register_provider("cross", cross, True, False, [])

    def run_cross(c):
        try:
            c.resolve("cross")
        except RuntimeError:
            pass  # the side refused as a deadlock, or the cycle the other then meets

    threads = [threading.Thread(target=run_cross, args=(c,)) for c in (a, b)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    go, started = threading.Event(), threading.Event()
    a.register_provider("slow", lambda: (started.set(), go.wait(5)), True, False, [])
    holder = threading.Thread(target=a.resolve, args=("slow",))
    holder.start()
    started.wait(5)

    def interrupt(signum, frame):
        raise InterruptedError

    signal.signal(signal.SIGUSR1, interrupt)
    threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGUSR1)).start()
    try:
        a.resolve_many(["leaf", "slow"])
    except InterruptedError:
        pass
    go.set()
    holder.join()

    a.register_provider("nap", lambda: time.sleep(0.001), False, False, [])

    def busy():
        while True:
            a.resolve("nap")

    for _ in range(3):
        threading.Thread(target=busy, daemon=True).start()
    time.sleep(0.1)


if __name__ == "__main__":
    main()
