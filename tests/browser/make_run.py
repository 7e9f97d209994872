#!/usr/bin/python3
"""Makes a real run for the browser test and the index measurement: sources
in a tree with awkward names (generated WAV files; one cut short, one that
is no audio under an audio name, one text file), then `tolvek --index
--report` over them and an update run over the same tree, as a user would
run it twice.

  make_run.py <tolvek> <folder> <files>

writes <folder>/music/... (sources and pictures), <folder>/report/index.html,
<folder>/report/index_files/ and <folder>/report/report.csv.
"""
import math
import os
import random
import struct
import subprocess
import sys

# Names that break naive HTML or URLs; the first few files get them. A '/'
# in a name is a folder, so the first one is "<script>alert(1)<" holding
# "script>.wav".
AWKWARD = [b"<script>alert(1)</script>.wav", b"quote\"and'apos.wav", b"hash#1.wav", b"what?.wav",
           b"100%.wav", b"with space.wav", "na\u00efve.wav".encode(), b"bad\xff.wav"]
RATE = 8000


def wav(frames, samples, claimed_frames=None):
    """16-bit mono PCM; the data chunk may claim more frames than it holds."""
    data = struct.pack("<%dh" % len(samples), *samples)
    claimed = 2 * (claimed_frames if claimed_frames is not None else frames)
    return (b"RIFF" + struct.pack("<I", 36 + claimed) + b"WAVEfmt " +
            struct.pack("<IHHIIHH", 16, 1, 1, RATE, RATE * 2, 2, 16) + b"data" + struct.pack("<I", claimed) + data)


def sound(i, frames):
    """Every fourth file silent (no cutoff), the others noise under a band
    that narrows with i, so the cutoffs differ."""
    if i % 4 == 3:
        return [0] * frames
    rng = random.Random(i)
    width = 1 + i % 5  # a moving average: content ends lower as it widens
    noise = [rng.uniform(-1, 1) for _ in range(frames + width)]
    return [int(8000 * sum(noise[k:k + width]) / width * math.sqrt(width)) for k in range(frames)]


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_sources(music, files):
    frames = RATE // 2
    for i in range(files):
        name = AWKWARD[i] if i < len(AWKWARD) else b"track %d.wav" % i
        folder = b"sub dir/" if i % 3 == 1 else b""
        write(os.path.join(music, folder + name), wav(frames, sound(i, frames)))
    # One cut short (its header claims twice what it holds), one that is no
    # audio under an audio name, one that is no audio at all.
    write(os.path.join(music, b"cut short.wav"), wav(frames, sound(1, frames), claimed_frames=2 * frames))
    write(os.path.join(music, b"broken.mp3"), random.Random(7).randbytes(4096))
    write(os.path.join(music, b"notes.txt"), b"not audio\n")


def run(tolvek, folder, update):
    report = os.path.join(folder, "report")
    os.makedirs(report, exist_ok=True)
    args = [tolvek, "-q", "-j", "2", "--index", os.path.join(report, "index.html"),
            "--report", os.path.join(report, "report.csv")]
    # A damaged and an unreadable file make the run's status 3.
    status = subprocess.run(args + (["-u"] if update else []) + [os.path.join(folder, "music")],
                            stdin=subprocess.DEVNULL).returncode
    if status != 3:
        sys.exit("make_run: the run ended with status %d, not 3" % status)


def main():
    tolvek, folder, files = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), int(sys.argv[3])
    make_sources(os.fsencode(os.path.join(folder, "music")), files)
    run(tolvek, folder, update=False)
    run(tolvek, folder, update=True)


if __name__ == "__main__":
    main()
