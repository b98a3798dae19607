"""The module object, the Container type, construction and deallocation."""
import gc
import importlib
import pathlib
import re
import sys
import sysconfig
import weakref

import pytest

import _quorix_core
from _quorix_core import Container


def test_repeated_import_gives_the_same_module_and_type():
    first = sys.modules.pop("_quorix_core")
    try:
        again = importlib.import_module("_quorix_core")
        assert again is first
        assert again.Container is Container
        assert importlib.reload(again) is first
        assert first.Container is Container
        assert first.__all__ == ["Container"]  # not appended a second time
    finally:
        sys.modules["_quorix_core"] = first


def test_module_attributes():
    assert type(_quorix_core.__all__) is list
    assert _quorix_core.__all__ == ["Container"]
    assert _quorix_core.__doc__ == ""
    assert [name for name in dir(_quorix_core) if not name.startswith("__")] == ["Container"]


def test_type_names_and_default_identity():
    assert (Container.__name__, Container.__qualname__, Container.__module__) == ("Container",) * 2 + ("builtins",)
    assert repr(Container) == "<class 'builtins.Container'>"
    assert Container.__bases__ == (object,)
    a, b = Container(), Container()
    assert type(a) is Container
    assert re.fullmatch(r"<builtins\.Container object at 0x[0-9a-fA-F]+>", repr(a))
    assert a == a and a != b
    assert hash(a) == object.__hash__(a)
    # Tracked by the cyclic collector from birth.
    assert gc.is_tracked(a)


def test_doc_and_text_signature():
    assert Container.__doc__ == ""
    # 3.9 drops the signature line when it copies the doc of a heap type.
    assert Container.__text_signature__ == (None if sys.version_info < (3, 10) else "()")


def test_refusals():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        class Derived(Container):
            pass
    c = Container()
    with pytest.raises(AttributeError):
        c.__dict__
    with pytest.raises(AttributeError):
        c.extra = 1
    # The weak-reference slot adds no attribute.
    assert not hasattr(c, "__weakref__")


@pytest.mark.parametrize("args,kwargs,message", [
    ((1,), {}, "Container.__new__() takes 0 positional arguments but 1 was given"),
    ((1, 2), {}, "Container.__new__() takes 0 positional arguments but 2 were given"),
    ((), {"x": 1}, "Container.__new__() got an unexpected keyword argument 'x'"),
    ((1,), {"x": 1}, "Container.__new__() takes 0 positional arguments but 1 was given"),
])
def test_construction_refuses_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Container(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert info.value.__cause__ is None


class Tracked:
    """An object whose release is recorded in `events`."""

    def __init__(self, events, name):
        weakref.finalize(self, events.append, name)


def tracked_provider(events, name):
    value_name = name + " value"

    def provide():
        return Tracked(events, value_name)

    weakref.finalize(provide, events.append, name + " callable")
    return provide


def test_deallocation_releases_everything_in_order():
    events = []
    c = Container()
    c.register_provider("a", tracked_provider(events, "base"), True, False, [])
    c.resolve("a")
    c.register_provider("plain", tracked_provider(events, "plain"), False, False, [])
    c.resolve("plain")  # not a singleton: its value is not kept
    assert events == ["plain value"]
    c.begin_override_layer()
    c.set_override("a", tracked_provider(events, "layer 1"), True, False, [])
    c.resolve("a")
    c.begin_override_layer()
    c.set_override("a", tracked_provider(events, "layer 2"), True, False, [])
    c.set_cached("a", Tracked(events, "layer 2 value"))
    assert events == ["plain value"]
    del c
    # One record per map keeps the order deterministic: the base map first (each
    # record's callable before its value), then the layers from the bottom up.
    base = events[1:-4]
    assert sorted(base) == ["base callable", "base value", "plain callable"]
    assert base.index("base callable") < base.index("base value")
    assert events[-4:] == ["layer 1 callable", "layer 1 value", "layer 2 callable", "layer 2 value"]


def test_containers_share_nothing():
    calls = []

    def make():
        calls.append(1)
        return object()

    first, second = Container(), Container()
    first.register_provider("a", make, True, False, [])
    with pytest.raises(KeyError):
        second.resolve("a")
    assert second.get_cached("a") is None
    second.register_provider("a", make, True, False, [])
    mine, theirs = first.resolve("a"), second.resolve("a")
    assert mine is not theirs and len(calls) == 2
    first.set_cached("a", "replaced")
    assert second.get_cached("a") is theirs
    first.begin_override_layer()
    first.set_override("a", lambda: "override", False, False, [])
    second.end_override_layer()  # no layer open there: nothing to do
    assert (first.resolve("a"), second.resolve("a")) == ("override", theirs)


def test_subinterpreter_import_is_refused(run_python, tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("this interpreter cannot start a sub-interpreter from Python")
    out = tmp_path / "result.txt"
    code = f"""
        import _testcapi
        import _quorix_core
        inner = '''
        try:
            import _quorix_core
            outcome = "imported"
        except BaseException as e:
            outcome = type(e).__name__ + ": " + str(e)
        with open({str(out)!r}, "w") as f:
            f.write(outcome)
        '''
        assert _testcapi.run_in_subinterp(inner) == 0
        c = _quorix_core.Container()
        c.register_provider("a", lambda: 7, True, False, [])
        assert c.resolve("a") == 7
        print("OK")
    """
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "OK"
    outcome = out.read_text()
    assert outcome.startswith("ImportError: "), outcome
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        # A free-threaded CPython refuses a single-phase module in a
        # sub-interpreter itself, before the module's entry runs.
        assert "does not support loading in subinterpreters" in outcome, outcome
    else:
        assert "sub-interpreter" in outcome


def test_installed_module_has_no_fault_points(fault_build):
    installed = pathlib.Path(_quorix_core.__file__)
    faulty = next(fault_build.glob("_quorix_core*.so"))
    assert installed.resolve() != faulty.resolve()
    assert b"QUORIX_FAULTS" not in installed.read_bytes()
    assert b"QUORIX_FAULTS" in faulty.read_bytes()
