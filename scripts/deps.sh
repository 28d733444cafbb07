#!/bin/sh
# Install, from Debian's packages, what first-frame needs; packages already
# present are left alone and apt is not touched, but for the fast build's:
# the system's static libraries that it links in are brought up to the
# newest the archive has, since a stale one makes a stale bundle.
#
#   deps.sh [--missing] [static] [fuzz] [bench] [root]
#   deps.sh [--missing] libraries
#
# With no argument: building and testing. "static" adds what the fast,
# statically linked build needs to build FFmpeg and OpenCV from Debian's
# sources; "fuzz" that and clang, libFuzzer and the LLVM tools that
# scripts/fuzz.sh uses (without bringing the bundled libraries up to date:
# the fuzz target is never shipped); "bench" adds the tools the benchmark
# compares with; "root" what scripts/fresh-root.sh makes minimal Debian
# roots with; "image" what scripts/image.sh makes and loads the container
# image with, and the tests run it with. "libraries" alone: just what the fast build's libraries are
# built with, so that they can be built while the rest installs. --missing
# only prints the packages it would install, one a line.
set -eu

list_only=false
if [ "${1:-}" = --missing ]; then
	list_only=true
	shift
fi

compiler="build-essential cmake pkgconf libseccomp-dev"
libraries="dpkg-dev pkg-config nasm meson ninja-build zlib1g-dev libbz2-dev liblzma-dev"
packages="$compiler libopencv-dev ffmpeg python3 mandoc man-db
	valgrind strace clang-tidy cppcheck util-linux mount file lintian"
static=false
for group in "$@"; do
	case $group in
	static) packages="$packages $libraries" static=true ;;
	libraries) packages="$compiler $libraries" static=true ;;
	fuzz) packages="$packages $libraries clang llvm libclang-rt-dev" ;;
	bench) packages="$packages hyperfine time gnuplot-nox ffmpegthumbnailer python3-opencv linux-perf" ;;
	root) packages="$packages mmdebstrap git" ;;
	image) packages="$packages mmdebstrap podman runc uidmap" ;;
	*) echo "deps: unknown group $group" >&2; exit 2 ;;
	esac
done

missing=""
for p in $packages; do
	if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
		missing="$missing $p"
	fi
done

if $list_only; then
	for p in $missing; do echo "$p"; done
	exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
if [ -z "$missing" ]; then
	echo "deps: all present ($(echo $packages))"
else
	echo "deps: installing$missing"
	$sudo apt-get update
	# shellcheck disable=SC2086 # the package list is meant to split
	$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
fi

if $static; then
	# The packages whose static libraries the fast build links in: the
	# compression libraries, and the C++ runtime's.
	bundled="zlib1g-dev libbz2-dev liblzma-dev"
	for archive in libstdc++.a libgcc.a; do
		owner=$(dpkg-query -S "$(realpath "$(c++ -print-file-name="$archive")")" 2>/dev/null) &&
			bundled="$bundled ${owner%%:*}"
	done
	echo "deps: bringing the fast build's bundled system libraries up to date ($bundled)"
	[ -n "$missing" ] || $sudo apt-get update -qq  # fresh lists, unless just updated
	# shellcheck disable=SC2086 # the package list is meant to split
	$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --only-upgrade $bundled
fi
