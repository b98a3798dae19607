"""Internal failures: PanicException, poisoned containers, failures while raising.

Each case runs in a subprocess against the fault-injection build, which fails
chosen interpreter calls when their names are listed in QUORIX_FAULTS.
"""
import ast
import re
import signal
import sys
import sysconfig
import textwrap

import pytest

from all_methods import ALL_TEN_SOURCE

POISON = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }"

PRELUDE = """\
import os, sys
from _quorix_core import Container

POISON = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }"

def arm(*names):
    os.environ["QUORIX_FAULTS"] = ",".join(names)

def panic_of(call):
    try:
        call()
    except Exception as e:
        raise AssertionError("an ordinary exception: %r" % (e,))
    except BaseException as e:
        assert type(e).__name__ == "PanicException", repr(e)
        return e
    raise AssertionError("nothing raised")

def f(*args):
    return object()

""" + ALL_TEN_SOURCE + """
def assert_poisoned(c):
    for name, call in ALL_TEN.items():
        assert panic_of(lambda: call(c)).args == (POISON,), name
    # Arguments are still converted before the lock is looked at.
    try:
        c.resolve(1)
    except TypeError:
        pass
    else:
        raise AssertionError("no TypeError")

def assert_working(c):
    c.register_provider("w", lambda: "w", True, False, [])
    assert c.resolve_many_plan(["w"]) == ["w"]
    assert c.get_cached("w") == "w"
"""


@pytest.fixture
def run(run_faulty):
    def go(code, faults=""):
        return run_faulty(PRELUDE + textwrap.dedent(code), faults=faults)
    return go


def assert_ok(done):
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip().endswith("OK"), done.stdout


@pytest.mark.parametrize("faults,unknown", [("compile_at_onse", "compile_at_onse"),
                                            ("compile_never,dealoc", "dealoc"), ("compile_never,", None)])
def test_an_unknown_fault_name_ends_the_process(run_faulty, faults, unknown):
    # A misspelt name would arm nothing, and its test would pass without its
    # fault; an empty item (a trailing comma) names nothing.
    done = run_faulty("""
        from _quorix_core import Container
        c = Container()
        c.register_provider("a", object, False, False, [])
        c.resolve("a")
        print("OK")
    """, faults=faults)
    if unknown:
        assert done.returncode == -signal.SIGABRT, (done.returncode, done.stderr)
        assert f"QUORIX_FAULTS names an unknown fault point: {unknown}\n" in done.stderr
        assert "OK" not in done.stdout
    else:
        assert_ok(done)


def test_failed_append_to_all(run_faulty):
    done = run_faulty("""
        import os, sys
        os.environ["QUORIX_FAULTS"] = "all_append"
        try:
            import _quorix_core
        except Exception as e:
            raise AssertionError(repr(e))
        except BaseException as e:
            panic = e
        cls = type(panic)
        assert (cls.__module__, cls.__qualname__, cls.__bases__) == ("_quorix_core", "PanicException", (BaseException,))
        prefix = "could not append __name__ to __all__: "
        assert len(panic.args) == 1 and panic.args[0].startswith(prefix) and len(panic.args[0]) > len(prefix), panic.args
        del os.environ["QUORIX_FAULTS"]
        sys.modules.pop("_quorix_core", None)
        import _quorix_core
        assert _quorix_core.__all__ == ["Container"]
        assert not hasattr(_quorix_core, "PanicException")
        assert _quorix_core.Container().get_cached("a") is None
        print("OK")
    """)
    assert_ok(done)
    assert "could not append __name__ to __all__: " in done.stderr


def test_failed_type_creation(run_faulty):
    done = run_faulty("""
        import os, sys
        os.environ["QUORIX_FAULTS"] = "type_create"
        try:
            import _quorix_core
        except RuntimeError as e:
            error = e
        assert type(error) is RuntimeError
        assert error.args == ("An error occurred while initializing class Container",)
        assert type(error.__cause__) is MemoryError
        del os.environ["QUORIX_FAULTS"]
        sys.modules.pop("_quorix_core", None)
        import _quorix_core
        assert _quorix_core.__all__ == ["Container"]
        assert type(_quorix_core.Container()).__name__ == "Container"
        print("OK")
    """)
    assert_ok(done)


def test_failed_deallocation_is_unraisable(run):
    done = run("""
        seen = []
        sys.unraisablehook = seen.append
        c = Container()
        arm("dealloc")
        del c
        arm()
        assert len(seen) == 1
        assert seen[0].exc_type.__name__ == "PanicException"
        assert seen[0].exc_value.args == ("fault injected: container deallocation",)
        assert sys.exc_info() == (None, None, None)
        other = Container()
        other.register_provider("a", f, False, False, [])
        arm("provider_call")
        # The class is made once per process.
        assert type(panic_of(lambda: other.resolve("a"))) is seen[0].exc_type
        print("OK")
    """)
    assert_ok(done)


def test_container_whose_deallocation_failed_is_left_alone_by_the_collector(run):
    # The object is abandoned with no reference left: a collection must not
    # take it for garbage and deallocate it a second time (debug builds of
    # CPython abort on such an object).
    done = run("""
        import gc, weakref
        seen, released = [], []
        sys.unraisablehook = seen.append
        class Value: pass
        value = Value()
        weakref.finalize(value, released.append, "value")
        c = Container()
        c.register_provider("s", lambda: value, True, False, [])
        c.resolve("s")
        del value
        arm("dealloc")
        del c
        arm()
        gc.collect()
        gc.collect()
        assert len(seen) == 1, seen
        assert released == [], released
        print("OK")
    """)
    assert_ok(done)


# A provider's call that fails inside the module: of a dependent, of a
# singleton being made, in a batch, in a plan.
FAILED_CALLS = {
    "dependent": "c.resolve('a')",
    "singleton": "c.resolve('t')",
    "batch": "c.resolve_many(['s', 't'])",
    "plan": "c.resolve_many_plan(['a', 't'])",
}


@pytest.mark.parametrize("call", FAILED_CALLS.values(), ids=list(FAILED_CALLS))
def test_failed_provider_call_is_a_panic_that_leaves_the_container_working(run, call):
    # The call fails outside the lock: the container's state is sound, so it
    # is not poisoned, and the singleton whose making failed is made again.
    done = run(f"""
        import threading, weakref
        c = Container()
        kept = []
        class Value: pass
        def make():
            v = Value(); kept.append(weakref.ref(v)); return v
        c.register_provider("s", make, True, False, [])
        c.register_provider("t", make, True, False, [])
        c.register_provider("a", f, False, False, ["s"])
        s = c.resolve("s")
        arm("provider_call")
        e = panic_of(lambda: {call})
        arm()
        assert e.args == ("Python API call failed",)
        assert c.resolve("s") is s and c.get_cached("s") is s
        assert c.get_cached("t") is None
        # Another thread finds no making under way.
        other = []
        worker = threading.Thread(target=lambda: other.append(c.resolve_many(["t", "a"])), daemon=True)
        worker.start()
        worker.join(30)
        assert not worker.is_alive(), "the failed making never ended"
        assert other[0][0] is c.get_cached("t") and len(kept) == 2
        assert_working(c)
        seen = []
        sys.unraisablehook = seen.append
        del c, s, other
        assert seen == [] and [k() for k in kept] == [None, None]
        print("OK")
    """)
    assert_ok(done)
    # The interpreter's pending MemoryError is printed before the report.
    assert done.stderr.index("MemoryError") < done.stderr.index("Python API call failed")


def test_failed_provider_call_under_the_lock_poisons_only_its_container(run):
    # The fault build's switch calls a provider without dependencies with the
    # lock held: a failure there unwinds through the lock.
    done = run("""
        import weakref
        c, bystander = Container(), Container()
        kept = []
        class Value: pass
        def make():
            v = Value(); kept.append(weakref.ref(v)); return v
        c.register_provider("s", make, True, False, [])
        c.register_provider("a", f, False, False, [])
        c.resolve("s")
        arm("calls_under_lock", "provider_call")
        e = panic_of(lambda: c.resolve("a"))
        arm()
        assert e.args == ("Python API call failed",)
        assert_poisoned(c)
        # A cached singleton's value, read back by its remembered key, too.
        for read in (lambda: c.resolve("s"), lambda: c.get_cached("s")):
            assert panic_of(read).args == (POISON,)
        assert_working(bystander)
        assert_working(Container())
        seen = []
        sys.unraisablehook = seen.append
        del c  # a poisoned container is still destroyed normally
        assert seen == [] and kept[0]() is None
        print("OK")
    """)
    assert_ok(done)
    assert done.stderr.index("MemoryError") < done.stderr.index("Python API call failed")


@pytest.mark.parametrize("fault,call", [
    ("list_new", "c.resolve_many(['s', 'a'])"),
    ("list_new", "c.resolve_many_plan(['s', 'a'])"),
    ("str_new", "c.get_provider_info('a')"),
    ("list_new", "c.get_provider_info('a')"),
    ("tuple_new", "c.get_provider_info('a')"),
])
def test_failures_after_the_lock_leave_the_container_usable(run, fault, call):
    done = run(f"""
        calls = []
        c = Container()
        c.register_provider("s", lambda: calls.append(1) or object(), True, False, [])
        c.register_provider("a", f, False, False, ["s", "x"])
        c.register_provider("x", f, False, False, [])
        arm("{fault}")
        e = panic_of(lambda: {call})
        arm()
        assert e.args == ("Python API call failed",)
        # Work done under the lock before the failure is kept.
        assert (c.get_cached("s") is not None) == {"resolve" in call}
        assert c.get_provider_info("a") == (f, False, False, ["s", "x"])
        assert c.resolve_many(["s", "s"]) == [c.get_cached("s")] * 2
        assert calls == [1]
        assert_working(c)
        print("OK")
    """)
    assert_ok(done)
    assert "MemoryError" in done.stderr


def test_native_allocation_failure_is_a_memory_error(run):
    # Running out of memory inside an operation leaves the state sound, so it is
    # an ordinary MemoryError and the container stays usable.
    done = run("""
        c = Container()
        arm("layer_alloc")
        try:
            c.begin_override_layer()
        except MemoryError as e:
            assert e.args == ()
        else:
            raise AssertionError("no MemoryError")
        arm()
        c.set_override("w", f, False, False, [])
        assert c.get_cached("w") is None
        c.begin_override_layer()
        c.set_override("v", lambda: "layer", True, False, [])
        assert c.resolve("v") == "layer"
        c.end_override_layer()
        assert_working(c)
        print("OK")
    """)
    assert_ok(done)
    assert "internal failure" not in done.stderr


def test_other_native_exception_is_a_panic_that_poisons(run):
    done = run("""
        c = Container()
        other = Container()
        arm("native_exception")
        assert panic_of(c.begin_override_layer).args == ("fault injected: native exception",)
        arm()
        assert_poisoned(c)
        assert_working(other)
        print("OK")
    """)
    assert_ok(done)


# How the relaying provider is called, and whether the container is poisoned:
# only when the fault build's switch calls it with the lock held.
RELAYS = {
    "resolve": ("resolve", "'k'", "", "'k'"),
    "resolve_many": ("resolve_many", "['ok', 'k']", "", "['ok', 'k']"),
    "resolve_many_plan": ("resolve_many_plan", "['ok', 'k']", "", "['ok', 'k']"),
    "resolve under the lock": ("resolve", "'k'", "calls_under_lock", None),
}


@pytest.mark.parametrize("relay", RELAYS)
def test_panic_raised_by_a_callable_is_resumed(run, relay):
    method, arg, under_lock, afterwards = RELAYS[relay]
    done = run(f"""
        source = Container()
        source.register_provider("a", f, False, False, [])
        arm("provider_call")
        first = panic_of(lambda: source.resolve("a"))
        arm()
        victim, bystander = Container(), Container()
        def relay():
            raise first
        victim.register_provider("ok", lambda: "ok", False, False, [])
        victim.register_provider("k", relay, False, False, [])
        arm("{under_lock}")
        sys.stderr.write("<<start>>\\n"); sys.stderr.flush()
        second = panic_of(lambda: victim.{method}({arg}))
        sys.stderr.write("<<end>>\\n"); sys.stderr.flush()
        arm()
        assert second is not first and type(second) is type(first)
        assert second.args == ("Python API call failed",)
        if {bool(under_lock)}:
            assert_poisoned(victim)
        else:
            victim.register_provider("k", lambda: "k", False, False, [])
            assert victim.{method}({arg}) == {afterwards}
            assert_working(victim)
        assert_working(bystander)
        print("OK")
    """)
    assert_ok(done)
    report = done.stderr.split("<<start>>\n", 1)[1].split("<<end>>\n", 1)[0].splitlines()
    marker = report.index("Python stack trace below:")
    assert marker >= 1 and report[marker - 1].strip(), report
    trace = report[marker + 1:]
    assert trace[0] == "Traceback (most recent call last):", report
    assert any("in relay" in line for line in trace), report
    # The traceback ends with the exception itself; no further report follows.
    assert re.fullmatch(r"\S*PanicException: Python API call failed", trace[-1]), report


def test_panic_subclass_is_an_ordinary_exception(run):
    done = run("""
        c = Container()
        c.register_provider("a", f, False, False, [])
        arm("provider_call")
        panic_type = type(panic_of(lambda: c.resolve("a")))
        arm()
        class Sub(panic_type):
            pass
        raised = Sub("mine")
        def provide():
            raise raised
        other = Container()
        other.register_provider("k", provide, False, False, [])
        try:
            other.resolve("k")
        except Sub as e:
            assert e is raised
        assert_working(other)
        print("OK")
    """)
    assert_ok(done)


ABORTS = {
    "internal failure, no class": ("panic_class,provider_call", "c.resolve('a')", True),
    "deallocation failure, no class": ("panic_class,dealloc", "del c", True),
    "class already made": ("", "arm('provider_call'); panic_of(lambda: c.resolve('a')); "
                               "arm('panic_class', 'provider_call'); panic_of(lambda: c.resolve('a'))", False),
    "core error, no class": ("panic_class", "c.resolve('missing')", False),
    "callable's error, no class": ("panic_class", "c.resolve('bad')", False),
    "core error message": ("raise_argument", "c.resolve('missing')", True),
    "argument error message": ("raise_argument", "Container(1)", True),
    "panic message": ("raise_argument,provider_call", "c.resolve('a')", True),
    "callable's error needs no message": ("raise_argument", "c.resolve('bad')", False),
}


@pytest.mark.parametrize("faults,statement,aborts", ABORTS.values(), ids=list(ABORTS))
def test_failure_while_raising_aborts(run, faults, statement, aborts):
    done = run(f"""
        c = Container()
        c.register_provider("a", f, False, False, [])
        error = ValueError("bad")
        def bad():
            raise error
        c.register_provider("bad", bad, False, False, [])
        arm(*"{faults}".split(","))
        try:
            {statement}
        except ValueError as e:
            assert e is error
        except KeyError:
            pass
        print("OK")
    """)
    if aborts:
        assert done.returncode == -signal.SIGABRT, (done.returncode, done.stderr)
        assert "uncaught panic at ffi boundary" in done.stderr
        assert "OK" not in done.stdout
    else:
        assert_ok(done)


def test_exhausted_memory_in_the_installed_module(run_python):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory"):
        pytest.skip("this interpreter cannot fail its allocations on request")
    if sysconfig.get_config_var("Py_GIL_DISABLED") and sys.version_info[:2] == (3, 13):
        # PyList_New there drops the half-made list when its item array cannot
        # be allocated, with a stale item pointer: the interpreter is corrupt
        # from then on (it hangs at exit).
        pytest.skip("free-threaded CPython 3.13 corrupts itself when PyList_New runs out of memory")
    # Fails one allocation at a time, walking through the call: early ones hit
    # the argument conversion (an ordinary MemoryError), a later one the result list.
    done = run_python("""
        import _testcapi
        from _quorix_core import Container
        c = Container()
        c.register_provider("s", lambda: "v", True, False, [])
        keys = ["s"] * 3
        c.resolve_many(keys)
        outcomes = set()
        for start in range(40):
            try:
                _testcapi.set_nomemory(start, start + 1)
                try:
                    c.resolve_many(keys)
                finally:
                    _testcapi.remove_mem_hooks()
                outcomes.add("ok")
            except MemoryError:
                outcomes.add("MemoryError")
            except BaseException as e:
                outcomes.add("%s: %s" % (type(e).__name__, e))
        print(sorted(outcomes))
        assert c.resolve_many(keys) == ["v"] * 3  # the result list comes after the lock
    """)
    assert done.returncode == 0, done.stderr
    assert "'PanicException: Python API call failed'" in done.stdout
    assert set(ast.literal_eval(done.stdout)) <= {"ok", "MemoryError", "PanicException: Python API call failed"}


def test_compiled_and_walked_resolutions_call_providers_alike(run):
    # A resolution compiled into a generated function and the level walk call
    # with the same values the same way: where the build calls with an array
    # of arguments neither makes a tuple, and where it cannot both do. A fault
    # in making tuples shows which way each took.
    done = run("""
        def container():
            c = Container()
            c.register_provider("s", object, True, False, [])
            c.register_provider("mid", lambda s: s, False, False, ["s"])
            c.register_provider("leaf", lambda mid: sys._getframe(1).f_code.co_name, False, False, ["mid"])
            return c

        def panics(c):
            try:
                c.resolve("leaf")
            except BaseException as e:
                assert type(e).__name__ == "PanicException", repr(e)
                return True
            return False

        compiled, walked = container(), container()
        arm("compile_at_once")
        compiled.resolve("leaf")  # "s" gets its value
        caller = compiled.resolve("leaf")  # the compiled form, which takes that value
        arm("compile_never")
        assert walked.resolve("leaf") == "<module>"
        arm("compile_at_once", "tuple_new")
        compiled_panics = panics(compiled)
        arm("compile_never", "tuple_new")
        walked_panics = panics(walked)
        arm()
        print(caller, compiled_panics, walked_panics)
    """)
    assert done.returncode == 0, done.stderr
    caller, compiled_panics, walked_panics = done.stdout.split()
    if caller != "resolve":
        pytest.skip("no compiled form on this interpreter")
    assert compiled_panics == walked_panics
