#!/bin/sh
# Build the trimmed, static dav1d, FFmpeg and OpenCV that the fast build of
# first-frame links against, and print the directory they are installed in.
#
#   static-deps.sh CACHE [FFMPEG_SOURCE OPENCV_SOURCE]
#   static-deps.sh --lists CACHE    refresh the lists, print "PACKAGE VERSION SUITE"
#                                   of each Debian source it would build
#   static-deps.sh --fuzz CACHE [FFMPEG_SOURCE OPENCV_SOURCE]
#                                   the same libraries, patches and configuration,
#                                   built by clang for the fuzz target
#                                   (tests/fuzz-target.cpp) into CACHE/fuzz-*
#   static-deps.sh --replay CACHE [FFMPEG_SOURCE OPENCV_SOURCE]
#                                   the same with the sanitizers alone, no
#                                   coverage, for replaying files (CACHE/replay-*)
#
# Without source directories, the sources are Debian's own source packages,
# Debian's patches applied, all from Debian 13, the current stable, on
# Debian 12 and 13 alike: its FFmpeg 7.1 decodes what 5.1 cannot (HEIF
# photos, VVC) and is the one Debian will keep fixing longest, with its
# dav1d; its OpenCV 4.10 lets a capture decode with one thread (4.6 always
# uses one per CPU) and turns rotated video the right way by itself. Our
# own small patches (scripts/ffmpeg-patches, scripts/opencv-patches, each
# with its reason) go on top. They are fetched
# with private apt source lists under CACHE, from the archive that the
# system's own apt sources name (scripts/debian-mirror.sh); the system's apt
# configuration is not touched.
#
# CACHE (e.g. ~/.cache/first-frame) lives outside the clone, so another
# clone or a rerun reuses what was built: dav1d and FFmpeg go to
# CACHE/ffmpeg-KEY, OpenCV to CACHE/opencv-KEY, where each KEY is a hash of
# everything that decides the libraries' bytes: the source versions, the
# configure flags, our patches and the compiler. Progress goes to stderr; the
# OpenCV prefix is the one line on stdout.
#
# The lists are refreshed at every run, so that a rebuild takes Debian's
# latest security fixes: a newer source version makes a new key, and once a
# new prefix is built the older ones are removed. When the archive cannot
# be reached, the cached lists are used, and one line on stderr says so.
set -eu

lists_only=false
fuzz=false
coverage=false
case ${1:-} in
--lists) lists_only=true; shift ;;
--fuzz) fuzz=true coverage=true; shift ;;
--replay) fuzz=true; shift ;;
esac
cache=$(realpath -m "$1")
ffmpeg_src=${2:-}
opencv_src=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
jobs=$(nproc)
mkdir -p "$cache/src"
say() { echo "static-deps: $*" >&2; }

apt_private() { # suite, apt-get or apt-cache, arguments: with that suite's lists
	suite=$1
	tool=$2
	shift 2
	"$tool" -o Dir::Etc::SourceList="$cache/apt-$suite/sources.list" \
		-o Dir::Etc::SourceParts=/dev/null \
		-o Dir::State::Lists="$cache/apt-$suite/lists" \
		-o Dir::Cache="$cache/apt-$suite/cache" "$@"
}

apt_update() { # suites...: refresh their private lists; unreachable, keep the cached ones
	stale=""
	for suite in "$@"; do
		lists=$cache/apt-$suite
		mkdir -p "$lists/lists/partial" "$lists/cache/archives/partial"
		# The archive this machine's own apt sources use (a mirror, a
		# proxy, a snapshot), for another release's sources.
		"$here/debian-mirror.sh" deb-src "$suite" > "$lists/sources.list"
		if apt_private "$suite" apt-get update --error-on=any > "$lists/update.log" 2>&1; then
			touch "$lists/updated"
		elif [ -f "$lists/updated" ]; then
			stale="$stale $suite's of $(date -u -r "$lists/updated" '+%Y-%m-%d %H:%M UTC')"
		elif apt_private "$suite" apt-get update >> "$lists/update.log" 2>&1; then
			touch "$lists/updated"  # no lists yet: take what apt itself accepts
		else
			cat "$lists/update.log" >&2
			say "cannot fetch the apt source lists for $suite"
			exit 1
		fi
	done
	if [ -n "$stale" ]; then
		say "cannot reach the archive (see $cache/apt-*/update.log); using the cached lists:$stale"
	else
		say "apt source lists refreshed: $*"
	fi
}

versions() { # package, suite -> every version of its source in the suite's lists
	apt_private "$2" apt-cache showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -u
}
newest() { # package, suite -> the newest version of its source in the suite's lists
	versions "$1" "$2" | "$here/newest-version.sh"
}

# Sets served=false when the archive does not serve that source. Called as
# a plain command, not in a condition, so that set -e still stops the build
# on a failed unpack or patch.
unpack() { # package, suite, version: unpacked, Debian's patches applied
	plain=$(echo "$3" | sed 's/^[0-9]*://')    # no epoch
	upstream=${plain%-*}                        # no revision
	served=true
	new=$cache/src/.new
	rm -rf "$new" && mkdir -p "$new"
	if ! (cd "$new" && apt_private "$2" apt-get source "$1=$3" > apt.log 2>&1); then
		# The mirror has been seen to lack a .dsc that its index lists.
		# apt has still fetched and checked the tarballs against the
		# signed index: unpack them and apply Debian's patch series as
		# dpkg-source would.
		orig=$(find "$new" -name "${1}_$upstream.orig.tar.*" ! -name '*.asc' | head -n 1)
		debian=$(find "$new" -name "${1}_$plain.debian.tar.*" | head -n 1)
		if [ -z "$orig" ] || [ -z "$debian" ]; then
			mv "$new/apt.log" "$cache/src/$1-$3.fetch.log"
			served=false
			return 0
		fi
		say "unpacking $1 by hand"
		mkdir "$new/$1-$upstream"
		tar -xf "$orig" -C "$new/$1-$upstream" --strip-components=1
		tar -xf "$debian" -C "$new/$1-$upstream"
		if [ -f "$new/$1-$upstream/debian/patches/series" ]; then
			grep -v -e '^#' -e '^[[:space:]]*$' "$new/$1-$upstream/debian/patches/series" |
				while read -r patch; do
					patch -d "$new/$1-$upstream" -p1 -s <"$new/$1-$upstream/debian/patches/$patch" >&2
				done
		fi
	fi
	# Only a whole new source replaces the one there was.
	rm -rf "$cache/src/$1"-* "$cache/src/$1"_* "$new/apt.log"
	mv "$new"/* "$cache/src/"
	rmdir "$new"
}

fetch() { # package, suite -> prints the unpacked source directory
	package=$1
	suite=$2
	candidates=$(versions "$package" "$suite")
	while :; do
		version=$(echo "$candidates" | "$here/newest-version.sh")
		if [ -z "$version" ]; then
			say "no source of $package that the archive serves, in the lists for $suite"
			exit 1
		fi
		plain=$(echo "$version" | sed 's/^[0-9]*://')
		# dpkg-source unpacks into PACKAGE-UPSTREAM.
		dir=$cache/src/$package-${plain%-*}
		[ -f "$dir/.fetched-$version" ] && break
		say "fetching Debian's source of $package $version ($suite)"
		unpack "$package" "$suite" "$version"
		if $served; then
			touch "$dir/.fetched-$version"
			break
		fi
		# An index can name a version before the archive (or the mirror
		# in front of it) serves its files: build the newest one it does
		# serve; scripts/bundled-versions.sh names what is missing.
		say "the archive lists $package $version but does not serve its source" \
			"(see $cache/src/$package-$version.fetch.log); trying an older one"
		candidates=$(echo "$candidates" | grep -vxF "$version" || true)
	done
	echo "$dir"
}

apt_update trixie
if $lists_only; then
	for package in dav1d ffmpeg opencv; do
		echo "$package $(newest "$package" trixie) trixie"
	done
	exit 0
fi
dav1d_src=$(fetch dav1d trixie)
[ -n "$ffmpeg_src" ] || ffmpeg_src=$(fetch ffmpeg trixie)
[ -n "$opencv_src" ] || opencv_src=$(fetch opencv trixie)

# dav1d, FFmpeg's usual AV1 decoder: a static library only, no tools.
dav1d_flags="--buildtype=release --default-library=static --libdir=lib
	-Denable_tools=false -Denable_tests=false -Denable_examples=false"

# FFmpeg: every demuxer, parser, decoder and bitstream filter (audio
# decoders too, so that stream probing of files with sound ends as early as
# with a full FFmpeg; bitstream filters because demuxers use them, e.g. to
# find H.264's parameter sets in a transport stream cut between keyframes),
# the file protocol and the fd: protocol (the program reads the video
# through a descriptor), swscale, and the compression libraries that demuxers
# and decoders use (zlib, bzip2, xz). No programs, devices, filters,
# encoders, muxers, network or hardware acceleration: nothing that reads a
# file changes by their absence.
ffmpeg_flags="--disable-shared --enable-static --enable-pic
	--disable-programs --disable-doc --disable-debug --disable-network
	--disable-autodetect --disable-everything
	--enable-demuxers --enable-parsers --enable-decoders --enable-bsfs
	--enable-protocol=file --enable-protocol=fd
	--disable-avdevice --disable-avfilter --disable-postproc --disable-swresample
	--enable-swscale --enable-zlib --enable-bzlib --enable-lzma --enable-libdav1d"

# OpenCV: core, imgproc (videoio needs it), imgcodecs with its built-in
# BMP codec only, and videoio with the FFmpeg above as its only backend and
# no plugin search (it would load any libopencv_videoio_*.so found beside
# the program). No extra code paths for newer CPUs (CPU_DISPATCH empty):
# they would double the build time and speed up nothing this program calls.
opencv_flags="-DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF
	-DBUILD_LIST=core,imgproc,imgcodecs,videoio
	-DBUILD_TESTS=OFF -DBUILD_PERF_TESTS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOCS=OFF
	-DBUILD_opencv_apps=OFF -DBUILD_JAVA=OFF -DBUILD_opencv_python3=OFF
	-DBUILD_ZLIB=OFF -DZLIB_LIBRARY=/usr/lib/x86_64-linux-gnu/libz.a
	-DWITH_FFMPEG=ON -DVIDEOIO_ENABLE_PLUGINS=OFF
	-DWITH_GSTREAMER=OFF -DWITH_GPHOTO2=OFF -DWITH_V4L=OFF
	-DWITH_1394=OFF -DWITH_GTK=OFF -DWITH_QT=OFF -DWITH_VA=OFF -DWITH_VA_INTEL=OFF
	-DWITH_OPENCL=OFF -DWITH_IPP=OFF -DWITH_ITT=OFF -DWITH_TBB=OFF -DWITH_OPENMP=OFF
	-DWITH_EIGEN=OFF -DWITH_LAPACK=OFF -DWITH_PROTOBUF=OFF -DWITH_CUDA=OFF
	-DWITH_VTK=OFF -DWITH_ADE=OFF -DWITH_QUIRC=OFF -DWITH_OBSENSOR=OFF
	-DWITH_JPEG=OFF -DWITH_PNG=OFF -DWITH_TIFF=OFF -DWITH_WEBP=OFF
	-DWITH_OPENJPEG=OFF -DWITH_JASPER=OFF -DWITH_OPENEXR=OFF -DWITH_GDAL=OFF
	-DWITH_GDCM=OFF -DWITH_IMGCODEC_HDR=OFF -DWITH_IMGCODEC_SUNRASTER=OFF
	-DWITH_IMGCODEC_PXM=OFF -DWITH_IMGCODEC_PFM=OFF
	-DWITH_FLATBUFFERS=OFF -DCV_TRACE=OFF -DOPENCV_GENERATE_PKGCONFIG=OFF
	-DCPU_DISPATCH="
# The fuzz target's flavour: the same sources, patches and configuration,
# compiled by clang with AddressSanitizer, UndefinedBehaviorSanitizer (its
# reports printed, not fatal, so that a campaign goes on past one in code
# that is not ours), and for fuzzing libFuzzer's coverage feedback and
# clang's line coverage (the replay's flavour goes without them).
# Assembly is left out: the sanitizers see only C, and the C versions of
# what the assembly speeds up are the ones upstream fuzzes. The sources
# stay in the prefix, for the coverage report.
flavour=""
if $fuzz; then
	flavour=replay-
	instrument="-g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined"
	if $coverage; then
		flavour=fuzz-
		instrument="$instrument -fsanitize=fuzzer-no-link -fprofile-instr-generate -fcoverage-mapping"
	fi
	export CC=clang CXX=clang++ CFLAGS="$instrument" CXXFLAGS="$instrument" LDFLAGS="$instrument"
	dav1d_flags="$dav1d_flags -Denable_asm=false"
	ffmpeg_flags="$ffmpeg_flags --cc=clang --cxx=clang++ --disable-asm --optflags=-O1"
	ffmpeg_flags=$(echo "$ffmpeg_flags" | sed 's/--disable-debug//')
	opencv_flags="$opencv_flags -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++"
	opencv_flags=$(echo "$opencv_flags" | sed 's/-DCMAKE_BUILD_TYPE=Release/-DCMAKE_BUILD_TYPE=RelWithDebInfo/')
fi
ffmpeg_patches=$(ls "$here"/ffmpeg-patches/*.patch 2>/dev/null || true)
opencv_patches=$(ls "$here"/opencv-patches/*.patch 2>/dev/null || true)

# A prefix is built once for each key, under a lock, and used only once
# its "complete" mark is there. FFmpeg's key covers dav1d too; OpenCV's
# covers FFmpeg's, whose libraries it refers to. A Debian source is named
# by its package version, another source tree by its path.
fetched_version() { # source directory -> the Debian version fetched there, if any
	(cd "$1" && ls -d .fetched-* 2>/dev/null || true) | sed 's/^\.fetched-//'
}
source_id() { # source directory
	version=$(fetched_version "$1")
	if [ -n "$version" ]; then echo "$(basename "$1") .fetched-$version"; else echo "$1"; fi
}
compiler=$(${CC:-cc} --version | head -n 1; ${CXX:-c++} --version | head -n 1)
if $fuzz; then compiler="$compiler $instrument"; fi
# The compression libraries are Debian's own static ones, copied in: a
# new version of one makes a new prefix.
archives="zlib1g-dev libbz2-dev liblzma-dev"
# shellcheck disable=SC2086 # the package list is meant to split
archive_versions=$(dpkg-query -W -f='${Package} ${Version}\n' $archives)
media_key=$({
	printf '%s\n' "$(source_id "$dav1d_src") $dav1d_flags" \
		"$(source_id "$ffmpeg_src") $ffmpeg_flags" "$compiler" "$archive_versions"
	for p in $ffmpeg_patches; do cat "$p"; done
} | sha256sum | cut -c1-16)
media=$cache/${flavour}ffmpeg-$media_key
opencv_key=$({
	echo "$media_key $(source_id "$opencv_src") $opencv_flags"
	for p in $opencv_patches; do cat "$p"; done
} | sha256sum | cut -c1-16)
prefix=$cache/${flavour}opencv-$opencv_key

built=false
begin() { # prefix: 0 if it must be built (then locked, emptied), 1 if done
	exec 9> "$1.lock"
	flock 9
	if [ -f "$1/complete" ]; then
		say "reusing $1"
		return 1
	fi
	say "building into $1 (logs in $1/logs)"
	built=true
	rm -rf "$1" && mkdir -p "$1/logs" "$1/lib"
	logs=$1/logs
	work=$1/work
}
log() { "$@" > "$logs/$step.log" 2>&1 || { tail -n 40 "$logs/$step.log" >&2; exit 1; }; }
finish() { # prefix
	if $coverage; then  # keep the patched sources, for the coverage report
		find "$work" -mindepth 1 -maxdepth 1 ! -name '*-src' -exec rm -rf {} +
	else
		rm -rf "$work"
	fi
	touch "$1/complete"
	exec 9>&-
}

if begin "$media"; then
	# The linker takes the first directory holding libNAME.so or libNAME.a
	# for -lNAME; with only the .a of these libraries here, FFmpeg and the
	# program link them statically.
	for l in z bz2 lzma; do
		cp "/usr/lib/x86_64-linux-gnu/lib$l.a" "$media/lib/"
	done
	# shellcheck disable=SC2086 # the package list is meant to split
	dpkg-query -W -f='${source:Package} ${source:Version}\n' $archives > "$media/debian-sources"

	step=dav1d
	say "building dav1d from $dav1d_src"
	# shellcheck disable=SC2086 # the flags are meant to split
	log meson setup "$work/dav1d" "$dav1d_src" --prefix="$media" $dav1d_flags
	log ninja -C "$work/dav1d" install

	step=ffmpeg
	say "building FFmpeg from $ffmpeg_src (about 5 minutes on 2 cores)"
	mkdir -p "$work/ffmpeg"
	cp -a "$ffmpeg_src" "$work/ffmpeg-src"
	for p in $ffmpeg_patches; do
		say "applying $(basename "$p")"
		log patch -d "$work/ffmpeg-src" -p1 -i "$p"
	done
	# shellcheck disable=SC2086 # the flags are meant to split
	set -- --extra-ldflags="-L$media/lib"
	if $fuzz; then set -- --extra-cflags="$instrument" --extra-ldflags="-L$media/lib $instrument"; fi
	log env -C "$work/ffmpeg" PKG_CONFIG_PATH="$media/lib/pkgconfig" \
		"$work/ffmpeg-src/configure" --prefix="$media" "$@" $ffmpeg_flags
	log make -C "$work/ffmpeg" -j"$jobs" install
	finish "$media"
fi

if begin "$prefix"; then
	step=opencv
	say "building OpenCV from $opencv_src (about 4 minutes on 2 cores)"
	rm -rf "$work/opencv-src" && mkdir -p "$work" && cp -a "$opencv_src" "$work/opencv-src"
	for p in $opencv_patches; do
		say "applying $(basename "$p")"
		log patch -d "$work/opencv-src" -p1 -i "$p"
	done
	# shellcheck disable=SC2086 # the flags are meant to split
	log env PKG_CONFIG_PATH="$media/lib/pkgconfig" PKG_CONFIG_LIBDIR="$media/lib/pkgconfig" \
		cmake -S "$work/opencv-src" -B "$work/opencv" -DCMAKE_INSTALL_PREFIX="$prefix" \
		$opencv_flags
	log cmake --build "$work/opencv" --parallel "$jobs"
	log cmake --install "$work/opencv"

	# What the licences ask to pass on with the binary that Debian has no
	# common copy of (the LGPL and Apache texts are in
	# /usr/share/common-licenses).
	mkdir -p "$prefix/licenses"
	# OpenCV's notice is its COPYRIGHT file (4.10 has no NOTICE).
	notice=$opencv_src/NOTICE
	[ -f "$notice" ] || notice=$opencv_src/COPYRIGHT
	cp "$notice" "$prefix/licenses/opencv-NOTICE"
	cp "$dav1d_src/COPYING" "$prefix/licenses/dav1d-COPYING"
	# shellcheck disable=SC2086 # one line each, the flags split into words
	{
		echo "dav1d $(basename "$dav1d_src"):" $dav1d_flags
		echo "FFmpeg $(basename "$ffmpeg_src"):" $ffmpeg_flags
		echo "OpenCV $(basename "$opencv_src"):" $opencv_flags
		for p in $ffmpeg_patches; do echo "FFmpeg patch: $(basename "$p")"; done
		for p in $opencv_patches; do echo "OpenCV patch: $(basename "$p")"; done
	} > "$prefix/licenses/build-flags"
	finish "$prefix"
fi
# The Debian source packages of what the program links from here, for its
# package's Built-Using field: those fetched above, and the compression
# libraries in the FFmpeg prefix. Written each time, as the same key
# always gives the same list.
debian_source() { # source directory, name -> "NAME VERSION" if Debian's
	version=$(fetched_version "$1")
	[ -z "$version" ] || echo "$2 $version"
}
{
	debian_source "$dav1d_src" dav1d
	debian_source "$ffmpeg_src" ffmpeg
	debian_source "$opencv_src" opencv
	cat "$media/debian-sources"
} > "$prefix/debian-sources.new"
mv "$prefix/debian-sources.new" "$prefix/debian-sources"
# Where OpenCV's FFmpeg is, for what links FFmpeg alone (bench/floor.c).
echo "$media" > "$prefix/ffmpeg-prefix"
# Once a newer prefix is built, the older ones go (each under its lock, so
# not while another build uses it): the cache does not grow with every
# security update.
if $built; then
	for old in "$cache/$flavour"ffmpeg-* "$cache/$flavour"opencv-*; do
		case $old in *.lock | "$media" | "$prefix") continue ;; esac
		[ -d "$old" ] || continue
		if flock -n "$old.lock" rm -rf "$old"; then
			rm -f "$old.lock"
			say "removed the older $old"
		fi
	done
fi
say "dav1d, FFmpeg and OpenCV ready in $prefix"
echo "$prefix"
