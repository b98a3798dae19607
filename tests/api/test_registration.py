"""Registration, override layers and the lifetime of what records hold."""
import json
import sys
import weakref

import pytest


class Value:
    def __init__(self, name):
        self.name = name


def counting(name, log):
    def make(*deps):
        log.append(name)
        return Value(name)
    return make


def test_registering_again_replaces_the_whole_record(container):
    log = []
    container.register_provider("a", counting("old", log), True, True, ["b", "b"])
    new = counting("new", log)
    container.register_provider("a", new, False, False, [])
    assert container.get_provider_info("a") == (new, False, False, [])
    assert container.resolve("a").name == "new" and container.resolve("a").name == "new"
    assert log == ["new", "new"]


def test_registration_validates_nothing(container):
    container.register_provider("num", 42, False, False, [])
    container.register_provider("self", 42, True, True, ["self", "missing", "self"])
    assert container.get_provider_info("num") == (42, False, False, [])
    assert container.get_provider_info("self") == (42, True, True, ["self", "missing", "self"])


def displace_base(c):
    c.register_provider("a", lambda: None, True, False, [])


def displace_override(c):
    c.set_override("a", lambda: None, True, False, [])


def end_layer(c):
    c.end_override_layer()


@pytest.mark.parametrize("in_layer,release", [(False, displace_base), (True, displace_override), (True, end_layer)])
def test_displaced_record_releases_callable_and_value_at_once(container, in_layer, release):
    if in_layer:
        container.register_provider("a", counting("base", []), True, False, [])
        container.begin_override_layer()
    register = container.set_override if in_layer else container.register_provider
    factory = counting("first", [])
    register("a", factory, True, False, [])
    factory_ref, value_ref = weakref.ref(factory), weakref.ref(container.resolve("a"))
    del factory
    assert factory_ref() is not None and value_ref() is not None
    release(container)
    assert factory_ref() is None and value_ref() is None


def test_set_override_without_a_layer_keeps_nothing(container):
    container.register_provider("a", lambda: "base", False, False, [])
    override = counting("override", [])
    before = sys.getrefcount(override)
    override_ref = weakref.ref(override)
    for key in ["a", "absent"]:
        assert container.set_override(key, override, True, False, []) is None
    assert sys.getrefcount(override) == before
    del override
    assert override_ref() is None
    assert container.resolve("a") == "base" and container.get_provider_info("a")[1] is False
    with pytest.raises(KeyError):
        container.resolve("absent")


def test_ending_without_a_layer_does_nothing(container):
    container.register_provider("a", counting("base", []), True, False, [])
    base = container.resolve("a")
    for _ in range(3):
        assert container.end_override_layer() is None
    container.begin_override_layer()
    container.end_override_layer()
    assert container.resolve("a") is base and container.get_cached("a") is base
    container.begin_override_layer()
    container.set_override("a", lambda: "override", False, False, [])
    assert container.resolve("a") == "override"
    container.end_override_layer()
    assert container.resolve("a") is base and container.get_cached("a") is base


def test_nested_layers_each_keep_their_own_cached_value(container):
    log = []
    container.register_provider("a", counting("base", log), True, False, [])
    values = [container.resolve("a")]
    for depth in (1, 2):
        container.begin_override_layer()
        container.set_override("a", counting(depth, log), True, False, [])
        container.set_override("only-in-layer", lambda: "here", False, False, [])
        values.append(container.resolve("a"))
        assert container.resolve("a") is values[-1]
    top = weakref.ref(values.pop())
    container.end_override_layer()
    assert top() is None
    assert container.resolve("a") is values[1] and container.resolve("only-in-layer") == "here"
    container.end_override_layer()
    assert container.resolve("a") is values[0]
    with pytest.raises(KeyError):
        container.resolve("only-in-layer")
    assert log == ["base", 1, 2]


def test_dependents_keep_values_built_from_replaced_providers(container):
    log = []
    container.register_provider("dep", counting("dep", log), False, False, [])
    container.register_provider("svc", lambda dep: ("svc", dep), True, False, ["dep"])
    container.register_provider("late", lambda dep: ("late", dep), True, False, ["dep"])
    svc = container.resolve("svc")
    container.register_provider("dep", counting("dep2", log), False, False, [])
    assert container.resolve("svc") is svc and log == ["dep"]
    container.begin_override_layer()
    container.set_override("dep", counting("layer", log), False, False, [])
    late = container.resolve("late")
    container.end_override_layer()
    assert container.resolve("late") is late and late[1].name == "layer"
    assert container.resolve("svc") is svc and log == ["dep", "layer"]


def test_registering_under_an_open_override(container):
    container.register_provider("a", lambda: "old", False, False, [])
    container.begin_override_layer()
    container.set_override("a", lambda: "override", False, False, [])
    container.register_provider("a", lambda: "new", False, False, [])
    assert container.resolve("a") == "override"
    container.end_override_layer()
    assert container.resolve("a") == "new"


@pytest.mark.parametrize("in_layer,release,seen", [
    (False, "c.register_provider('x', lambda: 'after', True, False, [])", None),
    (True, "c.set_override('x', lambda: 'after', True, False, [])", None),
    (True, "c.end_override_layer(); c.set_cached('x', 'after')", None),
    (False, "c.set_cached('x', 'after')", "after"),
])
def test_finalizer_reentering_the_container_sees_the_change_made(run_python, in_layer, release, seen):
    # The displaced value's finalizer runs once the change that released it is made.
    result = run_python("""
        import json, sys, _quorix_core
        reports, seen = [], []
        sys.unraisablehook = lambda info: reports.append([info.exc_type.__name__, str(info.exc_value)])
        c = _quorix_core.Container()

        class Reenter:
            def __del__(self):
                seen.append(c.get_cached("x"))

        c.register_provider("x", Reenter, True, False, [])
        if %s:
            c.begin_override_layer()
            c.set_override("x", Reenter, True, False, [])
        c.resolve("x")
        %s
        print(json.dumps([reports, seen, c.resolve("x"), c.get_cached("x")]))
    """ % (in_layer, release), timeout=60)
    assert result.returncode == 0, result.stderr
    reports, finalizer_saw, resolved, cached = json.loads(result.stdout)
    assert reports == [] and finalizer_saw == [seen]
    assert resolved == cached == "after"
