"""Runs a type checker over files and holds it to the errors they expect.

A line that ends in `# expect-type-error` must get at least one error; every
other line must get none. So a check of correct code fails on any error, and a
check of a deliberately wrong call fails if the checker stops seeing it (a stub
gone lax, or not found at all).

    check_types.py mypy --python PY FILE...
    check_types.py basedpyright --python PY FILE...

PY is the interpreter of the environment the checked code runs in (where the
wheel is installed); the checker itself may live elsewhere (--checker).
"""
import argparse
import json
import pathlib
import re
import subprocess
import sys

MARKER = "# expect-type-error"
MYPY_LINE = re.compile(r"^(?P<path>.+?):(?P<line>\d+):(?:\d+:)? (?P<severity>error|note|warning): (?P<text>.*)$")


def expected_errors(path, text):
    return {(str(path), number) for number, line in enumerate(text.splitlines(), 1) if line.rstrip().endswith(MARKER)}


def mypy_errors(output, root):
    """(path, line) -> messages of the errors in mypy's normal output."""
    found = {}
    for line in output.splitlines():
        match = MYPY_LINE.match(line)
        if match and match.group("severity") == "error":
            path = str((root / match.group("path")).resolve())
            found.setdefault((path, int(match.group("line"))), []).append(match.group("text"))
    return found


def pyright_errors(report):
    """(path, line) -> messages from basedpyright's --outputjson report."""
    found = {}
    for diagnostic in report.get("generalDiagnostics", []):
        if diagnostic.get("severity") != "error":
            continue
        path = str(pathlib.Path(diagnostic["file"]).resolve())
        line = diagnostic["range"]["start"]["line"] + 1  # reported from 0
        found.setdefault((path, line), []).append(diagnostic.get("message", ""))
    return found


def compare(expected, found):
    """Problems: expected errors not reported, and errors not expected."""
    problems = []
    for path, line in sorted(expected - set(found)):
        problems.append(f"{path}:{line}: an error was expected here, none was reported")
    for (path, line), messages in sorted(found.items()):
        if (path, line) not in expected:
            problems.extend(f"{path}:{line}: {message}" for message in messages)
    return problems


def run_checker(checker, tool, python, files, root):
    if tool == "mypy":
        command = [checker or sys.executable, "-m", "mypy", "--strict", "--python-executable", python,
                   "--no-error-summary", "--show-absolute-path", "--no-incremental", *files]
        done = subprocess.run(command, capture_output=True, text=True, cwd=root)
        if done.returncode not in (0, 1) or done.stderr.strip():
            raise RuntimeError(f"mypy failed to run ({done.returncode}): {done.stderr.strip()}")
        return mypy_errors(done.stdout, root)
    command = [checker or "basedpyright", "--outputjson", "--pythonpath", python, *files]
    done = subprocess.run(command, capture_output=True, text=True, cwd=root)
    try:
        report = json.loads(done.stdout)
    except ValueError:
        raise RuntimeError(f"basedpyright failed to run ({done.returncode}): {done.stderr.strip() or done.stdout[:500]}")
    return pyright_errors(report)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("tool", choices=("mypy", "basedpyright"))
    parser.add_argument("files", nargs="+")
    parser.add_argument("--python", required=True, help="interpreter of the environment to check against")
    parser.add_argument("--checker", help="mypy: the interpreter that has mypy; basedpyright: its executable")
    args = parser.parse_args(argv)
    root = pathlib.Path.cwd()
    files = [str(pathlib.Path(f).resolve()) for f in args.files]
    expected = set()
    for f in files:
        expected |= expected_errors(f, pathlib.Path(f).read_text())
    try:
        problems = compare(expected, run_checker(args.checker, args.tool, args.python, files, root))
    except RuntimeError as error:
        problems = [str(error)]
    for problem in problems:
        print(problem)
    names = " ".join(pathlib.Path(f).name for f in files)
    verdict = "FAIL" if problems else f"PASS ({len(expected)} expected error(s) reported, no others)"
    print(f"{args.tool} on {names}: {verdict}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
