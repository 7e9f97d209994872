#!/usr/bin/env python3
"""Times tolvek against the peers that draw spectrograms, side by side.

Peers: sox's spectrogram effect, ffmpeg's showspectrumpic filter and
sndfile-spectrogram (sndfile-tools). Each draws one 1000 x 1024 (or 1025)
picture per file, as tolvek does for files of 150 s and more:

  sox FILE -n remix - spectrogram -x 1000 -y 1025 -r -o OUT.png
  ffmpeg -i FILE -lavfi showspectrumpic=s=1000x1024:legend=0 OUT.png
  sndfile-spectrogram --no-border FILE 1000 1024 OUT.png

and, when the environment variable SNDSPEC names its binary, sndspec:

  sndspec -o OUTDIR FILE        (OUTDIR must exist)

sox mixes to mono first (as tolvek does; otherwise it draws one picture per
channel) and the peers draw no axes or legends, so each does no more work
than tolvek.

Cases, each row naming the mode it measures: one file per process for the
180 s and 600 s files of every format (tolvek's defaults: sampled coverage
and jobs=0, one worker per usable core, which share one file's columns;
and tolvek with jobs=1);
tolvek with --coverage full on the 180 s and 600 s MP3 and FLAC against
sox and ffmpeg, which analyse every sample too (the ratio is to the faster
of the two); the 60-minute MP3 with --jobs 2 against --jobs 1; and batches
of 20 180 s MP3s and of 20 180 s FLACs per run (tolvek and sndspec given
their directory, tolvek once with its defaults and once with jobs=1; the other
peers in a shell loop). Runs are
interleaved: each round runs every case with every tool once, the tools in
a rotating order; the first round is a warm-up and is not counted. Times
are wall-clock medians. Each tool writes into its own temporary directory
(tolvek through a Tolvek_Pre.ini with local=1 in its working directory).

The Markdown table goes to stdout, progress to stderr. A tool that cannot
read a format, or is missing, gets n/a.
"""

import argparse
import os
import platform
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FORMATS = ["cbr192.mp3", "vbr2.mp3", "q5.ogg", "flac", "wav"]
FORMAT_NAMES = {
    "cbr192.mp3": "MP3 CBR 192k",
    "vbr2.mp3": "MP3 VBR q2",
    "q5.ogg": "Ogg Vorbis q5",
    "flac": "FLAC",
    "wav": "WAV",
}
PEERS = ["sox", "ffmpeg", "sndfile", "sndspec"]
# The peers that analyse every sample: what --coverage full is measured against.
FULL_PEERS = ["sox", "ffmpeg"]
PEER_TITLES = {"sox": "sox", "ffmpeg": "ffmpeg", "sndfile": "sndfile-spectrogram", "sndspec": "sndspec"}


def peer_command(tool, source, picture):
    if tool == "sox":
        return ["sox", source, "-n", "remix", "-", "spectrogram", "-x", "1000", "-y", "1025", "-r", "-o", picture]
    if tool == "ffmpeg":
        return ["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", source,
                "-lavfi", "showspectrumpic=s=1000x1024:legend=0", picture]
    if tool == "sndfile":
        return ["sndfile-spectrogram", "--no-border", source, "1000", "1024", picture]
    if tool == "sndspec":
        # It names its picture itself, in the folder given.
        return [os.environ["SNDSPEC"], "-o", str(Path(picture).parent), source]
    raise ValueError(tool)


PEER_PROGRAMS = {"sox": "sox", "ffmpeg": "ffmpeg", "sndfile": "sndfile-spectrogram",
                 "sndspec": os.environ.get("SNDSPEC", "")}


class Runner:
    """One tool's way of converting a case, with its own output directory."""

    def __init__(self, name, workdir):
        self.name = name
        self.workdir = workdir
        workdir.mkdir(parents=True, exist_ok=True)

    def run(self, command):
        started = time.perf_counter()
        done = subprocess.run(command, cwd=self.workdir, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        elapsed = time.perf_counter() - started
        return elapsed, done.returncode, done.stderr.decode(errors="replace").strip()


def tolvek_runner(name, scratch, program, jobs, options=()):
    workdir = scratch / name
    workdir.mkdir(parents=True)
    settings = "[general]\nlocal=1\n" + (f"jobs={jobs}\n" if jobs is not None else "")
    (workdir / "Tolvek_Pre.ini").write_text(settings)
    runner = Runner(name, workdir)
    runner.command = lambda source: [str(program), *options, str(source)]
    runner.pictures = lambda sources: [workdir / (Path(s).name + ".png") for s in sources]
    return runner


def peer_runner(tool, scratch):
    workdir = scratch / tool
    runner = Runner(tool, workdir)

    def command(source):
        source = Path(source)
        if source.is_dir() and tool == "sndspec":
            return [os.environ["SNDSPEC"], "-o", str(workdir), str(source)]  # it walks folders itself
        if source.is_dir():
            # The other peers take one file at a time: a shell loop over the batch.
            words = {"$f": '"$f"', "$o": '"$o"'}
            one = " ".join(words.get(a) or shlex.quote(a) for a in peer_command(tool, "$f", "$o"))
            loop = f'for f in "$1"/*; do o="$2/${{f##*/}}.png"; {one} || exit 1; done'
            return ["bash", "-c", loop, "loop", str(source), str(workdir)]
        return peer_command(tool, str(source), str(workdir / (source.name + ".png")))

    runner.command = command
    if tool == "sndspec":
        # It names a picture after its source without the ending (a folder
        # of files it cannot read gives none).
        runner.pictures = lambda sources: [workdir / (Path(s).stem + ".png") for s in sources]
    else:
        runner.pictures = lambda sources: [workdir / (Path(s).name + ".png") for s in sources]
    return runner


class Case:
    def __init__(self, label, source, tools, files, mode="sampled (default)", base="tolvek", peers=None):
        self.label = label
        self.mode = mode  # what the row measures
        self.base = base  # the tool the ratios are taken to
        self.peers = peers if peers is not None else PEERS  # the tools the ratio column takes the fastest of
        self.source = source  # a file, or a directory for a batch
        self.tools = tools  # runner names that take part
        self.files = files  # the audio files it converts
        self.times = {t: [] for t in tools}
        self.na = {}  # tool -> reason


def first_line(command):
    try:
        out = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             stdin=subprocess.DEVNULL, timeout=30).stdout.decode(errors="replace")
        return " ".join(out.strip().splitlines()[0].split()) if out.strip() else "?"
    except (OSError, subprocess.SubprocessError):
        return "missing"


def package_version(package):
    try:
        out = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL).stdout.decode().strip()
        return out or "?"
    except OSError:
        return "?"


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "?"


def fmt_ms(seconds):
    return f"{seconds * 1000:.0f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tolvek", default=str(ROOT / "build" / "tolvek"), help="the program (default build/tolvek)")
    parser.add_argument("--corpus", default=os.environ.get("CORPUS_DIR", str(ROOT / "build-bench" / "corpus")),
                        help="the corpus of bench/make-corpus.sh (default build-bench/corpus)")
    parser.add_argument("--runs", type=int, default=5, help="counted rounds after the warm-up (default 5, at least 5)")
    parser.add_argument("--lengths", default="180,600", help="lengths in seconds (default 180,600)")
    parser.add_argument("--formats", default=",".join(FORMATS), help="formats (default all: %(default)s)")
    parser.add_argument("--no-batch", action="store_true", help="leave out the batch of 20 files")
    parser.add_argument("--full-lengths", default="180,600",
                        help="lengths of the --coverage full rows (default 180,600; empty: none)")
    parser.add_argument("--full-formats", default="cbr192.mp3,flac", help="formats of the --coverage full rows")
    parser.add_argument("--no-hour", action="store_true", help="leave out the 60-minute --jobs row")
    parser.add_argument("--jobs", type=int, default=1, help="the jobs value of tolvek's second row (default 1)")
    parser.add_argument("--keep", action="store_true", help="keep the output directories")
    args = parser.parse_args()

    if args.runs < 5:
        parser.error("--runs must be at least 5")
    program = Path(args.tolvek).resolve()
    if not os.access(program, os.X_OK):
        sys.exit(f"compare: {program} is not an executable; build it first (make build)")
    corpus = Path(args.corpus).resolve()
    if not corpus.is_dir():
        sys.exit(f"compare: no corpus at {corpus}; make it with bench/make-corpus.sh")

    scratch = Path(tempfile.mkdtemp(prefix="tolvek-compare-"))
    try:
        return measure(args, program, corpus, scratch)
    finally:
        if args.keep:
            print(f"compare: outputs kept in {scratch}", file=sys.stderr)
        else:
            shutil.rmtree(scratch, ignore_errors=True)


def measure(args, program, corpus, scratch):
    runners = {"tolvek": tolvek_runner("tolvek", scratch, program, None)}
    runners[f"tolvek jobs={args.jobs}"] = tolvek_runner(f"tolvek-jobs{args.jobs}", scratch, program, args.jobs)
    runners["tolvek full"] = tolvek_runner("tolvek-full", scratch, program, None, ["--coverage", "full"])
    if "tolvek jobs=1" not in runners:
        runners["tolvek jobs=1"] = tolvek_runner("tolvek-jobs1", scratch, program, None, ["--jobs", "1"])
    runners["tolvek jobs=2"] = tolvek_runner("tolvek-jobs2x", scratch, program, None, ["--jobs", "2"])
    missing_peers = {}
    for tool in PEERS:
        if tool == "sndspec" and not PEER_PROGRAMS[tool]:
            missing_peers[tool] = "SNDSPEC is not set"
        elif PEER_PROGRAMS[tool] and shutil.which(PEER_PROGRAMS[tool]):
            runners[tool] = peer_runner(tool, scratch)
        else:
            missing_peers[tool] = f"{PEER_PROGRAMS[tool]} is not installed"

    cases = []
    peers_here = [t for t in PEERS if t in runners]
    for seconds in [int(s) for s in args.lengths.split(",") if s]:
        for fmt in [f for f in args.formats.split(",") if f]:
            source = corpus / f"music-{seconds:03d}s.{fmt}"
            if not source.is_file():
                print(f"compare: {source} is missing; leaving it out (bench/make-corpus.sh makes it)", file=sys.stderr)
                continue
            cases.append(Case(f"{seconds} s {FORMAT_NAMES.get(fmt, fmt)}", source,
                              ["tolvek", f"tolvek jobs={args.jobs}"] + peers_here, [source]))
    for seconds in [int(s) for s in args.full_lengths.split(",") if s]:
        for fmt in [f for f in args.full_formats.split(",") if f]:
            source = corpus / f"music-{seconds:03d}s.{fmt}"
            if source.is_file():
                full_peers = [t for t in FULL_PEERS if t in runners]
                cases.append(Case(f"{seconds} s {FORMAT_NAMES.get(fmt, fmt)}", source, ["tolvek full"] + full_peers,
                                  [source], mode="--coverage full", base="tolvek full", peers=FULL_PEERS))
    hour = corpus / "music-3600s.cbr192.mp3"
    if not args.no_hour:
        if hour.is_file():
            cases.append(Case("60 min MP3 CBR 192k", hour, ["tolvek jobs=1", "tolvek jobs=2"], [hour],
                              mode="--jobs 2 against --jobs 1", base="tolvek jobs=1", peers=["tolvek jobs=2"]))
        else:
            print(f"compare: {hour} is missing; leaving the 60-minute row out", file=sys.stderr)
    for folder, ext, name in [("batch20", "mp3", "MP3"), ("batch20flac", "flac", "FLAC")]:
        batch_dir = corpus / folder
        if args.no_batch:
            break
        batch = sorted(batch_dir.glob(f"*.{ext}")) if batch_dir.is_dir() else []
        if len(batch) == 20:
            cases.append(Case(f"batch of 20 × 180 s {name}", batch_dir,
                              ["tolvek", f"tolvek jobs={args.jobs}"] + peers_here, batch))
        else:
            print(f"compare: {batch_dir} does not hold 20 {name}s; leaving that batch out", file=sys.stderr)
    if not cases:
        sys.exit("compare: nothing to measure")
    for case in cases:
        for tool, why in missing_peers.items():
            if tool in case.peers or case.peers is PEERS:
                case.na[tool] = why

    startup = []
    load_before = os.getloadavg()[0]
    if load_before > 0.5:
        print(f"compare: load average {load_before:.2f} before starting: other work will slow every tool "
              "and blur the ratios", file=sys.stderr)
    rounds = args.runs + 1
    for r in range(rounds):
        counted = r > 0
        print(f"compare: round {r + 1}/{rounds}{'' if counted else ' (warm-up)'}", file=sys.stderr)
        startup_time, _, _ = runners["tolvek"].run([str(program), "--version"])
        if counted:
            startup.append(startup_time)
        for case in cases:
            tools = [t for t in case.tools if t not in case.na]
            shift = r % len(tools) if tools else 0
            for tool in tools[shift:] + tools[:shift]:
                runner = runners[tool]
                elapsed, status, errors = runner.run(runner.command(case.source))
                if status != 0:
                    case.na[tool] = f"exit status {status}: {errors.splitlines()[-1] if errors else 'no message'}"
                    continue
                if counted:
                    case.times[tool].append(elapsed)
                    continue
                absent = [p for p in runner.pictures(case.files) if not p.is_file()]
                if absent:
                    case.na[tool] = f"wrote no {absent[0].name}"

    print_report(args, program, cases, startup, (load_before, os.getloadavg()[0]))
    return 0


def print_report(args, program, cases, startup, load):
    jobs_tool = f"tolvek jobs={args.jobs}"
    print(f"Date: {time.strftime('%Y-%m-%d %H:%M %Z')}; machine: {os.cpu_count()} CPUs "
          f"(nproc {len(os.sched_getaffinity(0))}), {cpu_model()}")
    print(f"Programs: {first_line([str(program), '--version'])} ({program}); "
          f"{first_line(['sox', '--version'])}; {' '.join(first_line(['ffmpeg', '-version']).split()[:3])}; "
          f"sndfile-tools {package_version('sndfile-tools')} with libsndfile {package_version('libsndfile1')}; "
          f"sndspec {os.environ.get('SNDSPEC') or 'not given (SNDSPEC unset)'}")
    print(f"Wall-clock medians of {args.runs} interleaved runs after a warm-up, in ms; "
          f"(×N) is the peer's time over tolvek's. Load average (1 min) {load[0]:.2f} before, "
          f"{load[1]:.2f} after.")
    print()
    titles = [PEER_TITLES[t] for t in PEERS]
    print("| case | mode | tolvek | " + " | ".join(titles) + " | fastest peer / tolvek |")
    print("| --- | --- | ---: | " + " | ".join("---:" for _ in PEERS) + " | ---: |")
    notes = []
    for case in cases:
        med = {t: statistics.median(v) for t, v in case.times.items() if v and t not in case.na}
        base = med.get(case.base)
        cells = [fmt_ms(base) if base else "n/a"]
        for tool in PEERS:
            if tool in med:
                ratio = f" (×{med[tool] / base:.2f})" if base else ""
                cells.append(fmt_ms(med[tool]) + ratio)
            else:
                cells.append("n/a" if tool in case.peers else "")
            if tool in case.na:
                notes.append(f"{case.label}, {tool}: {case.na[tool]}")
        peer_times = [med[t] for t in case.peers if t in med]
        best = f"×{min(peer_times) / base:.2f}" if peer_times and base else "n/a"
        if case.base == "tolvek jobs=1":
            # No peers here: the ratio is jobs=1's time over jobs=2's.
            jobs2 = med.get("tolvek jobs=2")
            cells = [fmt_ms(base) if base else "n/a"] + ["" for _ in PEERS]
            best = f"jobs=2: {fmt_ms(jobs2)} (×{base / jobs2:.2f} faster)" if base and jobs2 else "n/a"
            for tool in case.tools:
                if tool in case.na:
                    notes.append(f"{case.label}, {tool}: {case.na[tool]}")
        print(f"| {case.label} | {case.mode} | " + " | ".join(cells) + f" | {best} |")
        if jobs_tool in case.tools and case.base == "tolvek":
            jobs = med.get(jobs_tool)
            jcells = [fmt_ms(jobs) if jobs else "n/a"] + ["" for _ in PEERS]
            best_j = f"×{min(peer_times) / jobs:.2f}" if peer_times and jobs else "n/a"
            print(f"| {case.label} | sampled, jobs={args.jobs} | " + " | ".join(jcells) + f" | {best_j} |")
            if jobs_tool in case.na:
                notes.append(f"{case.label}, {jobs_tool}: {case.na[jobs_tool]}")
            if base and jobs:
                notes.append(f"default against jobs={args.jobs} on the {case.label}: ×{jobs / base:.2f}")
    if startup:
        notes.append(f"tolvek start-up (`tolvek --version`): {fmt_ms(statistics.median(startup))} ms")
    print()
    for note in notes:
        print(f"- {note}")


if __name__ == "__main__":
    sys.exit(main())
