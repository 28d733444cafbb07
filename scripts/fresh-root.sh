#!/bin/sh
# Try the README's two commands as a new user would: in a minimal Debian
# root made with mmdebstrap (the apt variant, plus git, sudo and
# ca-certificates), from a clean clone of this repository's HEAD, entered
# with chroot in a private mount namespace with /proc, /sys, /dev and
# /dev/pts bound. Prints each step of the two commands with the time since
# it began, how long each command took and the tests that skipped; the
# whole log is kept beside the root. Needs root; not part of the test
# command (it builds everything from nothing, about an hour on 2 cores).
#
#   fresh-root.sh 12|13 [--plain-chroot] [DIR]
#
# The root is bound onto itself first, so that inside it "/" is a mount
# point, as on a machine; --plain-chroot leaves that out, as many chroots
# made by hand or for building packages are. DIR: where roots go
# (/var/tmp/first-frame-roots); each kind of root has its own.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)

release=${1:-}
case $release in
12) suite=bookworm ;;
13) suite=trixie ;;
*) echo "usage: fresh-root.sh 12|13 [--plain-chroot] [DIR]" >&2; exit 2 ;;
esac
shift
self_bind=true
kind=""
if [ "${1:-}" = --plain-chroot ]; then
	self_bind=false
	kind=-plain
	shift
fi
if [ "$(id -u)" -ne 0 ]; then
	echo "fresh-root: needs root (mmdebstrap, chroot, mounts)" >&2
	exit 1
fi
dir=$(realpath -m "${1:-/var/tmp/first-frame-roots}")
root=$dir/debian-$release$kind
log=$dir/debian-$release$kind.log

./scripts/deps.sh root
# The archive, and the apt settings that reach it, as this machine's own
# apt configuration has them.
sources=$(./scripts/debian-mirror.sh deb "$suite")
set --
while read -r line; do
	set -- "$@" "$line"
done <<EOF
$(./scripts/debian-mirror.sh mmdebstrap "$suite")
EOF

echo "fresh-root: making a minimal Debian $suite root in $root from:"
echo "$sources" | sed 's/^/fresh-root:   /'
rm -rf "$root"
mkdir -p "$dir"
mmdebstrap --variant=apt --include=git,sudo,ca-certificates "$suite" "$root" "$@"

echo "fresh-root: cloning $(git rev-parse --short HEAD) into $root/root/first-frame"
git clone --quiet --no-hardlinks "$top" "$root/root/first-frame"

# The two commands, each timed, as a new user of the root would run them.
cat > "$root/root/readme-commands.sh" <<'EOF'
#!/bin/sh
set -u
cd /root/first-frame
for command in ./scripts/setup.sh ./scripts/check.sh; do
	start=$(date +%s)
	status=0
	$command || status=$?
	echo "fresh-root: $command: status $status after $(($(date +%s) - start)) s"
	[ "$status" -eq 0 ] || break
done
echo "$status" > /root/readme-commands.status
# What the decoder got of its confinement here, in each build, and what
# a few of the attempts met.
if [ "$status" -eq 0 ]; then
	for build in build build-static; do
		ctest --test-dir "$build" -V -R '^(confined[.]own_root|escape[.](read_secret|stat_outside|threads)([.]user)?)$' |
			sed -n "s/^[0-9]*: \(.*[a-z].*\)$/fresh-root: $build: \1/p"
	done
fi
EOF

echo "fresh-root: running the README's commands in the root (whole log: $log)"
$self_bind || echo "fresh-root: a plain chroot: its / is no mount point"
# In a private mount namespace, the binds go away with it.
# shellcheck disable=SC2016 # expanded by the inner shell
unshare --mount --propagation private sh -c '
	{ [ "$2" = false ] || mount --bind "$1" "$1"; } &&
	mount -t proc proc "$1/proc" && mount --rbind /sys "$1/sys" && mount --rbind /dev "$1/dev" &&
	exec chroot "$1" env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
		sh /root/readme-commands.sh' sh "$root" "$self_bind" 2>&1 |
	tee "$log" | grep --line-buffered -E '^(fresh-root|setup|check|package): '
status=$(cat "$root/root/readme-commands.status" 2>/dev/null || echo 1)
if [ "$status" -ne 0 ]; then
	tail -n 60 "$log"
	echo "fresh-root: Debian $release ($suite${kind:+, plain chroot}): failed, status $status"
	exit 1
fi
# What the suites could not run there, and why, is part of the result.
skipped=$(grep -E '^[[:space:]]*[0-9]+ - .* \(Skipped\)' "$log" | sed 's/^[[:space:]]*[0-9]* - //' | sort -u | tr '\n' ' ')
echo "fresh-root: tests skipped in the root: ${skipped:-none}"
echo "fresh-root: Debian $release ($suite${kind:+, plain chroot}): both commands passed"
