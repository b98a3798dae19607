"""Resolution cost of this module against the dependency-injection libraries users pick.

Every scenario builds one object graph several ways: hand-wired Python (the
baseline, ratio 1.00), `_quorix_core.Container`, and each peer library through
its own fastest documented API with the same lifetimes. Before anything is
timed, each contender's result is checked: right types, transient objects
distinct, singletons identical, the shared session identical within a batch.
A contender that fails the check is reported as an error and not timed.

Timing is interleaved: a round takes one sample of every contender of every
scenario, in shuffled order, and the best sample of each over all rounds is
kept, so the ratios hold on a shared, noisy machine. Samples are short and
timed in process CPU time, so time the process spends descheduled by others
does not count. The garbage collector stays enabled, so a library that leaves
reference cycles pays for them.

    python bench/bench_peers.py [--rounds N] [--quick]

The peers come from bench/requirements-peers.txt; one that is not installed is
reported as such. bench/run-peers makes the venvs and runs this on 3.11 and 3.12.
"""
import argparse
import datetime
import functools
import gc
import importlib.metadata
import itertools
import operator
import os
import platform
import random
import sys
import time
import timeit

import _quorix_core
from _quorix_core import Container

PEERS = ("dependency-injector", "dishka", "wireup", "kink", "that-depends", "rodi")
HAND = "hand-wired"
MODULE = "this module"
SERVICES = 8
CHAIN = 50


NO_REQUEST_SCOPE = (
    "the library has no request scope: one session shared within a batch call but not between "
    "calls cannot be expressed, so it is not compared on this row"
)


class Mismatch(Exception):
    """A contender built a different object graph than the scenario asks for."""


class NotComparable(Exception):
    """The peer has no API with the scenario's semantics (reported as n/a)."""


def expect(condition, message):
    # Not `assert`: the checks must hold under `python -O` too.
    if not condition:
        raise Mismatch(message)


def make_class(name, params=()):
    """A slotted class whose __init__ takes and keeps typed parameters.

    The annotations are real class objects, so the libraries that wire by type
    hints (dishka, wireup, rodi) see exactly the dependencies the others are
    given explicitly.
    """
    namespace = {}
    signature = ", ".join(f"{p}: {t.__name__}" for p, t in params)
    body = "".join(f"        self.{p} = {p}\n" for p, _ in params) or "        pass\n"
    source = (
        f"class {name}:\n"
        f"    __slots__ = {tuple(p for p, _ in params)!r}\n"
        f"    def __init__(self{', ' if signature else ''}{signature}):\n{body}"
    )
    namespace.update({t.__name__: t for _, t in params})
    exec(source, namespace)
    return namespace[name]


class Graph:
    """One scenario's graph: classes, lifetimes and dependencies, wired many ways.

    `nodes` maps a class to its dependency classes in parameter order;
    `singletons` is the set of classes with one shared instance; `scoped` the
    class shared within one batch call (plan semantics). `roots` are the
    classes one call resolves (a batch when more than one).
    """

    def __init__(self, nodes, singletons=(), roots=(), scoped=None):
        self.nodes = nodes
        self.singletons = set(singletons)
        self.scoped = scoped
        self.roots = list(roots)

    def key(self, cls):
        return cls.__name__

    def lifetime(self, cls):
        if cls in self.singletons:
            return "singleton"
        if cls is self.scoped:
            return "scoped"
        return "transient"


# ---------------------------------------------------------------------------
# Contenders. Each builder returns (statement, namespace, header): the
# statement is the expression one resolution evaluates; the header, if any, is
# a line that runs first each time: a `with` line the statement then runs
# inside (a request scope per batch), or the hand-wired batch's one session.


def module_contender(graph, method="resolve"):
    c = Container()
    for cls, deps in graph.nodes.items():
        c.register_provider(graph.key(cls), cls, cls in graph.singletons, False, [graph.key(d) for d in deps])
    ns = {"c": c, "keys": [graph.key(r) for r in graph.roots]}
    if method == "resolve":
        return f"c.resolve({graph.key(graph.roots[0])!r})", ns, None
    if method == "resolve_kw":
        return f"c.resolve(key={graph.key(graph.roots[0])!r})", ns, None
    if method == "get_cached":
        c.resolve(graph.key(graph.roots[0]))
        return f"c.get_cached({graph.key(graph.roots[0])!r})", ns, None
    return f"c.{method}(keys)", ns, None


def batch_expr(graph, item):
    """`[item(S0), item(S1), ...]` written out, so no peer pays for a loop."""
    return "[" + ", ".join(item.format(r.__name__) for r in graph.roots) + "]"


def dependency_injector_contender(graph):
    # Providers are called directly (`container.name()`): the library's
    # compiled provider objects, its documented and fastest path.
    from dependency_injector import containers, providers

    if graph.scoped is not None:
        raise NotComparable(NO_REQUEST_SCOPE)
    container = containers.DynamicContainer()
    made = {}

    def provider(cls):
        if cls not in made:
            kind = providers.Singleton if cls in graph.singletons else providers.Factory
            made[cls] = kind(cls, *[provider(d) for d in graph.nodes[cls]])
            setattr(container, cls.__name__, made[cls])
        return made[cls]

    for cls in graph.nodes:
        provider(cls)
    ns = {"container": container}
    if len(graph.roots) == 1:
        return f"container.{graph.roots[0].__name__}()", ns, None
    return batch_expr(graph, "container.{}()"), ns, None


def dishka_contender(graph):
    # `container.get(Type)` on a sync container; lock_factory=None is the
    # documented way to drop its per-call lock for single-threaded use, its
    # fastest configuration. Transient = cache=False; scoped = REQUEST scope.
    from dishka import Provider, Scope, make_container

    request = graph.scoped is not None
    p = Provider()
    for cls in graph.nodes:
        life = graph.lifetime(cls)
        if life == "singleton":
            p.provide(cls, scope=Scope.APP)
        elif life == "scoped":
            p.provide(cls, scope=Scope.REQUEST)
        else:
            p.provide(cls, scope=Scope.REQUEST if request else Scope.APP, cache=False)
    container = make_container(p, lock_factory=None)
    ns = {"container": container} | class_names(graph)
    if request:
        return batch_expr(graph, "scope.get({})"), ns, "with container() as scope:"
    if len(graph.roots) == 1:
        return f"container.get({graph.roots[0].__name__})", ns, None
    return batch_expr(graph, "container.get({})"), ns, None


def wireup_contender(graph):
    # `get(Type)` on the compiled sync container. Only singletons resolve from
    # the root container; transients need a scope, so the non-request rows
    # resolve from one scope kept open throughout (a transient is still new
    # on every `get`), and a request is one `container.enter_scope()` per batch.
    import wireup

    for cls in graph.nodes:
        wireup.injectable(lifetime=graph.lifetime(cls))(cls)
    container = wireup.create_sync_container(injectables=list(graph.nodes))
    ns = {"container": container} | class_names(graph)
    if graph.scoped is not None:
        return batch_expr(graph, "scope.get({})"), ns, "with container.enter_scope() as scope:"
    if all(r in graph.singletons for r in graph.roots):
        getter = "container.get({})"
    else:
        ns["scope"] = container.enter_scope().__enter__()
        getter = "scope.get({})"
    if len(graph.roots) == 1:
        return getter.format(graph.roots[0].__name__), ns, None
    return batch_expr(graph, getter), ns, None


def kink_contender(graph):
    # `di[Type]`: factories for transients, a lazily built (memoized) service
    # for singletons, each factory wired explicitly with `di[Dep]`.
    from kink import Container as KinkContainer

    if graph.scoped is not None:
        raise NotComparable(NO_REQUEST_SCOPE)
    di = KinkContainer()
    for cls, deps in graph.nodes.items():
        factory = make_kink_factory(cls, deps)
        if cls in graph.singletons:
            di[cls] = factory
        else:
            di.factories[cls] = factory
    ns = {"di": di} | class_names(graph)
    if len(graph.roots) == 1:
        return f"di[{graph.roots[0].__name__}]", ns, None
    return batch_expr(graph, "di[{}]"), ns, None


def make_kink_factory(cls, deps):
    # kink memoizes a service only if it is a lambda, so build one.
    args = ", ".join(f"di[{d.__name__}]" for d in deps)
    ns = {cls.__name__: cls} | {d.__name__: d for d in deps}
    return eval(f"lambda di: {cls.__name__}({args})", ns)


def that_depends_contender(graph):
    # `Container.name.resolve_sync()`: Factory for transients, Singleton, and a
    # ContextResource entered per batch with `context_sync()` for the request scope.
    from that_depends import BaseContainer, providers

    made = {}
    scoped_name = None

    def provider(cls):
        if cls not in made:
            args = [provider(d) for d in graph.nodes[cls]]
            life = graph.lifetime(cls)
            if life == "singleton":
                made[cls] = providers.Singleton(cls, *args)
            elif life == "scoped":
                made[cls] = providers.ContextResource(make_generator(cls), *args)
            else:
                made[cls] = providers.Factory(cls, *args)
        return made[cls]

    for cls in graph.nodes:
        provider(cls)
        if cls is graph.scoped:
            scoped_name = cls.__name__
    # Containers register by class name: one name per scenario.
    name = f"Deps{next(CONTAINER_NUMBERS)}"
    deps = type(name, (BaseContainer,), {cls.__name__: prov for cls, prov in made.items()})
    ns = {"Deps": deps}
    if scoped_name is not None:
        return (
            batch_expr(graph, "Deps.{}.resolve_sync()"),
            ns,
            f"with Deps.{scoped_name}.context_sync(force=True):",
        )
    if len(graph.roots) == 1:
        return f"Deps.{graph.roots[0].__name__}.resolve_sync()", ns, None
    return batch_expr(graph, "Deps.{}.resolve_sync()"), ns, None


CONTAINER_NUMBERS = itertools.count(1)


def make_generator(cls):
    def create(*args):
        yield cls(*args)

    create.__name__ = f"create_{cls.__name__}"
    return create


def rodi_contender(graph):
    # `services.get(Type, scope)` on the provider that `build_provider()`
    # compiles; a request is one ActivationScope per batch.
    from rodi import Container as RodiContainer

    rc = RodiContainer()
    for cls in graph.nodes:
        life = graph.lifetime(cls)
        if life == "singleton":
            rc.add_singleton(cls)
        elif life == "scoped":
            rc.add_scoped(cls)
        else:
            rc.add_transient(cls)
    services = rc.build_provider()
    ns = {"services": services} | class_names(graph)
    if graph.scoped is not None:
        return batch_expr(graph, "services.get({}, scope)"), ns, "with services.create_scope() as scope:"
    # Without a scope argument `get` makes a new ActivationScope per call;
    # passing one kept open is faster and, with nothing scoped, the same.
    ns["scope"] = services.create_scope()
    if len(graph.roots) == 1:
        return f"services.get({graph.roots[0].__name__}, scope)", ns, None
    return batch_expr(graph, "services.get({}, scope)"), ns, None


def class_names(graph):
    return {cls.__name__: cls for cls in graph.nodes}


PEER_BUILDERS = {
    "dependency-injector": dependency_injector_contender,
    "dishka": dishka_contender,
    "wireup": wireup_contender,
    "kink": kink_contender,
    "that-depends": that_depends_contender,
    "rodi": rodi_contender,
}


# ---------------------------------------------------------------------------
# Scenarios: the graph, the hand-wired baseline and the check of a result.
# A check gets two consecutive results, so it can tell transient from shared.


def cached_singleton():
    config_cls = make_class("Config")
    graph = Graph({config_cls: []}, singletons=[config_cls], roots=[config_cls])
    config = config_cls()
    ns = {"get_config": lambda: config}

    def check(first, second):
        expect(type(first) is config_cls, f"got {type(first).__name__}, not Config")
        expect(first is second, "the singleton was built twice")

    return graph, ("get_config()", ns, None), check


def transient_no_deps():
    x = make_class("X")
    graph = Graph({x: []}, roots=[x])

    def check(first, second):
        expect(type(first) is x and type(second) is x, f"got {type(first).__name__}, not X")
        expect(first is not second, "a transient was shared between resolutions")

    return graph, ("X()", {"X": x}, None), check


def six_class_graph(singleton_d_and_f):
    f = make_class("F")
    e = make_class("E", [("f", f)])
    d = make_class("D")
    c = make_class("C", [("d", d), ("e", e)])
    b = make_class("B", [("d", d)])
    a = make_class("A", [("b", b), ("c", c)])
    nodes = {a: [b, c], b: [d], c: [d, e], d: [], e: [f], f: []}
    singletons = [d, f] if singleton_d_and_f else []
    graph = Graph(nodes, singletons=singletons, roots=[a])
    ns = {cls.__name__: cls for cls in nodes}
    if singleton_d_and_f:
        ns.update(d_one=d(), f_one=f())
        hand = "A(B(d_one), C(d_one, E(f_one)))"
    else:
        hand = "A(B(D()), C(D(), E(F())))"

    def parts(root):
        expect(type(root) is a, f"got {type(root).__name__}, not A")
        expect(type(root.b) is b and type(root.c) is c, "A's dependencies have the wrong types")
        expect(type(root.b.d) is d and type(root.c.d) is d, "D has the wrong type")
        expect(type(root.c.e) is e and type(root.c.e.f) is f, "E or F has the wrong type")
        return [root, root.b, root.c, root.c.e, root.b.d, root.c.d, root.c.e.f]

    def check(first, second):
        one, two = parts(first), parts(second)
        for x, y in zip(one[:4], two[:4]):
            expect(x is not y, f"transient {type(x).__name__} shared between resolutions")
        if singleton_d_and_f:
            expect(one[4] is one[5], "the singleton D differs between B and C")
            expect(one[4] is two[4] and one[6] is two[6], "a singleton was built twice")
        else:
            expect(one[4] is not one[5], "B and C share a transient D")
            expect(one[4] is not two[4] and one[6] is not two[6], "a transient leaf was shared")

    return graph, (hand, ns, None), check


def deep_chain():
    classes = [make_class("L0")]
    for i in range(1, CHAIN):
        classes.append(make_class(f"L{i}", [("prev", classes[-1])]))
    nodes = {cls: ([classes[i - 1]] if i else []) for i, cls in enumerate(classes)}
    graph = Graph(nodes, roots=[classes[-1]])
    hand = "".join(f"L{i}(" for i in range(CHAIN - 1, -1, -1)) + ")" * CHAIN
    ns = {cls.__name__: cls for cls in classes}

    def links(root):
        seen = []
        node = root
        for cls in reversed(classes):
            expect(type(node) is cls, f"got {type(node).__name__}, not {cls.__name__}")
            seen.append(node)
            node = getattr(node, "prev", None)
        return seen

    def check(first, second):
        for x, y in zip(links(first), links(second)):
            expect(x is not y, f"transient {type(x).__name__} shared between resolutions")

    return graph, (hand, ns, None), check


def shared_batch(plan):
    """Eight services sharing a session (transient, or one per batch) and a singleton config."""
    config_cls = make_class("Config")
    session_cls = make_class("Session", [("config", config_cls)])
    services = [make_class(f"S{i}", [("session", session_cls), ("config", config_cls)]) for i in range(SERVICES)]
    nodes = {config_cls: [], session_cls: [config_cls]}
    nodes.update({s: [session_cls, config_cls] for s in services})
    graph = Graph(
        nodes,
        singletons=[config_cls],
        roots=services,
        scoped=session_cls if plan else None,
    )
    ns = {cls.__name__: cls for cls in nodes}
    ns["config"] = config_cls()
    if plan:
        hand = "[" + ", ".join(f"S{i}(session, config)" for i in range(SERVICES)) + "]"
        header = "session = Session(config)"
    else:
        hand = "[" + ", ".join(f"S{i}(Session(config), config)" for i in range(SERVICES)) + "]"
        header = None

    def batch(result):
        expect(isinstance(result, list) and len(result) == SERVICES, "not a list of the eight services")
        for cls, obj in zip(services, result):
            expect(type(obj) is cls, f"got {type(obj).__name__}, not {cls.__name__}")
            expect(type(obj.session) is session_cls, "the session has the wrong type")
            expect(type(obj.config) is config_cls, "the config has the wrong type")
            expect(obj.session.config is obj.config, "the session has another config")
        return result

    def check(first, second):
        one, two = batch(first), batch(second)
        expect(len({id(s.config) for s in one + two}) == 1, "the singleton config was built twice")
        expect(len({id(s) for s in one + two}) == 2 * SERVICES, "a transient service was shared")
        sessions_one = {id(s.session) for s in one}
        sessions_two = {id(s.session) for s in two}
        if plan:
            expect(len(sessions_one) == 1, "the batch did not share one session")
            expect(sessions_one != sessions_two, "two batches shared a session")
        else:
            expect(len(sessions_one | sessions_two) == 2 * SERVICES, "services shared a transient session")

    return graph, (hand, ns, header), check


# ---------------------------------------------------------------------------
# Rows of the table: title, scenario, the module's methods, goal for the module.

ROWS = [
    ("cached singleton `resolve(key)`", cached_singleton, ["resolve"], 1.6, "a getter function"),
    ("transient class, no dependencies", transient_no_deps, ["resolve"], 1.25, "`X()`"),
    ("6-class transient graph A(B(D), C(D, E(F)))", lambda: six_class_graph(False), ["resolve"], 1.25, None),
    ("same graph, D and F singletons", lambda: six_class_graph(True), ["resolve"], 1.3, None),
    (f"{CHAIN}-deep transient chain", deep_chain, ["resolve"], 1.2, None),
    (
        f"{SERVICES} services sharing a session and a singleton config, `resolve_many_plan`",
        lambda: shared_batch(True),
        ["resolve_many_plan"],
        1.4,
        "session built once",
    ),
    (f"the same {SERVICES}, `resolve_many`", lambda: shared_batch(False), ["resolve_many"], 1.3, "session per service"),
]
KEYWORD_GOAL = 1.15
# From 3.14 the goals are tighter: the module runs a resolution's provider calls
# inside one Python frame there, as hand-wired code does.
GOALS_FROM_3_14 = [1.1, 1.4, 1.15, 1.25, 1.1, 1.2, 1.3]


def goal_of(row_index, goal):
    return GOALS_FROM_3_14[row_index] if sys.version_info >= (3, 14) else goal


# The transient row's yardstick: the class called from native code, as any
# native caller calls it, timed in the same rounds.
PARTIAL = "functools.partial(X)()"
PARTIAL_ROW = 1
PARTIAL_GOAL = 1.05

# The interpreter's own price of a keyword call, as a yardstick for the keyword
# row: a builtin method of the same calling convention (fastcall with
# keywords), timed in the same rounds, called by keyword and by position.
BUILTIN = "builtin str.encode"
BUILTIN_KEYWORD = "builtin str.encode key="
BUILTIN_STATEMENTS = {BUILTIN: 'text.encode("utf-8")', BUILTIN_KEYWORD: 'text.encode(encoding="utf-8")'}


# The interpreter's own floor for each shape of call, timed in the same rounds:
# a native method that takes one key and hands back a stored object, and a
# native function that calls the class. Rows: (row of ROWS, the module's
# contender, the yardstick, its statement, goal for the ratio).
D_GET = "d.get(k)"
OPERATOR_CALL = "operator.call(X)"
YARDSTICK_ROWS = [
    (0, MODULE, D_GET, 1.15),
    (0, f"{MODULE} get_cached", D_GET, 1.15),
    (PARTIAL_ROW, MODULE, OPERATOR_CALL, 1.2),
]


def yardstick_contenders(row_index, graph):
    if row_index == 0:
        value = graph.roots[0]()
        return [Contender(row_index, D_GET, "d.get(k)", {"d": {"key": value}, "k": "key"}, None)]
    if row_index == PARTIAL_ROW and hasattr(operator, "call"):  # 3.11 and newer
        return [Contender(row_index, OPERATOR_CALL, "call(X)", {"call": operator.call, "X": graph.roots[0]}, None)]
    return []


class Contender:
    def __init__(self, row, name, stmt, ns, header):
        self.row, self.name = row, name
        if header:
            # A `with` header scopes the statement; any other is a plain line before it.
            indent = "    " if header.endswith(":") else ""
            body = f"{header}\n{indent}result = {stmt}"
            self.timed = f"{header}\n{indent}{stmt}"
        else:
            body = f"result = {stmt}"
            self.timed = stmt
        # The very statement that is timed, once more, keeping its result.
        self.source = "def run():\n" + "".join(f"    {line}\n" for line in body.splitlines()) + "    return result\n"
        self.ns = ns
        self.number = 1
        self.best = float("inf")

    def run(self):
        namespace = dict(self.ns)
        exec(self.source, namespace)
        return namespace["run"]()

    def calibrate(self, target):
        timer = timeit.Timer(self.timed, timer=time.process_time, globals=self.ns)
        number = 1
        while True:
            elapsed = timer.timeit(number)
            if elapsed >= target / 10 or number >= 1 << 24:
                break
            number *= 4
        self.number = max(1, int(number * target / max(elapsed, 1e-9)))
        self.timer = timer

    def sample(self):
        # timeit turns the collector off; switch it back on (see module doc).
        gc.enable()
        elapsed = self.timer.timeit(self.number) / self.number
        self.best = min(self.best, elapsed)


def build_contenders(row_index, scenario, methods, errors):
    graph, hand, check = scenario()
    contenders = [Contender(row_index, HAND, *hand)]
    for method in methods:
        label = MODULE if method in ("resolve", "resolve_many", "resolve_many_plan") else f"{MODULE} {method}"
        contenders.append(Contender(row_index, label, *module_contender(graph, method)))
    if row_index == 0:
        contenders.append(Contender(row_index, f"{MODULE} key=", *module_contender(graph, "resolve_kw")))
        contenders.append(Contender(row_index, f"{MODULE} get_cached", *module_contender(graph, "get_cached")))
    if row_index == PARTIAL_ROW:
        contenders.append(Contender(row_index, PARTIAL, "px()", {"px": functools.partial(graph.roots[0])}, None))
    for peer in PEERS:
        try:
            contenders.append(Contender(row_index, peer, *PEER_BUILDERS[peer](graph)))
        except NotComparable as why:
            errors[(row_index, peer)] = ("n/a", str(why))
        except ImportError:
            errors[(row_index, peer)] = ("not installed", "")
        except Exception as error:  # a peer that cannot express the graph is reported, not fatal
            errors[(row_index, peer)] = ("error", describe(error))
    verified = []
    for contender in contenders:
        try:
            check(contender.run(), contender.run())
        except Exception as error:
            errors[(row_index, contender.name)] = ("error", describe(error))
            continue
        verified.append(contender)
    if row_index == 0:
        # Not a resolution, so not checked as one.
        verified += [Contender(row_index, name, stmt, {"text": "key"}, None) for name, stmt in BUILTIN_STATEMENTS.items()]
    return verified + yardstick_contenders(row_index, graph)


def describe(error):
    first = (str(error).strip().splitlines() or [""])[0]
    return f"{type(error).__name__}: {first[:160]}"


def abi_level():
    """The installed wheel's tag, else the shared library's name."""
    library = os.path.basename(getattr(_quorix_core, "__file__", "") or "?")
    try:
        wheel = importlib.metadata.distribution("quorix-core").read_text("WHEEL") or ""
    except importlib.metadata.PackageNotFoundError:
        wheel = ""
    tags = [line.split(":", 1)[1].strip() for line in wheel.splitlines() if line.startswith("Tag:")]
    return f"{', '.join(tags)} ({library})" if tags else library


def peer_version(peer):
    try:
        return importlib.metadata.version(peer)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def cell_for(row_index, name, by_name, base, errors, footnotes):
    if (row_index, name) in errors:
        kind, detail = errors[(row_index, name)]
        if not detail:
            return kind
        if detail not in footnotes:
            footnotes.append(detail)
        return f"{kind} [{footnotes.index(detail) + 1}]"
    if name not in by_name:
        return "—"
    return f"{by_name[name].best / base:.2f}"


def render(results, errors, args, elapsed):
    lines = []
    date = datetime.date.today().isoformat()
    lines.append(
        f"CPython {platform.python_version()} ({sys.platform}, {platform.machine()}), module ABI {abi_level()}; "
        f"{date}; best of {args.rounds} interleaved rounds, ~{args.target * 1e3:g} ms per sample, "
        f"{elapsed:.0f} s in all"
    )
    lines.append("Peers: " + ", ".join(f"{p} {peer_version(p)}" for p in PEERS))
    lines.append("")
    lines.append("| scenario | hand-wired | this module | goal | " + " | ".join(PEERS) + " | note |")
    lines.append("|---" * (5 + len(PEERS)) + "|")
    footnotes = []
    for row_index, (title, _, methods, goal, hand_note) in enumerate(ROWS):
        goal = goal_of(row_index, goal)
        by_name = {c.name: c for c in results[row_index]}
        if HAND not in by_name:
            lines.append(f"| {title} | error | | ≤ {goal} |" + " |" * len(PEERS) + " the baseline failed its check |")
            continue
        base = by_name[HAND].best
        hand_cell = "1.00" + (f" ({hand_note})" if hand_note else "")
        module_cell = cell_for(row_index, MODULE, by_name, base, errors, footnotes)
        peer_cells = [cell_for(row_index, p, by_name, base, errors, footnotes) for p in PEERS]
        verdict = []
        if MODULE in by_name:
            ratio = by_name[MODULE].best / base
            ahead = sorted((by_name[p].best / base, p) for p in PEERS if p in by_name and by_name[p].best < by_name[MODULE].best)
            if ratio > goal:
                verdict.append(f"misses goal ≤ {goal}")
            if ahead:
                verdict.append("behind " + ", ".join(p for _, p in ahead))
            if verdict:
                module_cell = f"**{module_cell} ✗**"
        else:
            verdict.append("module failed its check")
        lines.append(
            f"| {title} | {hand_cell} | {module_cell} | ≤ {goal} | " + " | ".join(peer_cells) + f" | {'; '.join(verdict) or 'ok'} |"
        )
        if row_index == 0:
            lines.append(keyword_row(by_name, errors, footnotes))
        if row_index == PARTIAL_ROW:
            lines.append(partial_row(by_name))
    lines += ["", yardstick_table(results)]
    notes = [
        "Ratios are best times relative to hand-wired Python building the same objects; lower is faster. "
        "✗ marks a row where this module misses its goal or a peer is faster.",
        "Peers as configured here: dishka with `lock_factory=None` (no per-call lock; this module keeps its lock); "
        "wireup and rodi resolve transients from one scope kept open, except on the request-scope row.",
    ]
    notes += [f"[{number}] {note}" for number, note in enumerate(footnotes, 1)]
    # Blank lines between, so each note is its own Markdown paragraph.
    return "\n".join(lines) + "\n\n" + "\n\n".join(notes)


def render_ns(results):
    """Best time per call of every contender, in nanoseconds."""
    names = [HAND, MODULE, f"{MODULE} key=", f"{MODULE} get_cached", *PEERS, BUILTIN, BUILTIN_KEYWORD, PARTIAL,
             D_GET, OPERATOR_CALL]
    lines = ["| scenario (ns per call) | " + " | ".join(names) + " |", "|---" * (1 + len(names)) + "|"]
    for (title, *_), row in zip(ROWS, results):
        by_name = {c.name: c for c in row}
        cells = [f"{by_name[n].best * 1e9:.0f}" if n in by_name else "—" for n in names]
        lines.append(f"| {title} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def yardstick_table(results):
    lines = ["| call | ns | yardstick | ns | ratio | goal |", "|---|---:|---|---:|---:|---|"]
    for row_index, name, yardstick, goal in YARDSTICK_ROWS:
        by_name = {c.name: c for c in results[row_index]}
        title = ROWS[row_index][0] + ("" if name == MODULE else f", {name[len(MODULE) + 1:]}")
        if name not in by_name or yardstick not in by_name:
            lines.append(f"| {title} | — | `{yardstick}` | — | — | ≤ {goal} |")
            continue
        ratio = by_name[name].best / by_name[yardstick].best
        cell = f"{ratio:.2f}" if ratio <= goal else f"**{ratio:.2f} ✗**"
        lines.append(f"| {title} | {by_name[name].best * 1e9:.1f} | `{yardstick}` | "
                     f"{by_name[yardstick].best * 1e9:.1f} | {cell} | ≤ {goal} |")
    return "\n".join(lines)


def partial_row(by_name):
    title = f"transient class against `{PARTIAL}`"
    peers = " | ".join("—" for _ in PEERS)
    goal = f"≤ {PARTIAL_GOAL}" if sys.version_info >= (3, 14) else "—"
    if MODULE not in by_name or PARTIAL not in by_name:
        return f"| {title} | | error | {goal} | {peers} | a call failed its check |"
    ratio = by_name[MODULE].best / by_name[PARTIAL].best
    cell, note = f"{ratio:.2f}", "ok"
    if sys.version_info >= (3, 14) and ratio > PARTIAL_GOAL:
        cell, note = f"**{cell} ✗**", f"misses goal ≤ {PARTIAL_GOAL}"
    hand = by_name[PARTIAL].best / by_name[HAND].best if HAND in by_name else float("nan")
    note += f"; `{PARTIAL}` against `X()`: {hand:.2f}"
    return f"| {title} | — (ratio to `{PARTIAL}`) | {cell} | {goal} | {peers} | {note} |"


def keyword_row(by_name, errors, footnotes):
    title = "`resolve(key=...)` against `resolve(key)`"
    peers = " | ".join("—" for _ in PEERS)
    if MODULE not in by_name or f"{MODULE} key=" not in by_name:
        return f"| {title} | | error | ≤ {KEYWORD_GOAL} | {peers} | keyword call failed its check |"
    ratio = by_name[f"{MODULE} key="].best / by_name[MODULE].best
    cell = f"{ratio:.2f}"
    note = "ok"
    if ratio > KEYWORD_GOAL:
        cell, note = f"**{cell} ✗**", f"misses goal ≤ {KEYWORD_GOAL}"
    if BUILTIN in by_name and BUILTIN_KEYWORD in by_name:
        builtin = by_name[BUILTIN_KEYWORD].best / by_name[BUILTIN].best
        note += f"; CPython's own `str.encode(encoding=...)` against `str.encode(...)`: {builtin:.2f}"
    return f"| {title} | — (ratio to `resolve(key)`) | {cell} | ≤ {KEYWORD_GOAL} | {peers} | {note} |"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    # Many short rounds: on a shared machine a contender's best sample needs
    # many chances to land in a quiet moment.
    parser.add_argument("--rounds", type=int, default=100, help="interleaved rounds (default 100)")
    parser.add_argument("--quick", action="store_true", help="3 rounds of short samples: a smoke run, not a result")
    parser.add_argument("--ns", action="store_true", help="also print the best time per call in nanoseconds")
    parser.add_argument("--seed", type=int, default=None, help="seed for the order of samples within a round")
    args = parser.parse_args(argv)
    args.target = 0.001 if args.quick else 0.002
    if args.quick:
        args.rounds = min(args.rounds, 3)
    started = time.perf_counter()

    errors = {}
    rows = [build_contenders(i, scenario, methods, errors) for i, (_, scenario, methods, _, _) in enumerate(ROWS)]
    everyone = [c for row in rows for c in row]
    for contender in everyone:
        contender.calibrate(args.target)
    rng = random.Random(args.seed)
    for round_number in range(args.rounds):
        order = everyone[:]
        rng.shuffle(order)
        for contender in order:
            contender.sample()
        if sys.stderr.isatty():
            print(f"\rround {round_number + 1}/{args.rounds}", end="", file=sys.stderr, flush=True)
    if sys.stderr.isatty():
        print(file=sys.stderr)
    print(render(rows, errors, args, time.perf_counter() - started))
    if args.ns:
        print()
        print(render_ns(rows))


if __name__ == "__main__":
    main()
