"""Resolutions run as one generated Python function (from CPython 3.13, after a
few runs; from the first run in the fault-injection build with its switch on):
what the callers see must be what the level walk gives them."""
import textwrap

import pytest

# Each script runs once with the compiled form (the test build's switch) and
# once without, in the release module: the same checks must hold for both.
SWITCHES = [pytest.param("compile_at_once", id="compiled"), pytest.param(None, id="default")]


@pytest.fixture(params=SWITCHES)
def run_switched(request, run_faulty, run_python):
    def run(code):
        done = run_faulty(code, faults=request.param) if request.param else run_python(code)
        assert done.returncode == 0, done.stdout + done.stderr
        assert done.stdout.strip().endswith("ok"), done.stdout

    return run


PRELUDE = textwrap.dedent(
    """
    import gc, sys, traceback, weakref
    from _quorix_core import Container
    """
)


def test_a_provider_exception_shows_no_generated_frame(run_switched):
    # A provider deep in a graph raises inside an `except` block of the
    # caller's: the very exception arrives, with the frames it passed through
    # (the caller's and the provider's, none of the module's own) and the
    # handled exception as its context, from every resolution operation.
    run_switched(PRELUDE + textwrap.dedent(
        """
        class Boom(Exception):
            pass
        raised = []
        def failing(config):
            raised.append(Boom("deep"))
            raise raised[-1]
        c = Container()
        c.register_provider("config", object, True, False, [])
        c.register_provider("leaf", failing, False, False, ["config"])
        c.register_provider("mid", lambda leaf: leaf, False, False, ["leaf"])
        c.register_provider("top", lambda mid, config: mid, False, False, ["mid", "config"])
        c.register_provider("bad", 42, False, False, [])
        c.register_provider("over", lambda bad, config: bad, False, False, ["bad", "config"])
        c.resolve("config")
        for method, argument in [("resolve", "top"), ("resolve_many", ["config", "top"]),
                                 ("resolve_many_plan", ["top", "config"])]:
            for attempt in range(6):
                try:
                    raise KeyError("handled")
                except KeyError as handled:
                    try:
                        getattr(c, method)(argument)
                    except Boom as error:
                        assert error is raised[-1]
                        assert error.__context__ is handled and error.__cause__ is None
                        names = [frame.name for frame in traceback.extract_tb(error.__traceback__)]
                        assert names == ["<module>", "failing"], (method, names)
                    else:
                        raise AssertionError("no error")
            # A callable that cannot be called fails at the call, without a frame of its own.
            try:
                getattr(c, method)("over" if method == "resolve" else ["over"])
            except TypeError as error:
                assert "not callable" in str(error), error
                assert [f.name for f in traceback.extract_tb(error.__traceback__)] == ["<module>"]
        print("ok")
        """
    ))


def test_cached_values_and_registrations_between_calls_reach_the_compiled_form(run_switched):
    # Singleton values stored by hand, and records replaced or shadowed by a
    # layer, after the compiled form has run: each call sees the state it
    # finds. An empty singleton slot goes back to the walk, which fills it.
    run_switched(PRELUDE + textwrap.dedent(
        """
        calls = []
        def make(name):
            def provider(*args):
                calls.append(name)
                return (name, args)
            return provider
        c = Container()
        c.register_provider("s", make("s"), True, False, [])
        c.register_provider("t", make("t"), False, False, [])
        c.register_provider("top", make("top"), False, False, ["t", "s", "t"])
        for _ in range(6):
            assert c.resolve("top") == ("top", (("t", ()), ("s", ()), ("t", ())))
        assert calls.count("s") == 1 and calls.count("t") == 12
        c.set_cached("s", "stored")
        for method, wrap in [("resolve", lambda v: v), ("resolve_many", lambda v: [v, v]),
                             ("resolve_many_plan", lambda v: [v])]:
            argument = "top" if method == "resolve" else ["top", "top"] if method == "resolve_many" else ["top"]
            for _ in range(6):
                assert getattr(c, method)(argument) == wrap(("top", (("t", ()), "stored", ("t", ()))))
        c.begin_override_layer()
        c.set_override("s", make("s2"), True, False, [])
        for _ in range(6):
            assert c.resolve("top")[1][1] == ("s2", ())
        c.end_override_layer()
        assert c.resolve("top")[1][1] == "stored"
        c.register_provider("s", make("s3"), True, False, ["t"])
        for _ in range(6):
            assert c.resolve("top")[1][1] == ("s3", (("t", ()),))
        assert calls.count("s3") == 1
        print("ok")
        """
    ))


def test_a_replaced_callable_is_released_with_its_record(run_switched):
    # The compiled functions hold the callables they call; a registration drops
    # them first, so the replaced record's callable goes at once, as before.
    run_switched(PRELUDE + textwrap.dedent(
        """
        class Factory:
            def __call__(self, *args):
                return args
        gc.disable()
        c = Container()
        leaf, middle = Factory(), Factory()
        gone = [weakref.ref(leaf), weakref.ref(middle)]
        c.register_provider("leaf", leaf, False, False, [])
        c.register_provider("middle", middle, False, False, ["leaf"])
        c.register_provider("top", Factory(), False, False, ["middle", "leaf"])
        for _ in range(6):
            c.resolve("top"), c.resolve_many(["top", "middle"]), c.resolve_many_plan(["top"])
        del leaf, middle
        c.register_provider("leaf", Factory(), False, False, [])
        assert gone[0]() is None, "the replaced callable is still alive"
        c.begin_override_layer()
        c.set_override("middle", Factory(), False, False, ["leaf"])
        for _ in range(6):
            c.resolve("top")
        c.end_override_layer()
        c.register_provider("middle", Factory(), False, False, [])
        assert gone[1]() is None, "the replaced callable is still alive"
        print("ok")
        """
    ))
