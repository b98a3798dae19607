"""Source of a table calling each of Container's ten methods once, for code run in subprocesses.

It expects a callable `f` in the namespace it is executed in; the methods use the key "a".
"""

ALL_TEN_SOURCE = """\
ALL_TEN = {
    "register_provider": lambda c: c.register_provider("z", f, False, False, []),
    "resolve": lambda c: c.resolve("a"),
    "resolve_many": lambda c: c.resolve_many(["a"]),
    "resolve_many_plan": lambda c: c.resolve_many_plan(["a"]),
    "begin_override_layer": lambda c: c.begin_override_layer(),
    "set_override": lambda c: c.set_override("z", f, False, False, []),
    "get_provider_info": lambda c: c.get_provider_info("a"),
    "get_cached": lambda c: c.get_cached("a"),
    "set_cached": lambda c: c.set_cached("a", 1),
    "end_override_layer": lambda c: c.end_override_layer(),
}
"""
