"""Finds compiler-specific code without a portable fallback in the C++ sources.

GCC and clang at -Wpedantic -Werror already refuse VLAs, statement expressions
and the like; what they accept silently is listed here: builtins, attributes,
128-bit integers, POSIX-only types and headers. Each use must sit in the first
branch of an #if/#ifdef that tests for the compiler or platform and has an
#else or #elif: the fallback MSVC (or another platform) compiles.

    portability_lint.py [DIR...]      (default: src)
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
NON_PORTABLE = re.compile(
    r"\b(__builtin_\w+|__attribute__|__extension__|__int128|__typeof__|typeof|ssize_t|alloca|__declspec)\b"
    r"|#\s*include\s*<(unistd\.h|pthread\.h|cxxabi\.h|sys/[\w/]+\.h|dlfcn\.h|intrin\.h|windows\.h)>"
)
GUARD = re.compile(r"\b(__GNUC__|__clang__|__SIZEOF_INT128__|__GLIBCXX__|_LIBCPP_VERSION|_MSC_VER|_WIN32|"
                   r"__linux__|__APPLE__|__unix__|__has_builtin|__has_include|__has_attribute)\b")
DIRECTIVE = re.compile(r"^\s*#\s*(if|ifdef|ifndef|elif|else|endif)\b(.*)$")


def strip_comments(text):
    # Comments may name the very constructs they explain.
    text = re.sub(r"/\*.*?\*/", lambda m: re.sub(r"[^\n]", " ", m.group()), text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def findings(path, text):
    """(line, construct, reason) for every unguarded or fallback-less use."""
    found = []
    # One frame per open #if: whether its current branch tests for a compiler
    # or platform, whether any branch did, whether it has another branch.
    stack = []
    for number, line in enumerate(strip_comments(text).splitlines(), 1):
        directive = DIRECTIVE.match(line)
        if directive:
            kind, condition = directive.groups()
            guarded = bool(GUARD.search(condition))
            if kind in ("if", "ifdef", "ifndef"):
                stack.append({"guarded": guarded, "ever": guarded, "has_fallback": False, "uses": []})
            elif kind in ("elif", "else") and stack:
                frame = stack[-1]
                frame.update(guarded=guarded, has_fallback=True)
                frame["ever"] |= guarded
            elif kind == "endif" and stack:
                frame = stack.pop()
                if not frame["has_fallback"]:
                    found.extend((n, c, "guarded, but with no #else fallback") for n, c in frame["uses"])
            if "include" not in line:
                continue
        for match in NON_PORTABLE.finditer(line):
            construct = match.group(1) or f"<{match.group(2)}>"
            frame = next((f for f in reversed(stack) if f["ever"]), None)
            if frame is None:
                found.append((number, construct, "not guarded by a compiler or platform test"))
            elif frame["guarded"]:
                frame["uses"].append((number, construct))
            else:
                found.append((number, construct, "used in the fallback branch of its guard"))
    return [(str(path), *f) for f in found]


def main(argv=None):
    dirs = [pathlib.Path(d) for d in (argv if argv is not None else sys.argv[1:])] or [ROOT / "src"]
    problems = []
    for directory in dirs:
        for path in sorted(directory.rglob("*")):
            if path.suffix in (".cpp", ".hpp", ".h", ".cc"):
                problems.extend(findings(path, path.read_text()))
    for path, line, construct, reason in problems:
        print(f"{path}:{line}: {construct}: {reason}")
    print(f"portability lint: {'FAIL' if problems else 'PASS'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
