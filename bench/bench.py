#!/usr/bin/env python3
"""Measures what a migration costs: a typical run against the floor of a
durable rewrite of the same user.reg and against the Windows program under
Wine, growth with the number of recent files, and the processor time of the
key wait.

Prints a table and writes it as CSV. Run through bench/run.sh, which builds
the release configuration first."""

import argparse
import csv
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
WINE = os.path.join(BUILD, "wine")  # runs a Windows program with the loader chosen for this host
DEBIAN_PROGRAM = os.path.join(ROOT, "build-debian", "tavikmigrate")  # the DEB's, linked dynamically


def wine_under_test():
    """The note on which Windows build runs under Wine, and that build's path,
    as the configure step chose them for this host."""
    with open(os.path.join(BUILD, "wine-under-test.txt")) as chosen:
        note, program = chosen.read().splitlines()[:2]
    return note, program


def make_prefix(path):
    env = wine_env(path)
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    subprocess.run([WINE, "wineboot", "-i"], env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, check=True)
    os.makedirs(os.path.join(path, "drive_c", "work"), exist_ok=True)


def wine_env(prefix):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all")
    return env


def stop_wineserver(prefix):
    env = wine_env(prefix)
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def typical_profile():
    """Every catalogue key set, 8 recent files, all six Symb strings."""
    with open(os.path.join(ROOT, "examples", "Tavik.ini"), newline="") as example:
        text = example.read()
    text = text[: text.index("[MRU]")]
    text += "[MRU]\r\nFileCount=8\r\n" + "".join(f"File{n}=C:\\Tavik\\Saves\\game{n}.sav\r\n" for n in range(1, 9))
    text += "[Disassembler]\r\n" + "".join(f"Symb{c}=C:\\Tavik\\Symbols\\{c}.sym\r\n" for c in "6AEGSX")
    return text


def run_once(argv, env, cwd, timeout=None):
    """Wall seconds, CPU seconds and peak resident kB of one run, as the small
    measuring program reports them; None when it took longer than timeout."""
    measure = os.path.join(BUILD, "bench", "measure")
    result = subprocess.run([measure, str(timeout or 0)] + argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                            capture_output=True, text=True)
    if result.stdout.startswith("timeout"):
        return None
    wall, cpu, rss, status = result.stdout.split()
    if int(status) != 0:
        raise RuntimeError(f"{argv} ended with status {status}")
    return float(wall), float(cpu), int(rss)


def profile_path(prefix):
    return os.path.join(prefix, "drive_c", "windows", "Tavik.ini")


def set_profile(prefix, text):
    with open(profile_path(prefix), "w", newline="") as out:
        out.write(text)


def set_recent_files_profile(prefix, count):
    """A profile of count recent files and nothing else, written by a small
    program of ours: Python takes minutes for ten million lines."""
    subprocess.run([os.path.join(BUILD, "bench", "recent_files"), str(count), profile_path(prefix)], check=True)


def measure(programs, prefix, runs, under_wine, timeout=None):
    """Runs the programs in turn, runs times each (A B A B ...), so that a
    drift of the machine falls on all of them alike. Before each run user.reg
    is the prefix's own again and, under Wine, no wineserver runs (every run
    starts cold). Returns each program's list of samples; None when a run
    took longer than timeout."""
    pristine = os.path.join(prefix, "user.reg.pristine")
    samples = [[] for _ in programs]
    try:
        for _ in range(runs):
            for argv, own in zip(programs, samples):
                if under_wine:
                    stop_wineserver(prefix)
                shutil.copyfile(pristine, os.path.join(prefix, "user.reg"))
                sample = run_once(argv, wine_env(prefix), os.path.join(prefix, "drive_c", "work"), timeout)
                if sample is None:
                    return None
                own.append(sample)
    finally:
        if under_wine:
            stop_wineserver(prefix)
    return samples


def medians(samples):
    """Median wall seconds, CPU seconds and peak kB of samples; None for None."""
    return samples and tuple(statistics.median(s[i] for s in samples) for i in range(3))


def process_cpu_ticks(pids):
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
        except OSError:
            pass
    return total


def prefix_processes(prefix):
    """Processes started for this prefix: the program, and Wine's own."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as environ:
                if f"WINEPREFIX={prefix}".encode() in environ.read().split(b"\0"):
                    found.append(int(pid))
        except OSError:
            pass
    return found


def key_wait_cpu(argv, prefix, seconds=5.0):
    """Per cent of one core used while the tool waits for a key in a terminal."""
    profile = profile_path(prefix)
    if os.path.exists(profile):
        os.remove(profile)
    shutil.copyfile(os.path.join(prefix, "user.reg.pristine"), os.path.join(prefix, "user.reg"))
    socket = f"tavik-bench-{os.getpid()}"
    env = wine_env(prefix)
    command = " ".join(f"'{arg}'" for arg in argv)
    subprocess.run(["tmux", "-L", socket, "new-session", "-d", "-x", "100", "-y", "20",
                    f"WINEPREFIX={prefix} WINEDEBUG=-all {command}; sleep 60"], env=env, check=True)
    try:
        deadline = time.time() + 60
        while "not found!" not in subprocess.run(["tmux", "-L", socket, "capture-pane", "-p"],
                                                 capture_output=True, text=True).stdout:
            if time.time() > deadline:
                raise RuntimeError("the tool did not show its message")
            time.sleep(0.2)
        time.sleep(1)
        pids = prefix_processes(prefix)
        own = [pid for pid in pids if "tavikmigrate" in open(f"/proc/{pid}/cmdline", "rb").read().decode(errors="replace")]
        before = process_cpu_ticks(pids), process_cpu_ticks(own)
        time.sleep(seconds)
        ticks = os.sysconf("SC_CLK_TCK")
        total = (process_cpu_ticks(pids) - before[0]) / ticks
        program = (process_cpu_ticks(own) - before[1]) / ticks
        return 100.0 * program / seconds, 100.0 * total / seconds, len(pids)
    finally:
        subprocess.run(["tmux", "-L", socket, "kill-server"], stderr=subprocess.DEVNULL)
        stop_wineserver(prefix)


def spread(values, unit):
    return f"{min(values):.2f}\u2013{max(values):.2f} {unit}"


def parse_arguments():
    """The options of bench/run.sh, which passes its arguments on; a wrong
    one ends the process with one line on standard error and status 2."""
    parser = argparse.ArgumentParser(prog="bench/run.sh", description=__doc__)

    def refuse(message):
        print(f"bench/run.sh: {message}; see 'bench/run.sh --help'", file=sys.stderr)
        sys.exit(2)

    parser.error = refuse
    parser.add_argument("--build", default=os.path.join(ROOT, "build"),
                        help="the build tree to measure (default: build)")
    parser.add_argument("--runs", type=int, default=15,
                        help="repetitions per row (default 15; 3 to 5 from 10^5 on; 4 N typical pairs)")
    parser.add_argument("--csv", default=None, help="where to write the CSV (default: build/bench/results.csv)")
    parser.add_argument("--ten-million", action="store_true",
                        help="add one native run with 10^7 recent files (a profile of about 490 MB)")
    parser.add_argument("--native-only", action="store_true",
                        help="skip the Windows program under Wine and the key wait: the native figures in about a minute")
    return parser.parse_args()


def main():
    options = parse_arguments()
    global BUILD, WINE
    BUILD = options.build
    WINE = os.path.join(BUILD, "wine")
    native = os.path.join(options.build, "tavikmigrate")
    wine_note, windows = wine_under_test()
    if options.native_only:
        wine_note = "native program only"
    print(wine_note, flush=True)
    floor = os.path.join(options.build, "bench", "durable_rewrite")
    rows = []
    summary = []

    def add(case, program, result, note=""):
        wall, cpu, rss = result if result else (None, None, None)
        rows.append(dict(case=case, program=program,
                         wall_ms="" if wall is None else f"{wall * 1000:.1f}",
                         cpu_ms="" if cpu is None else f"{cpu * 1000:.1f}",
                         peak_mb="" if rss is None else f"{rss / 1024:.1f}", note=note))

    with tempfile.TemporaryDirectory(prefix="tavik-bench-") as scratch:
        prefix = os.path.join(scratch, "wine")
        print("creating a Wine prefix ...", flush=True)
        make_prefix(prefix)
        shutil.copyfile(os.path.join(prefix, "user.reg"), os.path.join(prefix, "user.reg.pristine"))

        set_profile(prefix, typical_profile())
        # Four times the pairs: a run takes milliseconds, and on a machine
        # whose timings drift a median of fifteen moves by a tenth.
        native_samples, floor_samples, debian_samples = measure([[native], [floor], [DEBIAN_PROGRAM]], prefix,
                                                                4 * options.runs, False)
        native_result, floor_result = medians(native_samples), medians(floor_samples)
        debian_result = medians(debian_samples)
        wine_result = None
        if not options.native_only:
            wine_result = medians(measure([[WINE, windows]], prefix, max(3, options.runs // 3), True)[0])
        wall_ratio = native_result[0] / floor_result[0]
        paired = spread([n[0] / f[0] for n, f in zip(native_samples, floor_samples)], "x")
        add("typical profile", "durable-rewrite floor", floor_result,
            "read user.reg, write it beside, fsync, rename, fsync the directory; runs alternate with both native")
        add("typical profile", "native", native_result,
            f"{wall_ratio:.2f} x the floor (target \u2264 1.5 x; run to run {paired}), "
            f"CPU {native_result[1] / floor_result[1]:.2f} x" +
            (f"; {wine_result[0] / native_result[0]:.0f} x faster than Wine" if wine_result else ""))
        add("typical profile", "native linked dynamically (DEB)", debian_result,
            f"{debian_result[0] / floor_result[0]:.2f} x the floor, {debian_result[0] / native_result[0]:.2f} x "
            f"the static program; CPU {debian_result[1] / native_result[1]:.2f} x; runs alternate with both")
        if wine_result:
            add("typical profile", "Windows program under Wine", wine_result, "cold start: no wineserver running")
        summary.append(f"typical run / durable-rewrite floor: {wall_ratio:.2f} x (target 1.5); run to run {paired}")

        previous = {}
        steps = []
        wine_gave_up = False
        for exponent in (3, 4, 5, 6):
            count = 10 ** exponent
            case = f"10^{exponent} recent files"
            set_recent_files_profile(prefix, count)
            for program, argv, under_wine in (("native", [native], False), ("Windows program under Wine", [WINE, windows], True)):
                if under_wine and options.native_only:
                    continue
                if under_wine and wine_gave_up:
                    add(case, program, None, "not run: the smaller count took over a minute")
                    continue
                runs = 3 if under_wine else options.runs if count <= 10000 else max(3, min(options.runs, 5))
                samples = measure([argv], prefix, runs, under_wine, timeout=60 if under_wine else None)
                if samples is None:
                    wine_gave_up = True
                    add(case, program, None, "over a minute")
                    continue
                result = medians(samples[0])
                notes = []
                if program in previous:
                    step = result[0] / previous[program]
                    notes.append(f"{step:.1f} x the time of a tenth as many")
                    if program == "native" and count >= 100000:
                        notes[-1] += " (target \u2264 11 x)"
                        steps.append(step)
                if program == "native" and count == 1000000:
                    walls = spread([s[0] for s in samples[0]], "s")
                    notes.append(f"targets \u2264 1 s, \u2264 150 MB; run to run {walls}")
                    summary.append(f"10^6 recent files: {result[0]:.2f} s, {result[2] / 1024:.0f} MB "
                                   f"(targets 1 s, 150 MB); run to run {walls}")
                previous[program] = result[0]
                add(case, program, result, "; ".join(notes))
        if options.ten_million:
            print("writing a profile of 10^7 recent files ...", flush=True)
            set_recent_files_profile(prefix, 10 ** 7)
            try:
                result = medians(measure([[native]], prefix, 1, False)[0])
                add("10^7 recent files", "native", result,
                    f"{result[0] / previous['native']:.1f} x the time of a tenth as many; one run")
            except RuntimeError as error:
                add("10^7 recent files", "native", None, str(error))
        summary.append("tenfold steps: " + ", ".join(f"{step:.1f} x" for step in steps) + " (target 11)")

        for program, argv in () if options.native_only else (("native", [native]), ("Windows program under Wine", [WINE, windows])):
            own, total, processes = key_wait_cpu(argv, prefix)
            rows.append(dict(case="key wait, 5 s in a terminal", program=program, wall_ms="", cpu_ms="",
                             peak_mb="", note=f"{own:.2f} % of one core; with Wine's own processes "
                                              f"{total:.2f} % ({processes} processes)"))

    headers = ["case", "program", "wall_ms", "cpu_ms", "peak_mb", "note"]
    widths = {h: max(len(h), *(len(str(r[h])) for r in rows)) for h in headers}
    print("  ".join(h.ljust(widths[h]) for h in headers))
    for row in rows:
        print("  ".join(str(row[h]).ljust(widths[h]) for h in headers))
    target = options.csv or os.path.join(options.build, "bench", "results.csv")
    with open(target, "w", newline="") as out:
        writer = csv.DictWriter(out, fieldnames=headers)
        writer.writeheader()
        writer.writerows(rows)
    print(f"(medians; CSV in {target}; {wine_note})")
    print("\n".join(summary))


if __name__ == "__main__":
    main()
