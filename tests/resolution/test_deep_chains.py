"""Chains far deeper than the native stack: run in a subprocess so a crash fails one test."""
import pytest

DEPTH = 100000

# Each k<i> depends on k<i+1>; the last one ends as the case says. The walk runs
# on a thread with a small stack so any native recursion per level would crash.
CHAIN = """
import sys, threading
import _quorix_core

DEPTH, END = {depth}, {end!r}
c = _quorix_core.Container()
for i in range(DEPTH - 1):
    c.register_provider("k%d" % i, lambda v: v + 1, False, False, ["k%d" % (i + 1)])
c.register_provider("k%d" % (DEPTH - 1), lambda *v: 0, False, False, END)
limit = sys.getrecursionlimit()
outcomes = []

def walk():
    for run in (c.resolve, lambda k: c.resolve_many([k])[0], lambda k: c.resolve_many_plan([k])[0]):
        try:
            outcomes.append(repr(run("k0")))
        except Exception as error:
            outcomes.append("%s%r" % (type(error).__name__, error.args))

threading.stack_size(1 << 20)
worker = threading.Thread(target=walk)
worker.start()
worker.join()
assert sys.getrecursionlimit() == limit
print(outcomes)
"""


@pytest.mark.parametrize(
    "end, outcome",
    [
        ([], repr(DEPTH - 1)),
        (["missing"], "KeyError('No provider registered for key: missing',)"),
        (["k%d" % (DEPTH // 2)], "RuntimeError('Dependency cycle detected at key: k%d',)" % (DEPTH // 2)),
    ],
    ids=["value", "missing", "cycle"],
)
def test_deep_chain(run_python, end, outcome):
    done = run_python(CHAIN.format(depth=DEPTH, end=end))
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == repr([outcome] * 3)
