"""The peer benchmark's graph checks accept right graphs and reject wrong ones.

Needs only the installed module and pytest (the peers are optional here):

    python -m pytest bench/test_bench_peers.py
"""
import operator

import pytest

import bench_peers as bp

SCENARIOS = {title: scenario for title, scenario, *_ in bp.ROWS}
TRANSIENT_ROOTS = [t for t in SCENARIOS if "cached singleton" not in t]
WITH_SINGLETONS = [t for t in SCENARIOS if "cached singleton" in t or "singletons" in t or "services" in t]


def outcome(stmt_ns_header, check):
    contender = bp.Contender(0, "probe", *stmt_ns_header)
    try:
        check(contender.run(), contender.run())
    except bp.Mismatch as mismatch:
        return str(mismatch)
    return None


@pytest.mark.parametrize("title", SCENARIOS)
def test_hand_wired_and_module_pass(title):
    graph, hand, check = SCENARIOS[title]()
    method = "resolve_many_plan" if graph.scoped else ("resolve_many" if len(graph.roots) > 1 else "resolve")
    assert outcome(hand, check) is None
    assert outcome(bp.module_contender(graph, method), check) is None


@pytest.mark.parametrize("title", TRANSIENT_ROOTS)
def test_everything_singleton_is_rejected(title):
    graph, _, check = SCENARIOS[title]()
    graph.singletons = set(graph.nodes)
    method = "resolve_many" if len(graph.roots) > 1 else "resolve"
    assert "shared" in outcome(bp.module_contender(graph, method), check)


@pytest.mark.parametrize("title", WITH_SINGLETONS)
def test_lost_singletons_are_rejected(title):
    graph, _, check = SCENARIOS[title]()
    graph.singletons = set()
    method = "resolve_many" if len(graph.roots) > 1 else "resolve"
    assert outcome(bp.module_contender(graph, method), check) is not None


@pytest.mark.parametrize(
    "title, wrong_method, message",
    [
        (next(t for t in SCENARIOS if "resolve_many_plan" in t), "resolve_many", "did not share one session"),
        (next(t for t in SCENARIOS if t.endswith("`resolve_many`")), "resolve_many_plan", "shared a transient session"),
    ],
)
def test_batch_semantics_are_told_apart(title, wrong_method, message):
    graph, _, check = SCENARIOS[title]()
    assert message in outcome(bp.module_contender(graph, wrong_method), check)


@pytest.mark.parametrize("title", SCENARIOS)
def test_wrong_type_at_the_root_is_rejected(title):
    graph, _, check = SCENARIOS[title]()
    root = graph.roots[0]
    impostor = bp.make_class(root.__name__, [])
    graph.nodes[impostor] = []
    graph.nodes.pop(root)
    graph.roots[0] = impostor
    method = "resolve_many_plan" if graph.scoped else ("resolve_many" if len(graph.roots) > 1 else "resolve")
    assert "not" in outcome(bp.module_contender(graph, method), check)


def test_a_failing_peer_is_reported_and_not_timed(monkeypatch):
    # A peer whose graph is wrong (everything shared) must land in the errors.
    def wrong(graph):
        obj = graph.roots[0]()
        return "obj", {"obj": obj}, None

    def raising(graph):
        raise ValueError("cannot wire this")

    monkeypatch.setattr(bp, "PEER_BUILDERS", dict.fromkeys(bp.PEERS, wrong) | {"kink": raising})
    errors = {}
    title = next(t for t in SCENARIOS if t.startswith("transient class"))
    row = list(SCENARIOS).index(title)
    verified = bp.build_contenders(row, SCENARIOS[title], ["resolve"], errors)
    names = {c.name for c in verified}
    # The partial yardstick passed the same check; the interpreter's floor is not a resolution.
    assert names == {bp.HAND, bp.MODULE, bp.PARTIAL} | ({bp.OPERATOR_CALL} if hasattr(operator, "call") else set())
    assert errors[(row, "dishka")][0] == "error"
    assert "shared" in errors[(row, "dishka")][1]
    assert errors[(row, "kink")] == ("error", "ValueError: cannot wire this")


def test_table_marks_a_module_behind_a_peer_or_its_goal():
    class Timed:
        def __init__(self, name, best):
            self.name, self.best = name, best

    class Args:
        rounds, target = 1, 0.001

    ratios = {bp.HAND: 1.0, bp.MODULE: 1.3, f"{bp.MODULE} key=": 1.3, "dishka": 1.25, "rodi": 3.0,
              bp.BUILTIN: 0.5, bp.BUILTIN_KEYWORD: 0.6}
    results = [[Timed(n, r) for n, r in ratios.items()] for _ in bp.ROWS]
    errors = {(i, p): ("not installed", "") for i in range(len(bp.ROWS)) for p in ("kink", "wireup")}
    table = bp.render(results, errors, Args, 1.0)
    first = next(line for line in table.splitlines() if line.startswith("| cached singleton"))
    assert "**1.30 ✗**" in first and "behind dishka" in first and "misses" not in first
    assert "| 1.25 |" in first and "| 3.00 |" in first and "not installed" in first
    keyword = next(line for line in table.splitlines() if "resolve(key=...)" in line)
    assert "| 1.00 |" in keyword and "✗" not in keyword and "`str.encode(...)`: 1.20" in keyword
    chain = next(line for line in table.splitlines() if "deep transient chain" in line)
    assert "misses goal ≤ 1.2" in chain
