#!/bin/sh
# Coverage-guided fuzzing, with libFuzzer, of what the decoding child does
# with a stranger's bytes (tests/fuzz-target.cpp: open the capture, read the
# first frame, hand it over), against the fast build's FFmpeg and OpenCV,
# our patches included, built by clang with AddressSanitizer,
# UndefinedBehaviorSanitizer and coverage (scripts/static-deps.sh --fuzz:
# about 25 minutes on 2 cores the first time, cached after).
#
#   fuzz.sh [SECONDS]       fuzz for SECONDS (default 600), one job per core;
#                           print executions, coverage and findings
#   fuzz.sh --replay DIR... run the target once on every file of each DIR
#                           (any videos, not only a corpus), one file a core
#                           at a time: one line a finding, then a count;
#                           status 1 if any
#   fuzz.sh --build         only build the replay's target (check.sh builds
#                           it beside the suites)
#   fuzz.sh --coverage [DIR] how many of our patches' lines the corpus (or
#                           DIR) runs, per patch and per hunk, and which
#                           it misses
#   fuzz.sh --minimise DIR  the corpus cut to the inputs that keep its
#                           coverage, cut to 2 KiB, into DIR (as tests/fuzz-corpus)
#
# The replay needs no coverage feedback: its target (build-replay/) and
# libraries (static-deps.sh --replay) have the sanitizers alone, which
# builds in about two thirds of the time. Every sanitizer report stops the
# input (UndefinedBehaviorSanitizer's too), so each is kept as a finding.
# The corpus lives in CACHE/fuzz/corpus and carries over between runs
# (CACHE is the fast build's, ~/.cache/first-frame); it starts from the
# kept corpus tests/fuzz-corpus and from the test matrix's videos, if the
# tests have made them (build/tests/fixtures). Findings go to
# CACHE/fuzz/findings, logs to CACHE/fuzz/logs.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
say() { echo "fuzz: $*"; }
# How many files a folder holds (corpus and findings names are hashes).
count() { ls "$1" | wc -l; }

mode=fuzz
case ${1:-} in
--replay) mode=replay; shift; : "${1:?--replay needs a directory}" ;;
--build) mode=build ;;
--replay-one) mode=replay_one; shift ;;
--minimise) mode=minimise; dir=${2:?"$1 needs a directory"} ;;
--coverage) mode=coverage; dir=${2:-} ;;
'') seconds=600 ;;
*[!0-9]*) echo "usage: fuzz.sh [SECONDS] | --replay DIR... | --build | --coverage [DIR] | --minimise DIR" >&2; exit 2 ;;
*) seconds=$1 ;;
esac

# A report ends the input, with the whole stack; a picture too large to
# allocate is a failure the program handles, not a finding; only the
# coverage of --coverage is written.
export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1:handle_abort=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:report_error_type=1
export LLVM_PROFILE_FILE=/dev/null
# The limits of one input: a hang is a run over 10 s (the sanitizers make
# decoding some 5 times slower: a second of the shipped build), and the
# program's largest picture fits in 4 GiB. Replaying files that are known
# (CI's corpus and test videos, the slowest 5 s alone) and measuring
# coverage allow 60 s: on a busy machine a slow file is not a hang.
seconds_an_input=10
[ "$mode" = fuzz ] || seconds_an_input=60
limits="-timeout=$seconds_an_input -rss_limit_mb=4096 -malloc_limit_mb=4096"

if [ "$mode" = replay_one ]; then # the target, the file: one line, "ms NAME" or "FINDING ..."
	# shellcheck disable=SC2086 # the limits are meant to split
	if out=$(timeout 120 "$1" $limits "$2" 2>&1); then
		echo "$(echo "$out" | sed -n 's/^Executed .* in \([0-9]*\) ms$/\1/p' | head -n 1) $(basename "$2")"
	else
		what=$(echo "$out" | grep -m 1 -e '^SUMMARY: ' -e 'ERROR: libFuzzer' -e 'runtime error:' || true)
		echo "FINDING $(basename "$2"): ${what:-no end within 120 s}"
	fi
	exit 0
fi

flavour=fuzz
coverage=ON
case $mode in replay | build) flavour=replay coverage=OFF ;; esac
./scripts/deps.sh fuzz
say "building the fuzz target in build-$flavour/ (and its libraries, unless cached)"
cmake -S . -B "build-$flavour" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	-DFIRST_FRAME_FUZZ=ON -DFIRST_FRAME_FUZZ_COVERAGE=$coverage -DFIRST_FRAME_BUILD_TESTS=OFF > /dev/null
cmake --build "build-$flavour" --parallel "$(nproc)" > /dev/null
target=$top/build-$flavour/first-frame-fuzz
[ "$mode" != build ] || exit 0
cached() { sed -n "s/^$1:[A-Z]*=//p" "build-$flavour/CMakeCache.txt"; }
work=$(cached FIRST_FRAME_DEPS_CACHE)/fuzz
opencv=$(cd "$(cached OpenCV_DIR)/../../.." && pwd)
mkdir -p "$work/corpus" "$work/findings" "$work/logs" "$work/seeds"

case $mode in
replay)
	say "running the target once on each file of $*, $(nproc) at a time"
	# A glob, not ls: a video's name may hold spaces.
	for d in "$@"; do for f in "$d"/*; do
		[ -f "$f" ] && printf '%s\0' "$f"
	done; done | xargs -0 -r -n 1 -P "$(nproc)" "$top/scripts/fuzz.sh" --replay-one "$target" > "$work/logs/replay.log"
	grep '^FINDING ' "$work/logs/replay.log" | sed 's/^/fuzz: /' || true
	count=$(wc -l < "$work/logs/replay.log")
	found=$(grep -c '^FINDING ' "$work/logs/replay.log" || true)
	slowest=$(grep -v '^FINDING ' "$work/logs/replay.log" | sort -n | tail -n 1)
	say "replayed $count files: $found findings; slowest ${slowest%% *} ms (${slowest#* })"
	[ "$found" -eq 0 ]
	exit
	;;
minimise)
	mkdir -p "$dir"
	say "cutting the corpus $work/corpus ($(count "$work/corpus") inputs) down to $dir"
	# A merge runs on one core: each core merges a share of the corpus,
	# then one merge keeps what the shares kept. Inputs are cut to 2 KiB,
	# so that a kept corpus stays small: the test videos, which check.sh
	# replays beside it, bring the whole files.
	shares=$(mktemp -d "$work/shares.XXXXXX")
	trap 'rm -rf "$shares"' EXIT
	cores=$(nproc) n=0
	for f in "$work/corpus"/*; do
		share=$((n % cores))
		mkdir -p "$shares/in$share" "$shares/out$share"
		ln "$f" "$shares/in$share/"
		n=$((n + 1))
	done
	for share in "$shares"/in*; do
		# shellcheck disable=SC2086 # the limits are meant to split
		"$target" -merge=1 $limits -max_len=2048 "$shares/out${share##*/in}" "$share" \
			> "$work/logs/minimise-${share##*/}.log" 2>&1 &
	done
	wait
	# shellcheck disable=SC2086 # the limits are meant to split
	"$target" -merge=1 $limits -max_len=2048 "$dir" "$shares"/out* > "$work/logs/minimise.log" 2>&1
	say "$(count "$dir") inputs, $(du -sk "$dir" | cut -f1) KiB"
	exit
	;;
coverage)
	profiles=$(mktemp -d)
	trap 'rm -rf "$profiles"' EXIT
	dir=${dir:-$work/corpus}
	say "running $dir ($(count "$dir") inputs) for line coverage"
	# shellcheck disable=SC2086 # the limits are meant to split
	LLVM_PROFILE_FILE="$profiles/%p.profraw" "$target" -runs=0 $limits "$dir" \
		> "$work/logs/coverage.log" 2>&1
	llvm-profdata merge -sparse "$profiles"/*.profraw -o "$profiles/all.profdata"
	ffmpeg=$(cat "$opencv/ffmpeg-prefix")
	exec python3 - "$target" "$profiles/all.profdata" "$work/../src" \
		"$ffmpeg/work/ffmpeg-src" "$top/scripts/ffmpeg-patches" \
		"$opencv/work/opencv-src" "$top/scripts/opencv-patches" <<'EOF'
# For each patch, the lines it adds: the patches are applied again, in
# order, to Debian's files, and each line of the patched file is owned by
# the patch that wrote it last. Of those, the lines the compiler made code
# of: how many the corpus ran, per patch and per hunk.
import difflib, glob, os, re, shutil, subprocess, sys, tempfile
target, profile, sources = sys.argv[1:4]
owners = {}  # path in the patched tree -> the patch owning each line, or None
order = []
for patched, directory in zip(sys.argv[4::2], sys.argv[5::2]):
    original = next(d for d in glob.glob(os.path.join(sources, os.path.basename(patched)[:-4] + "-*"))
                    if os.path.isdir(d))
    tree = tempfile.mkdtemp()
    lines = {}
    for patch in sorted(glob.glob(os.path.join(directory, "*.patch"))):
        order.append(patch)
        names = re.findall(r"^\+\+\+ b/(\S+)", open(patch, errors="replace").read(), re.M)
        for name in names:
            if name not in lines:
                os.makedirs(os.path.dirname(os.path.join(tree, name)), exist_ok=True)
                shutil.copy(os.path.join(original, name), os.path.join(tree, name))
                lines[name] = open(os.path.join(tree, name), errors="replace").read().splitlines()
                owners[os.path.join(patched, name)] = [None] * len(lines[name])
        subprocess.run(["patch", "-s", "-d", tree, "-p1", "-i", patch], check=True)
        for name in names:
            new = open(os.path.join(tree, name), errors="replace").read().splitlines()
            old_owner = owners[os.path.join(patched, name)]
            owner = [patch] * len(new)
            matcher = difflib.SequenceMatcher(None, lines[name], new, autojunk=False)
            for tag, i1, i2, j1, j2 in matcher.get_opcodes():
                if tag == "equal":
                    owner[j1:j2] = old_owner[i1:i2]
            owners[os.path.join(patched, name)] = owner
            lines[name] = new
    shutil.rmtree(tree)
paths = sorted(owners)
# FFmpeg compiles its sources as src/..., through a link in its build
# directory (work/ffmpeg), which is gone.
built_as = sys.argv[4][:-len("-src")] + "/src"
shown = subprocess.run(["llvm-cov", "show", target, "-instr-profile=" + profile,
                        "-path-equivalence=" + built_as + "," + sys.argv[4],
                        "-show-line-counts", "-use-color=0"] + paths,
                       capture_output=True, text=True, check=True).stdout
counts, current = {}, None  # path -> {line: whether run}, for lines of code
for l in shown.splitlines():
    header = l[:-1].replace(built_as, sys.argv[4], 1)
    if l.endswith(":") and header in paths:
        current = counts.setdefault(header, {})
        continue
    m = re.match(r"\s*(\d+)\|\s*([0-9.]+[kMGE]?)?\|", l)
    if current is not None and m and m.group(2) is not None:
        current[int(m.group(1))] = m.group(2) != "0"
total_run = total_code = 0
for patch in order:
    run = code = 0
    missed, hunks = [], []
    for path in paths:
        hunk = None
        for n, owner in enumerate(owners[path], 1):
            if owner != patch or n not in counts.get(path, {}):
                continue
            name = os.path.relpath(path, path.split("-src/")[0] + "-src")
            if hunk is None or n > hunk[1] + 8:
                hunk = [n, n, 0, 0]
                hunks.append((name, hunk))
            hunk[1] = n
            hunk[3] += 1
            code += 1
            if counts[path][n]:
                hunk[2] += 1
                run += 1
            else:
                missed.append(f"{name}:{n}")
    total_run += run
    total_code += code
    print(f"{os.path.basename(patch)}: {run} of {code} lines of code run")
    for name, (first, last, r, c) in hunks:
        print(f"    {name}:{first}-{last}: {r} of {c}")
    if missed:
        print("    not run: " + " ".join(missed))
print(f"all patches: {total_run} of {total_code} lines of code run")
EOF
	;;
esac

# Seeds: the kept corpus and the test matrix's videos (the inputs our
# patches were written for come first in it: HEIF grids, trimmed,
# mirrored and encrypted clips, interlaced and B-frame H.264).
cp tests/fuzz-corpus/* "$work/seeds/" 2>/dev/null || true
if [ -d build/tests/fixtures ]; then
	find build/tests/fixtures -maxdepth 1 -type f ! -name '*.bmp' -exec cp {} "$work/seeds/" \;
else
	say "no test videos in build/tests/fixtures (the tests make them): seeding from tests/fuzz-corpus only"
fi
log=$work/logs/$(date -u +%Y%m%dT%H%M%SZ).log
jobs=$(nproc)
say "fuzzing for $seconds s with $jobs jobs; corpus $work/corpus ($(count "$work/corpus") inputs), log $log"
before=$(count "$work/findings")
# The jobs are forks that libFuzzer restarts after a finding, so the
# campaign goes on; each finding is kept in the findings directory.
# shellcheck disable=SC2086 # the limits are meant to split
"$target" -fork="$jobs" -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
	-max_total_time="$seconds" $limits -max_len=262144 -dict=tests/fuzz.dict \
	-artifact_prefix="$work/findings/" "$work/corpus" "$work/seeds" > "$log" 2>&1 || true
grep -E '^#[0-9]+: ' "$log" | awk 'NR % 20 == 0' | sed 's/^/fuzz: /' || true
last=$(grep -E '^#[0-9]+: ' "$log" | tail -n 1)
runs=$(echo "$last" | sed -n 's/^#\([0-9]*\):.*/\1/p')
say "executions ${runs:-0} in $seconds s ($(( ${runs:-0} / seconds )) a second over $jobs jobs)"
say "coverage $(echo "$last" | sed -n 's/.*\(cov: [0-9]* ft: [0-9]*\).*/\1/p'), corpus $(count "$work/corpus") inputs"
after=$(count "$work/findings")
say "findings: $((after - before)) new, $after in all (oom/timeout/crash: $(echo "$last" | sed -n 's#.*oom/timeout/crash: \([0-9/]*\).*#\1#p'))"
for f in $(ls -t "$work/findings" | head -n 20); do
	echo "fuzz:   $f"
done
say "each: $0 --replay DIR, or $target FILE"
