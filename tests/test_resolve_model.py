"""Resolution against a recursive reference model, on random graphs that may hold
cycles, missing keys and async providers, with paths long enough to exercise the
in-progress set's growth and removal."""
from hypothesis import given, settings, strategies as st

import _quorix_core


class Fault(Exception):
    pass


def reference_resolve(graph, cache, key, path):
    """The recursive algorithm, effect for effect; values are nested tuples."""
    if key in path:
        raise Fault("cycle", key)
    path.add(key)
    if key not in graph:
        raise Fault("missing", key)
    deps, singleton, is_async = graph[key]
    if singleton and key in cache:
        path.discard(key)
        return cache[key]
    if is_async:
        raise Fault("async", key)
    value = (key, *(reference_resolve(graph, cache, d, path) for d in deps))
    if singleton:
        cache[key] = value
    path.discard(key)
    return value


ERRORS = {
    "cycle": (RuntimeError, "Dependency cycle detected at key: {}"),
    "missing": (KeyError, "No provider registered for key: {}"),
    "async": (RuntimeError, "Provider for key '{}' is async and requires async resolution"),
}

graphs = st.integers(min_value=2, max_value=60).flatmap(
    lambda n: st.tuples(
        st.just(n),
        st.lists(  # per key: dependency indices (n means a missing key), singleton, async
            st.tuples(
                st.lists(st.integers(0, n), max_size=3),
                st.booleans(),
                st.sampled_from([False] * 9 + [True]),
            ),
            min_size=n,
            max_size=n,
        ),
        st.lists(st.integers(0, n - 1), min_size=1, max_size=6),
    )
)


@settings(max_examples=150, deadline=None, database=None)
@given(graphs)
def test_resolve_matches_the_recursive_model(case):
    n, specs, requests = case
    name = [f"k{i}" for i in range(n)] + ["absent"]
    # Mostly forward edges, so that long chains form; any edge may close a cycle.
    graph = {
        name[i]: ([name[d] if d == n else name[(i + 1 + d) % n] for d in deps], singleton, is_async)
        for i, (deps, singleton, is_async) in enumerate(specs)
    }
    c = _quorix_core.Container()
    for key, (deps, singleton, is_async) in graph.items():
        c.register_provider(key, lambda *args, key=key: (key, *args), singleton, is_async, deps)
    cache = {}
    for index in requests:
        key = name[index]
        try:
            expected = reference_resolve(graph, cache, key, set())
        except Fault as fault:
            kind, at = fault.args
            error_type, message = ERRORS[kind]
            try:
                c.resolve(key)
            except error_type as error:
                assert error.args == (message.format(at),)
            else:
                raise AssertionError(f"resolve({key!r}) did not fail")
        else:
            assert c.resolve(key) == expected
        for singleton_key, value in cache.items():
            assert c.get_cached(singleton_key) == value
