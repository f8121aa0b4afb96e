# What fernhollow_tracks needs around it, and how each piece is had; shared
# by start, test and .ci/run.  Sourced, not run.  The caller sets `me`, its
# name for messages, and `here`, the checkout.  POSIX sh, so that any
# /bin/sh can run it.

say() {
	printf '%s: %s\n' "$me" "$*" >&2
}

# Which Debian package serves which purpose: purpose|what shows it is
# there (a command, or an absolute path)|package|why.
needs_table() {
	cat <<'TABLE'
build|g++|g++|compiles the program
build|cmake|cmake|configures the build
build|make|make|runs the build
fetch|curl|curl|fetches yt-dlp and deno over HTTPS
fetch|/etc/ssl/certs/ca-certificates.crt|ca-certificates|lets curl check the release hosts
fetch|gpgv|gpgv|checks the signature on yt-dlp's release
fetch|unzip|unzip|unpacks deno
fallback|yt-dlp|yt-dlp|Debian's older yt-dlp, when no current one can be had
tests|/usr/lib/python3/dist-packages/pytest|python3-pytest|runs the test suite
tests|/usr/bin/yt-dlp|yt-dlp|real downloads from a test server
tests|x86_64-w64-mingw32-g++|mingw-w64|cross-builds the Windows program
tests|wine|wine|runs the Windows program
tests|/usr/lib/wine/wine64|wine64|runs the Windows program
tests|busybox|busybox|busybox sh at /bin/sh
tests|mksh|mksh|mksh at /bin/sh
tests|zsh|zsh|zsh at /bin/sh
tests|posh|posh|posh at /bin/sh
tests|ksh93|ksh|ksh93 at /bin/sh
tests|/usr/share/i18n/charmaps/BIG5.gz|locales|makes the double-byte locales
tests|unshare|util-linux|puts a shell at /bin/sh for one run
tests|mount|mount|puts a shell at /bin/sh for one run
tests|gpg|gpg|signs test releases with a throwaway key
tests|gpg-agent|gpg-agent|holds the throwaway key while gpg makes it
tests|npm|npm|fetches a real deno
ci|clang++|clang|builds the program a second way, warnings as errors
TABLE
}

# need PURPOSE...: installs with apt-get whatever the purposes lack,
# saying what and why.  Fails, saying so in one line, when that cannot be.
need() {
	need_packages=
	need_list=
	while IFS='|' read -r need_purpose need_check need_package need_why; do
		case " $* " in *" $need_purpose "*) ;; *) continue ;; esac
		case $need_check in
		/*) [ -e "$need_check" ] && continue ;;
		*) command -v "$need_check" >/dev/null 2>&1 && continue ;;
		esac
		case " $need_packages " in *" $need_package "*) continue ;; esac
		need_packages="$need_packages $need_package"
		need_list="$need_list${need_list:+, }$need_package ($need_why)"
	done <<TABLE
$(needs_table)
TABLE
	[ -n "$need_packages" ] || return 0

	if ! command -v apt-get >/dev/null 2>&1; then
		say "missing: $need_list; install them with this system's package manager"
		return 1
	fi
	if [ "$(id -u)" -eq 0 ]; then
		need_sudo=
	elif command -v sudo >/dev/null 2>&1; then
		need_sudo=sudo
	else
		say "missing: $need_list; installing them with apt-get needs root or sudo"
		return 1
	fi
	say "installing with apt-get: $need_list"
	$need_sudo apt-get update -q >&2 ||
		say "apt-get update failed; trying the package lists already here"
	# shellcheck disable=SC2086 # one word a package
	if ! $need_sudo env DEBIAN_FRONTEND=noninteractive \
		apt-get install -y -q --no-install-recommends $need_packages >&2; then
		say "apt-get could not install:$need_packages"
		return 1
	fi
}

# The video service needs a yt-dlp of this date or later, and deno of this
# version or later beside it to solve its player challenges.
YTDLP_MIN=2025.11.12
DENO_MIN=2.3.0
# yt-dlp's release signing key, shipped beside this file; never fetched.
YTDLP_KEY=$here/setup/yt-dlp-release-signing.asc
YTDLP_KEY_FINGERPRINT=AC0CBBE6848D6A873464AF4E57CF65933B5A7581
YTDLP_RELEASES=${FERNHOLLOW_YTDLP_RELEASES:-https://github.com/yt-dlp/yt-dlp/releases/latest/download}
DENO_RELEASES=${FERNHOLLOW_DENO_RELEASES:-https://github.com/denoland/deno/releases/latest/download}

# Where fetched tools go: a folder that comes before /usr/bin on PATH.
if [ -n "${FERNHOLLOW_BIN:-}" ]; then
	BIN=$FERNHOLLOW_BIN
elif [ "$(id -u)" -eq 0 ]; then
	BIN=/usr/local/bin
else
	BIN=$HOME/.local/bin
fi
# Marks the yt-dlp that start fetched; its age is the time of the last -U.
FETCHED_MARK=${XDG_STATE_HOME:-$HOME/.local/state}/fernhollow_tracks/yt-dlp-fetched

# at_least VERSION MINIMUM: dotted numbers, compared part by part.
at_least() {
	awk -v have="$1" -v min="$2" 'BEGIN {
		n = split(have, h, "."); split(min, m, ".")
		for (i = 1; i <= n; i++) {
			if (h[i] + 0 > m[i] + 0) exit 0
			if (h[i] + 0 < m[i] + 0) exit 1
		}
		exit 0
	}'
}

# The version of the yt-dlp or deno first on PATH, or nothing.
ytdlp_version() {
	command -v yt-dlp >/dev/null 2>&1 &&
		timeout 30 yt-dlp --version 2>/dev/null | sed -n '1{/^[0-9][0-9]*\.[0-9][0-9]*\.[0-9][0-9.]*$/p;}'
}
deno_version() {
	command -v deno >/dev/null 2>&1 &&
		timeout 30 deno --version 2>/dev/null | sed -n '1s/^deno \([0-9][0-9]*\.[0-9][0-9]*\.[0-9][0-9]*\).*/\1/p'
}
ytdlp_current() {
	ytdlp_current_version=$(ytdlp_version)
	[ -n "$ytdlp_current_version" ] && at_least "$ytdlp_current_version" "$YTDLP_MIN"
}
deno_current() {
	deno_current_version=$(deno_version)
	[ -n "$deno_current_version" ] && at_least "$deno_current_version" "$DENO_MIN"
}

# fetch URL FILE [SECONDS]: over HTTPS only, or plain HTTP from this
# machine's loopback, where a test server or a local mirror may stand.
# A host that cannot be reached costs at most 5 seconds; a small file is
# given SECONDS in all, a large one as long as it keeps coming.
fetch() {
	case $1 in
	https://*) fetch_proto='=https' ;;
	http://127.0.0.1[:/]* | http://localhost[:/]* | http://\[::1\][:/]*) fetch_proto='=http' ;;
	*)
		say "not fetching $1: only https is used"
		return 1
		;;
	esac
	if ! curl --fail --silent --show-error --location --proto "$fetch_proto" \
		--proto-redir '=https' --connect-timeout 5 --max-time "${3:-0}" \
		--speed-limit 2048 --speed-time 20 --output "$2" "$1" 2>"$WORK/curl.err"; then
		say "could not fetch $1: $(tail -n 1 "$WORK/curl.err")"
		return 1
	fi
}

# The SHA-256 on the one line of sums file $1 whose name field is exactly
# $2: yt-dlp_linux must not take the line of yt-dlp_linux.zip.
listed_sum() {
	listed=$(awk -v name="$2" 'NF == 2 && ($2 == name || $2 == "*" name) { n++; sum = $1 }
		END { if (n == 1 && length(sum) == 64 && sum !~ /[^0-9a-f]/) print sum }' "$1")
	if [ -z "$listed" ]; then
		say "$(basename "$1") has no single line for $2; nothing installed"
		return 1
	fi
	printf '%s\n' "$listed"
}

# check_sum FILE SHA256
check_sum() {
	check_sum_got=$(sha256sum <"$1" | cut -d ' ' -f 1)
	if [ "$check_sum_got" != "$2" ]; then
		say "$(basename "$1") does not match its SHA-256 (damaged or tampered); nothing installed"
		return 1
	fi
}

# The binary key that gpgv reads, from an ASCII-armored key file.
key_packets() {
	sed -e '1,/^$/d' -e '/^=/d' -e '/^-----END/,$d' "$1" | base64 -d
}

# check_signature SIG FILE: a good signature by the pinned release key.
check_signature() {
	if ! mkdir -m 700 "$WORK/gnupg" || ! key_packets "$YTDLP_KEY" >"$WORK/key.gpg"; then
		say "cannot read the key $YTDLP_KEY"
		return 1
	fi
	if ! gpgv --homedir "$WORK/gnupg" --status-fd 1 --keyring "$WORK/key.gpg" "$1" "$2" \
		>"$WORK/gpgv.status" 2>/dev/null ||
		! grep -q "^\[GNUPG:\] VALIDSIG .* $YTDLP_KEY_FINGERPRINT\$" "$WORK/gpgv.status"; then
		say "$(basename "$2") has no good signature by yt-dlp's release key $YTDLP_KEY_FINGERPRINT; nothing installed"
		return 1
	fi
}

# install_file FILE DEST: whole or not at all, by a rename in DEST's folder.
install_file() {
	install_tmp=$(dirname "$2")/.$(basename "$2").new.$$
	if mkdir -p "$(dirname "$2")" && cp "$1" "$install_tmp" && chmod 755 "$install_tmp" &&
		mv -f "$install_tmp" "$2"; then
		return 0
	fi
	rm -f "$install_tmp"
	say "could not install $2"
	return 1
}

# The current official yt-dlp into $BIN, checked against the release's
# signed sums before anything is written there.
fetch_ytdlp() {
	case $(uname -m) in
	x86_64 | amd64) fetch_asset=yt-dlp_linux ;;
	aarch64 | arm64) fetch_asset=yt-dlp_linux_aarch64 ;;
	*)
		fetch_asset=yt-dlp
		if ! python3 -c 'import sys; sys.exit(sys.version_info < (3, 10))' 2>/dev/null; then
			say "on $(uname -m) yt-dlp comes as a python3 zipimport file, which needs python3 3.10 or later"
			return 1
		fi
		;;
	esac
	fetch "$YTDLP_RELEASES/SHA2-256SUMS" "$WORK/SHA2-256SUMS" 8 &&
		fetch "$YTDLP_RELEASES/SHA2-256SUMS.sig" "$WORK/SHA2-256SUMS.sig" 8 &&
		check_signature "$WORK/SHA2-256SUMS.sig" "$WORK/SHA2-256SUMS" &&
		fetch_sum=$(listed_sum "$WORK/SHA2-256SUMS" "$fetch_asset") &&
		fetch "$YTDLP_RELEASES/$fetch_asset" "$WORK/$fetch_asset" &&
		check_sum "$WORK/$fetch_asset" "$fetch_sum" &&
		install_file "$WORK/$fetch_asset" "$BIN/yt-dlp" &&
		mkdir -p "$(dirname "$FETCHED_MARK")" && printf '%s\n' "$BIN/yt-dlp" >"$FETCHED_MARK"
}

# The current deno into $BIN, beside yt-dlp, which looks for it there.
fetch_deno() {
	case $(uname -m) in
	x86_64 | amd64) fetch_zip=deno-x86_64-unknown-linux-gnu.zip ;;
	aarch64 | arm64) fetch_zip=deno-aarch64-unknown-linux-gnu.zip ;;
	*)
		say "deno has no release for $(uname -m)"
		return 1
		;;
	esac
	fetch "$DENO_RELEASES/$fetch_zip.sha256sum" "$WORK/$fetch_zip.sha256sum" 8 || return 1
	# The file holds the hash, and may name the zip after it.
	fetch_sum=$(awk '{ for (i = 1; i <= NF; i++)
		if (length($i) == 64 && $i !~ /[^0-9a-fA-F]/) { print tolower($i); exit } }' \
		"$WORK/$fetch_zip.sha256sum")
	if [ -z "$fetch_sum" ]; then
		say "$fetch_zip.sha256sum holds no SHA-256; nothing installed"
		return 1
	fi
	fetch "$DENO_RELEASES/$fetch_zip" "$WORK/$fetch_zip" &&
		check_sum "$WORK/$fetch_zip" "$fetch_sum" &&
		unzip_deno "$WORK/$fetch_zip" &&
		install_file "$WORK/unzipped/deno" "$BIN/deno"
}

# Only deno itself, not denort or anything else the zip may hold.
unzip_deno() {
	if ! unzip -q -o "$1" deno -d "$WORK/unzipped" 2>/dev/null || [ ! -f "$WORK/unzipped/deno" ]; then
		say "$(basename "$1") holds no deno; nothing installed"
		return 1
	fi
}

# unusable TOOL VERSION RELEASES: says that TOOL, of VERSION or missing,
# will not do for the video service, and where to get a current one.
unusable() {
	unusable_why="the video service needs yt-dlp $YTDLP_MIN or later with deno $DENO_MIN or later"
	unusable_what="put the current $1 from $3 in $BIN"
	if [ -n "$2" ]; then
		say "$1 $2 is too old: $unusable_why; $unusable_what"
	else
		say "$1 is missing: $unusable_why; $unusable_what"
	fi
}

# Makes sure the yt-dlp that the program will run can fetch from the video
# service: current, with deno beside it.  Fetches what is missing unless
# FERNHOLLOW_NO_FETCH is set; where that fails, says what to install and
# goes on with what there is, Debian's yt-dlp at the least.
ensure_downloader() {
	PATH=$BIN:$PATH
	export PATH
	WORK=$(mktemp -d) || return 1
	trap 'rm -rf "$WORK" "$BIN/.yt-dlp.new.$$" "$BIN/.deno.new.$$"; exit 1' HUP INT TERM
	ensure_fetch=yes
	[ -z "${FERNHOLLOW_NO_FETCH:-}" ] || ensure_fetch=

	ytdlp_ok=yes
	if ytdlp_current; then
		:
	elif [ -n "$ensure_fetch" ] && need fetch && fetch_ytdlp; then
		say "installed yt-dlp $(ytdlp_version) in $BIN"
	else
		ytdlp_ok=
		unusable yt-dlp "$ytdlp_current_version" https://github.com/yt-dlp/yt-dlp/releases
		command -v yt-dlp >/dev/null 2>&1 || need fallback
	fi
	# deno is of use only to a current yt-dlp.
	if [ -n "$ytdlp_ok" ] && ! deno_current; then
		if [ -n "$ensure_fetch" ] && need fetch && fetch_deno; then
			say "installed deno $(deno_version) in $BIN"
		else
			unusable deno "$deno_current_version" https://github.com/denoland/deno/releases
		fi
	fi

	# A yt-dlp that start fetched keeps itself current, checked once a day.
	if [ -n "$ensure_fetch" ] && [ -f "$FETCHED_MARK" ] &&
		[ "$(cat "$FETCHED_MARK")" = "$(command -v yt-dlp)" ] &&
		[ -n "$(find "$FETCHED_MARK" -mtime +0)" ]; then
		say "updating yt-dlp (once a day)"
		timeout 60 yt-dlp -U >&2 || say "yt-dlp -U failed; keeping yt-dlp $(ytdlp_version)"
		touch "$FETCHED_MARK"
	fi
	rm -rf "$WORK"
	trap - HUP INT TERM
}
