"""Argument binding and conversion of the Container methods."""
import gc
import inspect
import sys

import numpy
import pytest

from _quorix_core import Container

PROVIDER = ["key", "callable", "singleton", "is_async", "dep_keys"]
METHODS = {
    "register_provider": PROVIDER, "resolve": ["key"], "resolve_many": ["keys"],
    "resolve_many_plan": ["keys"], "begin_override_layer": [], "set_override": PROVIDER,
    "get_provider_info": ["key"], "get_cached": ["key"], "set_cached": ["key", "value"],
    "end_override_layer": [],
}


def f():
    return "value"


class Outer:
    class Inner:
        pass


def raises_type_error(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    return info.value


def test_method_table_order():
    assert [name for name in vars(Container) if not name.startswith("_")] == list(METHODS)


@pytest.mark.parametrize("name,params", METHODS.items())
def test_signatures(name, params):
    method = getattr(Container, name)
    assert method.__doc__ is None
    assert method.__text_signature__ == "(" + ", ".join(["$self"] + params) + ")"
    parameters = list(inspect.signature(method).parameters.values())[1:]
    assert [p.name for p in parameters] == params
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in parameters)


@pytest.mark.parametrize("method,args,kwargs,message", [
    ("resolve", (), {}, "Container.resolve() missing 1 required positional argument: 'key'"),
    ("resolve_many_plan", (), {}, "Container.resolve_many_plan() missing 1 required positional argument: 'keys'"),
    ("set_cached", (), {}, "Container.set_cached() missing 2 required positional arguments: 'key' and 'value'"),
    ("set_cached", (), {"value": 1}, "Container.set_cached() missing 1 required positional argument: 'key'"),
    ("register_provider", ("a", f, True, False), {},
     "Container.register_provider() missing 1 required positional argument: 'dep_keys'"),
    ("register_provider", ("a", f), {}, "Container.register_provider() missing 3 required positional "
                                        "arguments: 'singleton', 'is_async', and 'dep_keys'"),
    ("register_provider", (), {"key": "a"}, "Container.register_provider() missing 4 required positional "
                                         "arguments: 'callable', 'singleton', 'is_async', and 'dep_keys'"),
    ("set_override", ("a",), {"is_async": False}, "Container.set_override() missing 3 required positional "
                                                "arguments: 'callable', 'singleton', and 'dep_keys'"),
    ("resolve", (1, 2), {}, "Container.resolve() takes 1 positional arguments but 2 were given"),
    ("resolve_many", ("a", "b"), {"nope": 1}, "Container.resolve_many() takes 1 positional arguments but 2 were given"),
    ("set_cached", (1, 2, 3), {}, "Container.set_cached() takes 2 positional arguments but 3 were given"),
    ("set_override", tuple(range(6)), {}, "Container.set_override() takes 5 positional arguments but 6 were given"),
    ("resolve", ("a",), {"key": "b"}, "Container.resolve() got multiple values for argument 'key'"),
    ("set_cached", (1,), {"key": 2, "nope": 3}, "Container.set_cached() got multiple values for argument 'key'"),
    ("set_cached", (1,), {"nope": 3, "key": 2}, "Container.set_cached() got an unexpected keyword argument 'nope'"),
    ("resolve", (), {"name": "a"}, "Container.resolve() got an unexpected keyword argument 'name'"),
    ("get_cached", (1,), {"clé": 1}, "Container.get_cached() got an unexpected keyword argument 'clé'"),
    ("register_provider", (), {"key": 1, "singleton": 2, "extra": 3},
     "Container.register_provider() got an unexpected keyword argument 'extra'"),
])
def test_binder_messages(container, method, args, kwargs, message):
    raises_type_error(lambda: getattr(container, method)(*args, **kwargs), message)


def test_new_takes_no_arguments():
    raises_type_error(lambda: Container(1), "Container.__new__() takes 0 positional arguments but 1 was given")
    raises_type_error(lambda: Container(x=1), "Container.__new__() got an unexpected keyword argument 'x'")


@pytest.mark.parametrize("call", [lambda c: c.begin_override_layer(1), lambda c: c.end_override_layer(x=1)])
def test_noargs_methods_refuse_arguments(container, call):
    with pytest.raises(TypeError):
        call(container)
    container.register_provider("a", f, False, False, [])
    container.set_override("a", lambda: "override", False, False, [])
    assert container.resolve("a") == "value"  # no layer was opened


def mismatch(param, obj, target):
    return "argument '%s': '%s' object cannot be converted to '%s'" % (param, type(obj).__qualname__, target)


@pytest.mark.parametrize("method", [
    "resolve", "get_cached", "get_provider_info", "set_cached", "register_provider", "set_override"])
@pytest.mark.parametrize("bad", [1, None, b"a", Outer.Inner()])
def test_key_must_be_str(container, method, bad):
    # The later arguments are wrong too, yet only the key is reported.
    args = [bad, f, "not a bool", False, "not a list"][:len(METHODS[method])]
    raises_type_error(lambda: getattr(container, method)(*args), mismatch("key", bad, "PyString"))


def test_text_keys(container):
    class Key(str):
        pass

    for key in ["a", "a\x00b", "a\x00", "", "ключ"]:
        container.register_provider(key, lambda key=key: key, False, False, [])
    container.register_provider(Key("sub"), lambda a: a * 2, False, False, [Key("a")])
    assert [container.resolve(k) for k in ["a", "a\x00b", "a\x00", "", "ключ"]] == ["a", "a\x00b", "a\x00", "", "ключ"]
    deps = container.get_provider_info("sub")[3]
    assert deps == ["a"] and type(deps[0]) is str
    assert container.resolve(key=Key("sub")) == "aa"


@pytest.mark.parametrize("call", [
    lambda c: c.resolve("\ud800"),
    lambda c: c.set_cached(key="x\udfff", value=1),
    lambda c: c.register_provider("a", f, False, False, ["ok", "\ud800"]),
    lambda c: c.resolve_many(["\udc80"]),
])
def test_unencodable_key_raises_the_interpreters_error(container, call):
    with pytest.raises(UnicodeEncodeError) as info:
        call(container)
    assert info.value.encoding == "utf-8" and "surrogates not allowed" in str(info.value)
    assert "argument" not in str(info.value)


def raiser(error):
    def fail(self):
        raise error
    return fail


def numpy_like(name, namespace):
    return type(name, (), dict(namespace, __module__="numpy", __qualname__=name))


@pytest.mark.parametrize("param", ["singleton", "is_async"])
@pytest.mark.parametrize("bad,message", [
    (1, None), (0, None), (None, None), (1.0, None), ("True", None), ([True], None),
    (numpy.int64(1), None), (numpy_like("int_", {"__bool__": lambda self: True})(), None),
    (numpy_like("bool_", {})(), "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
    (numpy_like("bool_", {"__bool__": lambda self: 1})(), "'int' object cannot be converted to 'PyBool'"),
    (numpy_like("bool", {"__bool__": lambda self: None})(), "'NoneType' object cannot be converted to 'PyBool'"),
    (numpy_like("bool", {"__bool__": raiser(TypeError("no truth"))})(), "no truth"),
])
def test_boolean_refused(container, param, bad, message):
    args = dict(key="a", callable=f, singleton=True, is_async=False, dep_keys=[])
    args[param] = bad
    expected = "argument '%s': %s" % (param, message) if message else mismatch(param, bad, "PyBool")
    raises_type_error(lambda: container.register_provider(**args), expected)


@pytest.mark.parametrize("value,expected", [
    (True, True), (False, False), (numpy.bool_(True), True), (numpy.bool_(False), False),
    (numpy_like("bool_", {"__bool__": lambda self: True})(), True),
    (numpy_like("bool", {"__bool__": lambda self: False})(), False),
])
def test_boolean_accepted(container, value, expected):
    container.register_provider("a", f, value, value, [])
    info = container.get_provider_info("a")
    assert info[1] is expected and info[2] is expected


class Sequence:
    """A sequence whose length is a hint at best and whose iteration can fail."""

    def __init__(self, items, length=None, fail=None):
        self.items, self.length, self.fail = items, length, fail

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items or ()) if self.length is None else self.length

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        if self.items is None:
            raise self.fail
        return self.iterate()

    def iterate(self):
        yield from self.items
        if self.fail is not None:
            raise self.fail


@pytest.mark.parametrize("keys,expected", [
    (["b", "a", "b"], ["b", "a", "b"]), (("c",), ["c"]), ([], []), (range(0), []),
    (Sequence(["x", "y", "z"], length=RuntimeError("len")), ["x", "y", "z"]),
    (Sequence(["x", "y", "z"], length=0), ["x", "y", "z"]),
    (Sequence(["x"], length=sys.maxsize), ["x"]),
])
def test_text_list_accepted(container, keys, expected):
    container.register_provider("a", f, False, False, keys)
    assert container.get_provider_info("a")[3] == expected


def generator():
    yield "a"


@pytest.mark.parametrize("keys,message", [
    ("bc", "Can't extract `str` to `Vec`"), (type("S", (str,), {})("bc"), "Can't extract `str` to `Vec`"),
    ({"b"}, "'set' object cannot be converted to 'Sequence'"),
    ({"a": 1}, "'dict' object cannot be converted to 'Sequence'"),
    (generator(), "'generator' object cannot be converted to 'Sequence'"),
    (None, "'NoneType' object cannot be converted to 'Sequence'"),
    (b"ab", "'int' object cannot be converted to 'PyString'"),
    (range(3), "'int' object cannot be converted to 'PyString'"),
    (["a", None], "'NoneType' object cannot be converted to 'PyString'"),
    (("a", Outer.Inner()), "'Outer.Inner' object cannot be converted to 'PyString'"),
])
def test_text_list_refused(container, keys, message):
    raises_type_error(lambda: container.resolve_many(keys), "argument 'keys': " + message)
    raises_type_error(lambda: container.register_provider("a", f, True, False, keys), "argument 'dep_keys': " + message)


def test_exact_type_error_is_wrapped_with_its_own_cause(container):
    root = ValueError("root")
    error = TypeError("bad item")
    error.__cause__ = root
    for keys in [Sequence(None, fail=error), Sequence(["a"], fail=error)]:
        wrapped = raises_type_error(lambda: container.resolve_many_plan(keys), "argument 'keys': bad item")
        assert wrapped is not error and wrapped.__cause__ is root
    wrapped = raises_type_error(lambda: container.resolve_many(Sequence([], fail=TypeError("x", 2))),
                                "argument 'keys': ('x', 2)")
    assert wrapped.__cause__ is None


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize("source", [
    lambda e: ("a", f, False, False, Sequence(None, fail=e)),  # from __iter__
    lambda e: ("a", f, False, False, Sequence(["a", "b"], fail=e)),  # from the iterator
    lambda e: ("a", f, numpy_like("bool_", {"__bool__": raiser(e)})(), False, []),
])
@pytest.mark.parametrize("error", [TypeErrorSubclass("sub"), ValueError("value"), KeyError("key")])
def test_other_errors_pass_through_as_the_same_object(container, source, error):
    with pytest.raises(type(error)) as info:
        container.register_provider(*source(error))
    assert info.value is error and info.value.args == error.args


FAILING_CALLS = [
    lambda c, g: c.register_provider("a", g, True, False, "b"),
    lambda c, g: c.register_provider("a", g, 1, False, []),
    lambda c, g: c.register_provider("a", g, True, None, []),
    lambda c, g: c.register_provider("a", g, True, False, ["b", 3]),
    lambda c, g: c.register_provider("a", g, True, False, Sequence(["b"], fail=ValueError())),
    lambda c, g: c.register_provider("a", g, True, False, ["\ud800"]),
    lambda c, g: c.register_provider("a", g, True, False, [], extra=1),
    lambda c, g: c.set_override("a", g, numpy_like("bool_", {})(), False, []),
    lambda c, g: c.set_cached(1, g),
    lambda c, g: c.set_cached("a", g, g),
]


def test_failed_calls_leave_the_container_untouched(container):
    calls = []
    container.register_provider("a", lambda: calls.append(1) or object(), True, False, [])
    value = container.resolve("a")
    container.begin_override_layer()
    replacement = object()
    before = sys.getrefcount(replacement)
    for call in FAILING_CALLS:
        with pytest.raises(Exception):
            call(container, replacement)
    gc.collect()  # a failing iterator's traceback keeps its frames in a cycle for a while
    assert sys.getrefcount(replacement) == before
    assert container.get_cached("a") is value and container.resolve("a") is value
    assert len(calls) == 1 and container.get_provider_info("a")[1:] == (True, False, [])

