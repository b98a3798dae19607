"""Resolution benchmarks, measured side by side in one run.

Each case times the container against the same object graph wired by hand in
plain Python. Timings are interleaved (one round of every contender, repeated)
and the best round of each is kept, so the ratios hold on a shared, noisy
machine even when the absolute numbers do not.

    python bench/bench_resolve.py [--rounds N]
"""
import argparse
import sys
import timeit

from _quorix_core import Container


class Node:
    __slots__ = ("deps",)

    def __init__(self, *deps):
        self.deps = deps


def ten_node_graph(c):
    """A ten-node graph of factories: a root over a diamond-shaped dependency tree."""
    edges = {
        "n0": [],
        "n1": ["n0"],
        "n2": ["n0"],
        "n3": ["n1", "n2"],
        "n4": ["n3"],
        "n5": ["n3", "n1"],
        "n6": ["n4", "n5"],
        "n7": ["n6"],
        "n8": ["n7", "n2"],
        "root": ["n8", "n6"],
    }
    for key, deps in edges.items():
        c.register_provider(key, Node, False, False, deps)
    return edges


def hand_wired_ten_node():
    n0 = Node
    # The same graph, every node built per use exactly as the container does.
    def n1():
        return Node(n0())

    def n2():
        return Node(n0())

    def n3():
        return Node(n1(), n2())

    def n4():
        return Node(n3())

    def n5():
        return Node(n3(), n1())

    def n6():
        return Node(n4(), n5())

    def n7():
        return Node(n6())

    def n8():
        return Node(n7(), n2())

    def root():
        return Node(n8(), n6())

    return root, {"n6": n6, "n8": n8}


def shared_batch(c):
    """Services that share a non-singleton session and a singleton config."""
    c.register_provider("config", Node, True, False, [])
    c.register_provider("session", Node, False, False, ["config"])
    for i in range(8):
        c.register_provider(f"repo{i}", Node, False, False, ["session"])
    c.register_provider("service", Node, False, False, [f"repo{i}" for i in range(8)])
    return ["service"] + [f"repo{i}" for i in range(8)]


def hand_wired_batch():
    config = Node()

    def batch():
        session = Node(config)
        repos = [Node(session) for _ in range(8)]
        return [Node(*repos)] + repos

    return batch


# Services as applications write them: plain classes taking their dependencies.
class Config:
    def __init__(self):
        self.debug = False


class Session:
    def __init__(self, config):
        self.config = config


def service_class(name):
    def __init__(self, session, config):
        self.session = session
        self.config = config

    return type(name, (), {"__init__": __init__})


SERVICES = tuple(service_class(f"Service{i}") for i in range(8))


class Leaf:
    def __init__(self):
        self.ready = True


class One:
    def __init__(self, dep):
        self.dep = dep


class Two:
    def __init__(self, left, right):
        self.left = left
        self.right = right


# The 6-class graph A(B(D), C(D, E(F))).
class A(Two):
    pass


class B(One):
    pass


class C(Two):
    pass


class D(Leaf):
    pass


class E(One):
    pass


class F(Leaf):
    pass


def six_class_graph(c, singletons=()):
    for key, cls, deps in (
        ("A", A, ["B", "C"]),
        ("B", B, ["D"]),
        ("C", C, ["D", "E"]),
        ("D", D, []),
        ("E", E, ["F"]),
        ("F", F, []),
    ):
        c.register_provider(key, cls, key in singletons, False, deps)


def chain(c, depth):
    c.register_provider("c0", Leaf, False, False, [])
    for i in range(1, depth):
        c.register_provider(f"c{i}", One, False, False, [f"c{i - 1}"])
    return f"c{depth - 1}"


def hand_wired_chain(depth):
    def build():
        value = Leaf()
        for _ in range(depth - 1):
            value = One(value)
        return value

    return build


def session_batch(c):
    """Eight services sharing a non-singleton session and a singleton config."""
    c.register_provider("config", Config, True, False, [])
    c.register_provider("session", Session, False, False, ["config"])
    for i, cls in enumerate(SERVICES):
        c.register_provider(f"service{i}", cls, False, False, ["session", "config"])
    return [f"service{i}" for i in range(len(SERVICES))]


def measure(contenders, number, rounds, namespace=None):
    """Best time per call of each contender: a callable, or a statement run in
    `namespace` (so that no contender pays for a wrapper call)."""
    best = {name: float("inf") for name in contenders}
    for _ in range(rounds):
        for name, func in contenders.items():
            elapsed = timeit.timeit(func, number=number, globals=namespace) / number
            best[name] = min(best[name], elapsed)
    return best


def report(title, best, baseline):
    print(f"\n{title}")
    base = best[baseline]
    for name, seconds in best.items():
        print(f"  {name:<34} {seconds * 1e9:10.1f} ns   {seconds / base:6.2f}x {baseline}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--number", type=int, default=20000)
    args = parser.parse_args()
    print(f"Python {sys.version.split()[0]}; best of {args.rounds} interleaved rounds")

    c = Container()
    c.register_provider("config", Node, True, False, [])
    c.resolve("config")
    cached = {"config": Node()}
    best = measure(
        {
            "hand-wired cached lookup": lambda: cached["config"],
            "Container.resolve (cached)": lambda: c.resolve("config"),
        },
        args.number,
        args.rounds,
    )
    report("cached singleton", best, "hand-wired cached lookup")

    c = Container()
    ten_node_graph(c)
    root, _ = hand_wired_ten_node()
    best = measure(
        {
            "hand-wired factories": root,
            "Container.resolve": lambda: c.resolve("root"),
            "Container.resolve_many_plan": lambda: c.resolve_many_plan(["root"]),
        },
        args.number // 10,
        args.rounds,
    )
    report("ten-node graph of factories", best, "hand-wired factories")

    c = Container()
    keys = shared_batch(c)
    batch = hand_wired_batch()
    best = measure(
        {
            "hand-wired batch (shared session)": batch,
            "Container.resolve_many_plan": lambda: c.resolve_many_plan(keys),
            "Container.resolve_many": lambda: c.resolve_many(keys),
        },
        args.number // 10,
        args.rounds,
    )
    report("batch with shared dependencies (9 keys, 11-key closure)", best, "hand-wired batch (shared session)")
    plan, many = best["Container.resolve_many_plan"], best["Container.resolve_many"]
    print(f"  resolve_many_plan / resolve_many: {plan / many:.2f}")

    scenarios(args)


def scenarios(args):
    """The cases the core is tuned for, each against the code one would write by hand."""
    ratios = {}

    c = Container()
    c.register_provider("config", Config, True, False, [])
    c.resolve("config")
    config = Config()

    def get_config():
        return config

    best = measure({"getter": "get_config()", "resolve": "c.resolve('config')"}, args.number, args.rounds, locals())
    ratios["cached singleton resolve / getter function"] = best["resolve"] / best["getter"]

    c = Container()
    c.register_provider("leaf", Leaf, False, False, [])
    best = measure({"X()": "Leaf()", "resolve": "c.resolve('leaf')"}, args.number, args.rounds, {"Leaf": Leaf, "c": c})
    ratios["transient, no dependencies / X()"] = best["resolve"] / best["X()"]

    c = Container()
    six_class_graph(c)
    best = measure(
        {"hand": "A(B(D()), C(D(), E(F())))", "resolve": "c.resolve('A')"},
        args.number // 5,
        args.rounds,
        {**globals(), "c": c},
    )
    ratios["6-class transient graph / hand-wired"] = best["resolve"] / best["hand"]

    c = Container()
    six_class_graph(c, singletons=("D", "F"))
    c.resolve("A")
    d, f = D(), F()
    best = measure(
        {"hand": "A(B(d), C(d, E(f)))", "resolve": "c.resolve('A')"},
        args.number // 5,
        args.rounds,
        {**globals(), "c": c, "d": d, "f": f},
    )
    ratios["6-class graph, D and F singletons / hand-wired"] = best["resolve"] / best["hand"]

    c = Container()
    top = chain(c, 50)
    best = measure(
        {"hand": "hand()", "resolve": "c.resolve(top)"},
        args.number // 50,
        args.rounds,
        {"hand": hand_wired_chain(50), "c": c, "top": top},
    )
    ratios["50-deep transient chain / hand-wired"] = best["resolve"] / best["hand"]

    c = Container()
    keys = session_batch(c)
    c.resolve("config")
    config = Config()

    def one_session():
        session = Session(config)
        return [cls(session, config) for cls in SERVICES]

    def session_each():
        return [cls(Session(config), config) for cls in SERVICES]

    best = measure(
        {
            "one session": "one_session()",
            "session each": "session_each()",
            "plan": "c.resolve_many_plan(keys)",
            "many": "c.resolve_many(keys)",
        },
        args.number // 10,
        args.rounds,
        locals(),
    )
    ratios["batch of 8, resolve_many_plan / one session"] = best["plan"] / best["one session"]
    ratios["batch of 8, resolve_many / a session each"] = best["many"] / best["session each"]

    # Open layers without records must cost a lookup nothing.
    c = Container()
    c.register_provider("config", Config, True, False, [])
    c.resolve("config")
    layered = Container()
    layered.register_provider("config", Config, True, False, [])
    layered.resolve("config")
    for _ in range(100_000):
        layered.begin_override_layer()
    best = measure(
        {"no layers": "c.resolve('config')", "empty layers": "layered.resolve('config')"},
        args.number,
        args.rounds,
        locals(),
    )
    ratios["cached resolve under 100,000 empty layers / none"] = best["empty layers"] / best["no layers"]

    print("\ntuned cases (container / hand-wired Python)")
    for name, ratio in ratios.items():
        print(f"  {name:<50} {ratio:6.2f}x")


if __name__ == "__main__":
    main()
