"""Reads the reports the sanitizer runtime wrote (one file a process) and
prints those that count; exits 1 when there is any.

Every AddressSanitizer and UndefinedBehaviorSanitizer report counts. A leak
report lists the blocks still allocated and unreachable at exit: the
interpreter leaves some of its own there (python -c pass leaves about 3 KB),
so a leaked block counts only when the module allocated it, that is when its
allocation stack passes through the module's sources, and not only through
its start-up (the types and the module object live as long as the process)
or tracemalloc's own bookkeeping.

    python .ci/sanitizer_reports.py REPORT_DIR
"""
import os
import re
import sys

MODULE_FRAME = re.compile(r"vesk_ext/src/|_vesk\.cpython")
# Blocks the module's calls lead to that are the interpreter's to free: the
# module's start-up (its types and module object live as long as the
# process) and tracemalloc's records of the allocations it traces.
NOT_THE_MODULES = re.compile(r"PyInit__vesk|Modules/_tracemalloc\.c")


def leaks(text):
    """The leaked blocks of a leak report, each its header and stack."""
    blocks = re.split(r"\n(?=(?:Direct|Indirect) leak of )", text)
    return [b.split("\n\n")[0] for b in blocks if re.match(r"(?:Direct|Indirect) leak of ", b)]


def counted(text):
    """What of a report counts: the whole report, or the module's leaks."""
    if "ERROR: LeakSanitizer" not in text:
        return text
    return "\n\n".join(b for b in leaks(text) if MODULE_FRAME.search(b) and not NOT_THE_MODULES.search(b))


def main(folder):
    found = 0
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), errors="replace") as f:
            text = counted(f.read())
        if text.strip():
            found += 1
            print("==== %s\n%s\n" % (name, text))
    print("sanitizer reports that count: %d" % found)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
