"""Every benchmark of crenly, side by side, in one run and one table.

Run it through `bash bench/run [--quick]`, which builds the package first. The
programs compared (bench/comparators/):
  crenly  the installed command / the extension module
  plain   plain_crenly.py, the same program written in plain Python
  plain-held
          the same program, its module held from `sys` until the interpreter
          ends as the extension module holds itself: what that lifetime costs
  floor   floor.py, only the per-path pathlib work and one print per path, and
          for start-up only the standard modules that the module body imports
  shell   bash: `mkdir -p` and `touch` with bash's own brace expansion
  limit   limit.c, compiled by the run: per path the system calls that crenly
          makes and the same line, in C (per-file cases only; it times its
          own loop)

Whole commands are timed with hyperfine (no shell, output to /dev/null), one run
of each program per round, the order rotated from round to round; in-process
figures come from pyperf (bench/inproc.py), start-up shares from
`python -X importtime`, peak memory from fresh processes (bench/memory.py).
Every figure is a median with its median absolute deviation; every ratio is
the median of the ratios of the rounds, with their interquartile range.

File-creating cases run in a tmpfs directory (/dev/shm), which decides the
targets, and again on disk, which is reported only: on disk the kernel's cost
varies several-fold from run to run.

Two environments: "bare" is a venv made for the run that holds crenly but none
of its optional packages (clipboard, gntp), so that each file measures file
creation and no clipboard copy; "full" is the project venv with them installed
(start-up only): the venv of the interpreter running this script, .venv for
3.12 or .venv-3.X for 3.X. Results and raw data are written to
bench/results/<version>/ (3.12 to 3.15).
"""

import argparse
import json
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
VENV = Path(sys.prefix)  # bench/run runs this script with the project venv's python
VERSION = f"{sys.version_info[0]}.{sys.version_info[1]}"
COMPARATORS = BENCH / "comparators"
LIMIT = None  # set by main(): the compiled limit.c
RESULTS = BENCH / "results" / VERSION
STD_IMPORTS = "import sys, os, re, traceback, pathlib, typing, argparse"
TYPICAL_PATTERN = "src/{main, util, cli}.py"
# Commands run without the caller's PYTHON* variables: PYTHONUNBUFFERED would
# turn every console line into a write call, PYTHONDONTWRITEBYTECODE would
# recompile the comparators on every run.
CLEAN_ENV = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
# With gntp installed, crenly registers with whatever Growl daemon answers on
# localhost (a test's fake daemon can make the client spin). Commands of the
# "full" environment run in a private network namespace where the connection
# fails at once, when this machine allows one (root: unshare -n).
NO_NETWORK = ["unshare", "-n"]


@dataclass
class Settings:
    files: int = 10000
    memory_paths: int = 100000
    rounds_startup: int = 30
    rounds_files: int = 15
    rounds_disk: int = 5
    inproc_rounds: int = 10
    inproc_disk_rounds: int = 3
    values: int = 3
    warmups: int = 1
    inner: int = 20000
    memory_runs: int = 5
    importtime_runs: int = 21


QUICK = Settings(
    files=2000,
    rounds_startup=5,
    rounds_files=3,
    rounds_disk=1,
    inproc_rounds=2,
    inproc_disk_rounds=1,
    values=1,
    warmups=1,
    inner=4000,
    memory_runs=1,
    importtime_runs=5,
)


# ---------------------------------------------------------------- statistics


def median(xs):
    return statistics.median(xs)


def mad(xs):
    m = median(xs)
    return median([abs(x - m) for x in xs])


def quartiles(xs):
    if len(xs) < 2:
        return xs[0], xs[0]
    q = statistics.quantiles(xs, n=4, method="inclusive")
    return q[0], q[2]


def fmt_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if abs(seconds) >= scale or unit == "ns":
            return unit, scale
    return "s", 1.0


def fmt_figure(values, kind="time"):
    m, d = median(values), mad(values)
    if kind == "kib":
        return f"{m / 1024:.2f} MiB ± {d / 1024:.2f}"
    if kind == "count":
        return f"{m:g} ± {d:g}"
    unit, scale = fmt_time(m)
    digits = 3 if m / scale < 10 else (2 if m / scale < 100 else 1)
    return f"{m / scale:.{digits}f} {unit} ± {d / scale:.{digits}f}"


# ---------------------------------------------------------------- table


@dataclass
class Row:
    case: str
    versus: str  # comparator, or "" for an absolute figure
    crenly: list
    other: list = field(default_factory=list)
    ratios: list = field(default_factory=list)
    target: str = "info"  # "<1", "<=1.05", "<=0.5", "<=1", "<2ms", ">=90" (a count) or "info"
    kind: str = "time"

    def ratio_text(self):
        if not self.ratios:
            return ""
        q1, q3 = quartiles(self.ratios)
        return f"{median(self.ratios):.3f} [{q1:.3f}-{q3:.3f}]"

    def verdict(self):
        if self.target == "info":
            return "info"
        if self.target.startswith(">="):
            value, least = median(self.crenly), float(self.target[2:])
            return "met" if value >= least else "MISSED"
        if self.target == "<2ms":
            value, low, high = median(self.crenly), *quartiles(self.crenly)
            limit, strict = 0.002, True
        else:
            value, (low, high) = median(self.ratios), quartiles(self.ratios)
            strict = self.target.startswith("<") and not self.target.startswith("<=")
            limit = float(self.target.lstrip("<="))
        met = value < limit if strict else value <= limit
        crosses = low <= limit <= high and low != high
        return ("met" if met else "MISSED") + (" (IQR crosses)" if crosses else "")


def render(rows, title):
    header = ("case", "vs", "crenly", "other", "ratio crenly/other [IQR]", "target", "result")
    body = []
    for row in rows:
        body.append(
            (
                row.case,
                row.versus or "-",
                fmt_figure(row.crenly, row.kind),
                fmt_figure(row.other, row.kind) if row.other else "-",
                row.ratio_text() or "-",
                {"<2ms": "< 2 ms", "info": "-"}.get(
                    row.target, row.target.replace("<=", "<= ").replace(">=", ">= ").replace("<1", "< 1")),
                row.verdict(),
            )
        )
    widths = [max(len(line[i]) for line in [header, *body]) for i in range(len(header))]
    lines = [title, ""]
    for n, line in enumerate([header, *body]):
        lines.append("  ".join(cell.ljust(widths[i]) for i, cell in enumerate(line)).rstrip())
        if n == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


# ---------------------------------------------------------------- helpers


def say(text):
    print(f"bench: {text}", file=sys.stderr, flush=True)


def run(argv, **kwargs):
    kwargs.setdefault("env", CLEAN_ENV)
    kwargs.setdefault("timeout", 1800)
    result = subprocess.run(argv, capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        raise SystemExit(
            f"bench: failed ({result.returncode}): {shlex.join(map(str, argv))[:300]}\n"
            f"{result.stdout[-3000:]}{result.stderr[-3000:]}"
        )
    return result


def files_pattern(directory, count, suffix=""):
    """A pattern of two groups (count/100 x 100 items) for `count` files in `directory`."""
    first = ",".join(f"f{i:02}" for i in range(count // 100))
    second = ",".join(f"{i:02}" for i in range(100))
    return f"{directory}/{{{first}}}{{{second}}}{suffix}"


def expanded(directory, count):
    return [f"{directory}/f{a:02}{b:02}" for a in range(count // 100) for b in range(100)]


def make_bare_env(root):
    """A venv with the installed crenly package and nothing else, and its crenly launcher."""
    env = root / "venv-bare"
    run([sys.executable, "-m", "venv", "--without-pip", str(env)])
    # -P and cwd "/": the installed package, never a source tree in the current directory.
    where = "import crenly, os; print(os.path.dirname(crenly.__file__))"
    package = run([str(VENV / "bin" / "python"), "-P", "-c", where], cwd="/")
    site = next((env / "lib").glob("python3.*")) / "site-packages"
    (site / "crenly").symlink_to(package.stdout.strip(), target_is_directory=True)
    launcher = (VENV / "bin" / "crenly").read_text().splitlines(keepends=True)
    launcher[0] = f"#!{env / 'bin' / 'python'}\n"
    (env / "bin" / "crenly").write_text("".join(launcher))
    (env / "bin" / "crenly").chmod(0o755)
    return env


def programs(env, files_args, shell_script):
    python = str(env / "bin" / "python")
    launch = str(COMPARATORS / "launch.py")
    return {
        "crenly": [str(env / "bin" / "crenly"), *files_args],
        "plain": [python, launch, "plain_crenly", *files_args],
        "plain-held": [python, launch, "--hold", "plain_crenly", *files_args],
        "floor": [python, launch, "floor"],  # paths appended by the caller
        "shell": ["bash", "-c", shell_script],
    }


def rotated(items, r):
    r %= len(items)
    return items[r:] + items[:r]


def network_isolation():
    """The command prefix that cuts a command off the network, or [] when not allowed."""
    try:
        ok = subprocess.run([*NO_NETWORK, "true"], capture_output=True, timeout=30).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        ok = False
    return NO_NETWORK if ok else []


def hyperfine_rounds(commands, cwd, rounds, prepare=None, scratch=None, prefix=()):
    """Times each command once per round, in rotated order; returns {name: [seconds]}."""
    names = list(commands)
    times = {name: [] for name in names}
    out = Path(scratch) / "hyperfine.json"
    for r in range(rounds):
        order = rotated(names, r)
        argv = ["hyperfine", "-N", "--runs", "1", "--warmup", "1" if r == 0 else "0"]
        argv += ["--style", "none", "--export-json", str(out)]
        if prepare:
            argv += ["--prepare", prepare]
        argv += [shlex.join(commands[name]) for name in order]
        run([*prefix, *argv], cwd=cwd)
        data = json.loads(out.read_text())
        for name, result in zip(order, data["results"]):
            times[name].extend(result["times"])
    return times


def ratio_rows(case, times, targets, kind="time"):
    """One row per comparator: crenly's figure, the comparator's, the per-round ratios."""
    rows = []
    for other, target in targets.items():
        ratios = [c / o for c, o in zip(times["crenly"], times[other])]
        rows.append(Row(case, other, times["crenly"], times[other], ratios, target, kind))
    return rows


def check_same_output(argv_a, argv_b, root, name, prefix=()):
    """Runs two commands in fresh directories and compares stdout, exit status and files."""
    seen = []
    for tag, argv in (("a", argv_a), ("b", argv_b)):
        cwd = root / f"check-{name}-{tag}"
        shutil.rmtree(cwd, ignore_errors=True)
        cwd.mkdir(parents=True)
        result = subprocess.run([*prefix, *argv], cwd=cwd, capture_output=True, text=True, env=CLEAN_ENV, timeout=300)
        files = sorted(str(p.relative_to(cwd)) for p in cwd.rglob("*"))
        seen.append((result.returncode, result.stdout.replace(str(cwd), "<cwd>") + result.stderr, files))
        shutil.rmtree(cwd)
    if seen[0] != seen[1]:
        raise SystemExit(f"bench: crenly and the plain program differ on {name}: {seen[0][:2]} vs {seen[1][:2]}")


# ---------------------------------------------------------------- cases


def whole_commands(settings, bare, tmpfs, disk, scratch, isolate):
    rows = []
    n = settings.files
    one = programs(bare, ["d/one.txt"], "mkdir -p d && touch d/one.txt")
    one["floor"].append("d/one.txt")
    full = programs(VENV, ["d/one.txt"], "")
    check_same_output(one["crenly"], one["plain"], tmpfs, "one-file")
    check_same_output(full["crenly"], full["plain"], tmpfs, "one-file-full", isolate)

    say("start-up and one file")
    times = hyperfine_rounds(one, tmpfs, settings.rounds_startup, prepare=f"rm -rf {tmpfs}/d", scratch=scratch)
    rows += ratio_rows(
        "start-up + 1 file [cmd, tmpfs]",
        times,
        {"plain": "<=1.01", "plain-held": "info", "floor": "info", "shell": "info"},
    )
    say("start-up and one file, optional packages installed")
    pair = {k: full[k] for k in ("crenly", "plain", "plain-held")}
    times = hyperfine_rounds(
        pair, tmpfs, settings.rounds_startup, prepare=f"rm -rf {tmpfs}/d", scratch=scratch, prefix=isolate
    )
    rows += ratio_rows(
        "start-up + 1 file, optional pkgs [cmd, tmpfs]", times, {"plain": "<1", "plain-held": "info"}
    )

    say("import only")
    python = str(bare / "bin" / "python")
    imports = {
        "crenly": [python, "-c", "import crenly.crenly"],
        "std imports": [python, "-c", STD_IMPORTS],
    }
    times = hyperfine_rounds(imports, tmpfs, settings.rounds_startup, scratch=scratch)
    rows += ratio_rows("import crenly.crenly [cmd]", times, {"std imports": "info"})
    share = [c - o for c, o in zip(times["crenly"], times["std imports"])]

    pattern = files_pattern("d", n)
    cases = programs(bare, [pattern], f"mkdir -p d && touch {pattern}")
    cases["floor"] += expanded("d", n)
    check_same_output(cases["crenly"], cases["plain"], tmpfs, "pattern")
    for where, root, rounds in (("tmpfs", tmpfs, settings.rounds_files), ("disk", disk, settings.rounds_disk)):
        decide = where == "tmpfs"
        say(f"{n:,} new files from one pattern, {where}")
        times = hyperfine_rounds(cases, root, rounds, prepare=f"rm -rf {root}/d", scratch=scratch)
        rows += ratio_rows(
            f"{n:,} new files [cmd, {where}]",
            times,
            {"plain": "<=0.625" if decide else "info", "plain-held": "info", "floor": "info", "shell": "info"},
        )
        say(f"{n:,} existing files, {where}")
        run(cases["crenly"], cwd=root)
        times = hyperfine_rounds(cases, root, rounds, scratch=scratch)
        rows += ratio_rows(
            f"{n:,} existing files [cmd, {where}]",
            times,
            {"plain": "<1" if decide else "info", "plain-held": "info", "floor": "info", "shell": "info"},
        )
        shutil.rmtree(root / "d", ignore_errors=True)
    return rows, share


def import_self_times(settings, bare, isolate):
    """Self time of crenly.crenly (and of plain_crenly) under -X importtime, paired runs."""

    def self_times(python, statement, cwd):
        result = run([*isolate, python, "-X", "importtime", "-c", statement], cwd=cwd)
        found = {}
        for line in result.stderr.splitlines():
            if line.startswith("import time:") and "|" in line:
                own, cumulative, name = line[len("import time:") :].split("|")
                if own.strip().isdigit():
                    found[name.strip()] = (int(own) * 1e-6, int(cumulative) * 1e-6)
        return found

    rows, notes = [], []
    for label, env in (("no optional pkgs", bare), ("optional pkgs", VENV)):
        python = str(env / "bin" / "python")
        crenly, plain, package = [], [], []
        for r in range(settings.importtime_runs):
            for which in rotated(["crenly", "plain"], r):
                if which == "crenly":
                    found = self_times(python, "import crenly.crenly", COMPARATORS.parent)
                    crenly.append(found["crenly.crenly"][0])
                    package.append(found["crenly"][0])
                else:
                    found = self_times(python, "import plain_crenly", COMPARATORS)
                    plain.append(found["plain_crenly"][0])
        rows.append(Row(f"module's own start-up, importtime self, {label}", "", crenly, target="<2ms"))
        rows.append(
            Row(
                f"import self time, {label}",
                "plain",
                crenly,
                plain,
                [c / p for c, p in zip(crenly, plain)],
                "<1",
            )
        )
        notes.append(
            f"importtime, {label}: crenly.crenly self {fmt_figure(crenly)}, "
            f"crenly package (__init__) self {fmt_figure(package)}"
        )
    return rows, notes


def memory(settings):
    rows = []
    script = str(BENCH / "memory.py")
    python = str(VENV / "bin" / "python")
    for metric, label, target in (
        ("rss", "RSS growth", "<=1"),
        ("traced", "tracemalloc, Python allocators only", "info"),
    ):
        values = {"crenly": [], "plain": []}
        for r in range(settings.memory_runs):
            for which in rotated(["crenly", "plain"], r):
                out = run([python, script, which, metric, str(settings.memory_paths)])
                values[which].append(int(out.stdout.strip()))
        rows += ratio_rows(
            f"peak memory, {settings.memory_paths:,}-path expansion ({label})",
            values,
            {"plain": target},
            kind="kib",
        )
    return rows


def inproc(group, settings, workdir, rounds, values, scratch):
    out = Path(scratch) / f"inproc-{group}-{'disk' if Path(workdir).is_relative_to(RESULTS) else 'tmpfs'}.json"
    out.unlink(missing_ok=True)
    argv = [str(VENV / "bin" / "python"), str(BENCH / "inproc.py"), "--group", group]
    argv += ["--rounds", str(rounds), "--files", str(settings.files), "--workdir", str(workdir)]
    argv += ["--inner", str(settings.inner), "-n", str(values), "-w", str(settings.warmups)]
    argv += ["-o", str(out), "--quiet"]
    run(argv, cwd=workdir)
    data = json.loads(out.read_text())
    per_round = {}  # (case, program) -> [median of each round]
    pooled = {}
    for bench in data["benchmarks"]:
        name = bench["metadata"]["name"]
        case, program, _ = name.split("|")
        vals = [v for run_ in bench["runs"] for v in run_.get("values", [])]
        per_round.setdefault((case, program), []).append(median(vals))
        pooled.setdefault((case, program), []).extend(vals)
    return per_round, pooled


def limit_rounds(settings, workdir, rounds, values):
    """Seconds per file of the C limit, new and existing files, in the
    directories that bench/inproc.py uses: {case: [[value, ...] per round]}."""
    found = {"files-new": [], "files-existing": []}
    for case, directory, fresh in (("files-new", "d-new", True), ("files-existing", "d-existing", False)):
        paths = expanded(directory, settings.files)
        if not fresh:
            run([str(LIMIT), *paths], cwd=workdir)
        for _ in range(rounds):
            got = []
            for _ in range(max(values, 3)):
                if fresh:
                    shutil.rmtree(Path(workdir) / directory, ignore_errors=True)
                out = run([str(LIMIT), *paths], cwd=workdir)
                got.append(float(out.stderr.strip()))
            found[case].append(got)
        shutil.rmtree(Path(workdir) / directory, ignore_errors=True)
    return found


def inproc_rows(per_round, pooled, case, label, targets):
    rows = []
    for other, target in targets.items():
        c, o = per_round[(case, "crenly")], per_round[(case, other)]
        rows.append(
            Row(label, other, pooled[(case, "crenly")], pooled[(case, other)], [a / b for a, b in zip(c, o)], target)
        )
    return rows


def in_process(settings, tmpfs, disk, scratch):
    rows = []
    n = settings.files
    say("in-process calls (pyperf)")
    per_round, pooled = inproc("calls", settings, tmpfs, settings.inproc_rounds, max(settings.values, 3), scratch)
    for case, label, target in (
        ("parse-typical", f'parse_brace_expansion("{TYPICAL_PATTERN}")', "<=0.5"),
        ("parse-1000", "parse_brace_expansion, 1,000-item group", "<=0.5"),
        ("parse-plain", 'parse_brace_expansion("plain.txt")', "<=0.333"),
        ("arg-error", "create_file() -> TypeError (arg count)", "<1"),
    ):
        rows += inproc_rows(per_round, pooled, case, label, {"plain": target})
    # Growth with the length of the text: each length against the shortest.
    shortest = "open-10000"
    for case, label, target in (
        ("open-40000", 'parse_brace_expansion("x{a}" + "{" * n), 40,000 chars', "info"),
        ("open-128000", 'parse_brace_expansion("x{a}" + "{" * n), 128,000 chars', "<=20"),
    ):
        c, o = per_round[(case, "crenly")], per_round[(shortest, "crenly")]
        rows.append(
            Row(label, "10,000 chars", pooled[(case, "crenly")], pooled[(shortest, "crenly")],
                [a / b for a, b in zip(c, o)], target)
        )
    for where, root, rounds, values in (
        ("tmpfs", tmpfs, settings.inproc_rounds, settings.values),
        ("disk", disk, settings.inproc_disk_rounds, max(1, settings.values - 1)),
    ):
        decide = where == "tmpfs"
        say(f"in-process file creation, {where} (pyperf)")
        per_round, pooled = inproc("files", settings, root, rounds, values, scratch)
        limit = limit_rounds(settings, root, rounds, values)
        # Existing files: 3x faster than the plain program on 3.12, 2.8x from 3.13
        # on, whose pathlib makes the plain program faster while the system calls stay.
        existing = "<=0.333" if VERSION == "3.12" else "<=0.357"
        for case, label, versus_plain in (("files-new", "new", "<=0.5"), ("files-existing", "existing", existing)):
            title = f"per file, {n:,} {label} files [in-process, {where}]"
            rows += inproc_rows(
                per_round, pooled, case, title, {"plain": versus_plain if decide else "info", "floor": "info"}
            )
            crenly = per_round[(case, "crenly")]
            rows.append(Row(title, "C limit", pooled[(case, "crenly")], [v for r in limit[case] for v in r],
                            [c / median(l) for c, l in zip(crenly, limit[case])], "<=1.5" if decide else "info"))
        for sub in ("d-new", "d-existing"):
            shutil.rmtree(Path(root) / sub, ignore_errors=True)
    return rows


# After 1,100 changes to Path (each looked up after, so that the class takes a
# new version tag each time, which 3.13 gives a class at most 1,000 of), how
# many of the next 100 calls take the road, in a fresh process.
ROAD_AFTER_CHANGES = """
import contextlib, io, pathlib, sys
import crenly.crenly as m
m.HAS_CLIPBOARD = m.HAS_GROWL = False
creator, touch = m.FileCreator(), pathlib.Path.touch
with contextlib.redirect_stdout(io.StringIO()):
    for _ in range(3):
        creator.create_file("kept.txt")
    for change in range(1100):
        pathlib.Path.touch = touch if change % 2 else (lambda *args, **kwargs: None)
        pathlib.Path.touch
    pathlib.Path.touch = touch
    before = m.FileCreator.create_file._shortcut_calls
    for _ in range(100):
        creator.create_file("kept.txt")
print(m.FileCreator.create_file._shortcut_calls - before)
"""


def repeated_proofs(settings, tmpfs, scratch, bare):
    say("a change before every call (pyperf), and the road after 1,100 changes to Path")
    per_round, pooled = inproc("proofs", settings, tmpfs, settings.inproc_rounds, settings.values, scratch)
    rows = []
    for case, label in (
        ("change-name", "create_file, os.mkdir rebound and put back before each call"),
        ("change-path", "create_file, Path.touch rebound and put back before each call"),
        ("change-defaults", "create_file, a function's __defaults__ set before each call"),
    ):
        rows += inproc_rows(per_round, pooled, case, label, {"forced": "<=1.1"})
    counts = []
    for _ in range(max(1, settings.memory_runs)):
        out = run([str(bare / "bin" / "python"), "-c", ROAD_AFTER_CHANGES], cwd=tmpfs)
        counts.append(int(out.stdout.split()[-1]))  # after the import warnings
    rows.append(Row("calls of the next 100 on the road, after 1,100 changes to Path", "", counts,
                    target=">=90", kind="count"))
    return rows


# ---------------------------------------------------------------- main


def main():
    parser = argparse.ArgumentParser(description="Run every crenly benchmark and print one table.")
    parser.add_argument("--quick", action="store_true", help="few rounds and 2,000 files: a smoke run of about two minutes")
    args = parser.parse_args()
    settings = QUICK if args.quick else Settings()
    if shutil.which("hyperfine") is None:
        raise SystemExit("bench: hyperfine is missing (Debian: apt-get install hyperfine)")

    started = time.monotonic()
    shutil.rmtree(RESULTS, ignore_errors=True)
    RESULTS.mkdir(parents=True)
    isolate = network_isolation()
    global LIMIT
    LIMIT = RESULTS / "limit"
    run(["cc", "-O2", "-Wall", "-o", str(LIMIT), str(COMPARATORS / "limit.c")])
    tmpfs = Path(tempfile.mkdtemp(prefix="crenly-bench-", dir="/dev/shm"))
    disk = Path(tempfile.mkdtemp(prefix="work-disk-", dir=RESULTS))
    try:
        bare = make_bare_env(tmpfs)
        rows, share = whole_commands(settings, bare, tmpfs, disk, RESULTS, isolate)
        say("import times (-X importtime)")
        import_rows, notes = import_self_times(settings, bare, isolate)
        rows += import_rows
        say("peak memory")
        rows += memory(settings)
        rows += in_process(settings, tmpfs, disk, RESULTS)
        rows += repeated_proofs(settings, tmpfs, RESULTS, bare)
    finally:
        shutil.rmtree(tmpfs, ignore_errors=True)
        shutil.rmtree(disk, ignore_errors=True)

    mode = "quick" if args.quick else "full"
    title = (
        f"crenly benchmarks (CPython {sys.version.split()[0]}; {mode}: {settings.files:,} files; {os.cpu_count()} CPUs; "
        f"{time.strftime('%Y-%m-%d %H:%M')}; {time.monotonic() - started:.0f} s)"
    )
    table = render(rows, title)
    notes.insert(0, f"import crenly.crenly minus the std imports, per round: {fmt_figure(share)} (hyperfine)")
    notes.append(
        "optional pkgs: commands run "
        + ("without network (unshare -n): the Growl registration fails at once" if isolate
           else "with the machine's network: the Growl registration depends on what listens on localhost")
    )
    text = table + "\n\n" + "\n".join(notes) + "\n"
    print(text, end="")
    (RESULTS / "table.txt").write_text(text)
    raw = [
        {"case": r.case, "vs": r.versus, "crenly": r.crenly, "other": r.other, "ratios": r.ratios,
         "target": r.target, "result": r.verdict(), "kind": r.kind}
        for r in rows
    ]
    (RESULTS / "raw.json").write_text(json.dumps(raw, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
