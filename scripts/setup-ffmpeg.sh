#!/usr/bin/env bash
# Build the FFmpeg 7 shared libraries that the extension links against, from Debian's own
# source package, unless pkg-config already finds FFmpeg 7 or a cached build exists.
# Prints the install prefix (or "system") on the last line of stdout.
#
# Debian 12 ships FFmpeg 5.1; the 7.x source comes from the next release's deb-src index,
# fetched into a private apt state directory so the system's apt configuration is untouched.
set -euo pipefail

cache=${AVARRAY_CACHE:-$HOME/.cache/avarray}
# LGPL only (no --enable-gpl, --enable-nonfree). Nothing is auto-detected, so the build
# links the same libraries on every machine: threads, zlib (PNG, compressed MP4 and
# Matroska headers), dav1d (AV1) and GnuTLS (https), and nothing else (no bzip2, lzma,
# iconv, X11, VA-API). GnuTLS rather than OpenSSL: FFmpeg 7's OpenSSL layer checks the
# certificate chain but not that the certificate names the host, its GnuTLS layer does.
configure_flags=(
  --enable-shared --disable-static --disable-programs --disable-doc
  --disable-avdevice --disable-avfilter --disable-postproc --disable-encoders --disable-muxers
  --disable-devices --disable-filters
  --disable-autodetect --enable-pthreads --enable-zlib --enable-libdav1d --enable-gnutls
)
# Extra options for another build beside this one (the benchmark's peers need libavfilter
# and libavdevice); they change the cache key, so the two builds never share a prefix.
read -r -a extra_flags <<< "${AVARRAY_FFMPEG_EXTRA_FLAGS:-}"
configure_flags+=("${extra_flags[@]}")
# The cache key covers the options, so a change of options builds a fresh prefix.
key=$(printf '%s\n' "${configure_flags[@]}" | sha1sum | cut -c1-10)

log() { echo "setup-ffmpeg: $*" >&2; }

if pkg-config --atleast-version=61 libavformat 2>/dev/null &&
   pkg-config --atleast-version=61 libavcodec 2>/dev/null &&
   pkg-config --atleast-version=59 libavutil 2>/dev/null &&
   pkg-config --atleast-version=8 libswscale 2>/dev/null &&
   pkg-config --atleast-version=5 libswresample 2>/dev/null; then
  log "pkg-config finds FFmpeg $(pkg-config --modversion libavformat) (libavformat); using it"
  echo system
  exit 0
fi

# A finished build leaves a stamp; any 7.x build with the same options will do.
for stamp in "$cache"/ffmpeg-7.*-"$key"/.complete; do
  if [ -f "$stamp" ]; then
    prefix=$(dirname "$stamp")
    log "using cached build $prefix"
    echo "$prefix"
    exit 0
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/sources.d" "$work/lists/partial" "$work/src"
uri=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
if [ -z "$uri" ]; then
  uri=$(awk '$1=="deb"{print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
fi
uri=${uri:-http://deb.debian.org/debian}
printf 'Types: deb-src\nURIs: %s\nSuites: trixie\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
  "$uri" > "$work/sources.d/src.sources"
apt_opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work/sources.d"
          -o "Dir::State::Lists=$work/lists")
log "fetching the FFmpeg source package index from $uri"
apt-get "${apt_opts[@]}" -qq update >&2
(cd "$work/src" && apt-get "${apt_opts[@]}" -qq source --download-only ffmpeg >&2)

tarball=$(ls "$work"/src/ffmpeg_*.orig.tar.* | head -n 1)
version=$(basename "$tarball" | sed -E 's/^ffmpeg_([0-9][0-9.]*)\.orig\..*$/\1/')
case "$version" in
  7.*) ;;
  *) log "the source package has FFmpeg $version, not 7.x"; exit 1 ;;
esac
prefix="$cache/ffmpeg-$version-$key"
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
