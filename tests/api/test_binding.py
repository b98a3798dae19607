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



# Every parameter can be given by position or by keyword, in any order, with a
# keyword name that is interned (written in source), built at run time, or a
# `str` subclass: all are the same call.
class Name(str):
    pass


def built(name):
    built_name = "".join(list(name))
    assert sys.intern(built_name) is not built_name  # compared by value, not identity
    return built_name


CALL_FORMS = {
    "positional": lambda names, values: (values, {}),
    "keywords": lambda names, values: ((), dict(zip(names, values))),
    "keywords reversed": lambda names, values: ((), dict(reversed(list(zip(names, values))))),
    "first positional": lambda names, values: (values[:1], dict(zip(names[1:], values[1:]))),
    "built names": lambda names, values: ((), {built(n): v for n, v in zip(names, values)}),
    "str subclass names": lambda names, values: ((), {Name(n): v for n, v in zip(names, values)}),
}

KEPT = object()


def setup_key(c):
    c.register_provider("ключ\x00", lambda: KEPT, True, False, [])


CALL_CASES = {
    # method: (setup, argument values, check of the result and the container)
    "register_provider": (lambda c: None, ["k", f, True, False, ["d"]],
                          lambda c, r: r is None and c.get_provider_info("k") == (f, True, False, ["d"])),
    "set_override": (lambda c: (setup_key(c), c.begin_override_layer()), ["ключ\x00", f, False, False, []],
                     lambda c, r: r is None and c.resolve("ключ\x00") == "value"),
    "resolve": (setup_key, ["ключ\x00"], lambda c, r: r is KEPT),
    "resolve_many": (setup_key, [["ключ\x00", "ключ\x00"]], lambda c, r: r == [KEPT, KEPT]),
    "resolve_many_plan": (setup_key, [("ключ\x00",)], lambda c, r: r == [KEPT] and r[0] is KEPT),
    "get_provider_info": (setup_key, ["ключ\x00"], lambda c, r: r[1:] == (True, False, [])),
    "get_cached": (lambda c: (setup_key(c), c.resolve("ключ\x00")), ["ключ\x00"], lambda c, r: r is KEPT),
    "set_cached": (setup_key, ["ключ\x00", f], lambda c, r: r is None and c.resolve("ключ\x00") is f),
}


@pytest.mark.parametrize("form", CALL_FORMS)
@pytest.mark.parametrize("method", CALL_CASES)
def test_every_method_takes_positions_and_keywords(container, method, form):
    setup, values, check = CALL_CASES[method]
    setup(container)
    args, kwargs = CALL_FORMS[form](METHODS[method], values)
    assert check(container, getattr(container, method)(*args, **kwargs))


@pytest.mark.parametrize("form", ["keywords", "keywords reversed", "first positional", "built names",
                                  "str subclass names"])
@pytest.mark.parametrize("method", ["register_provider", "set_cached", "get_cached", "resolve_many"])
def test_keyword_forms_report_the_same_conversion_error(container, method, form):
    # The first parameter is wrong and the others are right: converted in
    # parameter order whatever order the keywords came in.
    values = {"register_provider": [1, f, True, False, []], "set_cached": [None, f],
              "get_cached": [b"k"], "resolve_many": [{"k"}]}[method]
    args, kwargs = CALL_FORMS[form](METHODS[method], values)
    target = "Sequence" if method == "resolve_many" else "PyString"
    raises_type_error(lambda: getattr(container, method)(*args, **kwargs),
                      mismatch(METHODS[method][0], values[0], target))


@pytest.mark.parametrize("args,kwargs,message", [
    # Too many positional arguments wins over every keyword error.
    (("a", f, True, False, [], 6), {"key": 1, "nope": 2}, "takes 5 positional arguments but 6 were given"),
    # Keywords are checked in the caller's order; the first bad one is reported.
    (("a",), {"nope": 1, "key": 2}, "got an unexpected keyword argument 'nope'"),
    (("a",), {"key": 2, "nope": 1}, "got multiple values for argument 'key'"),
    (("a",), {built("key"): 2}, "got multiple values for argument 'key'"),
    (("a",), {Name("callable"): f, Name("nope"): 1}, "got an unexpected keyword argument 'nope'"),
    # Missing parameters come last, listed in parameter order.
    ((), {"dep_keys": [], "key": "a"}, "missing 3 required positional arguments: 'callable', 'singleton', "
                                       "and 'is_async'"),
    (("a", f), {"dep_keys": [], "is_async": False}, "missing 1 required positional argument: 'singleton'"),
    ((), {"singleton": True, "is_async": False, "dep_keys": [], "callable": f, "key": "a", "keys": []},
     "got an unexpected keyword argument 'keys'"),
])
def test_binder_error_order(container, args, kwargs, message):
    raises_type_error(lambda: container.register_provider(*args, **kwargs), "Container.register_provider() " + message)
    with pytest.raises(KeyError):
        container.get_provider_info("a")


# Texts with lone surrogates keep every code point in messages.
def odd_type(qualname, cls=None):
    cls = cls or type("Odd", (), {})
    cls.__qualname__ = qualname
    return cls


class QualnameOf(type):
    """A metaclass whose classes answer __qualname__ with anything, or fail."""

    def __getattribute__(cls, name):
        if name != "__qualname__":
            return type.__getattribute__(cls, name)
        qualname = type.__getattribute__(cls, "qualname")
        if isinstance(qualname, BaseException):
            raise qualname
        return qualname


def with_metaclass_qualname(qualname):
    return QualnameOf("Meta", (), {"qualname": qualname})()


SURROGATE_MESSAGES = [
    (lambda c: c.resolve(**{"\ud800": 1}), "Container.resolve() got an unexpected keyword argument '\ud800'"),
    (lambda c: c.set_cached("a", **{"x\udfffy": 1}), "Container.set_cached() got an unexpected keyword argument "
                                                    "'x\udfffy'"),
    (lambda c: c.register_provider("a", **{"callable": f, "\udc80": 1}),
     "Container.register_provider() got an unexpected keyword argument '\udc80'"),
    (lambda c: c.resolve_many(Sequence(None, fail=TypeError("bad \udc80"))), "argument 'keys': bad \udc80"),
    (lambda c: c.resolve_many_plan(Sequence(["a"], fail=TypeError("\ud800"))), "argument 'keys': \ud800"),
    (lambda c: c.register_provider("a", f, True, False, Sequence(["a"], fail=TypeError("bad \udc80"))),
     "argument 'dep_keys': bad \udc80"),
    (lambda c: c.resolve(odd_type("T\ud800")()), "argument 'key': 'T\ud800' object cannot be converted to 'PyString'"),
    (lambda c: c.get_cached(key=odd_type("\udfff")()),
     "argument 'key': '\udfff' object cannot be converted to 'PyString'"),
    (lambda c: c.resolve_many(["a", odd_type("Outer.\ud800")()]),
     "argument 'keys': 'Outer.\ud800' object cannot be converted to 'PyString'"),
    (lambda c: c.resolve_many(odd_type("S\ud800")()), "argument 'keys': 'S\ud800' object cannot be converted to "
                                                     "'Sequence'"),
    (lambda c: c.register_provider("a", f, odd_type("B\udc80")(), False, []),
     "argument 'singleton': 'B\udc80' object cannot be converted to 'PyBool'"),
    (lambda c: c.register_provider("a", f, True, odd_type("bool_\ud800", numpy_like("bool_", {}))(), []),
     "argument 'is_async': object of type '<class 'numpy.bool_\ud800'>' does not define a '__bool__' conversion"),
    (lambda c: c.register_provider("a", f, numpy_like("bool", {"__bool__": raiser(TypeError("no \udc80"))})(),
                                   False, []), "argument 'singleton': no \udc80"),
    (lambda c: c.register_provider("a", f, numpy_like("bool", {"__bool__": lambda self: odd_type("R\ud800")()})(),
                                   False, []),
     "argument 'singleton': 'R\ud800' object cannot be converted to 'PyBool'"),
    # A __qualname__ that is a `str` subclass is used as the text it holds.
    (lambda c: c.resolve(odd_type(Name("N\ud800"))()), "argument 'key': 'N\ud800' object cannot be converted to "
                                                      "'PyString'"),
    # Only a __qualname__ that is no `str` at all, or cannot be read, stands in.
    (lambda c: c.resolve(with_metaclass_qualname(42)),
     "argument 'key': '<failed to extract type name>' object cannot be converted to 'PyString'"),
    (lambda c: c.resolve_many([with_metaclass_qualname(b"T")]),
     "argument 'keys': '<failed to extract type name>' object cannot be converted to 'PyString'"),
    (lambda c: c.resolve(with_metaclass_qualname(AttributeError("gone"))),
     "argument 'key': '<failed to extract type name>' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("call,message", SURROGATE_MESSAGES)
def test_messages_keep_every_code_point(container, call, message):
    error = raises_type_error(lambda: call(container), message)
    assert error.__cause__ is None


def test_wrapped_error_with_lone_surrogates_keeps_its_cause(container):
    root = ValueError("\ud800")
    error = TypeError("bad \udc80")
    error.__cause__ = root
    wrapped = raises_type_error(lambda: container.resolve_many(Sequence(["a"], fail=error)),
                                "argument 'keys': bad \udc80")
    assert wrapped is not error and wrapped.__cause__ is root
    assert container.get_cached("a") is None and sys.exc_info() == (None, None, None)


def fresh_text(*parts):
    """A new, non-interned `str` with its own UTF-8 buffer (non-ASCII text)."""
    return "".join(parts)


@pytest.mark.parametrize("singleton", [True, False])
@pytest.mark.parametrize("call", [
    lambda c, args: c.resolve(**args),
    lambda c, args: c.resolve(*args.values()),
    lambda c, args: c.resolve_many([*args.values()] * 2)[0],
    lambda c, args: c.resolve_many_plan(list(args.values()))[0],
])
def test_keys_outlive_what_the_caller_drops_during_the_call(container, singleton, call):
    # The provider drops every reference the caller's containers held to the
    # key while the call that uses the key is still running.
    args = {"key": fresh_text("ключ-", "ü" * 50)}
    made = []

    def provide():
        args.clear()
        gc.collect()
        made.append(object())
        return made[-1]

    container.register_provider(fresh_text("ключ-", "ü" * 50), provide, singleton, False, [])
    assert call(container, args) is made[0]
    assert container.get_cached("ключ-" + "ü" * 50) is (made[0] if singleton else None)


@pytest.mark.parametrize("kwargs,message", [
    ({"key\x00": "a"}, "got an unexpected keyword argument 'key\x00'"),
    ({"ke": "a"}, "got an unexpected keyword argument 'ke'"),
    ({"Key": "a"}, "got an unexpected keyword argument 'Key'"),
    ({"keys": "a"}, "got an unexpected keyword argument 'keys'"),
])
def test_keyword_names_match_exactly(container, kwargs, message):
    raises_type_error(lambda: container.get_cached(**kwargs), "Container.get_cached() " + message)


def test_a_seen_keyword_tuple_is_still_checked_against_the_positionals(container):
    # Both calls in this function share one constant ('key',) tuple (and
    # get_cached shares resolve's parameter names): once a call with it bound
    # cleanly, the same tuple beside a positional must still be refused.
    container.register_provider("k", f, True, False, [])
    assert container.resolve(key="k") == "value"
    assert container.get_cached(key="k") == "value"
    for method in (container.resolve, container.get_cached):
        with pytest.raises(TypeError, match=r"got multiple values for argument 'key'$"):
            method("k", key="k")
    assert container.resolve(key="k") == "value"
    container.set_cached(key="k", value=1)
    with pytest.raises(TypeError, match=r"takes 2 positional arguments but 3 were given$"):
        container.set_cached("k", 1, 2, key="k", value=1)
    with pytest.raises(TypeError, match=r"got multiple values for argument 'key'$"):
        container.set_cached("k", key="k", value=1)
    assert container.get_cached("k") == 1


@pytest.mark.parametrize("method", ["resolve_many", "resolve_many_plan"])
def test_batch_keys_outlive_the_request_sequence_emptied_mid_batch(container, method):
    # The first provider empties the very list the batch was given and drops
    # the last references to its later keys; those keys are still resolved by
    # their full text, and remembered key objects stay valid afterwards.
    keys = [fresh_text("first-", "ü" * 40), fresh_text("second-", "ü" * 40), fresh_text("third-", "é" * 40)]

    def empties():
        keys.clear()
        gc.collect()
        return "first"

    container.register_provider("first-" + "ü" * 40, empties, False, False, [])
    container.register_provider("second-" + "ü" * 40, lambda: "second", False, False, [])
    container.register_provider("third-" + "é" * 40, lambda first: first + "+third", False, False,
                                ["first-" + "ü" * 40])
    assert getattr(container, method)(keys) == ["first", "second", "first+third"]
    assert keys == []
    again = [fresh_text("second-", "ü" * 40), "third-" + "é" * 40]
    assert container.resolve_many(again) == ["second", "first+third"]
