#!/bin/sh
# Build the trimmed, static FFmpeg and OpenCV that the fast build of
# first-frame links against, and install them under WORK/prefix.
#
#   static-deps.sh WORK [FFMPEG_SOURCE OPENCV_SOURCE]
#
# Without source directories, the sources are Debian's own source packages,
# Debian's patches applied: FFmpeg from Debian 12 (the release the system's
# FFmpeg comes from), OpenCV from Debian 13, whose 4.10 lets a capture
# decode with one thread (4.6 always uses one per CPU) and turns rotated
# video the right way by itself. They are fetched with private apt source
# lists under WORK: the system's apt configuration is not touched. Each
# finished step leaves a stamp naming its inputs, so running again with the
# same inputs does nothing, and the downloads are kept in WORK.
set -eu

work=$(realpath -m "$1")
ffmpeg_src=${2:-}
opencv_src=${3:-}
prefix=$work/prefix
jobs=$(nproc)
mkdir -p "$work/src" "$prefix"

apt_private() { # suite, apt-get or apt-cache, arguments: with that suite's lists
	suite=$1
	tool=$2
	shift 2
	"$tool" -o Dir::Etc::SourceList="$work/apt-$suite/sources.list" \
		-o Dir::Etc::SourceParts=/dev/null \
		-o Dir::State::Lists="$work/apt-$suite/lists" \
		-o Dir::Cache="$work/apt-$suite/cache" "$@"
}

apt_update() { # suite
	[ -f "$work/apt-$1/updated" ] && return
	echo "static-deps: private apt source list for $1 in $work/apt-$1" >&2
	mkdir -p "$work/apt-$1/lists/partial" "$work/apt-$1/cache/archives/partial"
	keyring=/usr/share/keyrings/debian-archive-keyring.gpg
	{
		echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian $1 main"
		echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian $1-updates main"
		echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian-security $1-security main"
	} > "$work/apt-$1/sources.list"
	apt_private "$1" apt-get update >&2
	touch "$work/apt-$1/updated"
}

fetch() { # package, suite -> prints the unpacked source directory
	package=$1
	suite=$2
	apt_update "$suite"
	version=$(apt_private "$suite" apt-cache showsrc "$package" 2>/dev/null |
		sed -n 's/^Version: //p' | sort -V | tail -n 1)
	plain=$(echo "$version" | sed 's/^[0-9]*://')    # no epoch
	upstream=${plain%-*}                              # no revision
	# dpkg-source unpacks into PACKAGE-UPSTREAM.
	dir=$work/src/$package-$upstream
	if [ ! -f "$dir/.fetched-$version" ]; then
		echo "static-deps: fetching Debian's source of $package $version ($suite)" >&2
		rm -rf "$work/src/$package"-* "$work/src/$package"_*
		if ! (cd "$work/src" && apt_private "$suite" apt-get source "$package=$version" >&2); then
			# The mirror has been seen to lack a .dsc that its index
			# lists. apt has still fetched and checked the tarballs
			# against the signed index: unpack them and apply Debian's
			# patch series as dpkg-source would.
			echo "static-deps: unpacking $package by hand" >&2
			rm -rf "$dir" && mkdir -p "$dir"
			tar -xJf "$work/src/${package}_$upstream.orig.tar.xz" -C "$dir" --strip-components=1
			tar -xJf "$work/src/${package}_$plain.debian.tar.xz" -C "$dir"
			for patch in $(grep -v '^#' "$dir/debian/patches/series"); do
				patch -d "$dir" -p1 -s < "$dir/debian/patches/$patch"
			done
		fi
		touch "$dir/.fetched-$version"
	fi
	echo "$dir"
}

# A step runs only when its stamp is missing or names other inputs.
stamp_ok() { [ -f "$1" ] && [ "$(cat "$1")" = "$2" ]; }

[ -n "$ffmpeg_src" ] || ffmpeg_src=$(fetch ffmpeg bookworm)
[ -n "$opencv_src" ] || opencv_src=$(fetch opencv trixie)

# FFmpeg: every demuxer, parser and decoder (audio decoders too, so that
# stream probing of files with sound ends as early as with a full FFmpeg),
# the file protocol and swscale; no programs, devices, filters, network or
# hardware acceleration. dav1d, FFmpeg's usual AV1 decoder, has no static
# library in Debian, so it stays a shared library.
ffmpeg_flags="--disable-shared --enable-static --enable-pic
	--disable-programs --disable-doc --disable-debug --disable-network
	--disable-autodetect --disable-everything
	--enable-demuxers --enable-parsers --enable-decoders --enable-protocol=file
	--disable-avdevice --disable-avfilter --disable-postproc --disable-swresample
	--enable-swscale --enable-zlib --enable-libdav1d"
ffmpeg_id="$ffmpeg_src $ffmpeg_flags"
if ! stamp_ok "$work/ffmpeg.stamp" "$ffmpeg_id"; then
	echo "static-deps: building FFmpeg from $ffmpeg_src"
	rm -rf "$work/ffmpeg-build" && mkdir -p "$work/ffmpeg-build"
	# shellcheck disable=SC2086 # the flags are meant to split
	(cd "$work/ffmpeg-build" && "$ffmpeg_src/configure" --prefix="$prefix" $ffmpeg_flags &&
		make -j"$jobs" && make install) > "$work/ffmpeg-build.log" 2>&1 ||
		{ tail -n 40 "$work/ffmpeg-build.log"; exit 1; }
	echo "$ffmpeg_id" > "$work/ffmpeg.stamp"
	rm -f "$work/opencv.stamp"
fi

# OpenCV: core, imgproc (videoio needs it), imgcodecs with its built-in
# BMP codec only, and videoio with the FFmpeg above as its only backend.
# No extra code paths for newer CPUs (CPU_DISPATCH empty): they would
# double the build time and speed up nothing this program calls.
opencv_flags="-DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF
	-DBUILD_LIST=core,imgproc,imgcodecs,videoio
	-DBUILD_TESTS=OFF -DBUILD_PERF_TESTS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOCS=OFF
	-DBUILD_opencv_apps=OFF -DBUILD_JAVA=OFF -DBUILD_opencv_python3=OFF
	-DBUILD_ZLIB=OFF -DZLIB_LIBRARY=/usr/lib/x86_64-linux-gnu/libz.a
	-DWITH_FFMPEG=ON -DWITH_GSTREAMER=OFF -DWITH_GPHOTO2=OFF -DWITH_V4L=OFF
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
opencv_id="$opencv_src $opencv_flags"
if ! stamp_ok "$work/opencv.stamp" "$opencv_id"; then
	echo "static-deps: building OpenCV from $opencv_src"
	rm -rf "$work/opencv-build"
	# shellcheck disable=SC2086 # the flags are meant to split
	(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" \
		cmake -S "$opencv_src" -B "$work/opencv-build" -DCMAKE_INSTALL_PREFIX="$prefix" \
		$opencv_flags &&
		cmake --build "$work/opencv-build" --parallel "$jobs" &&
		cmake --install "$work/opencv-build") > "$work/opencv-build.log" 2>&1 ||
		{ tail -n 40 "$work/opencv-build.log"; exit 1; }
	echo "$opencv_id" > "$work/opencv.stamp"
fi
echo "static-deps: FFmpeg and OpenCV ready in $prefix"
