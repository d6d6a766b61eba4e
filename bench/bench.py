#!/usr/bin/env python3
"""Times vorlix packages against the usual ways of shipping a tree as one file.

    bench/bench.py BUILD_DIR [--runs N] [--pack-runs N (0: no packing rows)] [--work DIR] [--out FILE]

Every row is the median of N runs after one warm-up, measured in this run:
wall time, CPU time (user + system of the whole process tree) and peak RSS
(the largest process of the tree). Ratios are to the launcher's row.
"""
import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time


USAGE_FILE = os.path.join(tempfile.gettempdir(), f"vorlix-bench-usage-{os.getpid()}")


def measure_once(command, env=None):
    """Wall time, CPU time and peak RSS (KiB) of one run. GNU time reports the
    usage: the process it forks is small, so the peak is the command's own,
    not this interpreter's."""
    start = time.perf_counter()
    result = subprocess.run(["/usr/bin/time", "-f", "%U %S %M", "-o", USAGE_FILE] + command, env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit(f"bench: {' '.join(command)} exited with {result.returncode}")
    with open(USAGE_FILE) as usage:
        user, system, rss = usage.read().split()[-3:]
    return wall, float(user) + float(system), int(rss)


def measure(commands, runs, env=None, warm_up=True, before=None):
    """Median wall and CPU over |runs| of a list of commands run one after
    another (their times summed per run), and the largest peak RSS. |before|,
    if given, runs untimed before each run (the warm-up included)."""
    return measure_in_turn([(commands, before)], runs, env, warm_up)[0]


def measure_in_turn(jobs, runs, env=None, warm_up=True):
    """measure() for several (commands, before) jobs, one run of each job per
    round, so that all of them see the same history. That matters where the
    file system's speed depends on what happened in the last minutes: ext4
    without a journal skips recently freed inodes when it makes a file, so
    making 16,000 files slows down after every tree removed before, and a row
    measured after another would pay for its place in the sequence."""
    def run_job(commands, before):
        if before:
            before()
        wall = cpu = 0.0
        rss = 0
        for command in commands:
            w, c, r = measure_once(command, env)
            wall, cpu, rss = wall + w, cpu + c, max(rss, r)
        return wall, cpu, rss

    if warm_up:
        for commands, before in jobs:
            run_job(commands, before)
    samples = [[] for _ in jobs]
    for round_number in range(runs):
        # A B, B A, A B, ...: what slows down over the rounds falls on every job alike.
        order = list(zip(jobs, samples))
        for job, sample in order if round_number % 2 == 0 else reversed(order):
            sample.append(run_job(*job))
    return [(statistics.median(s[0] for s in sample), statistics.median(s[1] for s in sample),
             max(s[2] for s in sample)) for sample in samples]


def sh(script):
    return ["sh", "-c", script]


def human_time(seconds):
    return f"{seconds * 1000:.1f} ms" if seconds < 1 else f"{seconds:.2f} s"


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return f"{model}, {os.cpu_count()} CPUs, {memory:.0f} GiB, Linux {platform.release()}"


def filesystem(path):
    out = subprocess.run(["df", "-T", path], capture_output=True, text=True).stdout.splitlines()
    return out[-1].split()[1] if len(out) > 1 else "?"


def time_packers(pack, work, level, runs, emit):
    """The packing rows: vorlix-pack against tar | zstd on the app tree."""
    print("bench: timing the packers", file=sys.stderr, flush=True)
    tree = os.path.join(work, "app")
    out = os.path.join(work, "packed")
    threads = str(os.cpu_count())
    packing = [
        ("vorlix-pack create", measure([[pack, "create", "-q", "--level", level, "-o", out, tree]],
                                       runs)),
        (f"tar -c \\| zstd -{level} -T0",
         measure([sh(f"tar -cf - -C '{tree}' . | zstd -q -{level} -T0 -f -o '{out}'")], runs)),
    ]
    emit(f"Packing app at level {level} with {threads} threads (medians of {runs} runs):")
    emit()
    emit("| | wall (median) | CPU (median) | peak RSS | speed relative to vorlix-pack |")
    emit("|---|---:|---:|---:|---:|")
    for name, (wall, cpu, rss) in packing:
        emit(f"| {name} | {human_time(wall)} | {human_time(cpu)} | {rss / 1024:.1f} MiB | "
             f"{packing[0][1][0] / wall:.2f}x |")
    emit()
    return packing


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--tiny-runs", type=int, default=30)
    parser.add_argument("--pack-runs", type=int, default=5)
    parser.add_argument("--level", type=int, default=19)
    parser.add_argument("--work", default=None)
    parser.add_argument("--out", default=None)
    args = parser.parse_args()

    build = os.path.abspath(args.build)
    pack, generate = os.path.join(build, "vorlix-pack"), os.path.join(build, "bench_generate")
    work = args.work or tempfile.mkdtemp(prefix="vorlix-bench-")
    os.makedirs(work, exist_ok=True)
    level = str(args.level)
    lines = []

    def emit(line=""):
        print(line, flush=True)
        lines.append(line)

    places = [("tmpfs", "/dev/shm"), ("disk", os.environ.get("TMPDIR", "/tmp"))]
    emit(f"Machine: {machine()}")
    emit(f"Places: " + ", ".join(f"{name} = {path} ({filesystem(path)})" for name, path in places))
    emit(f"zstd level {level}; medians of {args.runs} runs ({args.tiny_runs} for tiny) after a warm-up; "
         f"packing: medians of {args.pack_runs}.")
    emit()

    targets = []
    # app: the project's own Python-shaped tree; python: the Python standard
    # library that runs this script, a real install tree; large: fewer, larger
    # files; tiny: just the program. The disk rows (slow) only for app and tiny.
    workloads = [("app", True), ("python", False), ("large", False), ("tiny", True)]
    for workload, on_disk in workloads:
        tree = os.path.join(work, workload)
        print(f"bench: making {workload} and its packages", file=sys.stderr, flush=True)
        if workload == "python":
            shutil.rmtree(tree, ignore_errors=True)
            shutil.copytree(sysconfig.get_paths()["stdlib"], os.path.join(tree, "lib"), symlinks=True,
                            ignore=shutil.ignore_patterns("site-packages", "dist-packages"))
            subprocess.run([generate, "tiny", os.path.join(work, "python-run")], check=True)
            shutil.copy2(os.path.join(work, "python-run", "run"), os.path.join(tree, "run"))
        else:
            subprocess.run([generate, workload, tree], check=True)
        package = os.path.join(work, workload + ".vorlix")
        cached = os.path.join(work, workload + "-cached.vorlix")
        tarball, plain_tar = os.path.join(work, workload + ".tar.zst"), os.path.join(work, workload + ".tar")
        makeself = os.path.join(work, workload + ".makeself")
        subprocess.run([pack, "create", "-q", "--level", level, "-o", package, tree], check=True)
        subprocess.run([pack, "create", "-q", "--cache", "--level", level, "-o", cached, tree], check=True)
        subprocess.run(sh(f"tar -cf - -C '{tree}' . | zstd -q -{level} -T0 -f -o '{tarball}'"), check=True)
        subprocess.run(["tar", "-cf", plain_tar, "-C", tree, "."], check=True)
        subprocess.run(["makeself", "--zstd", "--complevel", level, "--nox11", "--quiet", tree, makeself,
                        "bench", "./run"], check=True, stdout=subprocess.DEVNULL)
        tree_bytes = int(subprocess.run(["du", "-sb", tree], capture_output=True, text=True).stdout.split()[0])
        files = sum(len(f) for _, _, f in os.walk(tree))
        emit(f"### {workload}: {files} files, {tree_bytes / 2**20:.1f} MiB; package "
             f"{os.path.getsize(package) / 2**20:.2f} MiB (ratio {tree_bytes / os.path.getsize(package):.2f}), "
             f"tar.zst {os.path.getsize(tarball) / 2**20:.2f} MiB, makeself {os.path.getsize(makeself) / 2**20:.2f} MiB")
        emit()
        runs = args.tiny_runs if workload == "tiny" else args.runs
        for place, base in places if on_disk else places[:1]:
            before = {name for name in os.listdir(base) if name.startswith("onefile_")}
            scratch = tempfile.mkdtemp(prefix="vorlix-bench-", dir=base)
            cache = os.path.join(scratch, "cache")
            env = dict(os.environ, TMPDIR=scratch, XDG_CACHE_HOME=cache)
            # The first run of the cached package is compared with the
            # temporary mode: the two are measured in turn.
            temporary, first_run = measure_in_turn(
                [([[package]], None), ([[cached]], lambda: shutil.rmtree(cache, ignore_errors=True))], runs, env)
            rows = [
                ("vorlix launcher", temporary),
                ("vorlix launcher, cached, first run", first_run),
                ("vorlix launcher, cached, later runs", measure([[cached]], runs, env)),
                ("zstd -dc \\| tar -x, run, rm -rf",
                 measure([sh(f"d=$(mktemp -d -p '{scratch}') && zstd -dcq '{tarball}' | tar -xf - -C \"$d\" "
                             f"&& \"$d/run\" && rm -rf \"$d\"")], runs)),
                ("makeself --zstd", measure([[makeself, "--quiet"]], runs, env)),
                ("floor: zstd -d >/dev/null + tar -x + rm -rf",
                 measure([sh(f"zstd -dcq '{tarball}' > /dev/null"),
                          sh(f"mkdir '{scratch}/f' && tar -xf '{plain_tar}' -C '{scratch}/f'"),
                          ["rm", "-rf", f"{scratch}/f"]], runs)),
            ]
            if place == "tmpfs":
                # The limits of a launcher that decodes and writes at once: the
                # longer of the two, then the removal.
                rows += [
                    ("limit: decoding alone (zstd -d >/dev/null)",
                     measure([sh(f"zstd -dcq '{tarball}' > /dev/null")], runs)),
                    ("limit: extracting the plain tar alone (tar -x)",
                     measure([sh(f"mkdir '{scratch}/f' && tar -xf '{plain_tar}' -C '{scratch}/f'")], runs,
                             before=lambda: shutil.rmtree(f"{scratch}/f", ignore_errors=True))),
                    ("limit: removing the tree alone (rm -rf)",
                     measure([["rm", "-rf", f"{scratch}/f"]], runs,
                             before=lambda: subprocess.run(sh(f"mkdir -p '{scratch}/f' && tar -xf '{plain_tar}' "
                                                              f"-C '{scratch}/f'"), check=True))),
                ]
            rows.append(("the program run directly", measure([[os.path.join(tree, "run")]], runs)))
            shutil.rmtree(scratch, ignore_errors=True)
            leftovers = [name for name in os.listdir(base) if name.startswith("onefile_") and name not in before]
            emit(f"{workload} on {place}:")
            emit()
            emit("| | wall (median) | CPU (median) | peak RSS | wall ratio to launcher |")
            emit("|---|---:|---:|---:|---:|")
            launcher_wall = rows[0][1][0]
            for name, (wall, cpu, rss) in rows:
                emit(f"| {name} | {human_time(wall)} | {human_time(cpu)} | {rss / 1024:.1f} MiB | "
                     f"{wall / launcher_wall:.2f}x |")
            emit()
            if leftovers:
                emit(f"(left behind in {base}: {leftovers})")
            targets.append((workload, place, {name: values for name, values in rows}))

    packing = []
    if args.pack_runs > 0:
        packing = time_packers(pack, work, level, args.pack_runs, emit)

    emit("Targets:")
    emit()
    ring_mib = 0.5  # the decoder thread's ring: four 128 KiB windows
    for workload, place, rows in targets:
        launcher = rows["vorlix launcher"]
        cold = rows["vorlix launcher, cached, first run"]
        warm = rows["vorlix launcher, cached, later runs"]
        direct = rows["the program run directly"]
        pipeline = rows["zstd -dc \\| tar -x, run, rm -rf"]
        makeself = rows["makeself --zstd"]
        floor = rows["floor: zstd -d >/dev/null + tar -x + rm -rf"]
        emit(f"- {workload} on {place}, cached package: later runs add {(warm[0] - direct[0]) * 1000:.2f} ms over "
             f"the program run directly (target <= 2 ms); first run / temporary mode wall: "
             f"{cold[0] / launcher[0]:.2f} (target <= 1.1)")
        if place == "tmpfs" and workload in ("app", "python"):
            emit(f"- {workload} on tmpfs, launcher / pipeline wall: {launcher[0] / pipeline[0]:.2f} (target <= 0.70); "
                 f"launcher / makeself wall: {launcher[0] / makeself[0]:.2f} (target <= 0.65)")
        if place == "tmpfs" and workload == "large":
            emit(f"- large on tmpfs, launcher / pipeline wall: {launcher[0] / pipeline[0]:.2f} (target <= 0.75)")
        if place == "tmpfs" and workload != "tiny":
            decode = rows["limit: decoding alone (zstd -d >/dev/null)"]
            extract = rows["limit: extracting the plain tar alone (tar -x)"]
            remove = rows["limit: removing the tree alone (rm -rf)"]
            limit = max(decode[0], extract[0]) + remove[0]
            emit(f"- {workload} on tmpfs, limit max(decoding, extracting) + removing = {human_time(limit)}; "
                 f"the launcher takes {launcher[0] / limit:.2f} of it")
            emit(f"- {workload} on tmpfs, launcher peak RSS {launcher[2] / 1024:.1f} MiB, zstd -d of the same "
                 f"stream {floor[2] / 1024:.1f} MiB (target: at most {2 + ring_mib:.1f} MiB more)")
        if workload == "tiny":
            emit(f"- tiny on {place}: launcher adds {(launcher[0] - direct[0]) * 1000:.2f} ms over the program "
                 f"run directly (target <= 2 ms); makeself / launcher wall: {makeself[0] / launcher[0]:.1f} "
                 f"(target >= 10)")
        if workload == "app" and place == "disk":
            emit(f"- app on disk: launcher {human_time(launcher[0])} (target: not slower than the 13.79 s "
                 f"before the decoder thread, on this machine class)")
    if packing:
        emit(f"- packing: vorlix-pack speed relative to tar | zstd: {packing[1][1][0] / packing[0][1][0]:.2f} "
             f"(target >= 0.9)")

    os.unlink(USAGE_FILE)
    if args.out:
        with open(args.out, "w") as results:
            results.write("# Benchmark results\n\nMade by `make bench` (bench/bench.py).\n\n" + "\n".join(lines) + "\n")
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
