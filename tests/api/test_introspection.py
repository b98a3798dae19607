"""Describing providers and reading or storing cached singleton values."""
import sys
import weakref

import pytest


class Value:
    pass


def test_provider_info_is_a_fresh_description(container):
    calls = []

    def factory():
        calls.append(1)

    container.register_provider("a", factory, True, True, ("b", "a", "b"))
    first, second = container.get_provider_info("a"), container.get_provider_info(key="a")
    assert type(first) is tuple and first is not second and first[3] is not second[3]
    assert first[0] is factory and first[1] is True and first[2] is True
    assert first[3] == ["b", "a", "b"] and all(type(k) is str for k in first[3])
    first[3].append("changed")
    assert container.get_provider_info("a")[3] == ["b", "a", "b"] and calls == []


def test_provider_info_follows_the_open_override(container):
    base, override = Value(), Value()
    container.register_provider("a", base, False, False, [])
    container.begin_override_layer()
    container.set_override("a", override, True, False, ["x"])
    container.set_override("layer-only", override, False, False, [])
    assert container.get_provider_info("a") == (override, True, False, ["x"])
    container.end_override_layer()
    assert container.get_provider_info("a") == (base, False, False, [])
    with pytest.raises(KeyError) as info:
        container.get_provider_info("layer-only")
    assert info.value.args == ("No provider registered for key: layer-only",)


@pytest.mark.parametrize("key", ["k", "", "a\x00b", "ключ"])
def test_provider_info_of_unknown_key(container, key):
    container.register_provider("a", Value, False, False, [])
    with pytest.raises(KeyError) as info:
        container.get_provider_info(key)
    assert type(info.value) is KeyError
    assert info.value.args == ("No provider registered for key: " + key,)


def test_get_cached_answers_from_the_first_cached_record(container):
    container.register_provider("single", Value, True, False, [])
    container.register_provider("many", Value, False, False, [])
    assert [container.get_cached(k) for k in ["single", "many", "unknown"]] == [None, None, None]
    single, _ = container.resolve("single"), container.resolve("many")
    assert container.get_cached("single") is single and container.get_cached("many") is None
    # Uncached records above a cached one are passed over.
    container.register_provider("a", Value, True, False, [])
    base = container.resolve("a")
    container.begin_override_layer()
    container.set_override("a", Value, True, False, [])
    container.begin_override_layer()
    container.set_override("a", Value, False, False, [])
    assert container.get_cached("a") is base
    container.register_provider("b", Value, True, False, [])
    container.set_override("b", Value, True, False, [])
    top = container.resolve("b")
    assert container.get_cached("b") is top


def test_set_cached_holds_one_reference_and_releases_the_previous(container):
    container.register_provider("a", Value, True, False, [])
    first, second = Value(), Value()
    before = sys.getrefcount(second)
    container.set_cached("a", first)
    first_ref = weakref.ref(first)
    del first
    for _ in range(2):  # storing the held value again leaves it stored once
        assert container.set_cached("a", second) is None
        assert first_ref() is None and sys.getrefcount(second) == before + 1
    assert container.get_cached("a") is second and container.resolve("a") is second
    container.register_provider("a", Value, True, False, [])
    assert sys.getrefcount(second) == before and container.get_cached("a") is None


@pytest.mark.parametrize("setup", [
    lambda c: None,
    lambda c: c.register_provider("k", Value, False, False, []),
    lambda c: (c.register_provider("k", Value, False, False, []), c.begin_override_layer(),
               c.set_override("k", Value, False, True, [])),
    lambda c: (c.begin_override_layer(), c.set_override("other", Value, True, False, [])),
])
def test_set_cached_refused_without_a_singleton(container, setup):
    setup(container)
    value = Value()
    before = sys.getrefcount(value)
    with pytest.raises(RuntimeError) as info:
        container.set_cached("k", value)
    assert type(info.value) is RuntimeError
    assert info.value.args == ("Cannot set cache for non-singleton or unknown key: k",)
    assert sys.getrefcount(value) == before and container.get_cached("k") is None


@pytest.mark.parametrize("is_async", [False, True])
def test_stored_value_answers_resolution(container, is_async):
    calls = []
    container.register_provider("a", lambda: calls.append(1), True, is_async, [])
    container.set_cached("a", None)
    assert container.resolve("a") is None and container.get_cached("a") is None and calls == []
    container.set_cached("a", "stored")
    assert container.resolve("a") == "stored" and calls == []


def test_stored_override_value_ends_with_its_layer(container):
    container.register_provider("a", Value, True, False, [])
    base = container.resolve("a")
    container.begin_override_layer()
    container.set_override("a", Value, True, False, [])
    stored = Value()
    container.set_cached("a", stored)
    assert container.resolve("a") is stored
    stored_ref = weakref.ref(stored)
    del stored
    container.end_override_layer()
    assert stored_ref() is None
    assert container.resolve("a") is base and container.get_cached("a") is base


def test_three_search_rules_over_a_non_singleton_override(container):
    container.register_provider("a", Value, True, False, [])
    base = container.resolve("a")
    container.begin_override_layer()
    made = []
    container.set_override("a", lambda: made.append(Value()) or made[-1], False, False, [])
    container.begin_override_layer()  # an empty layer on top is passed over too
    assert container.resolve("a") is made[-1] and container.resolve("a") is made[-1]
    assert len(made) == 2 and made[0] is not made[1]
    assert container.get_cached("a") is base
    stored = Value()
    container.set_cached("a", stored)
    assert container.get_cached("a") is stored and container.resolve("a") is made[-1] and len(made) == 3
    container.end_override_layer()
    container.end_override_layer()
    assert container.resolve("a") is stored and len(made) == 3
