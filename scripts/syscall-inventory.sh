#!/bin/sh
# Which system calls the fast build's linked code can make, and how the
# decoding child's filter (make_filter in test.cpp) treats each: kept so
# that a library update that brings a new call is seen before it ships.
#
#   syscall-inventory.sh PROGRAM            print the inventory
#   syscall-inventory.sh PROGRAM --check    fail where it differs from the
#                                           kept one for this Debian release,
#                                           scripts/syscall-inventory-NN.txt
#
# From the fast build's binary (FFmpeg, dav1d, OpenCV and libstdc++
# linked in; the C library alone shared) it takes:
#  - every C library function the linked code imports, mapped to the
#    system calls it can make on glibc 2.36 and 2.41 by
#    scripts/libc-calls.txt; a function not in that map fails the run;
#  - every raw system call: the numbers passed to syscall(), and any
#    syscall instruction in the binary, read from its disassembly.
# Each system call so reached must have a class in libc-calls.txt
# (allowed, narrowed: allowed with conditions on its arguments, refused
# with an errno, or killed), and the class must agree with the filter: a
# call allowed, narrowed or refused is named in make_filter, a killed one
# is not (the filter kills whatever it does not name). One inventory is
# kept a release, as each builds the fast build with its own C library
# headers and C++ runtime (Debian 12: glibc 2.36, GCC 12; 13: 2.41, 14).
set -eu
if [ $# -lt 1 ]; then
	echo "usage: syscall-inventory.sh PROGRAM [--check]" >&2
	exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
echo "syscall-inventory: reading $1" >&2
exec python3 - "$here" "$@" <<'EOF'
import os, re, subprocess, sys

here, program, check = sys.argv[1], sys.argv[2], "--check" in sys.argv[3:]
top = os.path.dirname(here)
release = ""
for line in open("/etc/os-release"):
    if line.startswith("VERSION_ID="):
        release = line.split("=", 1)[1].strip().strip('"').split(".")[0]
kept = os.path.join(here, f"syscall-inventory-{release}.txt")

# The kernel's numbers, from the C library's headers.
numbers = {}
for line in open("/usr/include/x86_64-linux-gnu/asm/unistd_64.h"):
    m = re.match(r"#define __NR_(\w+)\s+(\d+)", line)
    if m:
        numbers[int(m.group(2))] = m.group(1)

# The map: "function function ...: call call ..." ("-": none);
# "= call CLASS [why]"; and "@ function call": the raw system call made in
# a function of the binary whose number the disassembly does not show.
functions, classes, raw_in = {}, {}, {}
for n, line in enumerate(open(os.path.join(here, "libc-calls.txt")), 1):
    line = line.split("#", 1)[0].strip()
    if not line:
        continue
    if line.startswith("="):
        call, kind = line[1:].split()[:2]
        classes[call] = kind
    elif line.startswith("@"):
        where, call = line[1:].split()[:2]
        raw_in[where] = call
    else:
        names, _, calls = line.partition(":")
        for name in names.split():
            functions[name] = [c for c in calls.split() if c != "-"]

problems = []
imports = sorted({m.group(1) for m in re.finditer(
    r"^\s+[UwV]\s+(\w+)@(?:GLIBC|GLIBCXX_NONE)_",
    subprocess.run(["nm", "-D", "--undefined-only", program], capture_output=True, text=True,
                   check=True).stdout, re.M)})
for name in imports:
    if name not in functions:
        problems.append(f"the C library function {name} is not in libc-calls.txt")

# Raw system calls: syscall(N, ...) (the number in %edi before the call)
# and syscall instructions (the number in %eax before them).
raw = set()
listing = subprocess.run(["objdump", "-d", "--no-show-raw-insn", program], capture_output=True,
                         text=True, check=True).stdout.splitlines()
function = "?"
for i, line in enumerate(listing):
    m = re.match(r"^[0-9a-f]+ <(.+)>:$", line)
    if m:
        function = m.group(1)
    direct = re.search(r"\ssyscall\s*$", line)
    if not (direct or re.search(r"call\s.*<syscall@plt>", line)):
        continue
    register = "%eax" if direct else "%edi"
    for before in reversed(["call"] + listing[max(0, i - 12):i]):
        m = re.search(r"mov\s+\$0x([0-9a-f]+),(%e|%r)" + register[2:], before)
        if m:
            raw.add(numbers.get(int(m.group(1), 16), f"#{int(m.group(1), 16)}"))
            break
        if re.search(r"\bcall\b|\bret\b|\bjmp\b", before):
            if function in raw_in:
                raw.add(raw_in[function])
            else:
                problems.append(f"a raw system call in {function} whose number the "
                                "disassembly does not show (name it with \"@ FUNCTION CALL\")")
            break

reached = {}
for name in imports:
    for call in functions.get(name, []):
        reached.setdefault(call, set()).add(name)
for call in raw:
    reached.setdefault(call, set()).add("syscall()")

# What the filter names, outside the test builds' extras.
source = open(os.path.join(top, "test.cpp")).read()
body = source[source.index("static bool make_filter"):]
body = body[:body.index("\n}\n")]
body = re.sub(r"#if FIRST_FRAME_SANITIZED.*?#endif", "", body, flags=re.S)
body = re.sub(r"if \(valgrind\) \{.*?\n\t\}", "", body, flags=re.S)
named = set(re.findall(r"SYS_(\w+)", body))
for call in sorted(reached):
    kind = classes.get(call)
    if kind is None:
        problems.append(f"the system call {call} (from {', '.join(sorted(reached[call]))}) "
                        "has no class in libc-calls.txt")
    elif kind not in ("allowed", "narrowed", "refused", "killed"):
        problems.append(f"{call}: unknown class {kind}")
    elif (kind == "killed") == (call in named):
        problems.append(f"{call} is {kind} in libc-calls.txt but "
                        f"{'named' if call in named else 'not named'} in the filter")

lines = [f"# Made by scripts/syscall-inventory.sh from the fast build; "
         f"{len(imports)} C library functions, {len(raw)} raw system calls.",
         "# system call, its class, and what reaches it"]
for call in sorted(reached):
    lines.append(f"{call:24} {classes.get(call, '?'):9} {' '.join(sorted(reached[call]))}")
text = "\n".join(lines) + "\n"
if check:
    old = open(kept).read() if os.path.exists(kept) else ""
    if old != text:
        import difflib
        name = os.path.basename(kept)
        sys.stdout.writelines(difflib.unified_diff(old.splitlines(True), text.splitlines(True),
                                                   f"{name} (kept)", "now"))
        problems.append(f"the inventory differs from scripts/{name}: classify what is new, "
                        f"then keep the new one (syscall-inventory.sh PROGRAM > scripts/{name})")
else:
    sys.stdout.write(text)
counts = {k: sum(1 for c in reached if classes.get(c) == k)
          for k in ("allowed", "narrowed", "refused", "killed")}
print(f"syscall-inventory: {len(imports)} functions, {len(raw)} raw calls, {len(reached)} "
      f"system calls: " + ", ".join(f"{v} {k}" for k, v in counts.items()), file=sys.stderr)
for p in problems:
    print(f"syscall-inventory: {p}", file=sys.stderr)
sys.exit(1 if problems else 0)
EOF
