#!/bin/sh
# Which system calls the confined decoder makes, to keep the filter's
# allowlist in test.cpp right when a library or the C library changes:
# runs PROGRAM under strace -f on each input (in a scratch directory, as
# input_video) and lists what the child and its threads called after the
# filter was loaded, with the arguments the rules look at, and any run the
# filter killed, with the call that did it.
#
#   trace-decoder.sh PROGRAM INPUT...
#   trace-decoder.sh build/first-frame build/tests/fixtures/*.mp4 corpus/*
set -eu
if [ $# -lt 2 ]; then
	echo "usage: trace-decoder.sh PROGRAM INPUT..." >&2
	exit 2
fi
echo "trace-decoder: tracing $1 on $(($# - 1)) inputs" >&2
exec python3 - "$@" <<'EOF'
import collections, os, re, subprocess, sys, tempfile

program = os.path.abspath(sys.argv[1])
LINE = re.compile(r"^(\d+)\s+(?:<\.\.\. (\w+) resumed>(.*)|(\w+)\((.*))$")
# The argument each rule in test.cpp looks at, by position.
ARGUMENT = {"mmap": 2, "mprotect": 2, "openat": 2, "clone": 1, "prctl": 0, "fcntl": 1,
            "ioctl": 1, "tgkill": 0}
calls, details, killed = collections.Counter(), collections.Counter(), []


def arguments(text):
    """The arguments of a call as strace writes it, split at top-level commas."""
    args, depth, current = [], 0, ""
    for ch in re.sub(r"\)\s+=\s.*$", "", text):
        depth += (ch in "([{") - (ch in ")]}")
        if ch == "," and depth == 0:
            args.append(current.strip())
            current = ""
        else:
            current += ch
    return args + [current.strip()]


for path in sys.argv[2:]:
    with tempfile.TemporaryDirectory(prefix="trace-decoder-") as d:
        os.symlink(os.path.abspath(path), os.path.join(d, "input_video"))
        log = os.path.join(d, "strace.log")
        subprocess.run(["strace", "-f", "-qq", "-o", log, program], cwd=d,
                       capture_output=True, timeout=300)
        confined, last, unfinished = {}, {}, {}
        for line in open(log, errors="replace"):
            if "killed by SIGSYS" in line and int(line.split()[0]) in confined:
                killed.append(f"{path}: {last.get(int(line.split()[0]))}")
            m = LINE.match(line.rstrip("\n"))
            if not m:
                continue
            pid, name = int(m.group(1)), m.group(4) or m.group(2)
            rest = m.group(5) if m.group(4) else unfinished.pop(pid, "") + m.group(3)
            if rest.endswith("<unfinished ...>"):
                unfinished[pid] = rest[:-len("<unfinished ...>")]
                continue
            if pid not in confined:
                # The child is confined from its successful filter load on.
                if name == "seccomp" and "SET_MODE_FILTER" in rest and rest.endswith("= 0"):
                    confined[pid] = pid
                continue
            calls[name] += 1
            last[pid] = f"{name}({rest[:80]}"
            if name in ARGUMENT:
                args = arguments(rest)
                value = args[ARGUMENT[name]] if len(args) > ARGUMENT[name] else "?"
                if name == "tgkill":
                    value = "self" if value == str(confined[pid]) else "another process"
                details[f"{name} {value}"] += 1
            if name == "clone" and re.search(r"= (\d+)$", rest):
                confined[int(rest.rsplit("= ", 1)[1])] = confined[pid]
print("calls after the filter was loaded, and how often:")
for name, count in sorted(calls.items()):
    print(f"  {name:24} {count}")
print("arguments the rules look at:")
for detail, count in sorted(details.items()):
    print(f"  {detail:72} {count}")
print(f"runs killed by the filter: {len(killed)}")
for line in killed:
    print(f"  {line}")
EOF
