"""The release wheel matrix: which stable-ABI level serves which interpreter,
and which cibuildwheel runs build and test each level.

cibuildwheel reuses the first abi3 wheel of a run for every later interpreter
the wheel's tag allows, so one run can build only one level. Each level is
therefore its own run, narrowed with CIBW_BUILD to the level's interpreter and
the newer ones that pip gives that wheel to (which then only test it). A
free-threaded CPython, which loads no abi3 wheel, gets a wheel of its own, in
a run of its own: 3.14t one for itself, 3.15t the abi3t wheel
(cp315-abi3.abi3t), which CPython 3.15 and newer load with or without the GIL.

    release_matrix.py level-for 3.11          -> cp310
    release_matrix.py runs                    -> cp39 cp310 cp312 cp314t cp315t
    release_matrix.py selectors cp310         -> cp310-* cp311-*
    release_matrix.py check-identifiers [--update] [--cibuildwheel EXE]

check-identifiers asks cibuildwheel (no build, no containers) for the build
identifiers of each platform and level and compares them with the committed
list, tools/release-identifiers.txt; it also checks that the runs together
cover exactly what the configuration selects, each identifier once.
"""
import argparse
import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXPECTED = ROOT / "tools" / "release-identifiers.txt"
PLATFORMS = ("linux", "macos", "windows")

# (wheel tag level, lowest CPython minor it needs, the interpreters it serves
# in release builds). The last level serves every newer interpreter.
LEVELS = (
    ("cp39", 9, ("cp39",)),
    ("cp310", 10, ("cp310", "cp311")),
    ("cp312", 12, ("cp312", "cp313", "cp314", "cp315")),
)
# Free-threaded interpreters released with wheels, each its own run (3.13t is
# served from the sdist): cp314t builds its own wheel, cp315t the abi3t one.
FREE_THREADED = ("cp314t", "cp315t")
RUNS = tuple(level for level, _, _ in LEVELS) + FREE_THREADED


def level_for(version):
    """The level of the wheel pip picks for CPython `version` ("3.11")."""
    major, minor = (int(part) for part in version.split(".")[:2])
    if major != 3 or minor < LEVELS[0][1]:
        raise ValueError(f"no stable-ABI wheel serves CPython {version}")
    chosen = LEVELS[0][0]
    for tag, lowest, _ in LEVELS:
        if minor >= lowest:
            chosen = tag
    return chosen


def run_for(builder):
    """The run that must build a cibuildwheel interpreter ("cp311", "cp314t")."""
    if builder.endswith("t"):
        if builder not in FREE_THREADED:
            raise ValueError(f"no release run for the free-threaded {builder}")
        return builder
    return level_for(f"3.{builder[3:]}")


def selectors(level):
    if level in FREE_THREADED:
        return [f"{level}-*"]
    for tag, _, interpreters in LEVELS:
        if tag == level:
            return [f"{interpreter}-*" for interpreter in interpreters]
    raise ValueError(f"unknown level {level!r}")


def print_identifiers(cibuildwheel, platform, build=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith("CIBW_")}
    if build is not None:
        env["CIBW_BUILD"] = build
    done = subprocess.run(
        [cibuildwheel, "--print-build-identifiers", "--platform", platform, str(ROOT)],
        capture_output=True, text=True, env=env, cwd=ROOT,
    )
    if done.returncode != 0:
        raise RuntimeError(f"cibuildwheel --print-build-identifiers --platform {platform} failed:\n{done.stderr}")
    return [line.strip() for line in done.stdout.splitlines() if line.strip()]


def parse_expected(text):
    """Lines "platform level identifier"; '#' starts a comment."""
    rows = []
    for number, line in enumerate(text.splitlines(), 1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        fields = line.split()
        if len(fields) != 3 or fields[0] not in PLATFORMS:
            raise ValueError(f"line {number}: expected 'platform level identifier', got {line!r}")
        rows.append(tuple(fields))
    return rows


def problems_with(actual_rows, configured):
    """What is wrong with the per-level runs, given what the configuration
    alone selects per platform: identifiers built twice or never."""
    problems = []
    for platform in PLATFORMS:
        ids = [row[2] for row in actual_rows if row[0] == platform]
        duplicated = sorted({i for i in ids if ids.count(i) > 1})
        if duplicated:
            problems.append(f"{platform}: in more than one level's run: {' '.join(duplicated)}")
        missing = sorted(set(configured.get(platform, ())) - set(ids))
        if missing:
            problems.append(f"{platform}: selected by the configuration but in no level's run: {' '.join(missing)}")
        extra = sorted(set(ids) - set(configured.get(platform, ())))
        if extra:
            problems.append(f"{platform}: run but not selected by the configuration: {' '.join(extra)}")
    for platform, level, identifier in actual_rows:
        builder = identifier.split("-", 1)[0]
        try:
            wanted = run_for(builder)
        except ValueError as e:
            problems.append(f"{identifier}: {e}")
            continue
        if wanted != level:
            problems.append(f"{identifier} is in the {level} run, but pip would give it the {wanted} wheel")
    return problems


def check_identifiers(cibuildwheel, update):
    actual, configured = [], {}
    for platform in PLATFORMS:
        configured[platform] = print_identifiers(cibuildwheel, platform)
        for level in RUNS:
            for identifier in print_identifiers(cibuildwheel, platform, " ".join(selectors(level))):
                actual.append((platform, level, identifier))
    text = "".join(f"{p} {l} {i}\n" for p, l, i in actual)
    if update:
        EXPECTED.write_text("# platform, run (stable-ABI level or free-threaded version), cibuildwheel build identifier\n"
                            + text)
        print(f"wrote {EXPECTED.relative_to(ROOT)}")
    problems = problems_with(actual, configured)
    expected = parse_expected(EXPECTED.read_text())
    if expected != actual:
        gone = [" ".join(r) for r in expected if r not in actual]
        new = [" ".join(r) for r in actual if r not in expected]
        problems.append("the identifiers differ from tools/release-identifiers.txt"
                        + "".join(f"\n  - {r}" for r in gone) + "".join(f"\n  + {r}" for r in new))
    for problem in problems:
        print(f"error: {problem}")
    counts = ", ".join(f"{p}: {sum(1 for r in actual if r[0] == p)}" for p in PLATFORMS)
    print(f"cibuildwheel build identifiers: {'FAIL' if problems else 'PASS'} ({counts})")
    return 1 if problems else 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("level-for").add_argument("version")
    sub.add_parser("runs")
    sub.add_parser("selectors").add_argument("level")
    check = sub.add_parser("check-identifiers")
    check.add_argument("--cibuildwheel", default="cibuildwheel")
    check.add_argument("--update", action="store_true", help="rewrite the committed list first")
    args = parser.parse_args(argv)
    if args.command == "level-for":
        print(level_for(args.version))
    elif args.command == "runs":
        print(" ".join(RUNS))
    elif args.command == "selectors":
        print(" ".join(selectors(args.level)))
    else:
        return check_identifiers(args.cibuildwheel, args.update)
    return 0


if __name__ == "__main__":
    sys.exit(main())
