"""What resolution keeps between calls (each record's links to its dependencies'
records, the orders compiled for recent requests, the marks of the current path,
reused scratch space) must never show: every change to the registry reaches the
next resolution, and no failure leaves anything behind."""
import pytest

METHODS = {
    "resolve": lambda c, key: c.resolve(key),
    "resolve_many": lambda c, key: c.resolve_many([key])[0],
    "resolve_many_plan": lambda c, key: c.resolve_many_plan([key])[0],
}
EACH_METHOD = pytest.mark.parametrize("method", list(METHODS))


def returns(value, calls=None, key=None):
    def make(*args):
        if calls is not None:
            calls.append(key)
        return (value, *args)

    return make


def override(c, key, value, deps=()):
    c.set_override(key, returns(value), False, False, list(deps))


# Each change makes "top" (which depends on "dep", whose value is "old") see "new";
# the undo, where there is one, must bring "old" back.
CHANGES = {
    "dep registered again": (lambda c: c.register_provider("dep", returns("new"), False, False, []), None),
    "dep overridden": (lambda c: (c.begin_override_layer(), override(c, "dep", "new")), "end"),
    "dep overridden below empty layers": (
        lambda c: (c.begin_override_layer(), override(c, "dep", "new"), c.begin_override_layer(),
                   c.begin_override_layer()),
        "end3",
    ),
    "dep overridden twice in one layer": (
        lambda c: (c.begin_override_layer(), override(c, "dep", "mid"), override(c, "dep", "new")),
        "end",
    ),
    "top registered again with other deps": (
        lambda c: c.register_provider("top", returns("top"), False, False, ["other"]),
        None,
    ),
    "top overridden with other deps": (
        lambda c: (c.begin_override_layer(), c.set_override("top", returns("top"), False, False, ["other"])),
        "end",
    ),
}


@EACH_METHOD
@pytest.mark.parametrize("change", list(CHANGES))
def test_every_change_reaches_a_warmed_up_resolution(container, method, change):
    c = container
    run = METHODS[method]
    c.register_provider("dep", returns("old"), False, False, [])
    c.register_provider("other", returns("new"), False, False, [])
    c.register_provider("top", returns("top"), False, False, ["dep"])
    for _ in range(3):  # whatever is kept between calls is in use by now
        assert run(c, "top") == ("top", ("old",))
    apply, undo = CHANGES[change]
    apply(c)
    assert run(c, "top") == ("top", ("new",))
    assert run(c, "top") == ("top", ("new",))
    if undo is not None:
        for _ in range(3 if undo == "end3" else 1):
            c.end_override_layer()
        assert run(c, "top") == ("top", ("old",))


def fail_as(c, mode):
    """Registers "bad" so that resolving it fails in the given way."""
    if mode == "cycle":
        c.register_provider("bad", returns("bad"), False, False, ["bad"])
    elif mode == "missing":
        c.register_provider("bad", returns("bad"), False, False, ["absent"])
    elif mode == "async":
        c.register_provider("bad", returns("bad"), False, True, [])
    else:
        c.register_provider("bad", lambda: 1 / 0, False, False, [])


@EACH_METHOD
@pytest.mark.parametrize("mode", ["cycle", "missing", "async", "raises"])
@pytest.mark.parametrize("layered", [False, True])
def test_a_failed_resolution_leaves_no_key_on_the_path(container, method, mode, layered):
    c = container
    run = METHODS[method]
    if layered:  # the records on the failed path live in an override layer
        c.begin_override_layer()
        c.set_override("unused", returns("unused"), False, False, [])
    register = c.set_override if layered else c.register_provider
    register("mid", returns("mid"), False, False, ["bad"])
    register("top", returns("top"), False, False, ["mid"])
    register("other", returns("other"), False, False, ["mid"])
    fail_as(c, mode)  # in the base map: the layer does not hold "bad"

    def error_of(key):
        with pytest.raises(Exception) as info:
            run(c, key)
        return type(info.value), info.value.args if mode != "raises" else ()

    first = error_of("top")
    # "top" and "mid" were on the path when it failed; neither may still be.
    assert error_of("other") == first
    assert error_of("mid") == first
    assert error_of("top") == first
    c.register_provider("bad", returns("bad"), False, False, [])
    assert run(c, "other") == ("other", ("mid", ("bad",)))
    assert run(c, "top") == ("top", ("mid", ("bad",)))


# A plan lays out no walk, so only the walks fail before the call.
@pytest.mark.parametrize("method,where", [*((m, "inside a provider") for m in METHODS),
                                          ("resolve", "before the call"), ("resolve_many", "before the call")])
def test_running_out_of_memory_mid_resolution_leaves_no_key_on_the_path(run_faulty, method, where):
    # A walk is laid out before any of its providers runs, and opening its
    # first level fails first: inside a provider, the failing layout is that of
    # a nested resolution of "mid", made while "top" and "arm" are on the
    # thread's path. The container stays usable and no key may look like a cycle.
    done = run_faulty(f"""
        import os
        from _quorix_core import Container
        run = {{
            "resolve": lambda c, key: c.resolve(key),
            "resolve_many": lambda c, key: c.resolve_many([key])[0],
            "resolve_many_plan": lambda c, key: c.resolve_many_plan([key])[0],
        }}["{method}"]

        armed = []

        def arm():
            if not armed and "{where}" == "inside a provider":  # once only
                armed.append(1)
                os.environ["QUORIX_FAULTS"] = "level_alloc"
                try:
                    c.resolve("mid")
                finally:
                    os.environ["QUORIX_FAULTS"] = ""
            return "armed"

        c = Container()
        c.register_provider("arm", arm, False, False, [])
        c.register_provider("leaf", lambda: "leaf", False, False, [])
        c.register_provider("mid", lambda leaf: ("mid", leaf), False, False, ["leaf"])
        c.register_provider("top", lambda *a: ("top", *a), False, False, ["arm", "mid"])
        if "{where}" == "before the call":
            os.environ["QUORIX_FAULTS"] = "level_alloc"
        try:
            run(c, "top")
        except MemoryError:
            pass
        else:
            raise AssertionError("no MemoryError")
        os.environ["QUORIX_FAULTS"] = ""
        assert armed == ([1] if "{where}" == "inside a provider" else [])
        for method in (lambda key: c.resolve(key), lambda key: c.resolve_many([key])[0],
                       lambda key: c.resolve_many_plan([key])[0]):
            assert method("top") == ("top", "armed", ("mid", "leaf")), method("top")
            assert method("mid") == ("mid", "leaf")
            assert method("arm") == "armed"
        print("OK")
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "OK"


def test_orders_are_kept_per_exact_request(container):
    # More distinct requests than are kept, differing only in order or in
    # repetitions, asked for again and again.
    c = container
    calls = []
    for i in range(6):
        deps = [f"k{i + 1}"] if i < 5 else []
        c.register_provider(f"k{i}", returns(f"k{i}", calls, f"k{i}"), False, False, deps)
    requests = [[f"k{i}", f"k{j}"] for i in range(6) for j in range(6)] + [["k5"] * 3, ["k2", "k0", "k2"], []]
    for _ in range(3):
        for request in requests:
            calls.clear()
            values = c.resolve_many_plan(request)
            assert [v[0] for v in values] == request
            closure = {f"k{n}" for key in request for n in range(int(key[1:]), 6)}
            assert sorted(calls) == sorted(closure)  # each key of the closure once
            for key, value in zip(request, values):
                assert value is values[request.index(key)]


@pytest.mark.parametrize("stored_by", ["set_cached", "resolve"])
def test_a_kept_order_holds_no_cached_values(container, stored_by):
    c = container
    calls = []
    c.register_provider("dep", returns("dep", calls, "dep"), False, False, [])
    c.register_provider("s", returns("s", calls, "s"), True, False, ["dep"])
    first = c.resolve_many_plan(["s"])[0]
    assert calls == ["dep", "s"]
    c.register_provider("s", returns("s", calls, "s"), True, False, ["dep"])  # uncached again
    c.resolve_many_plan(["s"])  # compiled and kept while "s" is uncached
    calls.clear()
    if stored_by == "set_cached":
        c.set_cached("s", "stored")
        expected = "stored"
    else:
        expected = c.resolve("s")
        assert expected == ("s", ("dep",)) and expected is not first
        calls.clear()
    assert c.resolve_many_plan(["s"]) == [expected]
    assert calls == ["dep"]  # the closure still runs; the cached singleton answers


def test_a_kept_order_still_refuses_a_cached_async_singleton(container):
    c = container
    c.register_provider("a", returns("a"), True, True, [])
    for _ in range(2):
        with pytest.raises(RuntimeError, match="is async"):
            c.resolve_many_plan(["a"])
    c.set_cached("a", "stored")
    with pytest.raises(RuntimeError, match="is async"):
        c.resolve_many_plan(["a"])
    assert c.resolve("a") == "stored"


@pytest.mark.parametrize("empty_layers", [0, 1, 1000])
def test_lookups_pass_over_empty_layers(container, empty_layers):
    c = container
    c.register_provider("k", returns("base"), True, False, [])
    c.register_provider("top", returns("top"), False, False, ["k"])
    c.set_cached("k", "base-value")
    c.begin_override_layer()
    c.set_override("k", returns("low"), True, False, [])
    for _ in range(empty_layers):
        c.begin_override_layer()
    c.begin_override_layer()
    c.set_override("k", returns("high"), False, False, [])
    for _ in range(empty_layers):
        c.begin_override_layer()
    assert c.resolve("top") == ("top", ("high",))
    # The first record holding a value, and the first singleton, lie below the top.
    assert c.get_cached("k") == "base-value"
    c.set_cached("k", "low-value")
    assert c.get_cached("k") == "low-value"
    for _ in range(empty_layers + 1):
        c.end_override_layer()
    assert c.resolve("top") == ("top", "low-value")
    assert c.get_provider_info("k")[1] is True
    for _ in range(empty_layers + 1):
        c.end_override_layer()
    assert c.resolve("top") == ("top", "base-value")
    assert c.get_cached("k") == "base-value"


def test_threads_switching_inside_providers_keep_their_resolutions_apart(container):
    # Providers give the interpreter away mid-resolution; the other threads then
    # wait for the container, so the scratch space of the running resolution
    # stays its own, and a change made between resolutions reaches the next one.
    import threading
    import time

    c = container

    def slow(label):
        def make(*args):
            time.sleep(0)
            return (label, *args)

        return make

    for i in range(8):
        c.register_provider(f"n{i}", slow(f"n{i}"), False, False, [f"n{i + 1}", f"n{i + 1}"] if i < 7 else [])
    def expected(key, last):
        # One resolution sees one state of the container: "n7" alike everywhere.
        return (last,) if key == 7 else (f"n{key}", expected(key + 1, last), expected(key + 1, last))

    errors = []

    def resolver(key, method):
        try:
            for _ in range(15):
                value = METHODS[method](c, f"n{key}")
                if value not in (expected(key, "n7"), expected(key, "swapped")):
                    errors.append((key, method, value))
        except Exception as error:
            errors.append(error)

    def swapper():
        for _ in range(15):
            c.begin_override_layer()
            c.set_override("n7", slow("swapped"), False, False, [])
            time.sleep(0)
            c.end_override_layer()

    threads = [threading.Thread(target=resolver, args=(k, m)) for k in (0, 3) for m in METHODS]
    threads.append(threading.Thread(target=swapper))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert errors == []
    assert c.resolve("n5") == expected(5, "n7")


class Key(str):
    pass


def fresh(text):
    """An equal text in a new `str` object (literals would be shared)."""
    made = "".join(list(text))
    assert made is not text
    return made


@pytest.mark.parametrize("make_key", [str, fresh, Key], ids=["same object", "equal text", "str subclass"])
def test_a_key_object_resolved_before_follows_every_change(container, make_key):
    c = container
    c.register_provider("service", returns("first"), False, False, [])
    key = make_key("service")
    assert [c.resolve(key) for _ in range(3)] == [("first",)] * 3
    c.register_provider("service", returns("second"), False, False, [])
    assert c.resolve(key) == ("second",)
    c.begin_override_layer()
    c.set_override("service", returns("layer"), False, False, [])
    assert c.resolve(key) == ("layer",) and c.resolve(make_key("service")) == ("layer",)
    c.end_override_layer()
    assert c.resolve(key) == ("second",)


def test_resolving_many_distinct_key_objects_keeps_only_a_few_alive(container):
    import sys

    c = container
    c.register_provider("service", returns("v"), True, False, [])
    first = fresh("service")
    before = sys.getrefcount(first)
    c.resolve(first)
    # The container may remember a handful of recently resolved key objects, but
    # never pins every key object it has seen: a thousand others, all alive at
    # once, push the first one out.
    others = [fresh("service") for _ in range(1000)]
    for key in others:
        c.resolve(key)
    assert sys.getrefcount(first) == before


def test_keys_made_one_after_another_each_answer_for_their_own_record(container):
    # Key objects made in a row sit at a fixed stride of their size class, so
    # what the container remembers of them may land side by side: each must
    # still answer for its own record, in repeated batches and one by one.
    for width in (2, 12, 40, 90):  # four size classes, each in a container of its own
        c = type(container)()
        texts = [f"k{i:0{width}d}" for i in range(16)]
        for text in texts:
            c.register_provider(text, returns(text), True, False, [])
        keys = [fresh(text) for text in texts]
        for _ in range(3):
            assert c.resolve_many(keys) == [(t,) for t in texts]
        assert [c.resolve(k) for k in reversed(keys)] == [(t,) for t in reversed(texts)]


@pytest.mark.parametrize("sequence", [list, tuple])
def test_a_kept_order_answers_only_the_key_objects_it_was_kept_with(container, sequence):
    # A request made again of the same `str` objects finds its order by their
    # identity: new objects, even at the addresses of released ones, and a
    # list changed in place must be read as what they say.
    c = container
    texts = {f"{name}{i:08d}": name for name in "ab" for i in range(8)}
    for text in texts:
        c.register_provider(text, returns(text), False, False, [])
    first = [t for t in texts if t[0] == "a"]
    second = [t for t in texts if t[0] == "b"]
    keys = sequence(fresh(t) for t in first)
    for _ in range(4):
        assert [v[0] for v in c.resolve_many_plan(keys)] == first
    del keys
    for _ in range(4):  # new objects, likely made where the released ones were
        keys = sequence(fresh(t) for t in second)
        assert [v[0] for v in c.resolve_many_plan(keys)] == second
    if sequence is list:
        keys[3] = fresh(first[3])
        assert [v[0] for v in c.resolve_many_plan(keys)] == second[:3] + [first[3]] + second[4:]
        del keys[-1]
        assert [v[0] for v in c.resolve_many_plan(keys)] == second[:3] + [first[3]] + second[4:7]
