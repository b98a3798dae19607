"""Picks out of ThreadSanitizer's reports the ones about the module's own code.

The interpreter is not instrumented, so its synchronisation is invisible and
its own memory traffic shows up as races between interpreter frames; a report
belongs to the module when the innermost frame of either access, past the
sanitizer's interceptors, lies in `_quorix_core`.

    python tools/tsan_module_reports.py REPORT_FILE...

Prints those reports; exits 1 if there is any.
"""
import re
import sys

ACCESS = re.compile(r"^  (?:Previous )?(?:[Aa]tomic )?(?:[Rr]ead|[Ww]rite) of size|^  Location is|^  Mutex|^  Thread ")
FRAME = re.compile(r"^\s+#\d+ (\S+) .*\((\S+?)\+0x")


def blocks(text):
    return [b for b in re.split(r"(?m)^=+\n", text) if "WARNING: ThreadSanitizer" in b]


def innermost_frames(block):
    """The first frame past the interceptors of each access stack of a report."""
    found, current = [], None
    for line in block.splitlines():
        if ACCESS.match(line):
            current = []
            found.append(current)
            continue
        match = FRAME.match(line)
        if match and current is not None and not current and "libtsan" not in match.group(2):
            current.append(match.group(2))
    return [f[0] for f in found if f]


def main(paths):
    paths = [p for p in paths if not p.endswith(".*")]  # an unmatched shell glob: no reports
    mine = []
    total = 0
    for path in paths:
        with open(path, errors="replace") as report:
            for block in blocks(report.read()):
                total += 1
                if any("_quorix_core" in library for library in innermost_frames(block)):
                    mine.append(block)
    for block in mine:
        print(block)
    print(f"{len(mine)} of {total} reports in the module")
    return 1 if mine else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
