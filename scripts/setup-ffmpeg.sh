#!/usr/bin/env bash
# Builds FFmpeg from Debian's own source package, once per version and set of options,
# into a cache outside the repository. Prints the install prefix on the last line of
# stdout.
# Usage: scripts/setup-ffmpeg.sh VERSION   (7.1, 8.1 or 9.0)
#
# Debian 12 ships FFmpeg 5.1; the orig tarballs come from later releases' deb-src indexes,
# fetched into a private apt state directory so the system's apt configuration is untouched.
set -euo pipefail

log() { echo "setup-ffmpeg: $*" >&2; }

# Each supported version, pinned to the Debian source version that carries it.
declare -A debian_versions=(
  [7.1]=7:7.1.5-0+deb13u1
  [8.1]=7:8.1.2-2
  [9.0]=7:9.0.2-4
)
series=${1:-}
if [ -z "${debian_versions[$series]+set}" ]; then
  log "unknown FFmpeg version '$series'; known: $(printf '%s\n' "${!debian_versions[@]}" | sort -V | xargs)"
  exit 2
fi
debian_version=${debian_versions[$series]}

cache=${AVARRAY_CACHE:-$HOME/.cache/avarray}
# LGPL only (no --enable-gpl, --enable-nonfree). Nothing is auto-detected, so the build
# links the same libraries on every machine: threads, zlib (PNG, compressed MP4 and
# Matroska headers), dav1d (AV1) and GnuTLS (https), and nothing else (no bzip2, lzma,
# iconv, X11, VA-API). GnuTLS rather than OpenSSL: FFmpeg 7's OpenSSL layer checks the
# certificate chain but not that the certificate names the host, its GnuTLS layer does.
configure_flags=(
  --enable-shared --disable-static --disable-programs --disable-doc
  --disable-avdevice --disable-avfilter --disable-encoders --disable-muxers
  --disable-devices --disable-filters
  --disable-autodetect --enable-pthreads --enable-zlib --enable-libdav1d --enable-gnutls
)
# FFmpeg 8 removed libpostproc along with its configure option.
[ "$series" != 7.1 ] || configure_flags+=(--disable-postproc)
# Extra options for another build beside this one (the reference tools, the fuzzer's
# static build); they change the cache key, so builds never share a prefix.
read -r -a extra_flags <<< "${AVARRAY_FFMPEG_EXTRA_FLAGS:-}"
configure_flags+=("${extra_flags[@]}")
key=$(printf '%s\n' "$debian_version" "${configure_flags[@]}" | sha1sum | cut -c1-10)
prefix="$cache/ffmpeg-$series-$key"

if [ -f "$prefix/.complete" ]; then
  log "using cached build $prefix"
  echo "$prefix"
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/sources.d" "$work/lists/partial" "$work/src"
uri=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
if [ -z "$uri" ]; then
  uri=$(awk '$1=="deb"{print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
fi
uri=${uri:-http://deb.debian.org/debian}
printf 'Types: deb-src\nURIs: %s\nSuites: trixie forky sid\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
  "$uri" > "$work/sources.d/src.sources"
apt_opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work/sources.d"
          -o "Dir::State::Lists=$work/lists")
# Only the orig tarball (some source packages are published without their .dsc, and the
# Debian patches are not wanted), kept beside the builds for the other builds of the version.
sources="$cache/sources/ffmpeg-$series"
if ! ls "$sources"/ffmpeg_*.orig.tar.* >/dev/null 2>&1; then
  log "fetching the FFmpeg source package index from $uri"
  apt-get "${apt_opts[@]}" -qq update >&2
  (cd "$work/src" && apt-get "${apt_opts[@]}" -qq source --download-only --tar-only \
    "ffmpeg=$debian_version" >&2)
  mkdir -p "$sources"
  mv "$work"/src/ffmpeg_*.orig.tar.* "$sources/"
fi
tarball=$(ls "$sources"/ffmpeg_*.orig.tar.* | head -n 1)
version=$(basename "$tarball" | sed -E 's/^ffmpeg_([0-9][0-9.]*)\.orig\..*$/\1/')
case "$version" in
  "$series".*) ;;
  *) log "the source package has FFmpeg $version, not $series.x"; exit 1 ;;
esac
log "building FFmpeg $version into $prefix"
mkdir -p "$work/build"
tar -xf "$tarball" -C "$work/build" --strip-components=1
rm -rf "$prefix"
(
  cd "$work/build"
  ./configure --prefix="$prefix" "${configure_flags[@]}" >&2
  make -j"$(nproc)" >&2
  make install >&2
  # The licence texts and the exact configuration travel with the libraries (into the wheel).
  mkdir -p "$prefix/share/licenses/ffmpeg"
  cp COPYING.LGPLv2.1 LICENSE.md "$prefix/share/licenses/ffmpeg/"
  printf 'FFmpeg %s, built from %s with:\n./configure %s\n' "$version" "$(basename "$tarball")" \
    "${configure_flags[*]}" > "$prefix/share/licenses/ffmpeg/configuration.txt"
)
touch "$prefix/.complete"
echo "$prefix"
