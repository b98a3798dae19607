"""Two builds of the module side by side in one process: is the new one slower?

Loads each module file given (say, one built from `main` and one from a
change) under its own path, builds the same containers with each, and times
them interleaved, keeping each contender's best sample; prints the new build's
time over the old one's per row (1.00: the same). Thread rows time the
aggregate throughput of threads sharing one container.

    python bench/compare_builds.py OLD_MODULE_FILE NEW_MODULE_FILE [--rounds N]

The two files must be distinct files (copies, not links), so that each is
loaded on its own.
"""
import argparse
import importlib.machinery
import importlib.util
import platform
import threading
import time
import timeit


def load(path):
    loader = importlib.machinery.ExtensionFileLoader("_quorix_core", path)
    spec = importlib.util.spec_from_file_location("_quorix_core", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


class Node:
    __slots__ = ("deps",)

    def __init__(self, *deps):
        self.deps = deps


def six_class(c):
    for key, deps in {"F": [], "E": ["F"], "D": [], "C": ["D", "E"], "B": ["D"], "A": ["B", "C"]}.items():
        c.register_provider(key, Node, False, False, deps)


def services(c):
    c.register_provider("session", Node, True, False, [])
    for i in range(8):
        c.register_provider(f"s{i}", Node, False, False, ["session"])


SERVICES = [f"s{i}" for i in range(8)]

# name: (setup(container), statement run with `c` and `keys` bound)
ROWS = {
    "cached singleton resolve": (lambda c: (c.register_provider("k", Node, True, False, []), c.resolve("k")),
                                 "c.resolve('k')"),
    "get_cached": (lambda c: (c.register_provider("k", Node, True, False, []), c.resolve("k")), "c.get_cached('k')"),
    "transient leaf resolve": (lambda c: c.register_provider("k", Node, False, False, []), "c.resolve('k')"),
    "6-class transient graph": (six_class, "c.resolve('A')"),
    "resolve_many_plan, 8 services": (services, "c.resolve_many_plan(keys)"),
    "resolve_many, 8 services": (services, "c.resolve_many(keys)"),
    "Container() made and dropped": (lambda c: None, "type(c)()"),
}


def timer(module, setup, statement, number):
    c = module.Container()
    setup(c)
    return timeit.Timer(statement, globals={"c": c, "keys": SERVICES}), number


def threads_rate(module, setup, statement, threads, seconds):
    """Operations per second of `threads` threads sharing one container."""
    c = module.Container()
    setup(c)
    code = compile(f"for _ in range(200):\n    {statement}\n", "<bench>", "exec")
    stop = time.perf_counter() + seconds
    done = [0] * threads

    def work(i):
        scope = {"c": c, "keys": SERVICES}
        while time.perf_counter() < stop:
            exec(code, scope)
            done[i] += 200

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return sum(done) / seconds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--number", type=int, default=20000)
    args = parser.parse_args()
    builds = {"old": load(args.old), "new": load(args.new)}
    assert builds["old"].Container is not builds["new"].Container, "one module loaded twice"
    print(f"CPython {platform.python_version()}, best of {args.rounds} interleaved rounds; new / old time per call")
    for name, (setup, statement) in ROWS.items():
        timers = {b: timer(m, setup, statement, args.number) for b, m in builds.items()}
        best = {b: float("inf") for b in builds}
        for _ in range(args.rounds):
            for b, (t, n) in timers.items():
                best[b] = min(best[b], t.timeit(n) / n)
        print(f"  {name:34s} old {best['old'] * 1e9:8.1f} ns  new {best['new'] * 1e9:8.1f} ns  "
              f"ratio {best['new'] / best['old']:.3f}")
    for name in ("cached singleton resolve", "6-class transient graph"):
        setup, statement = ROWS[name]
        for threads in (2, 4):
            rates = {b: 0.0 for b in builds}
            for _ in range(max(3, args.rounds // 3)):
                for b, m in builds.items():
                    rates[b] = max(rates[b], threads_rate(m, setup, statement, threads, 0.2))
            print(f"  {name}, {threads} threads: old {rates['old'] / 1e3:,.0f}k/s  new {rates['new'] / 1e3:,.0f}k/s  "
                  f"new/old throughput {rates['new'] / rates['old']:.3f}")


if __name__ == "__main__":
    main()
