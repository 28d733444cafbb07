#!/usr/bin/env python3
"""End-to-end tests for first-frame.

Each case runs the built program in a fresh temporary directory on a video
made by the real encoder (the ffmpeg CLI) and checks what a user meets:
standard output, exit status, standard error, and the saved image, which is
compared with the first frame as decoded by the ffmpeg CLI itself.

    e2e.py --list                 names of all cases, one a line
    e2e.py PROGRAM CASE           run one case
    e2e.py PROGRAM --measure      image agreement of every format, as a table
    e2e.py PROGRAM --same-as OTHER  both programs give the same bytes on every format
    e2e.py --make-sample FILE     write the bundled sample video
"""

import os
import resource
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading

FIXTURES = os.environ.get("FIRST_FRAME_FIXTURES",
                          os.path.join(tempfile.gettempdir(), "first-frame-fixtures"))
TIMEOUT = 120

SAVED = "First frame saved."
OPEN_FAILED = "error: failed to open the video file."
READ_FAILED = "error: failed to read the frame from the video file."
WRITE_FAILED = "error: failed to write the image file."
LIBRARY_LOG = ("[ WARN:", "[ERROR:", "[ INFO:", "[DEBUG:")

# Video recipes: ffmpeg's encoder arguments, the container's file suffix,
# the frame size and rate, the rotation tag, and the tolerance against
# ffmpeg's own decode as (largest difference of one byte, mean difference)
# over all pixels; (0, 0) means the pixels must be identical. The rotation
# tag is set on a stream copy, which makes the muxer write a display
# matrix, the way phones mark portrait video.
def recipe(codec, suffix="mp4", size="320x240", rate="25", rotate=None, tolerance=(0, 0)):
    return {"codec": codec, "suffix": suffix, "size": size, "rate": rate,
            "rotate": rotate, "tolerance": tolerance}


X264 = ["-c:v", "libx264", "-preset", "ultrafast"]
X265 = ["-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=none"]
VP9 = ["-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8"]
VIDEOS = {
    "h264_mp4":     recipe(X264 + ["-pix_fmt", "yuv420p"]),
    "h264_ntsc":    recipe(X264 + ["-pix_fmt", "yuv420p"], rate="30000/1001"),
    "h264_bframes": recipe(["-c:v", "libx264", "-pix_fmt", "yuv420p",
                            "-x264-params", "bframes=3:b-adapt=0:b-pyramid=normal"]),
    "h264_444":     recipe(X264 + ["-pix_fmt", "yuv444p"]),
    "h264_odd":     recipe(X264 + ["-pix_fmt", "yuv444p"], size="321x243"),
    "h264_tiny":    recipe(X264 + ["-pix_fmt", "yuv444p"], size="2x2"),
    "h264_2160p":   recipe(X264 + ["-pix_fmt", "yuv420p"], size="3840x2160"),
    "h264_rot90":   recipe(X264 + ["-pix_fmt", "yuv420p"], rotate=90),
    "h264_rot180":  recipe(X264 + ["-pix_fmt", "yuv420p"], rotate=180),
    "h264_rot270":  recipe(X264 + ["-pix_fmt", "yuv420p"], rotate=270),
    "hevc_mkv":     recipe(X265 + ["-pix_fmt", "yuv420p"], "mkv"),
    "hevc10_mkv":   recipe(X265 + ["-pix_fmt", "yuv420p10le"], "mkv"),
    "vp9_webm":     recipe(VP9 + ["-pix_fmt", "yuv420p"], "webm"),
    "vp9_odd":      recipe(VP9 + ["-pix_fmt", "yuv420p"], "webm", size="321x243"),
    "av1_mkv":      recipe(["-c:v", "libaom-av1", "-cpu-used", "8", "-usage", "realtime",
                            "-pix_fmt", "yuv420p"], "mkv"),
    "mpeg4_avi":    recipe(["-c:v", "mpeg4", "-q:v", "3"], "avi"),
    "mjpeg_avi":    recipe(["-c:v", "mjpeg", "-q:v", "3"], "avi"),
    "mpeg2_ts":     recipe(["-c:v", "mpeg2video", "-q:v", "3", "-bf", "2"], "ts"),
    "ffv1_mkv":     recipe(["-c:v", "ffv1", "-pix_fmt", "bgr0"], "mkv"),
}
FRAMES = 10

# Inputs that must fail, with the exact standard output they give.
BROKEN = {
    "missing":        [OPEN_FAILED],
    "empty":          [OPEN_FAILED],
    "random_bytes":   [OPEN_FAILED],
    "truncated_head": [OPEN_FAILED],
    "no_frame":       ["Frame per seconds: 25.000000", READ_FAILED],
    "directory":      [OPEN_FAILED],
    "audio_only":     [OPEN_FAILED],
}

# Ways to make storing the image fail, each injected for real.
WRITE_FAULTS = ["directory_in_the_way", "file_size_limit", "file_size_limit_default_signal",
                "read_only_directory", "full_file_system"]

# Runs under valgrind's memcheck: the success path and each failure path.
VALGRIND_PATHS = {"saved": "h264_mp4", "open_failed": "missing", "read_failed": "no_frame",
                  "write_failed": "directory_in_the_way"}
SKIP = 77  # CTest's SKIP_RETURN_CODE for these cases


def cases():
    return ([f"frame.{v}" for v in VIDEOS] + [f"broken.{b}" for b in BROKEN] +
            [f"write.{w}" for w in WRITE_FAULTS] +
            ["arguments_ignored", "umask_respected", "bundled_sample",
             "parallel.same_input", "parallel.swapped_inputs"] +
            [f"valgrind.{v}" for v in VALGRIND_PATHS])


# --- fixtures -------------------------------------------------------------

def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", *args], check=True)


def cached(name, make):
    """Path of a fixture, made once and shared by all cases (atomically,
    since CTest may run cases in parallel)."""
    os.makedirs(FIXTURES, exist_ok=True)
    path = os.path.join(FIXTURES, name)
    if not os.path.exists(path):
        tmp = os.path.join(FIXTURES, f".{os.getpid()}.{name}")
        make(tmp)
        os.replace(tmp, path)
    return path


def video(name):
    r = VIDEOS[name]

    def make(out):
        # testsrc2 only makes even sizes; scaling gives any size. The
        # brightness steps up each frame, so that even at 2x2 pixels no two
        # frames look alike.
        ffmpeg("-f", "lavfi", "-i", f"testsrc2=size=320x240:rate={r['rate']}",
               "-frames:v", str(FRAMES),
               "-vf", f"hue=b=n,scale={r['size'].replace('x', ':')}",
               *r["codec"], "-f", muxer(r["suffix"]), out)
        if r["rotate"] is not None:
            ffmpeg("-i", out, "-c", "copy", "-metadata:s:v:0", f"rotate={r['rotate']}",
                   "-f", muxer(r["suffix"]), out + ".rotated")
            os.replace(out + ".rotated", out)
    return cached(f"{name}.{r['suffix']}", make)


def muxer(suffix):
    return {"mkv": "matroska", "ts": "mpegts"}.get(suffix, suffix)


def reference(name, index=0):
    """The frame `index` as ffmpeg shows it (auto-rotated), as a BGR24 BMP."""
    src = video(name)
    return cached(f"{name}.frame{index}.bmp", lambda out: ffmpeg(
        "-i", src, "-vf", f"select=eq(n\\,{index})", "-frames:v", "1",
        "-pix_fmt", "bgr24", "-f", "image2", "-c:v", "bmp", out))


def make_broken(kind, workdir):
    target = os.path.join(workdir, "input_video")
    h264 = open(video("h264_mp4"), "rb").read()
    if kind == "missing":
        return
    if kind == "directory":
        os.mkdir(target)
        return
    if kind == "audio_only":
        ffmpeg("-f", "lavfi", "-i", "sine=duration=1", "-c:a", "aac", "-f", "mp4", target)
        return
    if kind == "no_frame":
        # Headers complete, media data cut off: the container opens, no
        # frame can be decoded.
        src = cached("faststart.mp4", lambda out: ffmpeg(
            "-i", video("h264_mp4"), "-c", "copy", "-movflags", "+faststart", "-f", "mp4", out))
        data = open(src, "rb").read()
        content = data[:data.index(b"mdat") - 4]
    else:
        content = {"empty": b"",
                   "random_bytes": bytes((i * 7919 + 13) * 2654435761 % 251 for i in range(65536)),
                   "truncated_head": h264[:200]}[kind]
    with open(target, "wb") as f:
        f.write(content)


# --- running the program ---------------------------------------------------

class Run:
    def __init__(self, program, workdir, args=(), preexec=None, prefix=()):
        p = subprocess.run([*prefix, program, *args], cwd=workdir, capture_output=True,
                           timeout=TIMEOUT, preexec_fn=preexec)
        self.status = p.returncode
        self.lines = p.stdout.decode().splitlines()
        self.stdout = p.stdout.decode()
        self.stderr = p.stderr.decode(errors="replace")
        self.files = sorted(os.listdir(workdir))


def check(cond, what):
    if not cond:
        raise AssertionError(what)


def library_log(stderr):
    """OpenCV's own log lines in a run's standard error."""
    return [l for l in stderr.splitlines() if l.startswith(LIBRARY_LOG)]


def temporaries(files):
    """The program's temporary files among a directory's entries."""
    return [f for f in files if f.startswith(".first_frame.bmp")]


def check_common(run):
    """What holds for every run: documented lines only, each newline-ended,
    a plain exit, and no library log lines on standard error."""
    check(run.status in (0, 255), f"exit status {run.status}")
    check(run.stdout.endswith("\n"), f"output not newline-terminated: {run.stdout!r}")
    logged = library_log(run.stderr)
    check(not logged, f"library log lines on stderr: {logged[:3]}")
    left = temporaries(run.files)
    check(not left, f"temporary files left: {left}")


def fps_line(rate):
    num, _, den = rate.partition("/")
    return "Frame per seconds: %f" % (float(num) / float(den or 1))


# --- BMP comparison ----------------------------------------------------------

def read_bmp(path):
    """(width, height, top-down rows of BGR bytes) of a 24-bit BMP, after
    checking that the file is complete."""
    data = open(path, "rb").read()
    check(data[:2] == b"BM", f"{path}: not a BMP")
    size, = struct.unpack_from("<I", data, 2)
    check(size == len(data), f"{path}: header says {size} bytes, file has {len(data)}")
    offset, = struct.unpack_from("<I", data, 10)
    width, height, _, bpp = struct.unpack_from("<iiHH", data, 18)
    check(bpp == 24, f"{path}: {bpp} bits per pixel")
    stride = (width * 3 + 3) & ~3
    check(offset + stride * abs(height) <= len(data), f"{path}: pixel data cut short")
    rows = [data[offset + r * stride: offset + r * stride + width * 3] for r in range(abs(height))]
    if height > 0:
        rows.reverse()
    return width, abs(height), b"".join(rows)


def difference(a_path, b_path):
    """(largest, mean) byte difference of two same-sized images."""
    aw, ah, a = read_bmp(a_path)
    bw, bh, b = read_bmp(b_path)
    check((aw, ah) == (bw, bh), f"size {aw}x{ah}, expected {bw}x{bh}")
    if a == b:
        return 0, 0.0
    diffs = [abs(x - y) for x, y in zip(a, b)]
    return max(diffs), sum(diffs) / len(diffs)


# --- the cases ---------------------------------------------------------------

def case_frame(program, name, workdir):
    rate = VIDEOS[name]["rate"]
    max_tol, mean_tol = VIDEOS[name]["tolerance"]
    os.symlink(video(name), os.path.join(workdir, "input_video"))
    run = Run(program, workdir)
    check_common(run)
    check(run.lines == [fps_line(rate), SAVED], f"output {run.lines}")
    check(run.status == 0, f"exit status {run.status}")
    saved = os.path.join(workdir, "first_frame.bmp")
    largest, mean = difference(saved, reference(name))
    check(largest <= max_tol and mean <= mean_tol,
          f"differs from ffmpeg's first frame: largest {largest}, mean {mean:.3f}")
    # The second frame differs visibly, so a later frame cannot pass as the first.
    later, _ = difference(saved, reference(name, 1))
    check(later > max_tol, "the saved image matches the second frame as well")


EARLIER = b"BM an image from an earlier run"


def expect_failure(run, lines, workdir, earlier):
    check_common(run)
    check(run.lines == lines, f"output {run.lines}, expected {lines}")
    check(run.status == 255, f"exit status {run.status}")
    image = os.path.join(workdir, "first_frame.bmp")
    if earlier is None:
        check(not os.path.lexists(image), "an image was written")
    elif isinstance(earlier, bytes):
        check(open(image, "rb").read() == earlier, "the earlier image was changed")


def case_broken(program, kind, workdir):
    make_broken(kind, workdir)
    expect_failure(Run(program, workdir), BROKEN[kind], workdir, None)
    with open(os.path.join(workdir, "first_frame.bmp"), "wb") as f:
        f.write(EARLIER)
    expect_failure(Run(program, workdir), BROKEN[kind], workdir, EARLIER)


def limit_file_size(default_signal):
    def preexec():
        resource.setrlimit(resource.RLIMIT_FSIZE, (100000, 100000))
        signal.signal(signal.SIGXFSZ, signal.SIG_DFL if default_signal else signal.SIG_IGN)
    return preexec


class Skip(Exception):
    """The case cannot be run here, for the reason given."""


def case_write(program, fault, workdir):
    os.symlink(video("h264_mp4"), os.path.join(workdir, "input_video"))
    image = os.path.join(workdir, "first_frame.bmp")
    lines = [fps_line("25"), WRITE_FAILED]
    if fault == "directory_in_the_way":
        os.mkdir(image)
        expect_failure(Run(program, workdir), lines, workdir, "directory")
        check(os.path.isdir(image) and not os.listdir(image), "the directory was changed")
        return
    if fault == "full_file_system":
        case_full_file_system(program, workdir, lines)
        return
    if fault == "read_only_directory":
        case_read_only_directory(program, workdir, lines)
        return
    # The limit (100,000 bytes) lies inside the 230,454-byte image.
    preexec = limit_file_size(fault.endswith("default_signal"))
    expect_failure(Run(program, workdir, preexec=preexec), lines, workdir, None)
    with open(image, "wb") as f:
        f.write(EARLIER)
    expect_failure(Run(program, workdir, preexec=preexec), lines, workdir, EARLIER)


def case_read_only_directory(program, workdir, lines):
    """Root may write anywhere, so as root the directory is made read-only
    by a read-only bind mount of itself in a private mount namespace;
    otherwise its write permission is taken away."""
    image = os.path.join(workdir, "first_frame.bmp")
    if os.geteuid() == 0:
        if not shutil.which("unshare"):
            raise Skip("running as root and unshare(1) is missing")
        prefix = ("unshare", "--mount", "sh", "-c",
                  'mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" && cd "$1" && exec "$2"',
                  "sh", workdir)
    else:
        prefix = ()
    for earlier in (None, EARLIER):
        if earlier:
            with open(image, "wb") as f:
                f.write(earlier)
        os.chmod(workdir, 0o555)
        try:
            run = Run(program, workdir, prefix=prefix)
        finally:
            os.chmod(workdir, 0o755)
        if prefix and run.status != 255 and not run.lines:
            raise Skip(f"cannot make a read-only bind mount here: {run.stderr.strip()}")
        expect_failure(run, lines, workdir, earlier)


# Inside a private mount namespace: a 128 KiB tmpfs holding the input (a
# symlink), an earlier image and nothing else, so the 230,454-byte image
# cannot fit. What the tmpfs holds afterwards is copied out for checking.
FULL_FS_SCRIPT = """
set -e
mount -t tmpfs -o size=128k first-frame-full "$1"
ln -s "$2" "$1/input_video"
cp "$3" "$1/first_frame.bmp"
cd "$1"
set +e
"$4" > "$5/stdout"
echo $? > "$5/status"
cp -a "$1/." "$5/after/"
"""


def case_full_file_system(program, workdir, lines):
    if not shutil.which("unshare"):
        raise Skip("unshare(1) is missing")
    mount = os.path.join(workdir, "fs")
    report = os.path.join(workdir, "report")
    os.makedirs(os.path.join(report, "after"))
    os.mkdir(mount)
    earlier = os.path.join(workdir, "earlier.bmp")
    with open(earlier, "wb") as f:
        f.write(EARLIER)
    namespace = ["unshare", "--mount"] if os.geteuid() == 0 else ["unshare", "-rm"]
    p = subprocess.run([*namespace, "sh", "-c", FULL_FS_SCRIPT, "sh", mount,
                        os.path.realpath(os.path.join(workdir, "input_video")), earlier,
                        program, report], capture_output=True, timeout=TIMEOUT)
    if p.returncode != 0 or not os.path.exists(os.path.join(report, "status")):
        raise Skip(f"cannot mount a small tmpfs here: {p.stderr.decode().strip()}")
    status = int(open(os.path.join(report, "status")).read())
    output = open(os.path.join(report, "stdout")).read().splitlines()
    check((status, output) == (255, lines), f"status {status}, output {output}")
    after = sorted(os.listdir(os.path.join(report, "after")))
    check(after == ["first_frame.bmp", "input_video"], f"left on the full file system: {after}")
    check(open(os.path.join(report, "after", "first_frame.bmp"), "rb").read() == EARLIER,
          "the earlier image was changed")


def case_arguments_ignored(program, workdir):
    os.symlink(video("h264_mp4"), os.path.join(workdir, "input_video"))
    plain = Run(program, workdir)
    first = open(os.path.join(workdir, "first_frame.bmp"), "rb").read()
    for args in (["--help"], ["-h", "--version", "x"], ["other_video.mp4", "out.bmp"]):
        run = Run(program, workdir, args)
        check_common(run)
        check((run.status, run.lines, run.files) == (plain.status, plain.lines, plain.files),
              f"arguments {args} changed the run: {run.status} {run.lines} {run.files}")
        check(open(os.path.join(workdir, "first_frame.bmp"), "rb").read() == first,
              f"arguments {args} changed the image")


def case_umask_respected(program, workdir):
    os.symlink(video("h264_mp4"), os.path.join(workdir, "input_video"))
    for mask, mode in ((0o022, 0o644), (0o077, 0o600), (0o002, 0o664)):
        run = Run(program, workdir, preexec=lambda m=mask: os.umask(m))
        check_common(run)
        check(run.status == 0, f"exit status {run.status}")
        got = os.stat(os.path.join(workdir, "first_frame.bmp")).st_mode & 0o777
        check(got == mode, f"umask {mask:03o}: mode {got:03o}, expected {mode:03o}")


SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sample", "sample.mp4")


def case_bundled_sample(program, workdir):
    """The README's demonstration video gives ffmpeg's first frame."""
    os.symlink(SAMPLE, os.path.join(workdir, "input_video"))
    run = Run(program, workdir)
    check_common(run)
    check((run.status, run.lines) == (0, [fps_line("25"), SAVED]), f"{run.status} {run.lines}")
    expected = os.path.join(workdir, "expected.bmp")
    ffmpeg("-i", SAMPLE, "-frames:v", "1", "-pix_fmt", "bgr24", "-c:v", "bmp", expected)
    largest, _ = difference(os.path.join(workdir, "first_frame.bmp"), expected)
    check(largest == 0, f"differs from ffmpeg's first frame by up to {largest}")


def case_parallel(program, swapped, workdir):
    """20 runs at once in one directory. With swapped inputs the video is
    exchanged for another of a different size while they run. A reader
    meanwhile keeps reading first_frame.bmp: each read must be a complete
    image equal to the first frame of one of the inputs."""
    names = ["h264_mp4", "h264_odd"] if swapped else ["h264_mp4"]
    expected = set()
    for name in names:
        with tempfile.TemporaryDirectory(prefix="first-frame-") as solo:
            os.symlink(video(name), os.path.join(solo, "input_video"))
            check(Run(program, solo).status == 0, f"{name} alone failed")
            saved = os.path.join(solo, "first_frame.bmp")
            check(difference(saved, reference(name)) == (0, 0.0), f"{name} alone differs")
            expected.add(open(saved, "rb").read())

    link = os.path.join(workdir, "input_video")
    os.symlink(video(names[0]), link)
    image = os.path.join(workdir, "first_frame.bmp")
    done = threading.Event()
    seen = {"reads": 0, "bad": [], "swaps": 0}

    def reader():
        while not done.is_set():
            try:
                data = open(image, "rb").read()
            except FileNotFoundError:
                continue
            seen["reads"] += 1
            if data not in expected:
                seen["bad"].append(len(data))

    def swapper():
        while not done.is_set():
            seen["swaps"] += 1
            tmp = f"{link}.{seen['swaps']}"
            os.symlink(video(names[seen["swaps"] % len(names)]), tmp)
            os.replace(tmp, link)

    threads = [threading.Thread(target=reader)] + ([threading.Thread(target=swapper)] if swapped else [])
    for t in threads:
        t.start()
    try:
        runs = [subprocess.Popen([program], cwd=workdir, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE) for _ in range(20)]
        results = [(p.wait(TIMEOUT), p.stdout.read().decode().splitlines()) for p in runs]
    finally:
        done.set()
        for t in threads:
            t.join()
    for status, lines in results:
        check((status, lines) == (0, [fps_line("25"), SAVED]), f"a run gave {status} {lines}")
    check(not seen["bad"], f"{len(seen['bad'])} of {seen['reads']} reads saw a wrong image")
    check(seen["reads"] > 0, "the reader never saw an image")
    check(open(image, "rb").read() in expected, "the final image is none of the inputs'")
    left = temporaries(os.listdir(workdir))
    check(not left, f"temporary files left: {left}")
    print(f"{seen['reads']} reads, {seen['swaps']} swaps, all complete")


def case_valgrind(program, path, workdir):
    """No invalid access and no definite leak outside the libraries'
    known ones, on the success path and each failure path."""
    if not shutil.which("valgrind"):
        raise Skip("valgrind is missing")
    setup = VALGRIND_PATHS[path]
    if setup in VIDEOS:
        os.symlink(video(setup), os.path.join(workdir, "input_video"))
    elif setup in BROKEN:
        make_broken(setup, workdir)
    else:
        os.symlink(video("h264_mp4"), os.path.join(workdir, "input_video"))
        os.mkdir(os.path.join(workdir, "first_frame.bmp"))
    supp = os.path.join(os.path.dirname(os.path.abspath(__file__)), "valgrind.supp")
    run = Run(program, workdir, prefix=(
        "valgrind", "--error-exitcode=99", "--leak-check=full", "--errors-for-leak-kinds=definite",
        "--show-leak-kinds=definite", f"--suppressions={supp}"))
    check(run.status == (0 if path == "saved" else 255),
          f"status {run.status} under valgrind:\n{run.stderr[-3000:]}")
    summary = [l for l in run.stderr.splitlines() if "ERROR SUMMARY" in l]
    print(summary[-1] if summary else run.stderr[-500:])


def run_case(program, case):
    kind, _, name = case.partition(".")
    with tempfile.TemporaryDirectory(prefix="first-frame-") as workdir:
        if kind == "frame":
            case_frame(program, name, workdir)
        elif kind == "broken":
            case_broken(program, name, workdir)
        elif kind == "write":
            case_write(program, name, workdir)
        elif kind == "arguments_ignored":
            case_arguments_ignored(program, workdir)
        elif kind == "umask_respected":
            case_umask_respected(program, workdir)
        elif kind == "bundled_sample":
            case_bundled_sample(program, workdir)
        elif kind == "parallel":
            case_parallel(program, name == "swapped_inputs", workdir)
        elif kind == "valgrind":
            case_valgrind(program, name, workdir)
        else:
            raise SystemExit(f"unknown case {case}")


def measure(program):
    """Print how the saved image compares with ffmpeg's, per format."""
    print(f"{'format':14} {'size':>10} {'largest':>8} {'mean':>8}")
    for name in VIDEOS:
        with tempfile.TemporaryDirectory(prefix="first-frame-") as workdir:
            os.symlink(video(name), os.path.join(workdir, "input_video"))
            run = Run(program, workdir)
            saved = os.path.join(workdir, "first_frame.bmp")
            if run.status != 0:
                print(f"{name:14} failed: {run.lines}")
                continue
            w, h, _ = read_bmp(saved)
            largest, mean = difference(saved, reference(name))
            print(f"{name:14} {f'{w}x{h}':>10} {largest:8} {mean:8.3f}")


def same_as(program, other):
    """Another build of the program saves the very same file, byte for byte,
    for every format."""
    for name in VIDEOS:
        images = []
        for binary in (program, other):
            with tempfile.TemporaryDirectory(prefix="first-frame-") as workdir:
                os.symlink(video(name), os.path.join(workdir, "input_video"))
                run = Run(binary, workdir)
                check(run.status == 0, f"{binary} on {name}: {run.status} {run.lines}")
                images.append(open(os.path.join(workdir, "first_frame.bmp"), "rb").read())
        check(images[0] == images[1], f"{name}: the two builds' images differ")
        print(f"{name}: identical, {len(images[0])} bytes")


def main(argv):
    if argv[1:] == ["--list"]:
        print("\n".join(cases()))
    elif len(argv) == 3 and argv[1] == "--make-sample":
        ffmpeg("-i", video("h264_mp4"), "-c", "copy", "-f", "mp4", argv[2])
    elif len(argv) == 4 and argv[2] == "--same-as":
        same_as(os.path.abspath(argv[1]), os.path.abspath(argv[3]))
    elif len(argv) == 3 and argv[2] == "--measure":
        measure(os.path.abspath(argv[1]))
    elif len(argv) == 3:
        try:
            run_case(os.path.abspath(argv[1]), argv[2])
        except Skip as reason:
            print(f"skipped {argv[2]}: {reason}")
            sys.exit(SKIP)
        print(f"ok {argv[2]}")
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
