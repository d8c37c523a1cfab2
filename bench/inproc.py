"""In-process timings with pyperf, one group of cases per run.

bench/run.py starts this script once per group; pyperf then starts one worker
process per benchmark. Every case is registered once per round, with the order
of the programs rotated from round to round, so that the programs of one case
alternate and the ratio of each round compares neighbouring runs. Benchmark
names are "case|program|round".

Groups:
  files   10,000 files from one brace pattern, new (directory removed before
          each timed run) and existing (touched again), in --workdir:
          crenly and the plain program run create_files([pattern]), the floor
          loop runs over the expanded paths. Values are seconds per file.
  calls   parse_brace_expansion on a typical pattern, on a 1,000-item
          group and on "plain.txt" (no braces), and one call of create_file() without its argument (TypeError):
          crenly against the plain program. Also parse_brace_expansion on
          "x{a}" followed by open braces, 10,000, 40,000 and 128,000
          characters in all: crenly only (its time must grow linearly with
          the length; the plain program's grows with its square). Values are
          seconds per call.
  proofs  create_file() of an existing file in --workdir, each call after a
          change of something the road's proof stands on (a name it reads:
          os.mkdir; an attribute of Path: touch) or of a function's defaults
          that no proof holds, set and put back: crenly with its road
          against crenly with the pathlib steps forced. Values are seconds
          per call, the change included.

The optional services are switched off by rebinding HAS_CLIPBOARD and
HAS_GROWL on both modules (both read them at each call), so that file
creation measures file creation. Console lines go to os.devnull through an
ordinary UTF-8 text stream, the same for every program.
"""

import io
import os
import shutil
import sys
import time
from contextlib import redirect_stdout
from itertools import repeat
from pathlib import Path

import pyperf

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "comparators"))

with redirect_stdout(io.StringIO()):
    import crenly.crenly as crenly_module
    import floor
    import plain_crenly

for module in (crenly_module, plain_crenly):
    module.HAS_CLIPBOARD = False
    module.HAS_GROWL = False

TYPICAL_PATTERN = "src/{main, util, cli}.py"
GROUP_1000 = "dir/{" + ",".join(f"file{i:04}" for i in range(1000)) + "}.txt"
OPEN_BRACE_LENGTHS = (10_000, 40_000, 128_000)


def open_braces(length):
    """A group followed by open braces only: `length` characters."""
    return "x{a}" + "{" * (length - 4)


def files_pattern(directory, count):
    """A pattern of two groups for `count` files (a multiple of 100) in `directory`."""
    first = ",".join(f"f{i:02}" for i in range(count // 100))
    second = ",".join(f"{i:02}" for i in range(100))
    return f"{directory}/{{{first}}}{{{second}}}"


def time_files(loops, create, argument, directory, fresh, null):
    total = 0.0
    for _ in range(loops):
        if fresh:
            shutil.rmtree(directory, ignore_errors=True)
        real = sys.stdout
        sys.stdout = null
        try:
            start = time.perf_counter()
            create(argument)
            total += time.perf_counter() - start
        finally:
            sys.stdout = real
    return total


def time_parse(loops, parse, text, inner):
    start = time.perf_counter()
    for _ in repeat(None, loops * inner):
        parse(text)
    return time.perf_counter() - start


def time_arg_error(loops, creator, inner):
    start = time.perf_counter()
    for _ in repeat(None, loops * inner):
        try:
            creator.create_file()
        except TypeError:
            pass
    return time.perf_counter() - start


class Forced(type(Path())):
    """A path class that no proof accepts: crenly takes the pathlib steps."""
    __slots__ = ()


def unrelated(value=1):
    """A function that no proof holds."""
    return value


def change_name():
    mkdir = os.mkdir
    os.mkdir = unrelated
    os.mkdir = mkdir


def change_path_attribute():
    touch = Path.touch
    Path.touch = unrelated
    Path.touch = touch


def change_defaults():
    unrelated.__defaults__ = (2,)
    unrelated.__defaults__ = (1,)


def time_changing(loops, creator, change, name, inner, null, forced):
    previous = crenly_module.Path
    real = sys.stdout
    sys.stdout = null
    if forced:
        crenly_module.Path = Forced
    try:
        start = time.perf_counter()
        for _ in repeat(None, loops * inner):
            change()
            creator.create_file(name)
        return time.perf_counter() - start
    finally:
        crenly_module.Path = previous
        sys.stdout = real


def add_cmdline_args(cmd, args):
    cmd.extend(["--group", args.group, "--rounds", str(args.rounds), "--files", str(args.files)])
    cmd.extend(["--workdir", args.workdir, "--inner", str(args.inner)])


def rotated(items, r):
    r %= len(items)
    return items[r:] + items[:r]


def main():
    runner = pyperf.Runner(processes=1, loops=1, add_cmdline_args=add_cmdline_args)
    parser = runner.argparser
    parser.add_argument("--group", choices=("files", "calls", "proofs"), required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--files", type=int, default=10000)
    parser.add_argument("--workdir", default=".")
    parser.add_argument("--inner", type=int, default=20000, help="calls per value for the typical cases")
    args = runner.parse_args()

    crenly = crenly_module.FileCreator()
    plain = plain_crenly.FileCreator()
    tasks = []  # (case, [(program, function, args, inner_loops)])

    if args.group == "files":
        os.chdir(args.workdir)
        null = open(os.devnull, "w", encoding="utf-8")
        for case, directory, fresh in (("files-new", "d-new", True), ("files-existing", "d-existing", False)):
            pattern = files_pattern(directory, args.files)
            paths = crenly.parse_brace_expansion(pattern)
            if not fresh and not os.path.isdir(directory):
                with redirect_stdout(io.StringIO()):
                    floor.create(paths)
            programs = [
                ("crenly", time_files, (crenly.create_files, [pattern], directory, fresh, null)),
                ("plain", time_files, (plain.create_files, [pattern], directory, fresh, null)),
                ("floor", time_files, (floor.create, paths, directory, fresh, null)),
            ]
            tasks.append((case, programs, len(paths)))
    elif args.group == "proofs":
        os.chdir(args.workdir)
        null = open(os.devnull, "w", encoding="utf-8")
        with redirect_stdout(io.StringIO()):
            crenly.create_file("kept.txt")
        calls = max(1, args.inner // 10)
        for case, change in (("change-name", change_name), ("change-path", change_path_attribute),
                             ("change-defaults", change_defaults)):
            programs = [
                ("crenly", time_changing, (crenly, change, "kept.txt", calls, null, False)),
                ("forced", time_changing, (crenly, change, "kept.txt", calls, null, True)),
            ]
            tasks.append((case, programs, calls))
    else:
        inner = args.inner
        for case, text, calls in (
            ("parse-typical", TYPICAL_PATTERN, inner),
            ("parse-1000", GROUP_1000, max(1, inner // 40)),
            ("parse-plain", "plain.txt", inner),
        ):
            programs = [
                ("crenly", time_parse, (crenly.parse_brace_expansion, text, calls)),
                ("plain", time_parse, (plain.parse_brace_expansion, text, calls)),
            ]
            tasks.append((case, programs, calls))
        for length in OPEN_BRACE_LENGTHS:
            calls = max(1, inner // 40)
            programs = [("crenly", time_parse, (crenly.parse_brace_expansion, open_braces(length), calls))]
            tasks.append((f"open-{length}", programs, calls))
        programs = [
            ("crenly", time_arg_error, (crenly, inner)),
            ("plain", time_arg_error, (plain, inner)),
        ]
        tasks.append(("arg-error", programs, inner))

    for r in range(args.rounds):
        for case, programs, inner_loops in tasks:
            for program, function, fargs in rotated(programs, r):
                runner.bench_time_func(f"{case}|{program}|{r}", function, *fargs, inner_loops=inner_loops)


if __name__ == "__main__":
    main()
