#!/usr/bin/env python3
"""Times a strip run against cp, grep, ripgrep and awk on the same corpus.

usage: bench.py --size SIZE --build BUILD_DIR --scratch DIR --markdown FILE --json FILE
                [--runs N]
       bench.py --large [--sizes 256M,1G,4608M] [--wine-exe EXE] ...

With --large, only the strip run and cp, on CR LF corpora of growing size up
to beyond 4 GiB: the time should grow with the size and the memory stay flat.

Every tool splits the same corpus (in the page cache, warm) into the lines
with and the lines without a needle, writing both parts into the scratch
directory; cp copies the corpus there, as the floor. Each tool runs once to
warm up, then the tools run in turn, N rounds; the table gives each tool's
median wall time and the highest peak resident memory of its N runs. A pair (grep -F then grep -vF,
likewise rg) is timed as one run and its peak is that of its larger half.

Before each run the tool's outputs are removed and the file system synced,
outside the timing, so that no run pays for another run's write-back. Peak
memory comes from GNU time (/usr/bin/time -f %M) around each process.

The benchmark stops with an error when the strip run's exports differ from
grep's outputs on the CR LF corpus with a case-sensitive needle, or from
what the line rules make of grep's outputs on the LF corpus.
"""
import argparse
import codecs
import datetime
import hashlib
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import time

MIB = 1024 * 1024


def parse_size(text):
    match = re.fullmatch(r"(\d+)([KMG]?)(i?B)?", text.strip(), re.IGNORECASE)
    if not match:
        raise SystemExit(f"bench: cannot read size {text!r} (use e.g. 64M, 512M, 1G)")
    unit = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}[match.group(2).upper()]
    return int(match.group(1)) * unit


def size_label(size):
    for unit, name in ((1 << 30, "GiB"), (1 << 20, "MiB"), (1 << 10, "KiB")):
        if size % unit == 0:
            return f"{size // unit} {name}"
    return f"{size} bytes"


def log(message):
    print(message, file=sys.stderr, flush=True)


class Step:
    """One process of a timed command: argv, and the file its stdout goes to."""

    def __init__(self, argv, stdout=None):
        self.argv = argv
        self.stdout = stdout


# GNU time reports each step's peak resident memory. The peak the kernel
# gives a child of this (much larger) Python process would start at the
# parent's own size; time is small enough not to hide a small tool's peak.
TIME = "/usr/bin/time"


def run_steps(steps, env, outputs, scratch):
    """Runs steps one after another; returns (wall seconds, peak KiB, user
    seconds, system seconds)."""
    for path in outputs:
        if os.path.exists(path):
            os.remove(path)
    os.sync()
    report = os.path.join(scratch, "time-report.txt")
    peak = 0
    wall = user = system = 0.0
    for step in steps:
        actions = []
        if step.stdout:
            actions.append((os.POSIX_SPAWN_OPEN, 1, step.stdout,
                            os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644))
        argv = [TIME, "-f", "%M %U %S", "-o", report, *step.argv]
        start = time.perf_counter()
        pid = os.posix_spawn(TIME, argv, env, file_actions=actions)
        _, status, _ = os.wait4(pid, 0)
        wall += time.perf_counter() - start
        code = os.waitstatus_to_exitcode(status)
        # grep and rg say 1 when they select no line.
        if code not in (0, 1) or (code == 1 and os.path.basename(step.argv[0]) not in ("grep", "rg")):
            raise SystemExit(f"bench: {' '.join(step.argv[:3])} ... exited with {code}")
        with open(report) as f:
            fields = f.read().split()[-3:]
        peak = max(peak, int(fields[0]))
        user += float(fields[1])
        system += float(fields[2])
    return wall, peak, user, system


class Tool:
    """A timed command: its name, its steps, the outputs removed before each
    run (none when keep_outputs: the previous run's outputs stay in place)."""

    def __init__(self, name, steps, outputs, keep_outputs=False):
        self.name = name
        self.steps = steps
        self.outputs = [] if keep_outputs else outputs


def measure(tools, env, runs, scratch):
    """Warms every tool up once, then runs them in turn, runs rounds, so that
    a passing disturbance on the machine falls on all of them alike.
    Returns one result row per tool."""
    for tool in tools:
        run_steps(tool.steps, env, tool.outputs, scratch)
    samples = {tool.name: [] for tool in tools}
    for _ in range(runs):
        for tool in tools:
            samples[tool.name].append(run_steps(tool.steps, env, tool.outputs, scratch))
    rows = []
    for tool in tools:
        w = [sample[0] for sample in samples[tool.name]]
        row = {"tool": tool.name, "median_s": statistics.median(w), "runs_s": w,
               "peak_mib": max(sample[1] for sample in samples[tool.name]) / 1024.0,
               "user_s": statistics.median(sample[2] for sample in samples[tool.name]),
               "sys_s": statistics.median(sample[3] for sample in samples[tool.name])}
        log(f"    {tool.name:<34} median {row['median_s']:.3f} s   runs "
            + " ".join(f"{x:.3f}" for x in w) + f"   peak {row['peak_mib']:.1f} MiB"
            + f"   cpu {row['user_s']:.2f} user + {row['sys_s']:.2f} sys")
        rows.append(row)
    return rows


def same_bytes(a, b):
    return subprocess.run(["cmp", "-s", a, b]).returncode == 0


def lf_expectation(grep_output, path):
    """What the strip run makes of grep's lines from the LF corpus: blank
    lines (bare LFs after a line end) vanish and every line ends with CR LF."""
    with open(grep_output, "rb") as f:
        data = f.read()
    data = re.sub(rb"\n\n+", b"\n", data)
    if data.startswith(b"\n"):
        data = data[1:]
    with open(path, "wb") as f:
        f.write(data.replace(b"\n", b"\r\n"))


def utf16_expectation(grep_output, path):
    """What the strip run makes of grep's lines from the CR LF corpus when the
    same log is UTF-16 LE: those lines in UTF-16 LE after the byte order mark
    FF FE, through Python's own codecs, chunk by chunk."""
    decoder = codecs.getincrementaldecoder("utf-8")()
    with open(grep_output, "rb") as f, open(path, "wb") as out:
        out.write(codecs.BOM_UTF16_LE)
        while True:
            chunk = f.read(1 << 22)
            out.write(decoder.decode(chunk, final=not chunk).encode("utf-16-le"))
            if not chunk:
                break


def tool_version(argv):
    try:
        out = subprocess.run(argv, capture_output=True, text=True, timeout=10).stdout
        return out.splitlines()[0].strip() if out else "?"
    except (OSError, subprocess.TimeoutExpired):
        return "?"


def machine_info():
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory = "?"
    try:
        with open("/proc/meminfo") as f:
            memory = f"{int(f.readline().split()[1]) / MIB:.0f} GiB"
    except (OSError, ValueError, IndexError):
        pass
    # A virtual machine whose balloon hands freed memory back to its host
    # makes the first touch of that memory again cost a trip to the host.
    reporting = False
    try:
        with open("/proc/cmdline") as f:
            reporting = "page_reporting" in f.read()
    except OSError:
        pass
    return {"cpu": cpu, "cores": os.cpu_count(), "memory": memory,
            "kernel": platform.release(), "load_start": os.getloadavg()[0],
            "free_page_reporting": reporting}


def ensure_corpus(generator, path, size, options, expected_size=0):
    stamp_path = path + ".stamp"
    with open(generator, "rb") as f:
        # The generator's own bytes name the corpus it makes.
        stamp = hashlib.sha256(f.read()).hexdigest() + " " + " ".join(options)
    old_stamp = None
    if os.path.exists(stamp_path):
        with open(stamp_path) as f:
            old_stamp = f.read()
    # The generator ends the corpus on a whole line, within a line of the size.
    # (A UTF-16 corpus is the same text in other bytes: its stamp alone tells.)
    sized = expected_size is None or (os.path.exists(path) and abs(os.path.getsize(path) - size) <= 512)
    if os.path.exists(path) and sized and old_stamp == stamp:
        log(f"  reusing {path}")
        return
    log(f"  generating {path} ({size_label(size)})")
    start = time.perf_counter()
    subprocess.run([generator, *options, str(size), path], check=True)
    log(f"  generated in {time.perf_counter() - start:.1f} s")
    with open(stamp_path, "w") as f:
        f.write(stamp)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="512M")
    parser.add_argument("--build", default="build/native")
    parser.add_argument("--scratch", default="build/bench")
    parser.add_argument("--markdown", default="docs/bench.md")
    parser.add_argument("--json", default=None)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--large", action="store_true",
                        help="time the strip run and cp on corpora of growing size (--sizes)")
    parser.add_argument("--sizes", default="256M,1G,4608M")
    parser.add_argument("--wine-exe", default=None,
                        help="with --large: also run this quorvane_win_bench.exe under Wine "
                             "(through scripts/with-display.sh and the build's wine-run.sh)")
    parser.add_argument("--add-wine", metavar="REPORT",
                        help="add the Windows program's report (run under Wine) to the results "
                             "in --json and render --markdown again; measures nothing")
    parser.add_argument("--wine-utf16", metavar="CORPUS",
                        help="with --add-wine: the report is of the UTF-16 LE corpus CORPUS")
    args = parser.parse_args()
    if args.add_wine:
        add_wine(args.add_wine, args.json, args.markdown, args.wine_utf16)
        return
    if args.large:
        large(args)
        return
    if args.runs < 5:
        raise SystemExit("bench: at least 5 timed runs")

    size = parse_size(args.size)
    scratch = os.path.abspath(args.scratch)
    os.makedirs(scratch, exist_ok=True)
    results_json = args.json or os.path.join(scratch, "results.json")
    harness = os.path.abspath(os.path.join(args.build, "bench", "quorvane_bench_harness"))
    generator = os.path.abspath(os.path.join(args.build, "bench", "quorvane_bench_gen_corpus"))
    tools = {}
    for name in ("cp", "grep", "rg", "gawk"):
        tools[name] = shutil.which(name)
        if not tools[name]:
            raise SystemExit(f"bench: {name} not found (run scripts/setup.sh)")
    if not os.access(TIME, os.X_OK):
        raise SystemExit(f"bench: {TIME} not found (run scripts/setup.sh)")
    for path in (harness, generator):
        if not os.access(path, os.X_OK):
            raise SystemExit(f"bench: {path} missing; build the native preset first")

    needles = {}
    out = subprocess.run([generator, "--needles"], check=True, capture_output=True).stdout
    for row in out.decode("utf-8").splitlines():
        key, text = row.split("\t", 1)
        needles[key] = text

    tag = args.size.strip()
    corpus_crlf = os.path.join(scratch, f"corpus-crlf-{tag}.log")
    corpus_lf = os.path.join(scratch, f"corpus-lf-{tag}.log")
    corpus_utf16 = os.path.join(scratch, f"corpus-utf16le-{tag}.log")
    log(f"bench: corpora in {scratch}")
    ensure_corpus(generator, corpus_crlf, size, [])
    ensure_corpus(generator, corpus_lf, size, ["--lf"])
    # The CR LF log in UTF-16 LE: about twice the bytes.
    ensure_corpus(generator, corpus_utf16, size, ["--utf16le"], expected_size=None)
    # The export paths go through a 260-character form field.
    if len(os.path.join(scratch, "quorvane-without.txt")) >= 260:
        raise SystemExit("bench: scratch directory path too long for the form's path fields")

    env = dict(os.environ, LC_ALL="C")
    env.pop("RIPGREP_CONFIG_PATH", None)

    def out(name):
        return os.path.join(scratch, name)

    # (key, title, corpus, needle, ignore case, checked against grep)
    cases = [
        ("crlf-error", 'CR LF corpus, needle "ERROR" (10 % of lines)', corpus_crlf,
         needles["error"], False, "exact"),
        ("crlf-ignorecase", 'CR LF corpus, "error" ignoring case (12 % of lines)', corpus_crlf,
         needles["ignorecase"], True, "info"),
        ("crlf-nomatch", 'CR LF corpus, needle "FATAL" (no line)', corpus_crlf,
         needles["nomatch"], False, "exact"),
        ("crlf-everyline", 'CR LF corpus, needle "[t" (every non-empty line)', corpus_crlf,
         needles["everyline"], False, "exact"),
        ("crlf-onebyte", 'CR LF corpus, one-byte needle "#" (20 % of lines)', corpus_crlf,
         needles["onebyte"], False, "exact"),
        ("crlf-cjk128", "CR LF corpus, 128-character Chinese needle, 384 bytes (0.1 % of lines)",
         corpus_crlf, needles["cjk128"], False, "exact"),
        ("lf-error", 'LF corpus, needle "ERROR" (10 % of lines)', corpus_lf,
         needles["error"], False, "lf"),
        ("utf16le-error", 'UTF-16 LE corpus (the CR LF log, FF FE), needle "ERROR"', corpus_utf16,
         needles["error"], False, "utf16"),
        ("utf16le-ignorecase", 'UTF-16 LE corpus, "error" ignoring case', corpus_utf16,
         needles["ignorecase"], True, "utf16-info"),
        ("utf16le-cjk128", "UTF-16 LE corpus, 128-character Chinese needle", corpus_utf16,
         needles["cjk128"], False, "utf16"),
    ]

    results = {"size_bytes": size, "size_label": size_label(size), "runs": args.runs,
               "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
               "machine": machine_info(),
               "versions": {
                   "grep": tool_version([tools["grep"], "--version"]),
                   "rg": tool_version([tools["rg"], "--version"]),
                   "gawk": tool_version([tools["gawk"], "--version"]),
                   "cp": tool_version([tools["cp"], "--version"]),
               },
               "cases": []}

    for key, title, corpus, needle, ignore, check in cases:
        log(f"bench: case {key}: {title}")
        q_without, q_with = out("quorvane-without.txt"), out("quorvane-with.txt")
        g_without, g_with = out("grep-without.txt"), out("grep-with.txt")
        r_without, r_with = out("rg-without.txt"), out("rg-with.txt")
        a_without, a_with = out("awk-without.txt"), out("awk-with.txt")
        copy = out("cp-copy.txt")
        case_flag = ["-i"] if ignore else []

        harness_argv = [harness, corpus, needle, q_without, q_with] + (["--ignore-case"] if ignore else [])
        tools_here = [Tool("quorvane (RunStrip)", [Step(harness_argv)], [q_without, q_with])]
        if key == "crlf-error":
            # Exports that already exist: each is written beside its file and
            # flushed to disk before it takes the file's place.
            tools_here.append(Tool("quorvane, exports exist (fsync)", [Step(harness_argv)],
                                   [q_without, q_with], keep_outputs=True))
        tools_here.append(Tool("cp (floor)", [Step([tools["cp"], corpus, copy])], [copy]))
        if check.startswith("utf16"):
            # grep, rg and gawk read bytes: they do not split UTF-16 text
            # line by line into UTF-16 files, so only the floor is timed.
            rows = measure(tools_here, env, args.runs, scratch)
            # grep's lines of the same log in UTF-8, outside the timing.
            run_steps([Step([tools["grep"], "-F", *case_flag, "-e", needle, corpus_crlf], g_with),
                       Step([tools["grep"], "-vF", *case_flag, "-e", needle, corpus_crlf], g_without)],
                      env, [g_with, g_without], scratch)
            e_with, e_without = out("expected-with.txt"), out("expected-without.txt")
            utf16_expectation(g_with, e_with)
            utf16_expectation(g_without, e_without)
            same = same_bytes(q_with, e_with) and same_bytes(q_without, e_without)
            os.remove(e_with)
            os.remove(e_without)
            if check == "utf16" and not same:
                raise SystemExit(f"bench: case {key}: the strip run's exports differ from grep's outputs "
                                 "on the UTF-8 log, in UTF-16 LE with one BOM")
            verdict = ("exports byte-identical to grep's outputs on the UTF-8 log, in UTF-16 LE after "
                       "one BOM (Python's codecs)" + (" (checked)" if check == "utf16" else "")
                       if same else "exports differ from grep -i's outputs (case folding differs; "
                       "not an error)")
            log(f"    {verdict}")
            by_tool = {row["tool"]: row for row in rows}
            base_cp = by_tool["cp (floor)"]["median_s"]
            for row in rows:
                row["x_cp"] = row["median_s"] / base_cp
                row["x_grep"] = None
                row["x_rg"] = None
                row["gb_s"] = os.path.getsize(corpus) / row["median_s"] / 1e9
            results["cases"].append({"key": key, "title": title, "needle": needle, "ignore_case": ignore,
                                     "verdict": verdict, "rows": rows})
            continue
        tools_here.append(Tool("grep -F + grep -vF", [
            Step([tools["grep"], "-F", *case_flag, "-e", needle, corpus], g_with),
            Step([tools["grep"], "-vF", *case_flag, "-e", needle, corpus], g_without)],
            [g_with, g_without]))
        tools_here.append(Tool("rg -F + rg -vF", [
            Step([tools["rg"], "--no-config", "-F", *case_flag, "-e", needle, corpus], r_with),
            Step([tools["rg"], "--no-config", "-vF", *case_flag, "-e", needle, corpus], r_without)],
            [r_with, r_without]))
        if ignore:
            program = "index(tolower($0),n){print > a; next}{print > b}"
            awk_needle = needle.lower()
        else:
            program = "index($0,n){print > a; next}{print > b}"
            awk_needle = needle
        tools_here.append(Tool("gawk one-pass split", [
            Step([tools["gawk"], "-v", "n=" + awk_needle, "-v", "a=" + a_with, "-v", "b=" + a_without,
                  program, corpus])], [a_with, a_without]))
        rows = measure(tools_here, env, args.runs, scratch)

        # The exports of the last timed run are checked against grep's.
        verdict = ""
        if check == "exact":
            if not (same_bytes(q_with, g_with) and same_bytes(q_without, g_without)):
                raise SystemExit(f"bench: case {key}: the strip run's exports differ from grep's "
                                 f"outputs ({q_with}, {q_without} against {g_with}, {g_without})")
            verdict = "exports byte-identical to grep's outputs (checked)"
        elif check == "lf":
            e_with, e_without = out("expected-with.txt"), out("expected-without.txt")
            lf_expectation(g_with, e_with)
            lf_expectation(g_without, e_without)
            if not (same_bytes(q_with, e_with) and same_bytes(q_without, e_without)):
                raise SystemExit(f"bench: case {key}: the strip run's exports differ from grep's "
                                 "outputs with CR LF line ends and without blank lines")
            os.remove(e_with)
            os.remove(e_without)
            verdict = ("exports byte-identical to grep's outputs with CR LF line ends and "
                       "blank lines dropped (checked)")
        else:
            same = same_bytes(q_with, g_with) and same_bytes(q_without, g_without)
            verdict = ("exports byte-identical to grep -i's outputs" if same
                       else "exports differ from grep -i's outputs (case folding differs; not an error)")
        log(f"    {verdict}")

        by_tool = {row["tool"]: row for row in rows}
        base_cp = by_tool["cp (floor)"]["median_s"]
        base_grep = by_tool["grep -F + grep -vF"]["median_s"]
        base_rg = by_tool["rg -F + rg -vF"]["median_s"]
        for row in rows:
            row["x_cp"] = row["median_s"] / base_cp
            row["x_grep"] = row["median_s"] / base_grep
            row["x_rg"] = row["median_s"] / base_rg
            row["gb_s"] = size / row["median_s"] / 1e9
        results["cases"].append({"key": key, "title": title, "needle": needle, "ignore_case": ignore,
                                 "verdict": verdict, "rows": rows})

    results["machine"]["load_end"] = os.getloadavg()[0]
    for path in (out("quorvane-without.txt"), out("quorvane-with.txt"), out("grep-without.txt"),
                 out("grep-with.txt"), out("rg-without.txt"), out("rg-with.txt"),
                 out("awk-without.txt"), out("awk-with.txt"), out("cp-copy.txt"),
                 out("time-report.txt")):
        if os.path.exists(path):
            os.remove(path)

    with open(results_json, "w") as f:
        json.dump(results, f, indent=1, ensure_ascii=False)
    markdown = render_markdown(results)
    os.makedirs(os.path.dirname(os.path.abspath(args.markdown)), exist_ok=True)
    with open(args.markdown, "w") as f:
        f.write(markdown)
    print(markdown)
    log(f"bench: results in {results_json} and {args.markdown}")


WINE_RESULT = re.compile(r"RESULT strip_s=([\d.]+) copy_s=([\d.]+) ratio=([\d.]+) runs=(\d+)"
                         r"(?: peak_mib=([\d.]+))?")


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run_wine(exe, corpus, scratch, runs):
    """Runs the Windows benchmark program under Wine on corpus; returns its
    result (strip and CopyFileW medians, ratio, peak MiB) and its report."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    wine_run = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(exe))), "wine-run.sh")
    outputs = [os.path.join(scratch, name) for name in ("win-without.txt", "win-with.txt", "win-copy.txt")]
    env = dict(os.environ, QUORVANE_WINE_TIMEOUT="1800")
    text = subprocess.run([os.path.join(root, "scripts", "with-display.sh"), wine_run, exe,
                           wine_path(corpus), "ERROR", *map(wine_path, outputs), str(runs)],
                          env=env, check=True, capture_output=True, text=True).stdout
    for path in outputs:
        if os.path.exists(path):
            os.remove(path)
    match = WINE_RESULT.search(text)
    if not match:
        raise SystemExit(f"bench: no RESULT line from {exe}:\n{text}")
    return {"strip_s": float(match.group(1)), "copy_s": float(match.group(2)),
            "ratio": float(match.group(1)) / float(match.group(2)), "runs": int(match.group(4)),
            "peak_mib": float(match.group(5)) if match.group(5) else None}, text.strip()


def large(args):
    """The strip run (and cp) on corpora of growing size: seconds per GiB and
    peak memory per size."""
    scratch = os.path.abspath(args.scratch)
    os.makedirs(scratch, exist_ok=True)
    harness = os.path.abspath(os.path.join(args.build, "bench", "quorvane_bench_harness"))
    generator = os.path.abspath(os.path.join(args.build, "bench", "quorvane_bench_gen_corpus"))
    env = dict(os.environ, LC_ALL="C")
    runs = max(3, min(args.runs, 5))
    rows = []
    for tag in args.sizes.split(","):
        size = parse_size(tag)
        corpus = os.path.join(scratch, f"corpus-crlf-{tag}.log")
        ensure_corpus(generator, corpus, size, [])
        free = shutil.disk_usage(scratch).free
        if free < 2.5 * size:
            raise SystemExit(f"bench: {size_label(size)} corpus needs about {2 * size / 2**30:.1f} GiB "
                             f"free in {scratch} for the exports and the copy")
        q_without, q_with = (os.path.join(scratch, f"large-{n}.txt") for n in ("without", "with"))
        copy = os.path.join(scratch, "large-copy.txt")
        log(f"bench: large run, {size_label(size)}")
        ours, cp = measure([Tool("quorvane (RunStrip)", [Step([harness, corpus, "ERROR", q_without, q_with])],
                                 [q_without, q_with]),
                            Tool("cp (floor)", [Step(["cp", corpus, copy])], [copy])], env, runs, scratch)
        # Every line of the CR LF corpus reaches one export unchanged.
        if os.path.getsize(q_without) + os.path.getsize(q_with) != os.path.getsize(corpus):
            raise SystemExit(f"bench: the {size_label(size)} run's exports do not add up to the source")
        for path in (q_without, q_with, copy):
            if os.path.exists(path):
                os.remove(path)
        size = os.path.getsize(corpus)   # the generator ends on a whole line
        row = {"size_bytes": size, "size_label": size_label(parse_size(tag)), "quorvane_s": ours["median_s"],
               "cp_s": cp["median_s"], "x_cp": ours["median_s"] / cp["median_s"],
               "s_per_gib": ours["median_s"] / (size / 2**30), "peak_mib": ours["peak_mib"],
               "cp_peak_mib": cp["peak_mib"]}
        if args.wine_exe:
            log(f"bench: large run under Wine, {size_label(size)}")
            row["wine"], _ = run_wine(args.wine_exe, corpus, scratch, 1)
        rows.append(row)
    results = {"date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
               "machine": machine_info(), "runs": runs, "rows": rows}
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
    markdown = render_large(results)
    with open(args.markdown, "w") as f:
        f.write(markdown)
    print(markdown)


def render_large(results):
    m = results["machine"]
    lines = [
        "# Benchmark: time in proportion to the size, memory flat",
        "",
        f"`bench/run --large` on {results['date']}: the strip run (both exports on, rewrite mode, "
        f'needle "ERROR") and cp on CR LF corpora of growing size, median of {results["runs"]} '
        "warm runs each. Machine: "
        f"{m['cpu']}, {m['cores']} cores, {m['memory']} RAM.",
        "",
        "| source | quorvane (s) | s per GiB | × cp | peak MiB | cp (s) | Wine: strip (s) | "
        "× CopyFileW | Wine peak MiB |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for r in results["rows"]:
        w = r.get("wine")
        wine = (f"{w['strip_s']:.2f} | {w['ratio']:.2f} | "
                f"{w['peak_mib']:.1f}" if w and w.get("peak_mib") is not None else "– | – | –")
        lines.append(f"| {r['size_label']} | {r['quorvane_s']:.2f} | {r['s_per_gib']:.2f} | "
                     f"{r['x_cp']:.2f} | {r['peak_mib']:.1f} | {r['cp_s']:.2f} | {wine} |")
    lines.append("")
    lines.append("Under Wine, one run after a warm-up, through the real dialog (`quorvane_win_bench.exe`); "
                 "its peak is the whole process's (the dialog included), as the host measured it.")
    lines.append("")
    return "\n".join(lines)


def add_wine(report, results_json, markdown_path, utf16_corpus=None):
    if not results_json:
        raise SystemExit("bench: --add-wine needs --json")
    with open(results_json) as f:
        results = json.load(f)
    with open(report) as f:
        text = f.read()
    match = WINE_RESULT.search(text)
    if not match:
        raise SystemExit(f"bench: no RESULT line in {report}")
    strip, copy = float(match.group(1)), float(match.group(2))
    key = "wine_utf16le" if utf16_corpus else "wine"
    results[key] = {"strip_s": strip, "copy_s": copy, "ratio": strip / copy,
                    "runs": int(match.group(4)),
                    "peak_mib": float(match.group(5)) if match.group(5) else None,
                    "report": text.strip()}
    if utf16_corpus:
        results[key]["size_bytes"] = os.path.getsize(utf16_corpus)
    with open(results_json, "w") as f:
        json.dump(results, f, indent=1, ensure_ascii=False)
    markdown = render_markdown(results)
    with open(markdown_path, "w") as f:
        f.write(markdown)
    print(render_wine(results, key))


def render_wine(results, key="wine"):
    w = results[key]
    size = w.get("size_bytes", results["size_bytes"])
    corpus = ("UTF-16 LE corpus, " + f"{size / MIB:.0f} MiB" if key == "wine_utf16le"
              else f"{results['size_label']}, CR LF corpus")
    return "\n".join([
        f"## Under Wine: the real dialog against CopyFileW ({corpus}, "
        '"ERROR")',
        "",
        "`quorvane_win_bench.exe` makes the main dialog from its template (hidden), fills the form "
        "with WM_SETTEXT and BM_SETCHECK, and sends WM_COMMAND `IDC_STRIP` to `MainDialogProc`; "
        "the strip run goes through the Win32 platform layer. Median of "
        f"{w['runs']} runs after a warm-up (QueryPerformanceCounter), fresh exports each run. "
        "The exports are checked byte-identical to the native run's.",
        "",
        "| run | wall median (s) | × CopyFileW | GB/s |",
        "|---|---:|---:|---:|",
        f"| strip run through `MainDialogProc` | {w['strip_s']:.3f} | {w['ratio']:.2f} | "
        f"{size / w['strip_s'] / 1e9:.2f} |",
        f"| `CopyFileW` | {w['copy_s']:.3f} | 1.00 | {size / w['copy_s'] / 1e9:.2f} |",
        "",
        (f"Peak resident memory of the whole process (dialog and runs): {w['peak_mib']:.1f} MiB."
         if w.get("peak_mib") is not None else ""),
        "",
    ])


def render_markdown(results):
    m = results["machine"]
    v = results["versions"]
    lines = [
        "# Benchmark: a split at the speed of a copy?",
        "",
        f"`{'' if results['runs'] == 5 else 'QUORVANE_BENCH_RUNS=%d ' % results['runs']}bench/run "
        f"{results['size_label'].replace(' MiB', 'M').replace(' GiB', 'G')}` on "
        f"{results['date']}: a {results['size_label']} log-like corpus, warm in the page cache; "
        f"median wall time of {results['runs']} runs after a warm-up, and the highest peak "
        "resident memory of those runs. All outputs go to the same file system as the corpus.",
        "",
        f"Machine: {m['cpu']}, {m['cores']} cores, {m['memory']} RAM, Linux {m['kernel']}. "
        f"Load average (1 min) {m['load_start']:.2f} at the start, {m.get('load_end', 0):.2f} at "
        "the end: other work on the machine shares its cores, so single runs vary; the tools run "
        "in turn, round by round, so that such noise falls on all of them alike. "
        f"Peers: {v['cp']}; {v['grep']}; {v['rg']}; {v['gawk']}.",
        "",
        ("The machine is a virtual machine that hands freed memory back to its host (free page "
         "reporting): touching memory the host took back can cost a trip to the host, which likely "
         "accounts for much of the system time and of the spread between runs, most for the tools "
         "that fill new memory (the strip run reads the source through one window of 1 MiB, "
         "filled again and again)."
         if m.get("free_page_reporting") else ""),
        "",
        "- **quorvane (RunStrip)**: the benchmark harness running the real strip run on the "
        "POSIX platform layer, both exports on, rewrite mode, into new export files; the source "
        "is read through a 1 MiB window, the exports written through 256 KiB buffers.",
        "- **quorvane, exports exist (fsync)**: the same, with both export files already there: "
        "each export is written beside its file and flushed to disk before it replaces it.",
        "- **cp (floor)**: a copy of the corpus, the least a tool that writes every byte can do.",
        "- **grep -F + grep -vF**, **rg -F + rg -vF**: two passes, matching lines then the others, "
        "timed as one (`LC_ALL=C`; `-i` for the ignore-case case).",
        "- **gawk one-pass split**: `index($0,n){print > a; next}{print > b}` (`LC_ALL=C`; "
        "`tolower($0)` for the ignore-case case).",
        "",
        "Ratios are wall-time medians divided by those of cp, of the grep pair and of the rg pair "
        "(below 1 is faster).",
        "",
    ]
    for case in results["cases"]:
        lines.append(f"## {case['title']}")
        lines.append("")
        lines.append("| tool | wall median (s) | × cp | × grep pair | × rg pair | peak MiB |")
        lines.append("|---|---:|---:|---:|---:|---:|")
        for row in case["rows"]:
            x_grep = "–" if row.get("x_grep") is None else f"{row['x_grep']:.2f}"
            x_rg = "–" if row.get("x_rg") is None else f"{row['x_rg']:.2f}"
            lines.append(f"| {row['tool']} | {row['median_s']:.3f} | {row['x_cp']:.2f} | "
                         f"{x_grep} | {x_rg} | {row['peak_mib']:.1f} |")
        by_tool = {row["tool"]: row for row in case["rows"]}
        ours, cp = by_tool["quorvane (RunStrip)"], by_tool["cp (floor)"]
        lines.append("")
        lines.append(f"Throughput: quorvane {ours['gb_s']:.2f} GB/s, cp {cp['gb_s']:.2f} GB/s "
                     f"(corpus bytes per second of wall time, 1 GB = 10^9 bytes). CPU time "
                     f"(medians): quorvane {ours['user_s']:.2f} s user + {ours['sys_s']:.2f} s "
                     f"system, cp {cp['user_s']:.2f} + {cp['sys_s']:.2f}. Fastest run: quorvane "
                     f"{min(ours['runs_s']):.3f} s, cp {min(cp['runs_s']):.3f} s. "
                     f"Check: {case['verdict']}.")
        lines.append("")
    if "wine" in results:
        lines.append(render_wine(results))
    if "wine_utf16le" in results:
        lines.append(render_wine(results, "wine_utf16le"))
    lines.append("![Wall time and peak memory per case](bench.svg)")
    lines.append("")
    return "\n".join(lines)


if __name__ == "__main__":
    main()
