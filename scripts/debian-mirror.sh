#!/bin/sh
# Print apt source lines for a Debian release, from where this machine
# gets Debian, as the system's own apt sources say: the archive's URI, the
# security archive's URI and the keyring they are signed with. A local
# mirror, a caching proxy's URI or a snapshot is taken as it stands, so
# whatever reaches Debian here reaches it for us.
#
#   debian-mirror.sh TYPE SUITE    e.g. deb-src bookworm
#   debian-mirror.sh mmdebstrap SUITE
#                                  mmdebstrap's arguments after the suite
#                                  and target, one a line: the deb lines,
#                                  then the apt settings that reach the
#                                  archive (a proxy; a snapshot's expired
#                                  Release files) as --aptopt options
#
# prints "TYPE [signed-by=KEYRING] URI SUITE main" for SUITE and
# SUITE-updates, and for SUITE-security where the system's sources name a
# security archive ([signed-by] only where they name a keyring;
# [trusted=yes] where they mark an archive trusted, as a local file
# archive of the tests is).
#
# Both formats are read: one-line entries in sources.list and *.list, and
# deb822 stanzas in *.sources. The entries taken are those for this
# machine's release (VERSION_CODENAME in /etc/os-release) and its
# -security suite; other archives (third-party lists) are ignored.
set -eu

etc=${APT_ETC:-/etc/apt}
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
if [ -z "$codename" ]; then
	echo "debian-mirror: /etc/os-release names no release" >&2
	exit 1
fi

# One record a line, "URI SUITE KEYRING", from every enabled entry.
entries() {
	for f in "$etc/sources.list" "$etc"/sources.list.d/*.list; do
		[ -f "$f" ] || continue
		awk '
		/^[ \t]*(deb|deb-src)[ \t]/ {
			sub(/#.*/, "")
			keyring = "-"
			if (match($0, /\[[^]]*\]/)) {
				opts = substr($0, RSTART + 1, RLENGTH - 2)
				$0 = substr($0, 1, RSTART - 1) " " substr($0, RSTART + RLENGTH)
				n = split(opts, o, /[ \t]+/)
				for (i = 1; i <= n; i++)
					if (o[i] ~ /^signed-by=/)
						keyring = substr(o[i], 11)
					else if (o[i] == "trusted=yes")
						keyring = "trusted"
			}
			print $2, $3, keyring
		}' "$f"
	done
	for f in "$etc"/sources.list.d/*.sources; do
		[ -f "$f" ] || continue
		awk '
		function flush(   n, m, i, j, u, s) {
			if (uris != "" && types ~ /deb/ && enabled !~ /^[Nn][Oo]$/) {
				n = split(uris, u, /[ \t]+/)
				m = split(suites, s, /[ \t]+/)
				for (i = 1; i <= n; i++)
					for (j = 1; j <= m; j++)
						if (u[i] != "" && s[j] != "")
							print u[i], s[j], (keyring ~ /^\// ? keyring : tolower(trusted) == "yes" ? "trusted" : "-")
			}
			types = uris = suites = keyring = enabled = trusted = ""
			field = ""
		}
		/^#/ { next }
		/^[ \t]*$/ { flush(); next }
		/^[ \t]/ { next }   # a continuation line, such as an inline key
		{
			field = tolower(substr($0, 1, index($0, ":") - 1))
			value = substr($0, index($0, ":") + 1)
			gsub(/^[ \t]+|[ \t]+$/, "", value)
			if (field == "types") types = value
			else if (field == "uris") uris = value
			else if (field == "suites") suites = value
			else if (field == "signed-by") keyring = value
			else if (field == "enabled") enabled = value
			else if (field == "trusted") trusted = value
		}
		END { flush() }' "$f"
	done
}

pick() { # suite -> "URI KEYRING" of its first entry
	entries | awk -v suite="$1" '$2 == suite { sub(/\/+$/, "", $1); print $1, $3; exit }'
}

if [ $# -ne 2 ]; then
	echo "usage: debian-mirror.sh TYPE SUITE" >&2
	exit 2
fi
type=$1
suite=$2
main=$(pick "$codename")
security=$(pick "$codename-security")
if [ -z "$main" ]; then
	echo "debian-mirror: no apt source for $codename in $etc" >&2
	exit 1
fi
line() { # "URI KEYRING" suite
	# shellcheck disable=SC2086 # "URI KEYRING" splits into its two words
	set -- $1 "$2"
	case $2 in
	-) options="" ;;
	trusted) options="[trusted=yes] " ;;
	*) options="[signed-by=$2] " ;;
	esac
	echo "$type $options$1 $3 main"
}
if [ "$type" = mmdebstrap ]; then
	type=deb
	line "$main" "$suite"
	line "$main" "$suite-updates"
	[ -z "$security" ] || line "$security" "$suite-security"
	for option in $(apt-config dump | sed -n 's/^\(Acquire::[A-Za-z]*::Proxy\|Acquire::Check-Valid-Until\) "\(.*\)";$/\1=\2/p'); do
		echo "--aptopt=${option%%=*} \"${option#*=}\""
	done
	exit 0
fi
line "$main" "$suite"
line "$main" "$suite-updates"
[ -z "$security" ] || line "$security" "$suite-security"
