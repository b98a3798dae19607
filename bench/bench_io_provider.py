"""Threads sharing one container while a provider waits on I/O.

A provider that blocks on I/O (here `time.sleep(0.02)`, which releases the
interpreter lock) should leave the container to the other threads meanwhile.
Each row is measured for this module, dependency-injector and hand-wired
Python, every contender's results checked before anything is timed:

1. a second thread reads a cached singleton in a loop while a first thread
   loops resolving a transient whose provider sleeps: the second thread's
   throughput beside the first against alone;
2. the same with the second thread resolving a transient class without
   dependencies;
3. four threads each resolving the sleeping transient: resolutions per second
   against the ideal, 4 / 0.02 s.

A sample starts its threads, lets them settle, counts over two windows and
keeps the better (the steady state). Rounds are interleaved (every sample once
per round, in a shuffled order) and the best of each sample is kept. Row 3
counts whole resolutions of 20 ms each, so a window of S seconds reads its
rate only to within about ±1 / (50 S) of the ideal (±0.02 at 1 s; a figure
a little above 1.00 is that, not a gain).

    python bench/bench_io_provider.py [--rounds N] [--window S] [--quick]
"""
import gc
import threading
import time

import bench_peers
import bench_threads
from bench_peers import HAND, MODULE, expect

IO_SECONDS = 0.02
IO_THREADS = 4
IDEAL = IO_THREADS / IO_SECONDS
GOAL = 0.9
PEERS = ("dependency-injector",)
SETTLE = 0.1  # seconds from the threads' start to the first window
WINDOWS = 2


class Fetch:
    """A transient whose construction waits on I/O."""

    __slots__ = ()

    def __init__(self):
        time.sleep(IO_SECONDS)


def check_fetch(first, second):
    expect(type(first) is Fetch and type(second) is Fetch, f"got {type(first).__name__}, not Fetch")
    expect(first is not second, "the I/O-bound transient was shared between resolutions")


def io_only():
    graph = bench_peers.Graph({Fetch: []}, roots=[Fetch])
    return graph, ("Fetch()", {"Fetch": Fetch}, None), check_fetch


# Rows: title, the second thread's scenario from bench_peers (None: row 3's four I/O threads).
ROWS = [
    ("cached singleton `resolve(key)` beside the I/O-bound transient", bench_peers.cached_singleton),
    ("transient class, no dependencies, beside the I/O-bound transient", bench_peers.transient_no_deps),
    (f"{IO_THREADS} threads resolving the I/O-bound transient", None),
]


def contenders_of(scenario, errors, title):
    """{name: (I/O-bound contender, reader contender or None)}, both on one container, checked."""
    graph, hand, check = (scenario or io_only)()
    reader = graph.roots[0]
    graph.nodes[Fetch] = []
    result = {}
    for name, (stmt, ns, header) in bench_threads.statements(graph, hand, "resolve", PEERS, errors, title):
        try:
            if scenario is None:
                result[name] = (checked(name, stmt, ns, header, check_fetch, 1), None)
                continue
            if name == HAND:
                fetch_stmt, ns = "Fetch()", dict(ns, Fetch=Fetch)
            else:
                # The adapters spell a resolution of the reader's class by its name; the
                # same call by Fetch's name resolves Fetch from the same container.
                expect(stmt.count(reader.__name__) == 1, f"cannot tell the key in {stmt!r}")
                fetch_stmt = stmt.replace(reader.__name__, Fetch.__name__)
            result[name] = (checked(name, fetch_stmt, ns, header, check_fetch, 1),
                            checked(name, stmt, ns, header, check, bench_threads.BATCH))
        except Exception as error:
            errors[(title, name)] = f"error ({bench_peers.describe(error)})"
    return result


def checked(name, stmt, ns, header, check, batch):
    # The I/O-bound loops count every resolution (batch 1): a batch of 8 would take 8 sleeps.
    contender = bench_threads.Contender(name, stmt, ns, header, None, batch)
    check(contender.once(), contender.once())
    return contender


def steady_rate(counted, others, window):
    """The best rate, over WINDOWS windows after SETTLE, of the resolutions the `counted` loops complete."""
    running = [True]
    loops = counted + others
    counts = [0] * len(loops)
    barrier = threading.Barrier(len(loops) + 1)

    def body(index):
        barrier.wait()
        loops[index].loop(running, counts, index, None)

    workers = [threading.Thread(target=body, args=(i,)) for i in range(len(loops))]
    for worker in workers:
        worker.start()
    gc.collect()
    barrier.wait()
    time.sleep(SETTLE)
    best = 0.0
    before, started = sum(counts[:len(counted)]), time.perf_counter()
    for _ in range(WINDOWS):
        time.sleep(window)
        after, ended = sum(counts[:len(counted)]), time.perf_counter()
        best = max(best, (after - before) / (ended - started))
        before, started = after, ended
    running[0] = False
    for worker in workers:
        worker.join()
    return best


def samples_of(title, name, fetch, reader):
    """(key, counted loops, other loops) of each sample of one row and contender."""
    if reader is None:
        return [((title, name, "threads"), [fetch] * IO_THREADS, [])]
    return [((title, name, "alone"), [reader], []), ((title, name, "beside"), [reader], [fetch])]


def render(best, errors, args, elapsed):
    out = bench_threads.run_header(f"best of {args.rounds} interleaved rounds, best of {WINDOWS} "
                                   f"{args.window:g} s windows per sample after {SETTLE:g} s", elapsed, PEERS)
    out += ["", f"A provider sleeps {IO_SECONDS * 1e3:g} ms; rows 1 and 2: the second thread's resolutions per second "
            f"beside the I/O-bound thread against alone (goal ≥ {GOAL}, or ≥ {GOAL} of hand-wired's ratio); row 3: "
            f"resolutions per second against the ideal {IDEAL:g} (goal ≥ {GOAL}). ✗: this module misses its goal.", "",
            "| row | contender | measured /s | against /s | ratio | goal |", "|---|---|---:|---:|---:|---|"]
    for number, (title, scenario) in enumerate(ROWS, 1):
        ratios = {}
        for name in (HAND, MODULE, *PEERS):
            if scenario is None and (title, name, "threads") in best:
                measured, against = best[(title, name, "threads")], IDEAL
            elif (title, name, "alone") in best:
                measured, against = best[(title, name, "beside")], best[(title, name, "alone")]
            else:
                out.append(f"| {number}. {title} | {name} | {errors.get((title, name), '—')} | | | |")
                continue
            ratios[name] = measured / against
            goal = GOAL if scenario is None or HAND not in ratios else min(GOAL, GOAL * ratios[HAND])
            cell = f"{ratios[name]:.2f}"
            if name == MODULE and ratios[name] < goal:
                cell = f"**{cell} ✗**"
            out.append(f"| {number}. {title} | {name} | {measured:,.0f} | {against:,.0f} | {cell} | ≥ {goal:.2f} |")
    return "\n".join(out)


def main(argv=None):
    parser = bench_threads.rounds_parser(__doc__, 3, "1 round of 0.25 s windows: a smoke run, not a result")
    parser.add_argument("--window", type=float, default=1.0, help="seconds per window (default 1)")
    args = parser.parse_args(argv)
    if args.quick:
        args.rounds, args.window = 1, 0.25
    started = time.perf_counter()
    errors = {}
    samples = [sample for title, scenario in ROWS
               for name, pair in contenders_of(scenario, errors, title).items()
               for sample in samples_of(title, name, *pair)]
    best = {}

    def take(sample):
        key, counted, others = sample
        best[key] = max(best.get(key, 0.0), steady_rate(counted, others, args.window))

    bench_threads.interleave(samples, args.rounds, args.seed, take)
    print(render(best, errors, args, time.perf_counter() - started))


if __name__ == "__main__":
    main()
