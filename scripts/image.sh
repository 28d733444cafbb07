#!/bin/sh
# Make the OCI image of the fast build from Debian's packages alone: a root
# that holds the C library (Debian 13's, the current stable; the fast
# build needs glibc 2.36 or later and nothing else), the fast build's
# package, and Debian's smallest shell, dash, as /bin/sh, for a batch's
# loop over many videos (the program needs none); no package manager. Its
# entry point is the program, its working directory /work, where the
# video is bound; it runs as any user id. The image is loaded into podman's store as
# first-frame:VERSION and first-frame:latest, and written as an OCI
# archive beside the package; the image's name is the last line printed.
#
#   image.sh [PACKAGE]    the fast build's .deb (by default build-static's,
#                         made first if it is not there)
#
# Run it as a user, a container is then a rootless one: the image is the
# same.
set -eu
cd "$(dirname "$0")/.."

./scripts/deps.sh image
package=${1:-}
if [ -z "$package" ]; then
	version=$(sed -n 's/^\tVERSION \([0-9.]*\)$/\1/p' CMakeLists.txt)
	package=build-static/first-frame_${version}_amd64.deb
	if [ ! -f "$package" ]; then
		./scripts/build-static.sh
		(cd build-static && cpack -G DEB > /dev/null)
	fi
fi
case $(dpkg-deb -f "$package" Depends) in
libc6*) ;;
*) echo "image: $package is not the fast build's (Depends: $(dpkg-deb -f "$package" Depends))" >&2; exit 1 ;;
esac
version=$(dpkg-deb -f "$package" Version)
name=localhost/first-frame:$version
work=$(mktemp -d "${TMPDIR:-/tmp}/first-frame-image.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "image: a root of Debian 13's C library and dash, from this machine's apt sources"
set --
while read -r line; do
	set -- "$@" "$line"
done <<EOF
$(./scripts/debian-mirror.sh mmdebstrap trixie)
EOF
mmdebstrap --quiet --variant=extract --include=libc6,dash trixie "$work/root" "$@"
echo "image: with $package"
dpkg-deb -x "$package" "$work/root"
# The paths the loader and the program look for: /lib64 (the loader, by
# the binary's own interpreter path), /tmp (where the decoder makes its
# empty root), /work.
for d in bin sbin lib lib64; do
	[ -e "$work/root/$d" ] || [ ! -d "$work/root/usr/$d" ] || ln -s "usr/$d" "$work/root/$d"
done
mkdir -p "$work/root/tmp" "$work/root/work"
chmod 1777 "$work/root/tmp"
[ -e "$work/root/usr/bin/sh" ] || ln -s dash "$work/root/usr/bin/sh"
rm -rf "$work/root/var/cache/apt" "$work/root/var/lib/apt/lists"

# The files in a fixed order, owned by root, dated as the package is, so
# that the same package makes the same layer.
date=$(stat -c %Y "$package")
tar -C "$work/root" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$date" \
	-cf "$work/root.tar" .
podman import --quiet --change 'ENTRYPOINT ["/usr/bin/first-frame"]' --change 'WORKDIR /work' \
	--change 'ENV PATH=/usr/bin:/bin' \
	--message "first-frame $version, the fast build" "$work/root.tar" "$name" > /dev/null
podman tag "$name" localhost/first-frame:latest
archive=$(dirname "$package")/first-frame_${version}_oci.tar
rm -f "$archive"
podman save --quiet --format oci-archive -o "$archive" "$name"
echo "image: $(podman image inspect --format '{{.Size}}' "$name" | awk '{printf "%.1f MB", $1 / 1e6}'), also in $archive"
echo "$name"
