#!/usr/bin/env python3
"""Mutation campaign: run first-frame on damaged copies of real videos.

    campaign.py PROGRAM [--count N] [--every K] [--seed S] [--jobs J] [--keep DIR]
    campaign.py PROGRAM --replay DIR [--jobs J]

Input i of the corpus is a copy of one of the fixture videos, damaged in
one way chosen by i and seed S: truncated (inside the header, inside the
first frame's data, just after it), bytes flipped or a range zeroed (in the
header or in the first frame), container boxes or chunks shuffled or
duplicated, or a length field made wrong. The corpus is the same on every
run; --every K takes inputs 0, K, 2K, ... of the first N. With --replay,
the inputs are the files of DIR instead (the fuzz corpus, or any videos).

For every input the program must end by itself within BOUND seconds, with
status 0 or 255 and never by a signal; print one of the documented line
sequences; on 255 leave no image (or an earlier one byte for byte); on 0
leave a complete BMP; and leave no temporary file. A tally is printed at
the end; failing inputs are copied to --keep for use as regression
fixtures. Exit status 1 if any input failed.
"""

import argparse
import concurrent.futures
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

import e2e

# OpenCV's FFmpeg capture gives up on opening after 30 s and on reading
# after another 30 s (its interrupt timeouts); a run that outlives both,
# plus 10 s for start-up and writing, is stuck somewhere they do not reach.
BOUND = 70

BASES = ["h264_mp4", "h264_bframes", "h264_rot90", "hevc_mkv", "vp9_webm", "av1_mkv",
         "mpeg4_avi", "mjpeg_avi", "mpeg2_ts", "ffv1_mkv"]
KINDS = ["truncate_header", "truncate_frame", "truncate_after_frame",
         "flip_header", "flip_frame", "zero_header", "zero_frame",
         "shuffle_chunks", "duplicate_chunk", "wrong_length"]

SEQUENCES = {
    "saved": lambda lines: len(lines) == 2 and is_fps(lines[0]) and lines[1] == e2e.SAVED,
    "open failed": lambda lines: lines == [e2e.OPEN_FAILED],
    "read failed": lambda lines: len(lines) == 2 and is_fps(lines[0]) and lines[1] == e2e.READ_FAILED,
    "write failed": lambda lines: len(lines) == 2 and is_fps(lines[0]) and lines[1] == e2e.WRITE_FAILED,
}


def is_fps(line):
    prefix = "Frame per seconds: "
    if not line.startswith(prefix):
        return False
    try:
        float(line[len(prefix):])
    except ValueError:
        return False
    return True


# --- the corpus --------------------------------------------------------------

def base_video(name):
    """A fixture with its header first (MP4 made "faststart"), and the byte
    range of its first video packet."""
    src = e2e.video(name)
    if src.endswith(".mp4"):
        src = e2e.cached(f"{name}.faststart.mp4", lambda out: e2e.ffmpeg(
            "-i", e2e.video(name), "-c", "copy", "-movflags", "+faststart", "-f", "mp4", out))
    pos, size = e2e.video_packets(src, 1)[0]
    return open(src, "rb").read(), pos, size


def mp4_boxes(data, start, end, depth=0):
    """(offset, size) of every box in data[start:end], containers walked."""
    boxes = []
    while start + 8 <= end:
        size = int.from_bytes(data[start:start + 4], "big")
        kind = data[start + 4:start + 8]
        if size < 8 or start + size > end:
            break
        boxes.append((start, size, depth))
        if kind in (b"moov", b"trak", b"mdia", b"minf", b"stbl", b"edts", b"dinf"):
            boxes += mp4_boxes(data, start + 8, start + size, depth + 1)
        start += size
    return boxes


def riff_chunks(data, start, end):
    """(offset, size) of every RIFF chunk in data[start:end], lists walked."""
    chunks = []
    while start + 8 <= end:
        size = int.from_bytes(data[start + 4:start + 8], "little")
        kind = data[start:start + 4]
        total = 8 + size + (size & 1)
        if start + total > end:
            break
        chunks.append((start, total, 0))
        if kind in (b"RIFF", b"LIST"):
            chunks += riff_chunks(data, start + 12, start + total)
        start += total
    return chunks


def arbitrary_slices(rng, data):
    """Two disjoint slices, standing in for chunks where the container has
    no parser here or too few chunks."""
    offsets = sorted(rng.sample(range(1, len(data)), 4))
    return [(offsets[0], offsets[1] - offsets[0], 0), (offsets[2], offsets[3] - offsets[2], 0)]


def chunks_of(name, data):
    if name.endswith(("_mp4", "_bframes", "_rot90")):
        return mp4_boxes(data, 0, len(data)), "big"
    if name.endswith("_avi"):
        return riff_chunks(data, 0, len(data)), "little"
    return [], None


def mutate(name, index, seed):
    data, pos, size = base_video(name)
    rng = random.Random(f"{seed}:{index}")
    kind = KINDS[(index // len(BASES)) % len(KINDS)]
    header = (0, max(pos, 1))
    frame = (pos, pos + size)
    region = header if kind.endswith("header") else frame
    out = bytearray(data)
    if kind.startswith("truncate"):
        cut = {"truncate_header": lambda: rng.randrange(*header),
               "truncate_frame": lambda: rng.randrange(*frame),
               "truncate_after_frame": lambda: min(len(data), frame[1] + rng.randrange(0, 64))}[kind]()
        return bytes(out[:cut]), f"{kind} at {cut}"
    if kind.startswith("flip"):
        places = [rng.randrange(*region) for _ in range(rng.randint(1, 8))]
        for p in places:
            out[p] ^= rng.randint(1, 255)
        return bytes(out), f"{kind} at {places}"
    if kind.startswith("zero"):
        start = rng.randrange(*region)
        length = rng.randint(1, 256)
        out[start:start + length] = bytes(len(out[start:start + length]))
        return bytes(out), f"{kind} {start}+{length}"
    chunks, order = chunks_of(name, data)
    if kind == "duplicate_chunk":
        at, length, _ = rng.choice(chunks or arbitrary_slices(rng, data))
        out[at:at] = data[at:at + length]
        return bytes(out), f"{kind} {at}+{length}"
    if kind == "shuffle_chunks":
        depth = rng.choice(chunks)[2] if chunks else 0
        level = [c for c in chunks if c[2] == depth]
        if len(level) < 2:
            level = arbitrary_slices(rng, data)
        (a, alen, _), (b, blen, _) = sorted(rng.sample(level, 2))
        out = data[:a] + data[b:b + blen] + data[a + alen:b] + data[a:a + alen] + data[b + blen:]
        return bytes(out), f"{kind} {a}+{alen} <-> {b}+{blen}"
    # wrong_length
    if order is None:
        at = rng.randrange(*header) & ~3
        out[at:at + 4] = rng.choice([0xFFFFFFFF, 0x7FFFFFFF, 0, rng.randrange(1 << 32)]).to_bytes(4, "big")
        return bytes(out), f"{kind} word at {at}"
    at, length, _ = rng.choice(chunks)
    field = at if order == "big" else at + 4
    value = rng.choice([0, 1, 7, 8, length - 1, length + 1, length * 2, 0xFFFFFFFF, rng.randrange(1 << 32)])
    out[field:field + 4] = (value & 0xFFFFFFFF).to_bytes(4, order)
    return bytes(out), f"{kind} chunk at {at}: {length} -> {value}"


# --- running -----------------------------------------------------------------

def bmp_complete(path):
    """Whether the file is a whole 24-bit BMP, its size matching its header."""
    try:
        e2e.read_bmp(path)
    except AssertionError:
        return False
    return True


def try_input(program, index, content, what, keep):
    """Run one input; returns (outcome, problems, seconds, description)."""
    with_earlier = index % 2 == 0
    with tempfile.TemporaryDirectory(prefix="first-frame-campaign-") as workdir:
        with open(os.path.join(workdir, "input_video"), "wb") as f:
            f.write(content)
        image = os.path.join(workdir, "first_frame.bmp")
        if with_earlier:
            with open(image, "wb") as f:
                f.write(e2e.EARLIER)
        started = time.monotonic()
        try:
            p = subprocess.run([program], cwd=workdir, capture_output=True, timeout=BOUND)
        except subprocess.TimeoutExpired:
            outcome, problems = "hang", [f"still running after {BOUND} s"]
        else:
            outcome, problems = judge(p, workdir, image, with_earlier)
        seconds = time.monotonic() - started
        if problems and keep:
            os.makedirs(keep, exist_ok=True)
            shutil.copy(os.path.join(workdir, "input_video"),
                        os.path.join(keep, what.split(":")[0].lstrip("#").replace(" ", "-")))
    return outcome, problems, seconds, what


def mutated(index, seed):
    """Input `index` of the mutation corpus, and what it is."""
    name = BASES[index % len(BASES)]
    content, what = mutate(name, index, seed)
    return content, f"#{index} {name}: {what}"


def judge(p, workdir, image, with_earlier):
    problems = []
    if p.returncode < 0:
        return "crash", [f"killed by signal {-p.returncode}"]
    if p.returncode not in (0, 255):
        problems.append(f"exit status {p.returncode}")
    lines = p.stdout.decode(errors="replace").splitlines()
    sequence = next((s for s, match in SEQUENCES.items() if match(lines)), None)
    if sequence is None:
        problems.append(f"undocumented output {lines}")
    if (sequence == "saved") != (p.returncode == 0):
        problems.append(f"status {p.returncode} after {lines}")
    logged = p.stderr.decode(errors="replace").splitlines()
    if logged:
        problems.append(f"written to stderr: {logged[0]}")
    leftovers = e2e.temporaries(os.listdir(workdir))
    if leftovers:
        problems.append(f"temporary files left: {leftovers}")
    outcome = sequence or "undocumented"
    if p.returncode == 0:
        if not (os.path.isfile(image) and bmp_complete(image)):
            outcome = "partial"
            problems.append("the saved image is not a complete BMP")
    elif with_earlier:
        if open(image, "rb").read() != e2e.EARLIER:
            outcome = "partial"
            problems.append("the earlier image was changed")
    elif os.path.lexists(image):
        outcome = "partial"
        problems.append("an image appeared after a failure")
    return outcome, problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program")
    parser.add_argument("--count", type=int, default=2000)
    parser.add_argument("--every", type=int, default=1)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--keep", help="directory for inputs that failed")
    parser.add_argument("--replay", metavar="DIR", help="run on every file of DIR instead")
    args = parser.parse_args()
    program = os.path.abspath(args.program)
    if args.replay:
        files = sorted(os.listdir(args.replay))
        indices = range(len(files))

        def make(i):
            with open(os.path.join(args.replay, files[i]), "rb") as f:
                return f.read(), f"#{i} {files[i]}: replayed"
    else:
        indices = range(0, args.count, args.every)
        for name in BASES:  # make the fixtures once, before the runs share them
            base_video(name)

        def make(i):
            return mutated(i, args.seed)

    tally = {}
    failures = []
    slowest = (0.0, "")
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        for outcome, problems, seconds, what in pool.map(
                lambda i: try_input(program, i, *make(i), args.keep), indices):
            tally[outcome] = tally.get(outcome, 0) + 1
            slowest = max(slowest, (seconds, what))
            if problems:
                failures.append(f"{what}: {'; '.join(problems)}")

    for line in failures:
        print("FAIL", line)
    saved = tally.get("saved", 0)
    crashes, hangs, partial = tally.get("crash", 0), tally.get("hang", 0), tally.get("partial", 0)
    print(f"inputs {len(indices)}, status 0 {saved}, status 255 "
          f"{sum(tally.get(k, 0) for k in ('open failed', 'read failed', 'write failed'))} "
          f"(open {tally.get('open failed', 0)}, read {tally.get('read failed', 0)}, "
          f"write {tally.get('write failed', 0)}), crashes {crashes}, hangs {hangs}, "
          f"partial files {partial}, other failures {len(failures) - crashes - hangs - partial}")
    print(f"slowest run {slowest[0]:.2f} s ({slowest[1]})")
    print(f"{len(indices) - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
