"""Every form of the module's own float functions against the C library, over
all 2^32 float inputs: the number of results whose bits differ (NaN results
included), which must be 0.

    python tools/verify_math.py [--functions tanhf,expf] [--step N]

The forms: the scalar one the per-sample steps call and the lane form of
the block path, each in the set for CPUs with AVX2 and FMA (fused
multiply-adds by the instruction) and in the baseline set for all others
(SSE2 lanes, fused multiply-adds emulated); sinf and cosf come together
from the scalar sincosf the sine's training step calls, and cosf has no
lane form.
The module picks one set by CPU; this runs both, so that the baseline set is
held against the library on a CPU that would not pick it. The library's
results are those of this CPU: on one with FMA they are what the module
reproduces everywhere.

Each worker thread takes slices of the inputs in turn; the module's probe and
numpy's comparisons release the interpreter lock, so that every core works.
--step N checks every N-th input only, for a quick look.
"""
import argparse
import ctypes
import os
import sys
import threading
import time

import numpy as np

import _vesk

# The probe's functions: its number, and the functions whose n results
# each it writes in turn; f = 3 is the scalar sincosf, whose lane form is
# that of sinf.
PROBED = {"tanhf": (0, ["tanhf"]), "expf": (1, ["expf"]), "sinf": (2, ["sinf"]), "sincosf": (3, ["sinf", "cosf"])}
# What each run compares: the probe's function for the library's results,
# and every form, (name, set, function, lanes); set 2 is the C library.
RUNS = {
    "tanhf": ("tanhf", [("scalar", "tanhf", 0), ("lanes", "tanhf", 1)]),
    "expf": ("expf", [("scalar", "expf", 0), ("lanes", "expf", 1)]),
    "sinf,cosf": ("sincosf", [("scalar", "sincosf", 0), ("lanes", "sinf", 1)]),
}
SETS = {"AVX2/FMA set": 1, "baseline set": 0}
LIBRARY = 2
SLICE = 1 << 22


def probe_function():
    probe = ctypes.CDLL(_vesk.__file__).vesk_float_math_probe
    probe.restype = ctypes.c_int
    probe.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64]
    return probe


def run(probe, form, function, lanes, inputs, out):
    """The probe's results for the inputs into out (n or 2n floats); its status."""
    return probe(form, PROBED[function][0], lanes, inputs.ctypes.data, out.ctypes.data, len(inputs))


def forms_of(probe, run_name):
    """The forms of a run that this CPU can run: (label, set, function,
    lanes), and those it cannot, by label."""
    x = np.zeros(1, dtype=np.float32)
    ready, missing = [], []
    for set_name, form in SETS.items():
        for kind, function, lanes in RUNS[run_name][1]:
            label = "%s, %s" % (kind, set_name)
            if run(probe, form, function, lanes, x, np.zeros(2, dtype=np.float32)) == 0:
                ready.append((label, form, function, lanes))
            else:
                missing.append(label)
    return ready, missing


def verify(runs, step, threads):
    probe = probe_function()
    failures = 0
    for run_name in runs:
        reference = RUNS[run_name][0]
        forms, missing = forms_of(probe, run_name)
        # Differences by (form, function), with the first few.
        differ = {(label, name): [] for label, _, function, _ in forms for name in PROBED[function][1]}
        counts = dict.fromkeys(differ, 0)
        lock = threading.Lock()
        slices = iter(range(0, 1 << 32, SLICE * step))

        def worker():
            width = len(PROBED[reference][1])
            expected = np.empty(width * SLICE, dtype=np.float32)
            got = np.empty(width * SLICE, dtype=np.float32)
            while True:
                with lock:
                    start = next(slices, None)
                if start is None:
                    return
                bits = np.arange(start, min(start + SLICE * step, 1 << 32), step, dtype=np.uint64).astype(np.uint32)
                inputs = bits.view(np.float32)
                n = len(inputs)
                run(probe, LIBRARY, reference, 0, inputs, expected)
                for label, form, function, lanes in forms:
                    run(probe, form, function, lanes, inputs, got)
                    for k, name in enumerate(PROBED[function][1]):
                        part = slice(k * n, (k + 1) * n)
                        want, have = expected[part].view(np.uint32), got[part].view(np.uint32)
                        wrong = np.flatnonzero(have != want)
                        if len(wrong):
                            with lock:
                                counts[(label, name)] += len(wrong)
                                differ[(label, name)] += [(int(bits[j]), int(want[j]), int(have[j])) for j in wrong[:5]]

        began = time.monotonic()
        pool = [threading.Thread(target=worker) for _ in range(threads)]
        for t in pool:
            t.start()
        for t in pool:
            t.join()
        checked = len(range(0, 1 << 32, step))
        for (label, name), count in counts.items():
            print("%-6s %-22s %d inputs, %d differ%s" % (name, label, checked, count, "".join(
                "\n    x=0x%08x: library 0x%08x, module 0x%08x" % d for d in differ[(label, name)][:5])))
            failures += count
        for label in missing:
            print("%-6s %-22s not run: this CPU lacks AVX2 or FMA" % (run_name, label))
        print("%s: %.0f s" % (run_name, time.monotonic() - began))
        sys.stdout.flush()
    return failures


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--functions", default="tanhf,expf,sinf", help="of tanhf, expf, sinf (with cosf)")
    p.add_argument("--step", type=int, default=1, help="check every N-th input only")
    p.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    args = p.parse_args(argv)
    began = time.monotonic()
    runs = [name for name in RUNS if name.split(",")[0] in args.functions.split(",")]
    failures = verify(runs, args.step, args.threads)
    print("%s in %.0f s" % ("all forms equal the C library" if failures == 0 else "%d differences" % failures,
                            time.monotonic() - began))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
