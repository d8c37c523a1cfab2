"""Peak memory of one brace expansion, measured in a fresh process.

Usage: python memory.py {crenly,plain} {rss,traced} PATHS

Expands a two-group pattern of PATHS paths (a multiple of 100) once through
FileCreator().parse_brace_expansion, keeping the result, and prints the peak
as KiB on one line:
  rss     growth of the resident set over the call: the kernel's high-water mark
          (VmHWM, reset just before the call through /proc/self/clear_refs)
          minus the resident set just before the call. Counts every allocator,
          the C++ heap included.
  traced  tracemalloc's peak over the call: only what goes through Python's
          allocators (the C++ heap of the module is not seen).
"""

import gc
import io
import sys
import tracemalloc
from contextlib import redirect_stdout
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent / "comparators"))


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def main():
    program, metric, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    with redirect_stdout(io.StringIO()):
        if program == "crenly":
            import crenly.crenly as module
        else:
            import plain_crenly as module
    module.HAS_GROWL = False
    creator = module.FileCreator()
    first = ",".join(f"f{i:03}" for i in range(count // 100))
    second = ",".join(f"{i:02}" for i in range(100))
    text = f"d/{{{first}}}{{{second}}}.txt"
    gc.collect()
    if metric == "traced":
        tracemalloc.start()
        tracemalloc.reset_peak()
        result = creator.parse_brace_expansion(text)
        peak = tracemalloc.get_traced_memory()[1] // 1024
    else:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets the high-water mark of the resident set
        before = status_kib("VmRSS")
        result = creator.parse_brace_expansion(text)
        peak = status_kib("VmHWM") - before
    assert len(result) == count // 100 * 100, len(result)
    print(peak)


if __name__ == "__main__":
    main()
