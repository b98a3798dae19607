"""A small application wired with _quorix_core.

It registers a configuration, a database connection pool and two services,
resolves them one by one and as a batch, overrides a provider for a test run,
resolves an async provider in Python with the introspection and cache methods,
and shows how failures reach Python.
"""
import asyncio
import itertools
from typing import Any, Callable, Dict, List

from _quorix_core import Container

counter = itertools.count(1)


class Config:
    def __init__(self) -> None:
        self.dsn = "memory://app"


class Pool:
    def __init__(self, config: Config) -> None:
        self.config = config
        self.ident = next(counter)

    def __repr__(self) -> str:
        return f"Pool#{self.ident}({self.config.dsn})"


class UserRepository:
    def __init__(self, pool: Pool) -> None:
        self.pool = pool

    def __repr__(self) -> str:
        return f"UserRepository({self.pool!r})"


class Mailer:
    def __init__(self, config: Config, users: UserRepository) -> None:
        self.config = config
        self.users = users

    def __repr__(self) -> str:
        return f"Mailer(users={self.users!r})"


async def open_cache(config: Config) -> Dict[str, str]:
    await asyncio.sleep(0)
    return {"dsn": config.dsn, "kind": "cache"}


def fake_pool(config: Config) -> str:
    return "FakePool"


def echo(value: object) -> object:
    return value


def build_container() -> Container:
    c = Container()
    c.register_provider("config", Config, True, False, [])
    c.register_provider("pool", Pool, True, False, ["config"])
    c.register_provider("users", UserRepository, False, False, ["pool"])
    c.register_provider("mailer", Mailer, False, False, ["config", "users"])
    c.register_provider("cache", open_cache, True, True, ["config"])
    return c


async def resolve_async(c: Container, key: str) -> Any:
    """Resolves a key whose provider is async, in Python, and keeps its value."""
    cached = c.get_cached(key)
    if cached is not None:
        return cached
    factory, singleton, is_async, dep_keys = c.get_provider_info(key)
    args = [await resolve_async(c, dep) for dep in dep_keys]
    value = factory(*args)
    if is_async:
        value = await value
    if singleton:
        c.set_cached(key, value)
    return value


def main() -> None:
    c = build_container()

    print("== single keys")
    mailer: Mailer = c.resolve("mailer")
    print("mailer:", mailer)
    print("the pool is a singleton:", c.resolve("pool") is mailer.users.pool)
    print("users is a factory:", c.resolve("users") is not c.resolve("users"))

    print("\n== batches")
    a, b = c.resolve_many(["users", "users"])
    print("resolve_many builds each key on its own:", a is not b)
    a, b = c.resolve_many_plan(["users", "users"])
    print("resolve_many_plan evaluates each key once:", a is b)

    print("\n== override layers")
    c.begin_override_layer()
    c.set_override("pool", fake_pool, True, False, ["config"])
    print("inside the layer:", c.resolve("users"))
    c.end_override_layer()
    print("after the layer:", c.resolve("users"))

    print("\n== async providers are resolved by the caller")
    try:
        c.resolve("cache")
    except RuntimeError as error:
        print("RuntimeError:", error)
    print("resolved in Python:", asyncio.run(resolve_async(c, "cache")))
    print("now answered from the cache:", c.resolve("cache"))

    print("\n== how failures reach Python")
    c.register_provider("loop", echo, False, False, ["loop"])
    c.register_provider("broken", lambda: 1 / 0, False, False, [])
    # The last three calls are wrong on purpose; type checkers flag the first
    # two (a str is a sequence of str, so only the module catches the third).
    calls: List[Callable[[], object]] = [
        lambda: c.resolve("missing"),
        lambda: c.resolve("loop"),
        lambda: c.resolve("broken"),
        lambda: c.resolve(42),  # type: ignore[arg-type]
        lambda: c.register_provider("x", Config, 1, False, []),  # type: ignore[arg-type]
        lambda: c.resolve_many("users"),
    ]
    for call in calls:
        try:
            call()
        except Exception as error:
            print(f"{type(error).__name__}: {error}")


if __name__ == "__main__":
    main()
