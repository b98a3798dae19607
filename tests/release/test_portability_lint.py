"""The portability lint finds compiler-specific code that MSVC could not build."""
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools"))

import portability_lint  # noqa: E402

GUARDED = """\
#if defined(__SIZEOF_INT128__)
__extension__ typedef unsigned __int128 uint128;
#else
struct uint128 { unsigned long long hi, lo; };
#endif
"""


@pytest.mark.parametrize("source, construct, reason", [
    ("__extension__ typedef unsigned __int128 u;\n", "__extension__", "not guarded"),
    ("if (__builtin_expect(x, 0)) {}\n", "__builtin_expect", "not guarded"),
    ("void f() __attribute__((noinline));\n", "__attribute__", "not guarded"),
    ("ssize_t n = 0;\n", "ssize_t", "not guarded"),
    ("#include <cxxabi.h>\n", "<cxxabi.h>", "not guarded"),
    ("#include <unistd.h>\n", "<unistd.h>", "not guarded"),
    ("#if defined(__GNUC__)\n#include <cxxabi.h>\n#endif\n", "<cxxabi.h>", "no #else fallback"),
    ("#ifdef __GNUC__\nint x = __builtin_popcount(3);\n#endif\n", "__builtin_popcount", "no #else fallback"),
    # A guard that tests something else is no guard.
    ("#if QUORIX_FAULT_INJECTION\n#include <unistd.h>\n#else\n#endif\n", "<unistd.h>", "not guarded"),
    # The fallback branch must not use the construct either.
    ("#ifdef _MSC_VER\nint a;\n#else\n__int128 b;\n#endif\n", "__int128", "fallback branch"),
])
def test_unportable_code_is_found(source, construct, reason):
    found = portability_lint.findings("f.cpp", source)
    assert any(c == construct and reason in r for _, _, c, r in found), found


@pytest.mark.parametrize("source", [
    GUARDED,
    "#if defined(__GNUC__)\n#include <cxxabi.h>\n#elif defined(_MSC_VER)\n#include <intrin.h>\n#endif\n",
    "// __builtin_expect would help here\nint x;\n",
    "/* ssize_t is POSIX;\n   Py_ssize_t is not */ Py_ssize_t n = 0;\n",
    "#if Py_LIMITED_API+0 >= 0x030A0000\nint fast;\n#endif\n",
])
def test_portable_code_passes(source):
    assert portability_lint.findings("f.cpp", source) == []


def test_module_sources_pass():
    problems = [p for path in sorted((portability_lint.ROOT / "src").rglob("*.[ch]pp"))
                for p in portability_lint.findings(path, path.read_text())]
    assert problems == []
