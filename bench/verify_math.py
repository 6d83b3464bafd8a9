"""Every form of the module's own float functions against the C library, over
all 2^32 float inputs: the number of results whose bits differ (NaN results
included), which must be 0.

    python bench/verify_math.py [--functions tanhf,expf] [--step N]

The forms: the scalar one the per-sample steps call and the lane form of
the block path, each in the set for CPUs with AVX2 and FMA (fused
multiply-adds by the instruction) and in the baseline set for all others
(SSE2 lanes, fused multiply-adds emulated); cosf has only its scalar form.
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

FUNCTIONS = ["tanhf", "expf", "sinf", "cosf"]
# (set, lanes) of the probe, by name; set 2 is the C library.
FORMS = {"scalar, AVX2/FMA set": (1, 0), "lanes, AVX2/FMA set": (1, 1),
         "scalar, baseline set": (0, 0), "lanes, baseline set": (0, 1)}
LIBRARY = (2, 0)
SLICE = 1 << 22


def probe_function():
    probe = ctypes.CDLL(_vesk.__file__).vesk_float_math_probe
    probe.restype = ctypes.c_int
    probe.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64]
    return probe


def run(probe, f, form, inputs, out):
    return probe(form[0], f, form[1], inputs.ctypes.data, out.ctypes.data, len(inputs))


def available_forms(probe, f):
    """The forms of function f that exist and that this CPU runs."""
    x = np.zeros(1, dtype=np.float32)
    return {name: form for name, form in FORMS.items() if run(probe, f, form, x, x.copy()) == 0}


def verify(functions, step, threads):
    probe = probe_function()
    failures = 0
    for name in functions:
        f = FUNCTIONS.index(name)
        forms = available_forms(probe, f)
        differ = {form: 0 for form in forms}
        first = {form: [] for form in forms}
        lock = threading.Lock()
        slices = iter(range(0, 1 << 32, SLICE * step))

        def worker():
            expected = np.empty(SLICE, dtype=np.float32)
            got = np.empty(SLICE, dtype=np.float32)
            while True:
                with lock:
                    start = next(slices, None)
                if start is None:
                    return
                bits = np.arange(start, min(start + SLICE * step, 1 << 32), step, dtype=np.uint64).astype(np.uint32)
                inputs = bits.view(np.float32)
                n = len(inputs)
                run(probe, f, LIBRARY, inputs, expected[:n])
                for form_name, form in forms.items():
                    run(probe, f, form, inputs, got[:n])
                    wrong = np.flatnonzero(got[:n].view(np.uint32) != expected[:n].view(np.uint32))
                    if len(wrong):
                        with lock:
                            differ[form_name] += len(wrong)
                            first[form_name] += [(int(bits[j]), int(expected[j:j + 1].view(np.uint32)[0]),
                                                  int(got[j:j + 1].view(np.uint32)[0])) for j in wrong[:5]]

        began = time.monotonic()
        pool = [threading.Thread(target=worker) for _ in range(threads)]
        for t in pool:
            t.start()
        for t in pool:
            t.join()
        checked = len(range(0, 1 << 32, step))
        for form_name in FORMS:
            if form_name not in forms:
                if not (f == 3 and FORMS[form_name][1] == 1):
                    print("%-6s %-22s not run: this CPU lacks AVX2 or FMA" % (name, form_name))
                continue
            print("%-6s %-22s %d inputs, %d differ%s" % (name, form_name, checked, differ[form_name], "".join(
                "\n    x=0x%08x: library 0x%08x, module 0x%08x" % d for d in first[form_name][:5])))
            failures += differ[form_name]
        print("%-6s %.0f s" % (name, time.monotonic() - began))
        sys.stdout.flush()
    return failures


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--functions", default=",".join(FUNCTIONS))
    p.add_argument("--step", type=int, default=1, help="check every N-th input only")
    p.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    args = p.parse_args(argv)
    began = time.monotonic()
    failures = verify(args.functions.split(","), args.step, args.threads)
    print("%s in %.0f s" % ("all forms equal the C library" if failures == 0 else "%d differences" % failures,
                            time.monotonic() - began))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
