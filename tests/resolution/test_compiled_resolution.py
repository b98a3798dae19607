"""Resolutions run as one generated Python function (from CPython 3.13, after a
few runs; from the first run in the fault-injection build with its switch on):
what the callers see must be what the level walk gives them."""
import json
import sys
import textwrap

import pytest

# Each script runs with the compiled form forced on and forced off (the test
# build's switches), and in the release module: the same checks must hold for
# all three, and the providers' callers show which form ran. The release
# module compiles from 3.13 on, after a few runs of the walk (at once where a
# key run by an earlier operation of the script already has its compiled form).
RELEASE_COMPILES = sys.version_info >= (3, 13)
SWITCHES = [
    pytest.param(("compile_at_once", {"compiled"}), id="compiled"),
    pytest.param(("compile_never", set()), id="walked"),
    pytest.param((None, {"compiled"} if RELEASE_COMPILES else set()), id="release"),
]


@pytest.fixture(params=SWITCHES)
def run_switched(request, run_faulty, run_python):
    switch, compiled = request.param

    def run(code):
        done = run_faulty(code, faults=switch) if switch else run_python(code)
        assert done.returncode == 0, done.stdout + done.stderr
        *_, forms, last = done.stdout.strip().splitlines()
        assert last == "ok", done.stdout
        # Every operation the script ran: called from the generated function
        # where that form is on, and only from the caller's own frame where it is off.
        for operation, seen in json.loads(forms).items():
            if compiled:
                assert compiled <= set(seen), (operation, seen)
            else:
                assert seen == ["walked"], (operation, seen)

    return run


PRELUDE = textwrap.dedent(
    """
    import gc, json, sys, traceback, weakref
    from _quorix_core import Container

    FORMS = {}
    operation = None

    def note_caller():
        # Called by a provider: its caller is the generated function's frame
        # (compiled from source named "<resolution>") or the script's own.
        code = sys._getframe(2).f_code
        form = "compiled" if (code.co_filename, code.co_name) == ("<resolution>", "resolve") else "walked"
        FORMS.setdefault(operation, set()).add(form)

    def report():
        print(json.dumps({name: sorted(forms) for name, forms in FORMS.items()}))
        print("ok")
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
            note_caller()
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
            operation = method
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
        report()
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
                note_caller()
                calls.append(name)
                return (name, args)
            return provider
        c = Container()
        c.register_provider("s", make("s"), True, False, [])
        c.register_provider("t", make("t"), False, False, [])
        c.register_provider("top", make("top"), False, False, ["t", "s", "t"])
        operation = "resolve"
        for _ in range(6):
            assert c.resolve("top") == ("top", (("t", ()), ("s", ()), ("t", ())))
        assert calls.count("s") == 1 and calls.count("t") == 12
        c.set_cached("s", "stored")
        for method, wrap in [("resolve", lambda v: v), ("resolve_many", lambda v: [v, v]),
                             ("resolve_many_plan", lambda v: [v])]:
            operation = method
            argument = "top" if method == "resolve" else ["top", "top"] if method == "resolve_many" else ["top"]
            for _ in range(6):
                assert getattr(c, method)(argument) == wrap(("top", (("t", ()), "stored", ("t", ()))))
        c.begin_override_layer()
        c.set_override("s", make("s2"), True, False, [])
        operation = "resolve under a layer"
        for _ in range(6):
            assert c.resolve("top")[1][1] == ("s2", ())
        c.end_override_layer()
        assert c.resolve("top")[1][1] == "stored"
        c.register_provider("s", make("s3"), True, False, ["t"])
        operation = "resolve after a registration"
        for _ in range(6):
            assert c.resolve("top")[1][1] == ("s3", (("t", ()),))
        assert calls.count("s3") == 1
        report()
        """
    ))


def test_a_replaced_callable_is_released_with_its_record(run_switched):
    # The compiled functions hold the callables they call; a registration drops
    # them first, so the replaced record's callable goes at once, as before.
    run_switched(PRELUDE + textwrap.dedent(
        """
        class Factory:
            def __call__(self, *args):
                note_caller()
                return args
        gc.disable()
        c = Container()
        leaf, middle = Factory(), Factory()
        gone = [weakref.ref(leaf), weakref.ref(middle)]
        c.register_provider("leaf", leaf, False, False, [])
        c.register_provider("middle", middle, False, False, ["leaf"])
        c.register_provider("top", Factory(), False, False, ["middle", "leaf"])
        for method, argument in [("resolve", "top"), ("resolve_many", ["top", "middle"]),
                                 ("resolve_many_plan", ["top"])]:
            operation = method
            for _ in range(6):
                getattr(c, method)(argument)
        del leaf, middle
        c.register_provider("leaf", Factory(), False, False, [])
        assert gone[0]() is None, "the replaced callable is still alive"
        c.begin_override_layer()
        c.set_override("middle", Factory(), False, False, ["leaf"])
        operation = "resolve under a layer"
        for _ in range(6):
            c.resolve("top")
        c.end_override_layer()
        c.register_provider("middle", Factory(), False, False, [])
        assert gone[1]() is None, "the replaced callable is still alive"
        report()
        """
    ))
