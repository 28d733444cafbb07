#!/usr/bin/env python3
"""End-to-end tests for first-frame.

Each case runs the built program in a fresh temporary directory on a video
made by the real encoder (the ffmpeg CLI) and checks what a user meets:
standard output, exit status, standard error, and the saved image, which is
compared with the first frame as decoded by the ffmpeg CLI itself.

    e2e.py --list                 names of all cases, one a line
    e2e.py PROGRAM CASE           run one case
    e2e.py PROGRAM --measure      image agreement of every format, as a table;
                                  fails if any run is not what a player shows
    e2e.py PROGRAM --same-as OTHER  both programs give the same bytes on every format
    e2e.py --make-sample FILE     write the bundled sample video
"""

import ctypes
import errno
import functools
import hashlib
import json
import os
import re
import resource
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import threading

FIXTURES = os.environ.get("FIRST_FRAME_FIXTURES",
                          os.path.join(tempfile.gettempdir(), "first-frame-fixtures"))
TIMEOUT = 120

SAVED = "First frame saved."
OPEN_FAILED = "error: failed to open the video file."
READ_FAILED = "error: failed to read the frame from the video file."
WRITE_FAILED = "error: failed to write the image file."

# Video recipes: ffmpeg's encoder arguments, the container's file suffix,
# the frame size and rate, the rotation tag, whether the stream is cut
# between keyframes, and the tolerance against ffmpeg's own decode as
# (largest difference of one byte, mean difference) over all pixels; (0, 0)
# means the pixels must be identical. The rotation tag is set on a stream
# copy, which makes the muxer write a display matrix, the way phones mark
# portrait video. A cut stream starts at its second packet, as a recording
# or a transport stream joined mid-GOP does; ffmpeg's reference is then the
# first frame it can decode.
# A trimmed clip is cut by stream copy at frame `trim`, which is not a
# keyframe, as editors and `ffmpeg -ss ... -c copy` cut: its edit list
# starts there, and a player shows that frame, decoded from the uncut
# encode. A `matrix` (a, b, c, d) is written into the track header by hand
# (the muxer writes rotations only), and `shows` is the ffmpeg filter that
# gives the view a player shows from the unrotated picture. `encrypt`
# encrypts the "video" (a player shows nothing: the read must fail) or the
# "audio" alone (the video's frame as usual). A `heif` (columns, rows) is a
# HEIF photo of one picture: a single coded image for (1, 1), else a grid
# of that many tiles, cropped to `size`; a small thumbnail comes first.
# `frames`: how many the clip has, if not FRAMES.
def recipe(codec, suffix="mp4", size="320x240", rate="25", rotate=None, cut=False,
           tolerance=(0, 0), trim=None, matrix=None, shows=None, encrypt=None, heif=None,
           frames=None, declares=None):
    return {"codec": codec, "suffix": suffix, "size": size, "rate": rate,
            "rotate": rotate, "cut": cut, "tolerance": tolerance, "trim": trim,
            "matrix": matrix, "shows": shows, "encrypt": encrypt, "heif": heif,
            "frames": frames, "declares": declares}


X264 = ["-c:v", "libx264", "-preset", "ultrafast"]
X265 = ["-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=none"]
VP9 = ["-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8"]
AOM = ["-c:v", "libaom-av1", "-cpu-used", "8", "-usage", "realtime"]
# swscale dithers 10-bit samples down to 8 bits in a slightly different
# order from ffmpeg's own conversion.
DITHER = (3, 0.01)
VIDEOS = {
    "h264_mp4":     recipe(X264 + ["-pix_fmt", "yuv420p"]),
    "h264_ntsc":    recipe(X264 + ["-pix_fmt", "yuv420p"], rate="30000/1001"),
    "h264_bframes": recipe(["-c:v", "libx264", "-pix_fmt", "yuv420p",
                            "-x264-params", "bframes=3:b-adapt=0:b-pyramid=normal"]),
    "h264_interlaced": recipe(["-c:v", "libx264", "-pix_fmt", "yuv420p", "-flags", "+ildct+ilme",
                               "-x264-params", "bframes=2"]),
    "h264_444":     recipe(X264 + ["-pix_fmt", "yuv444p"]),
    "h264_odd":     recipe(X264 + ["-pix_fmt", "yuv444p"], size="321x243"),
    "h264_tiny":    recipe(X264 + ["-pix_fmt", "yuv444p"], size="2x2"),
    "h264_2160p":   recipe(X264 + ["-pix_fmt", "yuv420p"], size="3840x2160"),
    "h264_rot90":   recipe(X264 + ["-pix_fmt", "yuv420p"], rotate=90),
    "h264_rot180":  recipe(X264 + ["-pix_fmt", "yuv420p"], rotate=180),
    "h264_rot270":  recipe(X264 + ["-pix_fmt", "yuv420p"], rotate=270),
    "hevc_mkv":     recipe(X265 + ["-pix_fmt", "yuv420p"], "mkv"),
    # The parameter sets in the MP4 header (hvcC) are a taller picture's;
    # the stream's own, before each picture, are those of what it decodes to.
    "hevc_mp4_declared_taller": recipe(["-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                                        "log-level=none:repeat-headers=1", "-tag:v", "hvc1",
                                        "-pix_fmt", "yuv420p"], declares="320x480"),
    "hevc10_mkv":   recipe(X265 + ["-pix_fmt", "yuv420p10le"], "mkv"),
    "vp9_webm":     recipe(VP9 + ["-pix_fmt", "yuv420p"], "webm"),
    "vp9_odd":      recipe(VP9 + ["-pix_fmt", "yuv420p"], "webm", size="321x243"),
    "av1_mkv":      recipe(["-c:v", "libaom-av1", "-cpu-used", "8", "-usage", "realtime",
                            "-pix_fmt", "yuv420p"], "mkv"),
    "mpeg4_avi":    recipe(["-c:v", "mpeg4", "-q:v", "3"], "avi"),
    "mjpeg_avi":    recipe(["-c:v", "mjpeg", "-q:v", "3"], "avi"),
    "mpeg2_ts":     recipe(["-c:v", "mpeg2video", "-q:v", "3", "-bf", "2"], "ts"),
    "ffv1_mkv":     recipe(["-c:v", "ffv1", "-pix_fmt", "bgr0"], "mkv"),
    # Transport streams joined between keyframes.
    "h264_ts_cut":  recipe(X264 + ["-pix_fmt", "yuv420p", "-g", "4"], "ts", cut=True),
    "hevc_ts_cut":  recipe(X265[:-1] + ["log-level=none:keyint=4:min-keyint=4",
                                        "-pix_fmt", "yuv420p"], "ts", cut=True),
    "mpeg2_ts_cut": recipe(["-c:v", "mpeg2video", "-q:v", "3", "-bf", "2", "-g", "4"], "ts",
                           cut=True),
    # Too short for the demuxer to measure the rate: the decoder's is taken.
    "mpeg2_ts_one_frame": recipe(["-c:v", "mpeg2video", "-q:v", "3"], "ts", frames=1),
    "h264_ts_one_frame": recipe(X264 + ["-pix_fmt", "yuv420p"], "ts", frames=1),
    # Other containers and streams people have, each through its own demuxer.
    "h264_raw":     recipe(X264 + ["-pix_fmt", "yuv420p"], "h264"),
    "h264_mov":     recipe(X264 + ["-pix_fmt", "yuv420p"], "mov"),
    "h264_flv":     recipe(X264 + ["-pix_fmt", "yuv420p"], "flv"),
    "theora_ogg":   recipe(["-c:v", "libtheora", "-q:v", "7"], "ogg"),
    "wmv2_asf":     recipe(["-c:v", "wmv2", "-q:v", "3"], "asf"),
    "mpeg1_mpg":    recipe(["-c:v", "mpeg1video", "-q:v", "3"], "mpg"),
    "mpeg2_mxf":    recipe(["-c:v", "mpeg2video", "-q:v", "3"], "mxf"),
    "dv_dv":        recipe(["-c:v", "dvvideo", "-pix_fmt", "yuv411p"], "dv", size="720x480",
                           rate="30000/1001"),
    "dv_dv_pal":    recipe(["-c:v", "dvvideo", "-pix_fmt", "yuv420p"], "dv", size="720x576"),
    "vp8_ivf":      recipe(["-c:v", "libvpx", "-deadline", "realtime"], "ivf"),
    "rawvideo_y4m": recipe(["-pix_fmt", "yuv420p"], "y4m"),
    "h263_3gp":     recipe(["-c:v", "h263", "-q:v", "3"], "3gp", size="352x288"),
    "gif_gif":      recipe(["-c:v", "gif"], "gif"),
    # What a player shows, where the container says more than the stream.
    "h264_trim":    recipe(X264 + ["-pix_fmt", "yuv420p"], trim=5),
    # An open GOP with deep B-frames cut at frame 30, six after a CRA, with
    # negative composition offsets, and the CRA then left out of stss, as a
    # phone's clip had it: the demuxer times the first frames it keeps
    # before zero, and the ffmpeg CLI's image output, which keeps to a
    # constant rate from zero, drops the first; the decoder's first frame
    # is the one at the cut, which a player shows and the program saves.
    "hevc_trim_cra": recipe(X265[:-1] + ["log-level=none:keyint=24:min-keyint=24:open-gop=1:"
                                         "bframes=7:b-adapt=0:rc-lookahead=20:scenecut=0",
                                         "-tag:v", "hvc1", "-pix_fmt", "yuv420p"],
                            trim=30, frames=48),
    "av1_trim":     recipe(["-c:v", "libaom-av1", "-cpu-used", "8", "-usage", "realtime",
                            "-pix_fmt", "yuv420p"], trim=5),
    "h264_mirror":  recipe(X264 + ["-pix_fmt", "yuv420p"], matrix=(-1, 0, 0, 1), shows="hflip"),
    "h264_mirror180": recipe(X264 + ["-pix_fmt", "yuv420p"], matrix=(1, 0, 0, -1),
                             shows="vflip"),
    "h264_mirror90": recipe(X264 + ["-pix_fmt", "yuv420p"], matrix=(0, 1, 1, 0),
                            shows="transpose=cclock_flip"),
    "h264_mirror270": recipe(X264 + ["-pix_fmt", "yuv420p"], matrix=(0, -1, -1, 0),
                             shows="transpose=clock_flip"),
    # A quarter turn with some shear, no reflection: turned as before.
    "h264_rot270_sheared": recipe(X264 + ["-pix_fmt", "yuv420p"], matrix=(0, -1, 1, 0.09),
                                  shows="transpose=cclock"),
    "h264_cenc":    recipe(X264 + ["-pix_fmt", "yuv420p"], encrypt="video"),
    "raw_cenc_mov": recipe(["-c:v", "rawvideo", "-pix_fmt", "uyvy422"], "mov", encrypt="video"),
    "h264_cenc_audio": recipe(X264 + ["-pix_fmt", "yuv420p"], encrypt="audio"),
    # Photos: a player shows the primary image, whole, not a tile or the
    # thumbnail. An image item has one frame a second.
    "hevc_heic":    recipe(X265 + ["-pix_fmt", "yuv420p"], "heic", size="300x220", rate="1",
                           heif=(1, 1)),
    "hevc_heic_grid": recipe(X265 + ["-pix_fmt", "yuv420p"], "heic", size="292x190", rate="1",
                             heif=(3, 2)),
    # The largest frames people decode, under the decoder's memory ceiling.
    "hevc10_2160":  recipe(X265 + ["-pix_fmt", "yuv420p10le"], "mkv", size="3840x2160", frames=2,
                           tolerance=DITHER),
    "hevc10_4320":  recipe(X265 + ["-pix_fmt", "yuv420p10le"], "mkv", size="7680x4320", frames=2,
                           tolerance=DITHER),
    "av1_10bit_2160": recipe(AOM + ["-pix_fmt", "yuv420p10le"], "mkv", size="3840x2160", frames=2,
                             tolerance=DITHER),
    "av1_10bit_4320": recipe(AOM + ["-pix_fmt", "yuv420p10le"], "mkv", size="7680x4320", frames=2,
                             tolerance=DITHER),
}
# Bit depth (8/10), chroma (4:2:0/4:2:2/4:4:4) and height (a multiple of 16
# or not) crossed for H.264 and HEVC: the colour converter's bottom rows
# depend on all three.
for _codec, _args, _suffix in (("h264", X264, "mp4"), ("hevc", X265, "mkv")):
    for _depth, _tail in ((8, ""), (10, "10le")):
        for _chroma in ("420", "422", "444"):
            for _size in ("1920x1080", "332x196"):
                VIDEOS[f"{_codec}_{_depth}bit_{_chroma}_{_size.split('x')[1]}"] = recipe(
                    _args + ["-pix_fmt", f"yuv{_chroma}p{_tail}"], _suffix, size=_size,
                    tolerance=DITHER if _depth == 10 else (0, 0))
FRAMES = 10

# Faults of a distribution's libraries that the program cannot mend through
# their interfaces. A build linked against such a library (named as the
# dynamic loader names it) keeps the fault, so its rows must fail in just
# the way described; the day one passes, the distribution has fixed it and
# the row fails until it leaves this table. The fast build brings its own
# libraries, mended. Each entry: the libraries (any one), the rows, the
# symptom, the cause.
def _ten_bit_420_cut_height(name):
    r = VIDEOS[name]
    return "yuv420p10le" in r["codec"] and int(r["size"].split("x")[1]) % 16 != 0


SYSTEM_OPENCV = ("libopencv_videoio.so.406", "libopencv_videoio.so.410")
SYSTEM_FAULTS = [
    (("libopencv_videoio.so.410",), [v for v in VIDEOS if _ten_bit_420_cut_height(v)],
     "bottom_rows_black",
     "Debian 13's OpenCV 4.10 sets its colour converter up for the coded height (1088 for "
     "1080 lines) but hands it the picture's own rows, so the last rows of 10-bit 4:2:0 "
     "video whose height is not a multiple of 16 stay black"),
    (("libopencv_videoio.so.406",), ["mpeg2_ts_one_frame", "h264_ts_one_frame"],
     "frame_rate_time_base",
     "OpenCV 4.6 reports a stream's time base (1/90000 in a transport stream) as its rate "
     "when the container gives no average rate; 4.10 takes FFmpeg's guess"),
    (("libavformat.so.61",), ["mpeg2_ts_one_frame", "h264_ts_one_frame"], "frame_rate_doubled",
     "Debian 13's FFmpeg 7.1 takes the rate of a field-coded stream whose rate it cannot "
     "measure as twice the decoder's frame rate, and OpenCV reports it"),
    (("libavformat.so.61",), ["dv_dv", "dv_dv_pal"], "frame_rate_60000",
     "Debian 13's FFmpeg 7.1 gives a DV stream an average frame rate of 60000/1, its time "
     "base, which OpenCV reports"),
    (("libavcodec.so.59",), ["av1_trim"], "frame_before_cut",
     "Debian 12's FFmpeg 5.1 hands over the frames that the MP4 demuxer marks to be discarded "
     "(before an edit list's start) when the decoder has a queue of its own, as dav1d's "
     "has, and OpenCV returns them"),
    (SYSTEM_OPENCV, [v for v in VIDEOS if "mirror" in v], "reflection_ignored",
     "OpenCV orients a frame by the display matrix's angle alone, so a reflection is lost"),
    (SYSTEM_OPENCV, ["raw_cenc_mov"], "encrypted_decoded",
     "OpenCV decodes an encrypted video stream without the key, and returns noise"),
    (("libavformat.so.59",), [v for v in VIDEOS if VIDEOS[v]["heif"]], "not_opened",
     "Debian 12's FFmpeg 5.1 cannot read HEIF photos"),
    (("libopencv_videoio.so.410",), [v for v in VIDEOS if VIDEOS[v]["heif"]], "thumbnail_shown",
     "OpenCV decodes a HEIF photo's first image item, here its thumbnail, not the primary "
     "image (nor a grid's tiles put together)"),
    (SYSTEM_OPENCV, ["hevc_mp4_declared_taller"], "declared_size_shown",
     "OpenCV gives the frame the size the stream's parameters declare, not the decoded "
     "picture's, and reads the rows below the picture from past the end of its buffer"),
    (SYSTEM_OPENCV, ["h264_cenc"], "ciphertext_decoded",
     "OpenCV decodes an encrypted video stream without the key; whether H.264's garbled "
     "slices give a frame of noise or none depends on the ciphertext, so either passes"),
]


# Faults that change the frame-rate line alone: the image is still checked.
RATE_FAULTS = ("frame_rate_60000", "frame_rate_doubled", "frame_rate_time_base")


@functools.lru_cache(maxsize=None)
def linked_libraries(program):
    """The shared libraries the program loads, by file name."""
    out = subprocess.run(["ldd", program], capture_output=True, text=True).stdout
    return frozenset(line.split()[0] for line in out.splitlines() if line.strip())


def known_fault(program, name):
    """(symptom, cause) of a system library's fault that this build keeps
    on this row, or None."""
    for libraries, rows, symptom, cause in SYSTEM_FAULTS:
        linked = [l for l in libraries if l in linked_libraries(program)]
        if name in rows and linked:
            return symptom, f"{linked[0]}: {cause}"
    return None


# Inputs that must fail, with the exact standard output they give.
BROKEN = {
    "missing":        [OPEN_FAILED],
    "empty":          [OPEN_FAILED],
    "random_bytes":   [OPEN_FAILED],
    "truncated_head": [OPEN_FAILED],
    "no_frame":       ["Frame per seconds: 25.000000", READ_FAILED],
    "directory":      [OPEN_FAILED],
    "audio_only":     [OPEN_FAILED],
    "fifo":           [OPEN_FAILED],   # no writer: the child's open waits until the bound
}

# Inputs that name other files: playlists, manifests, scripts and
# multi-file formats. Each row gives input_video's text (or bytes) and the
# files it names, which the test makes as real videos, so that a program
# following the reference would save a frame of a file the sender cannot
# see. Every one must be refused, and no file but input_video opened.
# Paths: "{base}" is the directory above the one the program runs in.
ID3 = b"ID3\x04\x00\x00\x00\x00\x00\x00"
def m3u8(*lines):
    return "\n".join(["#EXTM3U", "#EXT-X-TARGETDURATION:1", *lines, "#EXT-X-ENDLIST", ""])


DASH = ('<?xml version="1.0"?><MPD xmlns="urn:mpeg:dash:schema:mpd:2011" type="static" '
        'mediaPresentationDuration="PT1S" minBufferTime="PT1S" '
        'profiles="urn:mpeg:dash:profile:isoff-on-demand:2011"><Period>'
        '<AdaptationSet mimeType="video/mp4"><Representation id="1" bandwidth="1" '
        'width="320" height="240"><BaseURL>decoy.mp4</BaseURL></Representation>'
        '</AdaptationSet></Period></MPD>\n')
SDP = ("v=0\no=- 0 0 IN IP4 127.0.0.1\ns=x\nc=IN IP4 127.0.0.1\nt=0 0\n"
       "m=video 5004 RTP/AVP 96\na=rtpmap:96 H264/90000\n")
HOSTILE = {
    "hls_absolute": m3u8("#EXTINF:1,", "{base}/decoy.ts"),
    "hls_file_url": m3u8("#EXTINF:1,", "file:{base}/decoy.ts"),
    "hls_sibling":  m3u8("#EXTINF:1,", "decoy.ts"),
    "hls_parent":   m3u8("#EXTINF:1,", "../decoy.ts"),
    "hls_id3":      ID3 + m3u8("#EXTINF:1,", "decoy.ts").encode(),
    "hls_master":   "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nsub/variant\n",
    "hls_map":      m3u8('#EXT-X-MAP:URI="sub/decoy.mp4"', "#EXTINF:1,", "sub/decoy.ts"),
    "hls_key":      m3u8('#EXT-X-KEY:METHOD=AES-128,URI="sub/decoy.ts"', "#EXTINF:1,",
                         "sub/decoy.ts"),
    "hls_stdin":    m3u8("#EXTINF:1,", "/dev/stdin"),
    "dash":         DASH,
    "ffconcat_sibling": "ffconcat version 1.0\nfile decoy.ts\n",
    "ffconcat_subdir":  "ffconcat version 1.0\nfile sub/decoy.ts\n",
    "mlv":          b"MLVI" + struct.pack("<I", 52) + b"v2.0" + bytes(40),
    "sdp":          SDP,
    "vobsub_index": "# VobSub index file, v7 (do not modify this line!)\nsize: 320x240\n",
}

# Ways to make storing the image fail, each injected for real.
WRITE_FAULTS = ["directory_in_the_way", "file_size_limit", "file_size_limit_default_signal",
                "read_only_directory", "full_file_system"]

# Runs under valgrind's memcheck: the success path and each failure path,
# and a run with an error planted in the decoding child, which must be
# found although the child's standard error is /dev/null.
VALGRIND_PATHS = {"saved": "h264_mp4", "open_failed": "missing", "read_failed": "no_frame",
                  "write_failed": "directory_in_the_way", "planted_error": "h264_mp4"}
# What a compromised decoder tries from inside the confined child
# (tests/escape.h), and how it must end: first with the whole confinement,
# then, where another layer stands behind the system-call filter, with the
# filter left out (the test-only build can do that). An errno: the attempt
# fails with it and the run goes on to save the frame. KILLED: the filter
# kills the decoder, and with it the run, by SIGSYS, before anything is
# done; a crash likewise ends it by its own signal. DONE: the attempt
# works, and what it did must not outlive the run.
KILLED, DONE = signal.SIGSYS, "done"


class ByUser:
    """An answer that depends on who runs the program: root's child takes
    another user's identity; an ordinary user's child keeps its own."""
    def __init__(self, root, user):
        self.root, self.user = root, user


class ByBuild:
    """An answer that depends on how the build's FFmpeg reads the video:
    through the descriptor the child opened, and then the filter refuses
    every open as if nothing were there; or by name (FFmpeg before 6.0,
    Debian 12's default build)."""
    def __init__(self, descriptor, path):
        self.descriptor, self.path = descriptor, path


class ByFFmpeg(ByBuild):
    """An answer that depends on the build's FFmpeg alone, a sanitizer build's
    or not: by name it must still open the video once confined."""


class Seen:
    """An answer that depends on what the child got, as it reports it: a
    root of its own (a removed directory; where FFmpeg opens the video by
    name, a mount holding the video alone: `mounted`, where that answers
    otherwise), else Landlock's fence, else neither."""
    def __init__(self, rooted, landlock, bare, mounted=None):
        self.rooted, self.landlock, self.bare = rooted, landlock, bare
        self.mounted = rooted if mounted is None else mounted


class Bounded:
    """An answer that depends on whether the child reports a bound on its
    tasks or its memory (the kernel counts a child's tasks apart only in a
    user namespace of its own)."""
    def __init__(self, what, bounded, unbounded):
        self.what, self.bounded, self.unbounded = what, bounded, unbounded


# FAILED: the attempt never returns, and the run ends with the open's
# error line and 255, the child killed at the bound. UNSAVED: the child
# reports every step itself and leaves: the write's error line, nothing
# saved. HELD: the attempt is refused (ENOMEM) and keeps what it got; the
# run ends saved or with a step's error line, never by a signal.
FAILED, UNSAVED, HELD = "failed", "unsaved", "held"
HIDDEN = Seen(errno.ENOENT, errno.EACCES, DONE)     # a file's contents
TERMINAL = Seen(errno.ENOENT, errno.EACCES, errno.ENXIO)
PROC = Seen(errno.ENOENT, errno.EACCES, errno.EACCES)  # the program's own /proc
# Another process of the same user, holding the secret: where nothing
# else stands in the way, root's child is another user.
CALLER = Seen(errno.ENOENT, errno.EACCES, ByUser(errno.EACCES, DONE))
ESCAPES = {
    # files, by path: where the video is read through its descriptor, the
    # filter refuses every open, and the root or Landlock stand behind it
    "read_secret":   (ByBuild(errno.ENOENT, HIDDEN), HIDDEN),
    "read_sibling":  (ByBuild(errno.ENOENT, HIDDEN), HIDDEN),
    "write_parent":  (KILLED, Seen(errno.ENOENT, errno.EACCES, None, mounted=errno.EROFS)),
    "truncate":      (KILLED, None),
    # file metadata, inside the run's directory and outside it: whether
    # a file is there, its size, owner and times
    "stat_outside":  (Seen(errno.ENOENT, DONE, DONE), None),
    "chmod_inside":  (KILLED, None),
    "chmod_outside": (KILLED, None),
    "chown_inside":  (KILLED, Seen(errno.ENOENT, errno.EPERM, None)),  # no capabilities
    "chown_outside": (KILLED, Seen(errno.ENOENT, errno.EPERM, None)),
    # what the program was started with: its environment, its terminal,
    # its own memory through /proc, root's identity, a core file; and
    # the environment of a process of the same user
    "environment":   (errno.ENOENT, None),
    "terminal":      (ByBuild(errno.ENOENT, TERMINAL), TERMINAL),
    "parent_memory": (ByBuild(errno.ENOENT, PROC), PROC),
    "caller_environment": (ByBuild(errno.ENOENT, CALLER), CALLER),
    "ids":           (errno.EPERM, None),
    "core_limit":    (errno.EPERM, None),
    "times_inside":  (KILLED, None),
    "times_outside": (KILLED, None),
    "xattr_inside":  (KILLED, None),
    "xattr_outside": (KILLED, None),
    # the image: the child has no descriptor of it, only its reports, so
    # what it forges is no image
    "image_mode":    (errno.EBADF, None),
    "write_far":     (errno.EBADF, None),
    "forged_image":  (UNSAVED, None),
    # other processes, the network, programs
    "connect":       (KILLED, None),
    "exec":          (KILLED, None),
    "signal":        (KILLED, None),
    "ptrace":        (KILLED, None),
    "priority":      (KILLED, None),
    "namespace":     (KILLED, None),
    "cpu_clock":     (errno.EINVAL, None),
    "affinity":      (errno.EPERM, None),
    "inherited":     (errno.EBADF, None),
    # root's powers (as root only), unused kernel interfaces
    "reboot":        (KILLED, errno.EPERM),         # no capabilities
    "exec_memory":   (errno.EPERM, None),
    "huge_pages":    (errno.EPERM, None),
    "userfaultfd":   (KILLED, None),
    "kernel_log":    (KILLED, None),
    # the machine's share: memory past the ceiling, hundreds of threads
    "memory":        (Bounded("memory", HELD, DONE), None),
    "threads":       (Bounded("tasks", errno.EAGAIN, DONE), None),
    # a crash is not taken for a forbidden call
    "abort":         (signal.SIGABRT, None),
    # time and the end: the run ends by itself at the bound, by its own
    # status; only a crash or a forbidden call ends it by a signal
    "spin":          (FAILED, None),
    "wait":          (FAILED, None),
    "stop":          (KILLED, FAILED),
    "terminate":     (KILLED, FAILED),
}
# The rows that wait for the bound run the test-only build with a short one.
HANGS = ("spin", "wait", "stop", "terminate")
# Attempts tried again where the child has less: namespaces and chroot
# refused (user namespaces turned off, a container without the
# capability, an outer sandbox), Landlock missing, neither; run by an
# ordinary user (where the tests run as root); and, as root, on a video of
# root's that only root and its group may read (mode 0640), where an
# answer of the setting's own is given. The refusals are the test's own
# system-call filter, under the program's.
FILES = ("read_secret", "read_sibling", "terminal", "parent_memory", "caller_environment")
ESCAPE_SETTINGS = {
    "no_namespaces": FILES + ("environment", "stat_outside", "threads"),
    "no_landlock":   FILES + ("stat_outside",),
    "neither":       FILES + ("environment", "stat_outside"),
    "user":          FILES + ("environment", "stat_outside", "core_limit", "ids", "memory",
                              "threads", "cpu_clock", "affinity", "forged_image"),
    "private_video": {"ids": ByFFmpeg(errno.EPERM, DONE)},
}
REFUSED = {"no_namespaces": [("unshare", errno.EPERM), ("chroot", errno.EPERM)],
           "no_landlock": [("landlock_create_ruleset", errno.ENOSYS)]}
REFUSED["neither"] = REFUSED["no_namespaces"] + REFUSED["no_landlock"]
# The value of a variable set for every escape row, which the child must
# not have (its name does not start with FIRST_FRAME_ESCAPE, which the
# test-only build keeps).
SECRET_VALUE = "first-frame-secret-" + hashlib.sha256(os.urandom(16)).hexdigest()[:16]
SKIP = 77  # CTest's SKIP_RETURN_CODE for these cases


def cases():
    return ([f"frame.{v}" for v in VIDEOS] + [f"broken.{b}" for b in BROKEN] +
            [f"write.{w}" for w in WRITE_FAULTS] +
            [f"closed.{c}" for c in CLOSED] + ["bound.documented", "bound.batch_recipe"] +
            ["arguments_ignored", "umask_respected", "bundled_sample", "child_signal_ignored",
             "parallel.same_input", "parallel.swapped_inputs"] +
            [f"valgrind.{v}" for v in VALGRIND_PATHS] +
            [f"confined.{h}" for h in HOSTILE] +
            ["confined.ordinary", "confined.private_video", "confined.every_decoder",
             "confined.own_root", "memory_limit"] +
            [f"escape.{e}" for e in ESCAPES] + ["escape.absent_from_program"] +
            [f"escape.{e}.{how}" for how, names in ESCAPE_SETTINGS.items() for e in names] +
            [f"container.{r}.{s}" for r in CONTAINER_ROWS for s in CONTAINER_SETTINGS
             if r != "image" or s == "default"] +
            [f"bundle.{b}" for b in BUNDLE])


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


def remade(name):
    r = VIDEOS[name]
    return bool(r["trim"] or r["matrix"] or r["encrypt"] or r["heif"] or r["declares"])


def video(name):
    if VIDEOS[name]["heif"]:
        return cached(f"{name}.heic", lambda out: heif(name, out))
    if remade(name):
        return cached(f"{name}.{VIDEOS[name]['suffix']}", lambda out: remake(name, out))
    return encoded(name)


def encoded(name):
    """The recipe's video as its encoder writes it."""
    r = VIDEOS[name]

    def make(out):
        # testsrc2 only makes even sizes; scaling gives any size. The
        # brightness steps up each frame, so that even at 2x2 pixels no two
        # frames look alike.
        ffmpeg("-f", "lavfi", "-i", f"testsrc2=size=320x240:rate={r['rate']}",
               "-frames:v", str(r["frames"] or FRAMES),
               "-vf", f"hue=b=n,scale={r['size'].replace('x', ':')}",
               *r["codec"], "-f", muxer(r["suffix"]), out)
        if r["cut"]:
            # Keep the packets from the second video packet on, at a
            # 188-byte transport packet boundary.
            pos, _ = video_packets(out, 2)[1]
            data = open(out, "rb").read()
            with open(out, "wb") as f:
                f.write(data[pos // 188 * 188:])
        if r["rotate"] is not None:
            ffmpeg("-i", out, "-c", "copy", "-metadata:s:v:0", f"rotate={r['rotate']}",
                   "-f", muxer(r["suffix"]), out + ".rotated")
            os.replace(out + ".rotated", out)
    return cached(f"{name}{'.encoded' if remade(name) else ''}.{r['suffix']}", make)


KEY = ["-encryption_key", "00112233445566778899aabbccddeeff",
       "-encryption_kid", "0123456789abcdef0123456789abcdef"]


def remake(name, out):
    """The recipe's video trimmed, given a display matrix or encrypted."""
    r = VIDEOS[name]
    src = encoded(name)
    if r["trim"]:
        cra = r["codec"][0:2] == ["-c:v", "libx265"]
        ffmpeg("-ss", str(r["trim"] / float(r["rate"])), "-i", src, "-c", "copy", "-f", "mp4",
               *(["-movflags", "+negative_cts_offsets"] if cra else []), out)
        probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0",
                                "-show_entries", "packet=pts,flags", "-of", "csv=p=0", out],
                               capture_output=True, text=True, check=True).stdout.split()
        # The edit list really starts after the keyframe: the demuxer marks
        # the frames from it to the cut to be discarded (with B-frames, the
        # keyframe's leading pictures too, in decode order).
        packets = [(int(p.split(",")[0]), "D" in p) for p in probe]
        marked = [d for _, d in packets]
        check("K" in probe[0] and (marked[:r["trim"] + 1] == [True] * r["trim"] + [False] or
                                   cra and marked[0] and not all(marked)),
              f"{name}: no edit list starting at frame {r['trim']}")
        if cra:
            leave_first_sample_out_of_stss(out)
            # The class: the first frames kept are timed more than a frame
            # before zero (the time base 12800 a second, 25 frames).
            kept = [pts for pts, discarded in packets[:16] if not discarded]
            check(min(kept) < -512, f"{name}: the kept frames start at {min(kept)}, not before zero")
    elif r["matrix"]:
        data = bytearray(open(src, "rb").read())
        at = data.index(b"tkhd")
        at += 44 if data[at + 4] == 0 else 56
        width, height = (v / 65536 for v in struct.unpack_from(">II", data, at + 36))
        a, b, c, d = r["matrix"]
        # Translated so that the picture stays in view, as muxers write it.
        x = -min(a * px + c * py for px in (0, width) for py in (0, height))
        y = -min(b * px + d * py for px in (0, width) for py in (0, height))
        fixed = [round(v * 65536) for v in (a, b, 0, c, d, 0, x, y)]
        struct.pack_into(">9i", data, at, *fixed[:8], 1 << 30)
        open(out, "wb").write(data)
    elif r["declares"]:
        declared_elsewhere(name, src, out)
    elif r["encrypt"] == "video":
        ffmpeg("-i", src, "-c", "copy", "-encryption_scheme", "cenc-aes-ctr", *KEY,
               "-fflags", "+bitexact", "-f", muxer(r["suffix"]), out)
    else:
        audio_encrypted(src, out)


def leave_first_sample_out_of_stss(path):
    """Leave the first sample, a CRA picture, out of the sync samples, in
    place (the box keeps its size), after checking that it is a CRA."""
    data = bytearray(open(path, "rb").read())
    found = {}
    def walk(start, end):
        for at, kind, stop in mp4_boxes(data, start, end):
            if kind in (b"moov", b"trak", b"mdia", b"minf", b"stbl"):
                walk(at + 8, stop)
            elif kind in (b"stss", b"stco") and kind not in found:
                found[kind] = at
    walk(0, len(data))
    stss, stco = found[b"stss"], found[b"stco"]
    count, first = struct.unpack_from(">II", data, stss + 12)
    # The first sample's NAL units (4-byte lengths, as hvcC says): the
    # first picture's is a CRA (type 21).
    at = struct.unpack_from(">I", data, stco + 16)[0]
    kinds = []
    while len(kinds) < 8:
        length = struct.unpack_from(">I", data, at)[0]
        kinds.append(data[at + 4] >> 1 & 0x3f)
        at += 4 + length
    check(first == 1 and next(k for k in kinds if k < 32) == 21,
          f"{path}: the first sample is no CRA in stss ({first}, NAL units {kinds})")
    entries = struct.unpack_from(f">{count}I", data, stss + 16)
    struct.pack_into(f">I{count - 1}I", data, stss + 12, count - 1, *entries[1:])
    open(path, "wb").write(data)


def mp4_boxes(data, start, end):
    """(start, kind, end) of each box between `start` and `end` of `data`."""
    while start + 8 <= end:
        size, kind = struct.unpack_from(">I4s", data, start)
        yield start, kind, start + size
        start += size


def declared_elsewhere(name, src, out):
    """`src` (an MP4 whose moov follows its mdat) with the hvcC box and the
    sample entry's size of a one-frame encode at the size the recipe
    declares."""
    r = VIDEOS[name]
    other = out + ".declared.mp4"
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={r['declares']}:rate={r['rate']}",
           "-frames:v", "1", *r["codec"], "-f", "mp4", other)
    theirs, data = open(other, "rb").read(), bytearray(open(src, "rb").read())
    os.remove(other)

    def path_to(blob, kinds):
        """(start, end) of each box on the way down to the last of `kinds`."""
        start, end, found = 0, len(blob), []
        for kind in kinds:
            box = next(((s, e) for s, k, e in mp4_boxes(blob, start, end) if k == kind), None)
            check(box, f"{name}: no {kind} box")
            found.append(box)
            # where the children start: after a full box's header, stsd's
            # entry count, or a visual sample entry
            start, end = box[0] + {b"stsd": 16, b"hvc1": 86}.get(kind, 8), box[1]
        return found
    kinds = [b"moov", b"trak", b"mdia", b"minf", b"stbl", b"stsd", b"hvc1", b"hvcC"]
    ours = path_to(data, kinds)
    check(data.index(b"mdat") < ours[0][0], f"{name}: the moov box comes before the mdat box")
    hvcc = theirs[slice(*path_to(theirs, kinds)[-1])]
    grown = len(hvcc) - (ours[-1][1] - ours[-1][0])
    data[ours[-1][0]:ours[-1][1]] = hvcc
    for start, end in ours[:-1]:
        struct.pack_into(">I", data, start, end - start + grown)
    width, height = (int(v) for v in r["declares"].split("x"))
    struct.pack_into(">HH", data, ours[-2][0] + 32, width, height)
    open(out, "wb").write(data)


def audio_encrypted(src, out):
    """`src` with a sound track, the sound encrypted and the video clear.
    ffmpeg's muxer encrypts every track, but counter-mode encryption keeps
    each sample's size: the clear video samples are copied back over the
    encrypted ones, and the video track's encryption boxes renamed "free"."""
    clear = out + ".clear"
    ffmpeg("-i", src, "-f", "lavfi", "-i", "sine=duration=1", "-c:v", "copy", "-c:a", "aac",
           "-shortest", "-fflags", "+bitexact", "-f", "mp4", clear)
    ffmpeg("-i", clear, "-c", "copy", "-encryption_scheme", "cenc-aes-ctr", *KEY,
           "-fflags", "+bitexact", "-f", "mp4", out)
    plain, data = open(clear, "rb").read(), bytearray(open(out, "rb").read())
    ours, theirs = video_packets(out, FRAMES), video_packets(clear, FRAMES)
    check([s for _, s in ours] == [s for _, s in theirs], "the video samples changed size")
    for (to, size), (at, _) in zip(ours, theirs):
        data[to:to + size] = plain[at:at + size]

    moov = next((s, e) for s, k, e in mp4_boxes(data, 0, len(data)) if k == b"moov")
    for start, kind, end in mp4_boxes(data, moov[0] + 8, moov[1]):
        if kind == b"trak" and b"vide" in data[start:end]:
            for name in (b"encv", b"sinf", b"senc", b"saiz", b"saio"):
                at = data.index(name, start, end)
                data[at:at + 4] = b"avc1" if name == b"encv" else b"free"
    open(out, "wb").write(data)
    os.remove(clear)


def heif_tiles(name):
    """The tiles of a HEIF recipe's picture, left to right, top to bottom,
    each encoded alone into an MP4, and the thumbnail's MP4."""
    r = VIDEOS[name]
    cols, rows = r["heif"]
    width, height = (int(v) for v in r["size"].split("x"))
    # Tiles of one even size that cover the picture.
    tw, th = (-(-width // cols) + 1) & ~1, (-(-height // rows) + 1) & ~1
    picture = f"testsrc2=size={tw * cols}x{th * rows}:rate=1"

    def tile(x, y, w, h, scale=""):
        # hvc1: the parameter sets in the hvcC box, as HEIF has them.
        return cached(f"{name}.{'thumbnail' if scale else f'tile{x}x{y}'}.mp4", lambda out: ffmpeg(
            "-f", "lavfi", "-i", picture, "-frames:v", "1",
            "-vf", f"crop={w}:{h}:{x}:{y}" + (f",scale={scale}" if scale else ""),
            *r["codec"], "-tag:v", "hvc1", "-f", "mp4", out))
    tiles = [tile(c * tw, j * th, tw, th) for j in range(rows) for c in range(cols)]
    return tiles, (tw, th), tile(0, 0, tw * cols, th * rows, "64:48")


def mp4_image(path):
    """(hvcC box, the one sample) of a single-frame HEVC MP4."""
    data = open(path, "rb").read()

    def find(kind, start, end):
        while start + 8 <= end:
            size, box = struct.unpack_from(">I4s", data, start)
            if box == kind:
                return start, start + size
            start += size
        raise AssertionError(f"{path}: no {kind} box")
    at = find(b"moov", 0, len(data))
    for kind in (b"trak", b"mdia", b"minf", b"stbl", b"stsd"):
        at = find(kind, at[0] + 8, at[1])
    hvc1 = find(b"hvc1", at[0] + 16, at[1])
    hvcc = find(b"hvcC", hvc1[0] + 8 + 78, hvc1[1])
    offset, size = video_packets(path, 1)[0]
    return data[hvcc[0]:hvcc[1]], data[offset:offset + size]


def heif(name, out):
    """A HEIF file as cameras write one: items in a meta box (a thumbnail,
    the coded tiles or image, the grid), their data in mdat."""
    r = VIDEOS[name]
    cols, rows = r["heif"]
    width, height = (int(v) for v in r["size"].split("x"))
    tiles, (tw, th), thumbnail = heif_tiles(name)
    coded = [mp4_image(thumbnail)] + [mp4_image(t) for t in tiles]
    sizes = [(64, 48)] + [(tw, th)] * len(tiles)
    grid = len(tiles) > 1
    primary = 100 if grid else 2
    items = list(range(1, len(coded) + 1))          # 1: thumbnail, then the tiles
    datas = [sample for _, sample in coded]
    if grid:
        items.append(primary)
        datas.append(struct.pack(">BBBBHH", 0, 0, rows - 1, cols - 1, width, height))

    def box(kind, *parts):
        body = b"".join(parts)
        return struct.pack(">I4s", 8 + len(body), kind) + body

    def full(kind, version, *parts):
        return box(kind, struct.pack(">I", version << 24), *parts)
    infe = [full(b"infe", 2, struct.pack(">HH4s", i, 0, b"hvc1"), b"\0") for i in items[:len(coded)]]
    if grid:
        infe.append(full(b"infe", 2, struct.pack(">HH4s", primary, 0, b"grid"), b"\0"))
    refs = [box(b"thmb", struct.pack(">HHH", 1, 1, primary))]
    if grid:
        refs.append(box(b"dimg", struct.pack(">HH", primary, len(tiles)),
                        *(struct.pack(">H", i) for i in items[1:len(coded)])))
    # Properties: each image's hvcC and size (ispe); the grid's size.
    props, assoc = [], []
    for i, ((hvcc, _), (w, h)) in enumerate(zip(coded, sizes)):
        props += [hvcc, full(b"ispe", 0, struct.pack(">II", w, h))]
        assoc.append(struct.pack(">HBBB", items[i], 2, 0x80 | len(props) - 1, len(props)))
    if grid:
        props.append(full(b"ispe", 0, struct.pack(">II", width, height)))
        assoc.append(struct.pack(">HBB", primary, 1, len(props)))
    iprp = box(b"iprp", box(b"ipco", *props),
               full(b"ipma", 0, struct.pack(">I", len(assoc)), *assoc))

    def meta(offsets):
        iloc = full(b"iloc", 0, struct.pack(">BBH", 0x44, 0, len(items)),
                    *(struct.pack(">HHHII", i, 0, 1, o, len(d))
                      for i, o, d in zip(items, offsets, datas)))
        return full(b"meta", 0, full(b"hdlr", 0, struct.pack(">I4s12x", 0, b"pict"), b"\0"),
                    full(b"pitm", 0, struct.pack(">H", primary)),
                    iloc, full(b"iinf", 0, struct.pack(">H", len(infe)), *infe),
                    full(b"iref", 0, *refs), iprp)
    ftyp = box(b"ftyp", b"heic", struct.pack(">I", 0), b"mif1heic")
    start = len(ftyp) + len(meta([0] * len(items))) + 8
    offsets = [start + sum(len(d) for d in datas[:i]) for i in range(len(datas))]
    with open(out, "wb") as f:
        f.write(ftyp + meta(offsets) + box(b"mdat", *datas))


def heif_reference(name, out):
    """The primary image as the tiles' own decodes, put together and cut
    to size: HEIF's layout done here, the decoding by ffmpeg."""
    r = VIDEOS[name]
    cols, _ = r["heif"]
    width, height = (int(v) for v in r["size"].split("x"))
    tiles, (tw, th), _ = heif_tiles(name)
    decoded = []
    for t in tiles:
        ffmpeg("-i", t, "-frames:v", "1", "-pix_fmt", "bgr24", "-c:v", "bmp", "-f", "image2",
               out + ".tile.bmp")
        decoded.append(read_bmp(out + ".tile.bmp")[2])
    os.remove(out + ".tile.bmp")
    rows = []
    for y in range(height):
        line = b"".join(decoded[y // th * cols + c][(y % th) * tw * 3:(y % th + 1) * tw * 3]
                        for c in range(cols))
        rows.append(line[:width * 3])
    write_bmp(out, width, height, rows)


def write_bmp(path, width, height, rows):
    """A 24-bit bottom-up BMP of top-down rows of BGR bytes."""
    stride = (width * 3 + 3) & ~3
    pixels = b"".join(row.ljust(stride, b"\0") for row in reversed(rows))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 0, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + pixels)


def video_packets(path, count):
    """(position, size) in the file of its first `count` video packets."""
    probe = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pos,size",
         "-read_intervals", f"%+#{count}", "-of", "json", path],
        capture_output=True, text=True, check=True).stdout
    return [(int(p["pos"]), int(p["size"])) for p in json.loads(probe)["packets"]]


def muxer(suffix):
    return {"mkv": "matroska", "ts": "mpegts", "mpg": "mpeg", "y4m": "yuv4mpegpipe"}.get(
        suffix, suffix)


def reference(name, index=0, shown=True):
    """The frame `index` as ffmpeg shows it (auto-rotated), as a BGR24 BMP:
    for a trimmed clip, counted from the cut in the uncut encode; with a
    hand-written matrix, oriented by the row's filter. Not `shown`: as
    decoded, unrotated."""
    r = VIDEOS[name]
    if r["heif"]:
        return cached(f"{name}.frame0.bmp", lambda out: heif_reference(name, out))
    src, index = (encoded(name), index + r["trim"]) if r["trim"] else (video(name), index)
    view = ["-noautorotate"] if r["matrix"] or not shown else []
    shows = f",{r['shows']}" if r["matrix"] and shown else ""
    return cached(f"{name}.frame{index}{'' if shown else '.decoded'}.bmp", lambda out: ffmpeg(
        *view, "-i", src, "-vf", f"select=eq(n\\,{index}){shows}", "-frames:v", "1",
        "-pix_fmt", "bgr24", "-f", "image2", "-c:v", "bmp", out))


def make_broken(kind, workdir):
    target = os.path.join(workdir, "input_video")
    h264 = open(video("h264_mp4"), "rb").read()
    if kind == "missing":
        return
    if kind == "directory":
        os.mkdir(target)
        return
    if kind == "fifo":
        os.mkfifo(target)
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
    def __init__(self, program, workdir, args=(), preexec=None, prefix=(), env=None):
        p = subprocess.run([*prefix, program, *args], cwd=workdir, capture_output=True,
                           timeout=TIMEOUT, preexec_fn=preexec, env=env)
        self.status = p.returncode
        self.lines = p.stdout.decode().splitlines()
        self.stdout = p.stdout.decode()
        self.stderr = p.stderr.decode(errors="replace")
        self.files = sorted(os.listdir(workdir))


def check(cond, what):
    if not cond:
        raise AssertionError(what)


def temporaries(files):
    """The program's temporary files among a directory's entries."""
    return [f for f in files if f.startswith((".first_frame.bmp", ".first-frame-"))]


def check_common(run):
    """What holds for every run: documented lines only, each newline-ended,
    a plain exit, and nothing on standard error."""
    check(run.status in (0, 255), f"exit status {run.status}")
    check(run.stdout.endswith("\n"), f"output not newline-terminated: {run.stdout!r}")
    written = run.stderr.splitlines()
    check(not written, f"written to stderr: {written[:3]}")
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


def orientations(path):
    """The eight ways a BMP's picture can be turned and mirrored, each as
    read_bmp gives a picture."""
    width, height, data = read_bmp(path)
    pixels = [[data[(y * width + x) * 3:(y * width + x) * 3 + 3] for x in range(width)]
              for y in range(height)]
    views = []
    for _ in range(2):
        for _ in range(4):
            views.append((len(pixels[0]), len(pixels), b"".join(b"".join(row) for row in pixels)))
            pixels = [list(row) for row in zip(*pixels[::-1])]  # a quarter turn
        pixels = [row[::-1] for row in pixels]
    return views


# --- the cases ---------------------------------------------------------------

def refused(name):
    """Whether a player shows nothing of this recipe's video."""
    return VIDEOS[name]["encrypt"] == "video"


def against_ffmpeg(saved, name):
    """(largest, mean) difference of the saved image from ffmpeg's first
    frame, or None where no image was saved or none should be."""
    return difference(saved, reference(name)) if os.path.exists(saved) and not refused(name) \
        else None


def faithful(run, name, diff):
    """Why a run on a recipe is not what a player shows (the wrong
    frame-rate line, an image outside the row's tolerance), or None;
    `diff` is the run's against_ffmpeg."""
    max_tol, mean_tol = VIDEOS[name]["tolerance"]
    expected = (255, READ_FAILED) if refused(name) else (0, SAVED)
    if (run.status, run.lines) != (expected[0], [fps_line(VIDEOS[name]["rate"]), expected[1]]):
        return f"status {run.status}, output {run.lines}"
    if refused(name):
        return "an image was saved" if "first_frame.bmp" in run.files else None
    if diff is None:
        return "no image saved"
    largest, mean = diff
    if largest > max_tol or mean > mean_tol:
        return f"differs from ffmpeg's first frame: largest {largest}, mean {mean:.3f}"
    return None


def shows_declared_size(run, saved, name):
    """Saved at the declared size, the decoded picture in its top rows."""
    width, height, got = read_bmp(saved)
    pw, ph, want = read_bmp(reference(name))
    max_tol, _ = VIDEOS[name]["tolerance"]
    return run.lines == [fps_line(VIDEOS[name]["rate"]), SAVED] and \
        f"{width}x{height}" == VIDEOS[name]["declares"] and width == pw and \
        max(abs(x - y) for x, y in zip(got[:len(want)], want)) <= max_tol


def shows_fault(run, saved, name, symptom, diff):
    """Whether a run fails in just the way a known fault makes it."""
    max_tol, mean_tol = VIDEOS[name]["tolerance"]
    saved_as_usual = run.status == 0 and os.path.exists(saved) and \
        run.lines == [fps_line(VIDEOS[name]["rate"]), SAVED]
    if symptom == "encrypted_decoded":
        return saved_as_usual
    if symptom == "ciphertext_decoded":
        return saved_as_usual or faithful(run, name, diff) is None
    if symptom == "not_opened":
        return run.status == 255 and run.lines == [OPEN_FAILED]
    if symptom == "thumbnail_shown":
        return saved_as_usual and read_bmp(saved)[:2] == (64, 48)
    if run.status != 0 or diff is None:
        return False
    if symptom == "frame_before_cut":
        # A frame of the uncut encode from before the cut, as decoded.
        return saved_as_usual and any(
            difference(saved, reference(name, i - VIDEOS[name]["trim"]))[0] <= max_tol
            for i in range(VIDEOS[name]["trim"]))
    if symptom == "reflection_ignored":
        # The right picture, turned some other way.
        width, height, got = read_bmp(saved)
        return saved_as_usual and any(view == (width, height, got)
                                      for view in orientations(reference(name, shown=False)))
    if symptom in RATE_FAULTS:
        num, _, den = VIDEOS[name]["rate"].partition("/")
        rate = {"frame_rate_60000": "60000", "frame_rate_time_base": "90000"}.get(
            symptom, f"{2 * int(num)}/{den or 1}")
        largest, mean = diff
        return (run.lines == [fps_line(rate), SAVED] and
                largest <= max_tol and mean <= mean_tol)
    # bottom_rows_black: a few last rows all zero, the rows above right.
    width, height, got = read_bmp(saved)
    _, _, want = read_bmp(reference(name))
    row = width * 3
    black = 0
    while black < height and not any(got[(height - 1 - black) * row:(height - black) * row]):
        black += 1
    above = (height - black) * row
    diffs = [abs(x - y) for x, y in zip(got[:above], want[:above])]
    return 0 < black <= 16 and max(diffs) <= max_tol and sum(diffs) / len(diffs) <= mean_tol


def case_frame(program, name, workdir):
    os.symlink(video(name), os.path.join(workdir, "input_video"))
    run = Run(program, workdir)
    fault = known_fault(program, name)
    if fault and fault[0] == "declared_size_shown" and \
            any(l.startswith("libasan.") for l in linked_libraries(program)):
        # AddressSanitizer stops the over-read and reports it.
        check(run.status == 255 and "AddressSanitizer: heap-buffer-overflow" in run.stderr,
              f"status {run.status}, not stopped by the sanitizer: {run.stderr[-300:]}")
        print(f"expected failure, stopped by the sanitizer: {fault[1]}")
        return
    check_common(run)
    saved = os.path.join(workdir, "first_frame.bmp")
    # Faults that show a picture of another size: no pixel comparison.
    if fault and fault[0] in ("declared_size_shown", "thumbnail_shown") and run.status == 0 and \
            os.path.exists(saved) and read_bmp(saved)[:2] != read_bmp(reference(name))[:2]:
        check(shows_declared_size(run, saved, name) if fault[0] == "declared_size_shown"
              else shows_fault(run, saved, name, fault[0], None),
              f"fails, but not as the known fault ({fault[0]}) would")
        print(f"expected failure, a fault this build keeps: {fault[1]}")
        return
    diff = against_ffmpeg(saved, name)
    wrong = faithful(run, name, diff)
    if fault:
        symptom, cause = fault
        check(wrong is not None or symptom == "ciphertext_decoded",
              f"passes now, so this is fixed: {cause}; take the row out of SYSTEM_FAULTS")
        check(shows_fault(run, saved, name, symptom, diff),
              f"fails, but not as the known fault ({symptom}) would: {wrong}")
        print(f"expected failure, a fault this build keeps: {cause}")
        return
    check(wrong is None, wrong)
    if refused(name) or VIDEOS[name]["heif"] or VIDEOS[name]["frames"] == 1:
        return
    # The second frame differs visibly, so a later frame cannot pass as the first.
    later, _ = difference(saved, reference(name, 1))
    check(later > VIDEOS[name]["tolerance"][0], "the saved image matches the second frame as well")


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
    env = None
    if kind == "fifo":  # the program's bound is bound.documented's
        env = dict(os.environ)
        program = escaping_program(program, env, hurried=True)
    expect_failure(Run(program, workdir, env=env), BROKEN[kind], workdir, None)
    with open(os.path.join(workdir, "first_frame.bmp"), "wb") as f:
        f.write(EARLIER)
    expect_failure(Run(program, workdir, env=env), BROKEN[kind], workdir, EARLIER)


# The decoding child's bound, in seconds, as the man page, README and
# SECURITY.md give it; and the shorter one the test-only build is given
# for the rows that would otherwise wait that long (long enough for the
# sanitizer build to save a small clip on a machine busy with two suites:
# 2 s was not).
BOUND, HURRIED = 30, 10


def case_bound_documented(program, workdir):
    """The shipped program ends a child that never gets its video (a FIFO
    without a writer) at the documented bound, with the open's error."""
    page = open(os.path.join(TOP, "first-frame.1")).read()
    check(f"{BOUND} seconds" in page, f"the man page does not give the bound of {BOUND} seconds")
    make_broken("fifo", workdir)
    start = time.monotonic()
    run = Run(program, workdir)
    took = time.monotonic() - start
    check_common(run)
    check((run.status, run.lines) == (255, [OPEN_FAILED]), f"status {run.status}, {run.lines}")
    check(BOUND <= took < BOUND + 60, f"ended after {took:.1f} s, the bound is {BOUND} s")
    print(f"ended after {took:.1f} s")


# Standard descriptors the program may be started without: each closed
# one must not become a file of its own (the image would get the lines).
CLOSED = {"stdin": "<&-", "stdout": ">&-", "stderr": "2>&-", "all": "<&- >&- 2>&-"}


def case_closed(program, which, workdir):
    os.symlink(video("h264_mp4"), os.path.join(workdir, "input_video"))
    run = Run("sh", workdir, args=("-c", f'exec "$0" {CLOSED[which]}', program))
    check(run.status == 0, f"status {run.status}")
    check(run.stderr == "", f"written to stderr: {run.stderr[:200]}")
    if which not in ("stdout", "all"):
        check(run.lines == [fps_line("25"), SAVED], f"output {run.lines}")
    check(difference(os.path.join(workdir, "first_frame.bmp"), reference("h264_mp4")) ==
          (0, 0.0), "the saved image differs from ffmpeg's")
    check(not temporaries(os.listdir(workdir)), "temporary files left")


def case_batch_recipe(program, workdir):
    """The README's recipe for many videos gets through a directory with
    one that never ends (a FIFO): the others are saved, that one not."""
    env = dict(os.environ)
    program = escaping_program(program, env, hurried=True)
    bin_dir = os.path.join(workdir, "bin")
    os.makedirs(os.path.join(workdir, "videos"))
    os.mkdir(bin_dir)
    os.symlink(program, os.path.join(bin_dir, "first-frame"))
    for name in ("a", "b"):
        os.symlink(video("h264_mp4"), os.path.join(workdir, "videos", f"{name}.mp4"))
    os.mkfifo(os.path.join(workdir, "videos", "stuck.mp4"))
    readme = open(os.path.join(TOP, "README.md")).read()
    recipe = readme.split("## Many videos", 1)[1].split("```sh\n", 1)[1].split("```", 1)[0]
    recipe = "\n".join(l for l in recipe.splitlines() if "parallel" not in l)
    env["PATH"] = bin_dir + os.pathsep + env["PATH"]
    p = subprocess.run(["sh", "-ec", recipe], cwd=workdir, env=env, capture_output=True,
                       timeout=TIMEOUT)
    check(p.returncode == 0, f"the recipe failed: {p.stderr.decode()[-300:]}")
    saved = {name: os.path.exists(os.path.join(workdir, "frames", name, "first_frame.bmp"))
             for name in ("a", "b", "stuck")}
    check(saved == {"a": True, "b": True, "stuck": False}, f"saved: {saved}")



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


def case_bundled_sample(program, workdir, child_signal_ignored=False):
    """The README's demonstration video gives ffmpeg's first frame; also
    when started by a process that ignores SIGCHLD (a shell after
    trap '' CHLD, a daemon), which 0.11.0 reported as a failed write."""
    os.symlink(SAMPLE, os.path.join(workdir, "input_video"))
    ignore = lambda: signal.signal(signal.SIGCHLD, signal.SIG_IGN)
    run = Run(program, workdir, preexec=ignore if child_signal_ignored else None)
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


# Paths a run may touch besides its own files: the libraries, the loader's
# and the C library's configuration, and what the kernel says of the CPU
# and memory. Debian's OpenCV also brings libselinux, which looks for
# /selinux, and GDAL, which looks for its user's configuration.
SYSTEM_PATHS = ("/usr/", "/lib/", "/lib64/", "/etc/", "/proc/", "/sys/", "/selinux",
                os.path.join(os.path.expanduser("~"), ".gdal", ""))
OWN_FILES = ("input_video", "first_frame.bmp", ".first_frame.bmp.")
# The decoding child's own root: a directory it makes and removes at once
# (in /tmp, or where that cannot be written to, the run's directory), or
# where FFmpeg opens the video by name a tmpfs (named first-frame) made
# over /tmp, holding the video alone.
OWN_ROOT = ("/", "/tmp", "/tmp/input_video", "/input_video", "first-frame")
OWN_REMOVED_ROOT = ("/tmp/.first-frame-", "./.first-frame-")


def files_touched(program, workdir):
    """Run the program under strace; return the run and every path it
    named in a file system call (opened, created, stat'ed, executed),
    but for its own start."""
    if not shutil.which("strace"):
        raise Skip("strace is missing")
    log = os.path.join(workdir, "..", "strace.log")
    # LeakSanitizer cannot run under ptrace; the sanitizer build's leaks
    # are checked by every other case.
    asan = "ASAN_OPTIONS=" + os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    run = Run(program, workdir, prefix=("env", asan, "strace", "-f", "-qq", "-e", "trace=%file",
                                        "-o", log))
    traced = open(log).read().splitlines() if os.path.exists(log) else []
    if not traced:
        raise Skip(f"strace cannot trace here: {run.stderr.strip()[:200]}")
    paths = []
    for line in traced[1:]:  # the first is our own execve
        if '"' in line and line.split('"')[1]:  # "" is a call on a descriptor
            paths.append((line.split('"')[1], line))
    return run, paths


def case_confined(program, name, base):
    workdir = os.path.join(base, "run")
    os.makedirs(os.path.join(workdir, "sub"))
    for where in (base, workdir, os.path.join(workdir, "sub")):
        shutil.copy(video("mpeg2_ts"), os.path.join(where, "decoy.ts"))
        shutil.copy(video("h264_mp4"), os.path.join(where, "decoy.mp4"))
    with open(os.path.join(workdir, "sub", "variant"), "w") as f:
        f.write(m3u8("#EXTINF:1,", "decoy.ts"))
    target = os.path.join(workdir, "input_video")
    if name == "ordinary":
        os.symlink(video("h264_mp4"), target)
        expected = [fps_line("25"), SAVED]
    elif name == "private_video":
        # Another user's file that only its owner may read: root reads it
        # by a capability that the decoder drops, so the decoder takes the
        # owner's identity.
        if os.geteuid() != 0:
            raise Skip("only root may read another user's private file")
        shutil.copy(video("h264_mp4"), target)
        os.chown(target, 65534, 65534)
        os.chmod(target, 0o600)
        expected = [fps_line("25"), SAVED]
    else:
        content = HOSTILE[name]
        if isinstance(content, str):
            content = content.replace("{base}", base).encode()
        with open(target, "wb") as f:
            f.write(content)
        expected = [OPEN_FAILED]
    run, paths = files_touched(program, workdir)
    check_common(run)
    check(run.lines == expected, f"output {run.lines}, expected {expected}")
    if expected[-1] == SAVED:
        check(difference(os.path.join(workdir, "first_frame.bmp"), reference("h264_mp4")) ==
              (0, 0.0), "the saved image differs from ffmpeg's")
    foreign = [line for path, line in paths
               if not path.startswith(SYSTEM_PATHS) and not path.startswith(OWN_FILES)
               # where the image's unnamed file is made; the decoder's
               # standard input and output; its own root
               and path not in (".", "/dev/null") + OWN_ROOT
               and not path.startswith(OWN_REMOVED_ROOT)
               or "execve(" in line]  # no helper program either
    check(not foreign, f"touched other files: {foreign[:5]}")


def case_every_decoder(program, workdir):
    """Inside the confined child, with the real filter, every decoder of
    the FFmpeg this build uses opens as the capture opens one, every parser
    starts, and every format on the program's list reads the video's
    header: a call that only a decoder or format without a fixture makes
    (VVC's decoder asks the CPU affinity when it opens) must not kill the
    run."""
    log = os.path.join(workdir, "decoders.log")
    workdir = os.path.join(workdir, "run")
    os.mkdir(workdir)
    os.symlink(video("h264_mp4"), os.path.join(workdir, "input_video"))
    env = dict(os.environ, FIRST_FRAME_ESCAPE="open_decoders", FIRST_FRAME_ESCAPE_LOG=log)
    sanitized = bool(os.environ.get("FIRST_FRAME_SANITIZED"))
    program = escaping_program(program, env)
    if sanitized:
        # Decoders opened on another codec's data leak a little of their
        # own, and some libraries (libjxl) print to the standard error
        # that a sanitizer build keeps; this row is about the filter.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    run = Run(program, workdir, env=env)
    report = open(log, "rb").read().rstrip(b"\0").decode().splitlines()
    tried = [line for line in report if line.startswith(("decoder ", "format ", "parser "))]
    check(run.status != -signal.SIGSYS,
          f"killed by the filter at {tried[-1] if tried else 'the start'}")
    check(report and report[-1] == "open_decoders: done", f"report ends {report[-2:]}")
    if not sanitized:
        check_common(run)
    check(run.lines == [fps_line("25"), SAVED], f"status {run.status}, output {run.lines}")
    names = lambda kind: sorted(l.split()[1] for l in tried if l.startswith(kind))
    # The FFmpeg of each build has these; VVC from 7.1 on.
    expected = {"h264", "hevc", "mpeg2video", "vp9", "mjpeg", "png", "aac"}
    if "libavcodec.so.59" not in linked_libraries(program):
        expected.add("vvc")
    check(expected <= set(names("decoder ")), f"decoders missing: {expected - set(names('decoder '))}")
    print(f"{len(names('decoder '))} decoders tried, {len(names('parser '))} parsers, "
          f"{len(names('format '))} formats; {report[-2]}; killed: 0")


def escaping_program(program, env, filter_off=False, hurried=False):
    """The program that plays a compromised decoder, and its environment:
    the test-only build, which reports what its child got of its
    confinement and then tries right after confining itself, or, where
    FFmpeg is linked dynamically, from inside FFmpeg's decode call, which a
    preloaded library takes over; with the filter left out, or a short
    bound (HURRIED) in place of the program's, right after confining
    itself."""
    preload = os.environ.get("FIRST_FRAME_ESCAPE_PRELOAD")
    if preload and not filter_off and not hurried:
        env.update(LD_PRELOAD=preload, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") +
                   ":verify_asan_link_order=0")
    if filter_off:
        env.update(FIRST_FRAME_ESCAPE_FILTER="off")
    if hurried:
        env.update(FIRST_FRAME_ESCAPE_SECONDS=str(HURRIED))
    return os.environ["FIRST_FRAME_ESCAPES"]


def by_path(program):
    """Whether the build's FFmpeg opens the video by name (before 6.0:
    libavformat 59, Debian 12's, which has no fd: protocol)."""
    return "libavformat.so.59" in linked_libraries(program)


def opens_by_name(program):
    """Whether the child may open files by name once confined: where its
    FFmpeg opens the video so, and in a sanitizer build, whose runtime
    reads /proc as it goes."""
    return bool(os.environ.get("FIRST_FRAME_SANITIZED")) or by_path(program)


def confinement(report):
    """What the child reports it got: {"root": own root, "Landlock": on,
    "tasks": bounded, "memory": bounded, "unprivileged": no uid 0}."""
    line = next((l for l in report if l.startswith("confined: ")), None)
    check(line is not None, f"the child did not say what it got: {report}")
    got = dict(part.split(" ", 1) for part in line[len("confined: "):].split(", "))
    return {"root": got["root"] == "own", "Landlock": got["Landlock"] == "on",
            "tasks": got["tasks"] == "bounded", "memory": got["memory"] == "bounded",
            "unprivileged": got["ids"] == "unprivileged"}


def answer(outcome, uid, got, path, opens=None):
    """What an attempt must meet, for who ran it, what the child got, how
    the build's FFmpeg reads the video (`path`: by name) and whether the
    child may open files by name (`opens`, by default as `path`)."""
    opens = path if opens is None else opens
    while True:
        if isinstance(outcome, ByUser):
            outcome = outcome.root if uid == 0 else outcome.user
        elif isinstance(outcome, ByFFmpeg):
            outcome = outcome.path if path else outcome.descriptor
        elif isinstance(outcome, ByBuild):
            outcome = outcome.path if opens else outcome.descriptor
        elif isinstance(outcome, Seen):
            outcome = ((outcome.mounted if path else outcome.rooted) if got["root"] else
                       outcome.landlock if got["Landlock"] else outcome.bare)
        elif isinstance(outcome, Bounded):
            outcome = outcome.bounded if got[outcome.what] else outcome.unbounded
        else:
            return outcome


def file_state(path):
    """What a change of the file's data or metadata would change."""
    st = os.lstat(path)
    return (st.st_mode, st.st_uid, st.st_gid, st.st_size, st.st_mtime_ns, st.st_ctime_ns,
            sorted(os.listxattr(path, follow_symlinks=False)))


def nice(pid):
    return int(open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()[16])


def become(uid):
    """In a child process, before it goes on: take `uid` as every user and
    group id, with no other group."""
    os.setgroups([])
    os.setresgid(uid, uid, uid)
    os.setresuid(uid, uid, uid)


def refusing(calls):
    """A step for the program's process before it starts: these system
    calls fail with these errors, as under an outer sandbox (libseccomp's
    own filter, which the program's then stacks on)."""
    lib = ctypes.CDLL("libseccomp.so.2")
    lib.seccomp_init.restype = ctypes.c_void_p
    lib.seccomp_init.argtypes = [ctypes.c_uint32]
    lib.seccomp_syscall_resolve_name.argtypes = [ctypes.c_char_p]
    lib.seccomp_rule_add.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_int,
                                     ctypes.c_uint]
    lib.seccomp_load.argtypes = [ctypes.c_void_p]
    numbers = [(lib.seccomp_syscall_resolve_name(call.encode()), error) for call, error in calls]

    def step():
        if not numbers:
            return
        allow, refuse = 0x7fff0000, 0x00050000  # SCMP_ACT_ALLOW, SCMP_ACT_ERRNO(0)
        rules = lib.seccomp_init(allow)
        if not rules or any(lib.seccomp_rule_add(rules, refuse | error, number, 0)
                            for number, error in numbers) or lib.seccomp_load(rules):
            os._exit(127)
    return step


def escape_attempt(program, name, base, outcome, filter_off, setting=None):
    """One run in which the decoder tries `name`, checked against `outcome`
    for what the child reports it got, in the `setting` of ESCAPE_SETTINGS,
    if any. Returns a line for the log, or None where nothing stands in
    the attempt's way (with the filter left out)."""
    user = 65534 if setting == "user" else os.geteuid()
    workdir = os.path.join(base, "run")
    shutil.rmtree(workdir, ignore_errors=True)
    os.mkdir(workdir)
    target = os.path.join(workdir, "input_video")
    if user == os.geteuid() and setting != "private_video":
        os.symlink(video("h264_mp4"), target)
    else:
        shutil.copy(video("h264_mp4"), target)
    if setting == "private_video":
        os.chown(target, 0, 0)
        os.chmod(target, 0o640)
    secret, sibling = os.path.join(base, "secret"), os.path.join(workdir, "sibling")
    for path in (secret, sibling):
        with open(path, "w") as f:
            f.write("not for the decoder\n")
    log = os.path.join(base, "escape.log")
    if os.path.exists(log):
        os.unlink(log)
    # The secret readable to the child's user (root's child takes
    # another), so that only the confinement stands in the way.
    os.chmod(base, 0o755)
    if user != os.geteuid():
        # The user's own run: its directory and files.
        open(log, "w").close()
        for path in (workdir, log, target, sibling):
            os.chown(path, user, user)
    before = [file_state(path) for path in (secret, sibling)]
    env = dict(os.environ, FIRST_FRAME_ESCAPE=name, FIRST_FRAME_ESCAPE_LOG=log,
               FIRST_FRAME_TOKEN=SECRET_VALUE)
    program = escaping_program(program, env, filter_off, hurried=name in HANGS)
    if user != os.geteuid():
        # The build may sit in a directory the user cannot enter (root's
        # home): the user runs copies of the program and its preload.
        program = shutil.copy(program, os.path.join(base, "program"))
        if "LD_PRELOAD" in env:
            env["LD_PRELOAD"] = shutil.copy(env["LD_PRELOAD"], os.path.join(base, "preload.so"))
    refuse = refusing(REFUSED.get(setting, []))

    def start():
        # A core, were the child to leave one, may be as large as it likes.
        resource.setrlimit(resource.RLIMIT_CORE, (resource.RLIM_INFINITY,) * 2)
        if user != os.geteuid():
            become(user)
        refuse()
    listener = socket.create_server(("127.0.0.1", 0))
    # Another process of the user the run is for, holding the secret in
    # its environment: the caller, or a neighbour of it.
    bystander = subprocess.Popen(["sleep", "300"], env=dict(os.environ, FIRST_FRAME_TOKEN=SECRET_VALUE),
                                 preexec_fn=(lambda: become(user)) if user != os.geteuid() else None)
    # A socket left open to the program, its other end kept here.
    inherited, kept = socket.socketpair()
    env.update(FIRST_FRAME_ESCAPE_SECRET=secret,
               FIRST_FRAME_ESCAPE_PORT=str(listener.getsockname()[1]),
               FIRST_FRAME_ESCAPE_PID=str(bystander.pid),
               FIRST_FRAME_ESCAPE_INHERITED=str(inherited.fileno()))
    try:
        p = subprocess.run([program], cwd=workdir, env=env, capture_output=True,
                           timeout=TIMEOUT, pass_fds=(inherited.fileno(),), preexec_fn=start)
        inherited.close()
        kept.setblocking(False)
        try:
            leaked = kept.recv(16)
        except BlockingIOError:
            leaked = b""
        listener.setblocking(False)
        try:
            listener.accept()
            connected = True
        except BlockingIOError:
            connected = False
        tracer = re.search(r"TracerPid:\s*(\d+)", open(f"/proc/{bystander.pid}/status").read())
        bystander_fine = (bystander.poll() is None and tracer.group(1) == "0" and
                          nice(bystander.pid) == nice(os.getpid()))
    finally:
        bystander.kill()
        bystander.wait()
        listener.close()
        kept.close()
    lines = p.stdout.decode().splitlines()
    log_lines = (open(log, "rb").read().rstrip(b"\0").decode().splitlines()
                 if os.path.exists(log) else [])
    got = confinement(log_lines)
    outcome = answer(outcome, user, got, by_path(program), opens_by_name(program))
    started = [int(l.split()[-1]) for l in log_lines if l.startswith("threads started: ")]
    report = [l for l in log_lines if l.startswith(f"{name}: ")]
    got_text = ", ".join(k for k, v in got.items() if v) or "nothing"
    if outcome is None:
        return f"{name}: nothing stands behind the filter here ({got_text})"
    written = p.stderr.decode(errors="replace").splitlines()
    check(not written, f"written to stderr: {written[:3]}")
    check(not leaked, "the decoder wrote to a descriptor it inherited")
    check(not temporaries(os.listdir(workdir)), "temporary files left")
    check(not os.path.exists(os.path.join(base, "escaped")), "the decoder wrote outside")
    cores = [f for d in (base, workdir) for f in os.listdir(d) if f.startswith("core")]
    check(not cores, f"a core file was left: {cores}")
    check(SECRET_VALUE.encode() not in p.stdout, "the secret is on standard output")
    check([file_state(path) for path in (secret, sibling)] == before,
          "the decoder changed a file or its metadata")
    check(not connected, "the decoder connected to a socket")
    check(bystander_fine, "the decoder signalled, traced or reniced another process")
    # Only a video that only root may read keeps root's child at uid 0,
    # in the build whose FFmpeg opens it by name.
    check(got["unprivileged"] or (setting == "private_video" and by_path(program)),
          f"the child kept uid 0 ({got_text})")
    if got["tasks"] and started:
        bound = 64 + 4 * os.cpu_count()
        check(started[0] < bound, f"{started[0]} threads started, the bound is {bound} tasks")
    image = os.path.join(workdir, "first_frame.bmp")
    saved = (p.returncode, lines) == (0, [fps_line("25"), SAVED])
    if outcome in (FAILED, UNSAVED):
        denied = [f"{name}: denied {errno.EBADF}"] if outcome == UNSAVED else []
        expected = [fps_line("25"), WRITE_FAILED] if outcome == UNSAVED else [OPEN_FAILED]
        check(report == [f"{name}: trying"] + denied, f"report {report}")
        check((p.returncode, lines) == (255, expected), f"status {p.returncode}, output {lines}")
        check(not os.path.exists(image), "an image was saved")
    elif isinstance(outcome, signal.Signals):
        check(report == [f"{name}: trying"], f"report {report}")
        check(p.returncode == -outcome, f"status {p.returncode}, not killed by {outcome.name}")
        # Both attempt it while the video opens: FFmpeg's first decode
        # call is its stream probe's.
        check(lines == [], f"output {lines}")
        check(not os.path.exists(image), "an image was saved")
    elif outcome == HELD:
        check(report == [f"{name}: trying", f"{name}: denied {errno.ENOMEM}"], f"report {report}")
        failed = p.returncode == 255 and lines in (
            [OPEN_FAILED], [fps_line("25"), READ_FAILED], [fps_line("25"), WRITE_FAILED])
        check(saved or failed, f"status {p.returncode}, output {lines}")
        check(os.path.exists(image) == saved, "an image was saved after a failure")
    else:
        result = "done" if outcome == DONE else f"denied {outcome}"
        check(report == [f"{name}: trying", f"{name}: {result}"], f"report {report}")
        check(saved, f"status {p.returncode}, output {lines}")
    if saved:
        check(difference(image, reference("h264_mp4")) == (0, 0.0),
              "the saved image differs from ffmpeg's")
        umask = os.umask(0)
        os.umask(umask)
        mode = os.stat(image).st_mode & 0o7777
        check(mode == 0o666 & ~umask, f"the saved image has mode {mode:04o}")
    return f"{report[-1] if report else 'no report'}; status {p.returncode} ({got_text})"


def case_escape(program, name, base):
    """The decoder, compromised, tries to get out; it must not."""
    name, _, setting = name.partition(".")
    whole, behind = ESCAPES[name]
    if name == "affinity" and os.environ.get("FIRST_FRAME_SANITIZED"):
        raise Skip("the sanitizer build lets any CPU mask be asked, for AddressSanitizer's threads")
    if setting:
        if setting == "user" and os.geteuid() != 0:
            raise Skip("the tests run as an ordinary user: the plain rows are this one")
        if setting == "private_video" and os.geteuid() != 0:
            raise Skip("only root can make a video that only root may read")
        settings = ESCAPE_SETTINGS[setting]
        if isinstance(settings, dict):
            whole = settings[name]
        print(f"{name}, {setting}: {escape_attempt(program, name, base, whole, False, setting)}")
        return
    if name == "ptrace" and os.environ.get("FIRST_FRAME_SANITIZED"):
        raise Skip("the sanitizer build lets ptrace through for LeakSanitizer")
    if name in ("stop", "terminate") and os.environ.get("FIRST_FRAME_SANITIZED"):
        raise Skip("the sanitizer build lets any signal through for LeakSanitizer")
    if name == "reboot" and os.geteuid() != 0:
        raise Skip("only root holds the capability to reboot, so there is none to drop")
    print(f"{name}: {escape_attempt(program, name, base, whole, False)}")
    if behind is not None:
        print(f"{name}, the filter left out: {escape_attempt(program, name, base, behind, True)}")


def user_namespaces_given():
    """Whether this process may make a user namespace (not in a chroot,
    not where the kernel or a security module refuses)."""
    libc = ctypes.CDLL(None, use_errno=True)
    pid = os.fork()
    if pid == 0:
        os._exit(0 if libc.unshare(0x10000000) == 0 else 1)  # CLONE_NEWUSER
    return os.waitpid(pid, 0)[1] == 0


def case_own_root(program, workdir):
    """Where the kernel gives it, the child has its root of its own, and
    where it has a user namespace of its own, a bound on its tasks: the
    fallbacks, which the escape rows accept, never become the norm unseen.
    Root's child needs no namespace for its root; an ordinary user's
    needs a user namespace; where FFmpeg opens the video by name, the root
    is a mount, which needs "/" to be a mount point."""
    if os.environ.get("FIRST_FRAME_SANITIZED"):
        raise Skip("the sanitizer build keeps the file system, for its runtime's /proc")
    log = os.path.join(workdir, "confined.log")
    workdir = os.path.join(workdir, "run")
    os.mkdir(workdir)
    os.symlink(video("h264_mp4"), os.path.join(workdir, "input_video"))
    env = dict(os.environ, FIRST_FRAME_ESCAPE_LOG=log)
    run = Run(escaping_program(program, env, hurried=True), workdir, env=env)
    check((run.status, run.lines) == (0, [fps_line("25"), SAVED]), f"{run.status} {run.lines}")
    got = confinement(open(log, "rb").read().rstrip(b"\0").decode().splitlines())
    users = user_namespaces_given()
    mount_point = any(l.split()[4] == "/" for l in open("/proc/self/mountinfo"))
    path = by_path(program)
    expected = {
        "root": (os.geteuid() == 0 or users) and (not path or mount_point),
        "Landlock": got["Landlock"],  # the kernel's; the escape rows judge by it
        "tasks": users and (not path or os.geteuid() != 0),
        "memory": True,
        "unprivileged": True,  # the video is anyone's to read: no reason to keep uid 0
    }
    check(got == expected, f"the child got {got}, expected {expected} "
          f"(user namespaces {'given' if users else 'refused'}, / "
          f"{'a' if mount_point else 'no'} mount point)")
    print(", ".join(f"{k} {'yes' if v else 'no'}" for k, v in got.items()))


def case_escape_absent(program):
    """The attempts are in the test-only build, never in the program."""
    marker = b"FIRST_FRAME_ESCAPE"
    check(marker in open(os.environ["FIRST_FRAME_ESCAPES"], "rb").read(),
          "the test-only build has no escape attempts")
    check(marker not in open(program, "rb").read(), "the program has escape attempts in it")


# The fast build's container image (scripts/image.sh), run by podman in the
# settings people run containers in: the runtime's defaults (as root in
# the container), another user id, every capability dropped, a read-only
# root file system. "sample": the shipped program on the bundled sample;
# "matrix": on a row of the matrix; "image": the image holds no test-only
# code; the others are escape rows, the test-only build bound into the
# container, judged as on the host by what its child reports it got.
CONTAINER_SETTINGS = {"default": [], "user": ["--user", "65534:65534"],
                      "no_capabilities": ["--cap-drop=all"], "read_only": ["--read-only"]}
CONTAINER_ROWS = ["sample", "matrix", "image", "environment", "stat_outside", "read_sibling",
                  "read_secret", "ids", "threads"]
# Root with every capability dropped may not change its ids: its child
# stays uid 0 there, and says so. Its attempt sees the ids it sees: 0, or
# in a user namespace of its own (which no one could map), the unmapped id.
KEPT_ROOT = ("no_capabilities",)
# podman as it runs here: runc, the cgroupfs manager, no default ulimits
# (crun fails on these hybrid cgroups), unless the caller names a
# configuration of its own.
CONTAINERS_CONF = ('[engine]\nruntime = "runc"\ncgroup_manager = "cgroupfs"\n'
                   '[containers]\ndefault_ulimits = []\n')


def container_image():
    """The image of this version, or a reason to skip."""
    if "libopencv_core" in " ".join(linked_libraries(os.environ["FIRST_FRAME_ESCAPES"])):
        raise Skip("the image is the fast build's")
    if not shutil.which("podman"):
        raise Skip("podman is missing")
    if "CONTAINERS_CONF" not in os.environ:
        conf = os.path.join(tempfile.gettempdir(), "first-frame-containers.conf")
        with open(conf, "w") as f:
            f.write(CONTAINERS_CONF)
        os.environ["CONTAINERS_CONF"] = conf
    version = re.search(r"\n\tVERSION ([0-9.]+)\n", open(os.path.join(TOP, "CMakeLists.txt")).read())
    name = f"localhost/first-frame:{version.group(1)}"
    if subprocess.run(["podman", "image", "exists", name]).returncode != 0:
        raise Skip(f"no image {name}: scripts/image.sh makes it")
    return name


def case_container(name, workdir):
    row, _, setting = name.partition(".")
    image = container_image()
    if row == "image":
        exported = subprocess.run(f"podman create {image} | xargs -I{{}} sh -c "
                                  "'podman export {} && podman rm -f {} > /dev/null'",
                                  shell=True, capture_output=True, timeout=TIMEOUT)
        check(exported.returncode == 0 and exported.stdout, f"cannot export {image}")
        check(b"FIRST_FRAME_ESCAPE" not in exported.stdout, "the image holds test-only code")
        check(b"usr/bin/first-frame" in exported.stdout, "the image has no program")
        print(f"{image}: {len(exported.stdout) / 1e6:.1f} MB exported, no test-only code")
        return
    os.chmod(workdir, 0o777)  # for any user id
    secret = os.path.join(workdir, "..", "secret")
    with open(secret, "w") as f:
        f.write("not for the decoder\n")
    log = os.path.join(workdir, "escape.log")
    fixture = video("hevc10_mkv" if row == "matrix" else "h264_mp4")
    shutil.copy(SAMPLE if row == "sample" else fixture, os.path.join(workdir, "input_video"))
    with open(os.path.join(workdir, "sibling"), "w") as f:
        f.write("not for the decoder\n")
    command = ["podman", "run", "--rm", "--network=none", *CONTAINER_SETTINGS[setting],
               "-v", f"{workdir}:/work", "-v", f"{os.path.realpath(secret)}:/secret:ro"]
    if row not in ("sample", "matrix"):
        open(log, "w").close()
        os.chmod(log, 0o666)
        command += ["-v", f"{os.environ['FIRST_FRAME_ESCAPES']}:/escapes:ro", "--entrypoint",
                    "/escapes", "-e", f"FIRST_FRAME_ESCAPE={row}", "-e",
                    "FIRST_FRAME_ESCAPE_LOG=/work/escape.log", "-e",
                    "FIRST_FRAME_ESCAPE_SECRET=/secret", "-e", f"FIRST_FRAME_TOKEN={SECRET_VALUE}"]
    p = subprocess.run(command + [image], capture_output=True, timeout=TIMEOUT)
    if p.returncode in (125, 126, 127):
        raise Skip(f"podman cannot run the image here: {p.stderr.decode().strip()[-300:]}")
    lines = p.stdout.decode().splitlines()
    saved = os.path.join(workdir, "first_frame.bmp")
    reference_name = "h264_mp4" if row != "matrix" else "hevc10_mkv"
    if row == "sample":
        # The sample is the h264_mp4 recipe's, as --make-sample writes it.
        check((p.returncode, lines) == (0, [fps_line("25"), SAVED]), f"{p.returncode} {lines}")
        expected = os.path.join(workdir, "..", "expected.bmp")
        ffmpeg("-i", SAMPLE, "-frames:v", "1", "-pix_fmt", "bgr24", "-c:v", "bmp", expected)
        check(difference(saved, expected)[0] == 0, "the image differs from ffmpeg's frame")
        print(f"{setting}: {lines}")
        return
    if row == "matrix":
        check((p.returncode, lines) == (0, [fps_line(VIDEOS["hevc10_mkv"]["rate"]), SAVED]),
              f"{p.returncode} {lines}")
        largest, mean = difference(saved, reference("hevc10_mkv"))
        check((largest, mean) <= VIDEOS["hevc10_mkv"]["tolerance"], f"differs: {largest} {mean}")
        print(f"{setting}: hevc10_mkv {lines}, largest {largest}, mean {mean:.3f}")
        return
    report = open(log, "rb").read().rstrip(b"\0").decode().splitlines()
    got = confinement(report)
    uid = 65534 if setting == "user" else 0
    check(got["unprivileged"] == (setting not in KEPT_ROOT), f"the child's ids ({got})")
    outcome = answer(ESCAPES[row][0], uid, got, False)
    attempt = [l for l in report if l.startswith(f"{row}: ")]
    result = "done" if outcome == DONE else f"denied {outcome}"
    if not (row == "ids" and setting in KEPT_ROOT):
        check(attempt == [f"{row}: trying", f"{row}: {result}"], f"report {attempt} ({got})")
    check((p.returncode, lines) == (0, [fps_line("25"), SAVED]), f"{p.returncode} {lines}")
    check(difference(saved, reference(reference_name)) == (0, 0.0), "the image differs")
    check(SECRET_VALUE.encode() not in p.stdout, "the secret is on standard output")
    print(f"{setting}: {attempt[-1]} ({', '.join(k for k, v in got.items() if v) or 'nothing'})")


def huge_gif(path):
    """A GIF whose screen, the size of every frame, is 16000x16000 pixels:
    its first frame in BGR takes 768,000,000 bytes."""
    ffmpeg("-f", "lavfi", "-i", "color=size=2x2", "-frames:v", "1", "-f", "gif", path)
    data = bytearray(open(path, "rb").read())
    data[6:10] = struct.pack("<HH", 16000, 16000)
    open(path, "wb").write(data)


def case_memory_limit(program, workdir):
    """Under address-space limits from too small to enough, every run ends
    in one of the documented ways: never an abort or a word on stderr."""
    image = os.path.join(workdir, "first_frame.bmp")
    huge_gif(os.path.join(workdir, "input_video"))
    outcomes = {(0, SAVED), (255, OPEN_FAILED), (255, READ_FAILED), (255, WRITE_FAILED)}
    seen = []
    for gigabytes in (0.5, 1.5, 2.0, 2.3, 2.6, 3.5):
        limit = int(gigabytes * 2**30)
        run = Run(program, workdir, preexec=lambda l=limit: resource.setrlimit(
            resource.RLIMIT_AS, (l, l)))
        check_common(run)
        check((run.status, run.lines[-1] if run.lines else None) in outcomes,
              f"{gigabytes} GB: status {run.status}, output {run.lines}")
        check(len(run.lines) == (1 if run.lines[-1] == OPEN_FAILED else 2) and
              all(l.startswith("Frame per seconds: ") for l in run.lines[:-1]),
              f"{gigabytes} GB: output {run.lines}")
        check(os.path.exists(image) == (run.status == 0),
              f"{gigabytes} GB: status {run.status}, image {os.path.exists(image)}")
        if run.status == 0:
            width, height, _ = read_bmp(image)
            check((width, height) == (16000, 16000), f"saved {width}x{height}")
            os.unlink(image)
        seen.append(f"{gigabytes} GB: {run.lines[-1]}")
    print("; ".join(seen))


def valgrind_cannot_run(stderr):
    """Why valgrind could not run the binary at all, or None. Valgrind
    decodes some instructions only where the host CPU advertises them (3.19
    and RDTSCP, say); a library that runs one while it is loaded, before
    main, stops the run with SIGILL before any code of ours runs. A report
    from anywhere else, main and what it calls, is a real one."""
    if "Unrecognised instruction at address" not in stderr:
        return None
    trace = stderr.split("Unrecognised instruction at address", 1)[1].split("Process terminating")[0]
    if "_dl_init" not in trace or re.search(r"\bmain \(", trace):
        return None
    library = re.search(r"\(in (\S+)\)", trace)
    where = os.path.basename(library.group(1)) if library else "a library"
    version = re.search(r"Using (Valgrind-\S+)", stderr)
    return (f"{version.group(1) if version else 'valgrind'} cannot decode an instruction that "
            f"{where} runs while it is loaded, before main, on this CPU")


def case_valgrind(program, path, workdir):
    """No invalid access and no definite leak, in either process, on the
    success path and each failure path; and an error planted in the
    decoding child is found."""
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
    env = None
    if path == "planted_error":
        env = dict(os.environ, FIRST_FRAME_ESCAPE="invalid_read")
        program = escaping_program(program, env)
    # The child's standard error is /dev/null: each process logs to a file.
    logs = os.path.join(workdir, "valgrind")
    os.mkdir(logs)
    run = Run(program, workdir, env=env, prefix=(
        "valgrind", "--error-exitcode=99", "--leak-check=full", "--errors-for-leak-kinds=definite",
        "--show-leak-kinds=definite", f"--log-file={logs}/%p"))
    reports = {int(n): open(os.path.join(logs, n), errors="replace").read()
               for n in os.listdir(logs)}
    unsupported = valgrind_cannot_run("\n".join(reports.values()))
    if unsupported:
        raise Skip(unsupported)
    errors = {pid: int((re.findall(r"ERROR SUMMARY: (\d+) errors", text) or ["-1"])[-1])
              for pid, text in reports.items()}
    children = [pid for pid, text in reports.items()
                if re.search(r"Parent PID: (\d+)", text).group(1) in map(str, reports)]
    everything = "\n".join(reports.values())
    check(len(children) == (0 if path == "open_failed" else 1),
          f"{len(reports)} processes under valgrind:\n{everything[-3000:]}")
    if path == "planted_error":
        child = reports[children[0]]
        check(errors[children[0]] and "Invalid read of size 1" in child,
              f"the planted error was not found in the child:\n{child[-3000:]}")
        print(f"the child: {errors[children[0]]} error(s), the planted invalid read among them")
        return
    check(all(n == 0 for n in errors.values()),
          f"errors under valgrind {errors}:\n{everything[-3000:]}")
    check(run.status == (0 if path == "saved" else 255),
          f"status {run.status} under valgrind:\n{everything[-3000:]}")
    print(f"ERROR SUMMARY: 0 errors, in each of {len(reports)} processes")


# --- the fast build's bundled Debian sources --------------------------------

# Each row: the source versions a local apt archive (made by the test, read
# through the system-wide mechanism that names archives, APT_ETC) carries
# before and after Debian publishes a fix, as {suite: {source: version}},
# and what the check says of a package bundling BUNDLED: the exit status
# and the verdict on ffmpeg. "refresh" instead runs static-deps.sh's list
# refresh three times: on the old archive, the updated one, and none.
BUNDLED = {"ffmpeg": "7:7.1.5-0+deb13u1", "opencv": "4.10.0+dfsg-5", "dav1d": "1.5.1-1"}
ARCHIVE = {"bookworm": {"ffmpeg": "7:5.1.9-0+deb12u1", "dav1d": "1.0.0-2+deb12u1",
                        "opencv": "4.6.0+dfsg-12"},
           "trixie": {"ffmpeg": "7:7.1.5-0+deb13u1", "opencv": "4.10.0+dfsg-5", "dav1d": "1.5.1-1"}}
FIXED = {"trixie-updates": {"ffmpeg": "7:7.1.6-0+deb13u1"}}
# Each row: the archive's lists, whether it serves the sources it lists,
# the exit status and ffmpeg's line.
BUNDLE = {
    "up_to_date": (ARCHIVE, True, 0, "7:7.1.5-0+deb13u1 up to date (trixie)"),
    "behind":     ({**ARCHIVE, **FIXED}, True, 1, "7:7.1.6-0+deb13u1 BEHIND (trixie)"),
    # Listed before the archive serves it: no rebuild could take it.
    "not_served": ({**ARCHIVE, **FIXED}, False, 0, "7:7.1.5-0+deb13u1 up to date (trixie); "
                   "listed but its source not served: 7:7.1.6-0+deb13u1"),
    "lists_refreshed": None,
}
TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def apt_archive(root, suites, served=True):
    """A local apt archive of source indexes, as `apt-get update` reads it,
    and an apt configuration directory naming it for this machine's
    release; returns that directory. Each source listed is a .dsc of its
    own in the pool, but where not `served` the updates' are missing."""
    codename = next(line.split("=", 1)[1].strip().strip('"') for line in open("/etc/os-release")
                    if line.startswith("VERSION_CODENAME="))
    for release in ("bookworm", "trixie"):
        for suite in (release, release + "-updates"):
            stanzas = []
            for name, version in suites.get(suite, {}).items():
                dsc = f"{name}_{version.split(':')[-1]}.dsc"
                content = f"Source: {name}\nVersion: {version}\n".encode()
                if served or not suite.endswith("-updates"):
                    pool = os.path.join(root, "pool", "main", name[0], name)
                    os.makedirs(pool, exist_ok=True)
                    open(os.path.join(pool, dsc), "wb").write(content)
                sums = {h: hashlib.new(h, content).hexdigest() for h in ("md5", "sha256")}
                stanzas.append(
                    f"Package: {name}\nBinary: {name}\nVersion: {version}\n"
                    f"Format: 3.0 (native)\nDirectory: pool/main/{name[0]}/{name}\n"
                    f"Files:\n {sums['md5']} {len(content)} {dsc}\n"
                    f"Checksums-Sha256:\n {sums['sha256']} {len(content)} {dsc}\n\n")
            index = "".join(stanzas).encode()
            directory = os.path.join(root, "dists", suite, "main", "source")
            os.makedirs(directory, exist_ok=True)
            open(os.path.join(directory, "Sources"), "wb").write(index)
            digest = subprocess.run(["sha256sum"], input=index, capture_output=True,
                                    check=True).stdout.split()[0].decode()
            open(os.path.join(root, "dists", suite, "Release"), "w").write(
                f"Suite: {suite}\nCodename: {suite}\nComponents: main\nArchitectures: source\n"
                f"Date: Wed, 09 Dec 2026 00:00:00 UTC\n"
                f"SHA256:\n {digest} {len(index)} main/source/Sources\n")
    etc = os.path.join(root, "etc")
    os.makedirs(os.path.join(etc, "sources.list.d"), exist_ok=True)
    open(os.path.join(etc, "sources.list"), "w").write(
        f"deb [trusted=yes] copy:{root} {codename} main\n")
    subprocess.run(["chmod", "-R", "a+rX", root], check=True)  # apt reads as _apt
    return etc


def case_bundle(name, workdir):
    """The check of the fast build's bundled sources names each with both
    versions and fails when one is behind; static-deps.sh refreshes its
    lists at every run and goes on with the cached ones offline."""
    if shutil.which("apt-get") is None:
        raise Skip("no apt here")
    archive = os.path.join(workdir, "archive")
    if name == "lists_refreshed":
        cache = os.path.join(workdir, "cache")

        def lists(suites):
            env = dict(os.environ, APT_ETC=apt_archive(archive, suites) if suites else
                       os.path.join(workdir, "nowhere"))
            if not suites:
                os.makedirs(os.path.join(env["APT_ETC"], "sources.list.d"), exist_ok=True)
                open(os.path.join(env["APT_ETC"], "sources.list"), "w").write(
                    open(os.path.join(archive, "etc", "sources.list")).read())
                shutil.rmtree(os.path.join(archive, "dists"))
            p = subprocess.run([os.path.join(TOP, "scripts", "static-deps.sh"), "--lists", cache],
                               capture_output=True, text=True, env=env, timeout=TIMEOUT)
            check(p.returncode == 0, f"static-deps.sh --lists: {p.returncode} {p.stderr}")
            return p.stdout.splitlines(), p.stderr.splitlines()
        out, _ = lists(ARCHIVE)
        check("ffmpeg 7:7.1.5-0+deb13u1 trixie" in out, f"first lists: {out}")
        out, _ = lists({**ARCHIVE, **FIXED})
        check("ffmpeg 7:7.1.6-0+deb13u1 trixie" in out, f"lists not refreshed: {out}")
        out, err = lists(None)
        check("ffmpeg 7:7.1.6-0+deb13u1 trixie" in out, f"cached lists not used: {out}")
        check(len(err) == 1 and "cannot reach the archive" in err[0], f"offline, it said: {err}")
        return
    suites, served, status, verdict = BUNDLE[name]
    package = os.path.join(workdir, "pkg")
    os.makedirs(os.path.join(package, "DEBIAN"))
    using = ", ".join(f"{n} (= {v})" for n, v in sorted(BUNDLED.items()))
    open(os.path.join(package, "DEBIAN", "control"), "w").write(
        "Package: first-frame\nVersion: 0\nArchitecture: all\nMaintainer: tests <t@localhost>\n"
        f"Description: a bundle\nBuilt-Using: {using}\nStatic-Built-Using: {using}\n")
    subprocess.run(["dpkg-deb", "--build", package, package + ".deb"], check=True,
                   capture_output=True)
    p = subprocess.run([os.path.join(TOP, "scripts", "bundled-versions.sh"), package + ".deb"],
                       capture_output=True, text=True, timeout=TIMEOUT,
                       env=dict(os.environ, APT_ETC=apt_archive(archive, suites, served)))
    rows = {line.split()[0]: " ".join(line.split()) for line in p.stdout.splitlines()[1:]}
    check(p.returncode == status, f"status {p.returncode}, expected {status}: {p.stdout}{p.stderr}")
    check(sorted(rows) == sorted(BUNDLED), f"sources listed: {sorted(rows)}")
    check(rows["ffmpeg"].startswith(f"ffmpeg {BUNDLED['ffmpeg']} {verdict}"),
          f"ffmpeg: {rows['ffmpeg']!r}, expected {verdict!r}")
    check(rows["opencv"] == "opencv 4.10.0+dfsg-5 4.10.0+dfsg-5 up to date (trixie)",
          f"opencv: {rows['opencv']!r}")


def run_case(program, case):
    kind, _, name = case.partition(".")
    with tempfile.TemporaryDirectory(prefix="first-frame-") as workdir:
        if kind == "frame":
            case_frame(program, name, workdir)
        elif kind == "broken":
            case_broken(program, name, workdir)
        elif kind == "write":
            case_write(program, name, workdir)
        elif kind == "closed":
            case_closed(program, name, workdir)
        elif case == "bound.documented":
            case_bound_documented(program, workdir)
        elif case == "bound.batch_recipe":
            case_batch_recipe(program, workdir)
        elif kind == "arguments_ignored":
            case_arguments_ignored(program, workdir)
        elif kind == "umask_respected":
            case_umask_respected(program, workdir)
        elif kind in ("bundled_sample", "child_signal_ignored"):
            case_bundled_sample(program, workdir, kind == "child_signal_ignored")
        elif kind == "parallel":
            case_parallel(program, name == "swapped_inputs", workdir)
        elif kind == "valgrind":
            case_valgrind(program, name, workdir)
        elif case == "confined.every_decoder":
            case_every_decoder(program, workdir)
        elif case == "confined.own_root":
            case_own_root(program, workdir)
        elif kind == "confined":
            case_confined(program, name, workdir)
        elif kind == "memory_limit":
            case_memory_limit(program, workdir)
        elif kind == "bundle":
            case_bundle(name, workdir)
        elif kind == "container":
            case_container(name, workdir)
        elif case == "escape.absent_from_program":
            case_escape_absent(program)
        elif kind == "escape":
            case_escape(program, name, workdir)
        else:
            raise SystemExit(f"unknown case {case}")


def measure(program):
    """Print how the saved image compares with ffmpeg's, per format, and
    whether each run is what a player shows (the frame-rate line right,
    the image within the row's tolerance). False if any is not: known
    faults of system libraries count here."""
    print(f"{'format':22} {'size':>10} {'largest':>8} {'mean':>8}  verdict")
    wrong = []
    for name in VIDEOS:
        with tempfile.TemporaryDirectory(prefix="first-frame-") as workdir:
            os.symlink(video(name), os.path.join(workdir, "input_video"))
            run = Run(program, workdir)
            saved = os.path.join(workdir, "first_frame.bmp")
            try:
                diff = against_ffmpeg(saved, name)
                verdict = faithful(run, name, diff)
            except AssertionError as size:  # not the picture's size
                diff, verdict = None, str(size)
            if not os.path.exists(saved):
                figures = f"{'no image':>10} {'':8} {'':8}"
            else:
                w, h, _ = read_bmp(saved)
                figures = f"{f'{w}x{h}':>10} " + \
                    (f"{diff[0]:8} {diff[1]:8.3f}" if diff else f"{'':8} {'':8}")
            print(f"{name:22} {figures}  {'ok' if verdict is None else 'WRONG: ' + verdict}")
            if verdict is not None:
                wrong.append(name)
    print(f"{len(VIDEOS) - len(wrong)} of {len(VIDEOS)} formats as ffmpeg decodes them" +
          (f"; wrong: {', '.join(wrong)}" if wrong else ""))
    return not wrong


def same_as(program, other):
    """Another build of the program saves the very same file, byte for byte,
    for every format, but where the recipe allows a tolerance against
    ffmpeg: there the two may differ as much as each may differ from it."""
    for name in VIDEOS:
        with tempfile.TemporaryDirectory(prefix="first-frame-") as workdir:
            saved, runs = [], []
            for i, binary in enumerate((program, other)):
                rundir = os.path.join(workdir, str(i))
                os.mkdir(rundir)
                os.symlink(video(name), os.path.join(rundir, "input_video"))
                runs.append(Run(binary, rundir))
                image = os.path.join(rundir, "first_frame.bmp")
                saved.append(open(image, "rb").read() if os.path.exists(image) else None)
            fault = known_fault(program, name) or known_fault(other, name)
            if fault and fault[0] not in RATE_FAULTS:
                print(f"{name}: may differ, a known fault: {fault[1]}")
                continue
            check(fault or runs[0].lines == runs[1].lines,
                  f"{name}: lines {runs[0].lines} and {runs[1].lines}")
            check(runs[0].status == runs[1].status, f"{name}: statuses {runs[0].status}, {runs[1].status}")
            if saved[0] == saved[1]:
                print(f"{name}: identical, {len(saved[0] or b'')} bytes")
                continue
            largest, mean = difference(*(os.path.join(workdir, str(i), "first_frame.bmp")
                                         for i in (0, 1)))
        max_tol, mean_tol = VIDEOS[name]["tolerance"]
        check(max_tol > 0 and largest <= max_tol and mean <= mean_tol,
              f"{name}: the two builds' images differ: largest {largest}, mean {mean:.3f}")
        print(f"{name}: largest difference {largest}, mean {mean:.3f}")


DOCS = ["README.md", "SECURITY.md", "NEWS.md", "bench/results.md", "docs"]


def anchors(path):
    """The anchors a code host makes of a Markdown file's headings."""
    seen, fenced = {}, False
    for line in open(path, encoding="utf-8"):
        fenced ^= line.startswith("```")
        if fenced or not line.startswith("#"):
            continue
        slug = re.sub(r"[^\w\- ]", "", line.lstrip("#").strip().lower()).replace(" ", "-")
        n = seen.get(slug, 0)
        seen[slug] = n + 1
        yield slug if n == 0 else f"{slug}-{n}"


def broken_links():
    """Relative links between the project's Markdown files whose file or
    heading is not there, as "FILE: TARGET" lines."""
    files = []
    for doc in DOCS:
        path = os.path.join(TOP, doc)
        files += sorted(os.path.join(path, f) for f in os.listdir(path) if f.endswith(".md")) \
            if os.path.isdir(path) else [path]
    broken = []
    for path in files:
        text = re.sub(r"```.*?```", "", open(path, encoding="utf-8").read(), flags=re.S)
        for target in re.findall(r"\]\(([^)\s]+)\)", text):
            if re.match(r"[a-z]+:", target):
                continue
            name, _, anchor = target.partition("#")
            linked = os.path.normpath(os.path.join(os.path.dirname(path), name)) if name else path
            if not os.path.exists(linked) or \
                    (anchor and (not linked.endswith(".md") or anchor not in anchors(linked))):
                broken.append(f"{os.path.relpath(path, TOP)}: {target}")
    return broken


def main(argv):
    if argv[1:] == ["--list"]:
        print("\n".join(cases()))
    elif argv[1:] == ["--links"]:
        broken = broken_links()
        print("\n".join(broken) or "every link resolves")
        sys.exit(1 if broken else 0)
    elif len(argv) == 3 and argv[1] == "--make-sample":
        ffmpeg("-i", video("h264_mp4"), "-c", "copy", "-f", "mp4", argv[2])
    elif len(argv) == 4 and argv[2] == "--same-as":
        same_as(os.path.abspath(argv[1]), os.path.abspath(argv[3]))
    elif len(argv) == 3 and argv[2] == "--measure":
        sys.exit(0 if measure(os.path.abspath(argv[1])) else 1)
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
