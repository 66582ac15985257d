#!/usr/bin/env bash
# The XMPP client's libraries for the Windows build, from the tarballs Debian's archive serves:
# expat 2.5.0 (bookworm) and libstrophe 0.14.0 (trixie, the first with a Schannel backend worth
# mending). Each release's InRelease is checked against Debian's archive keyring, its Sources
# index against InRelease's SHA-256, and each tarball against the index's, by apt's download
# helper; the tarballs are kept in a cache beside the build and never committed. Debian's own
# patches are applied, then the project's (scripts/windows-patches/), and both libraries are
# built static with mingw-w64. The result is kept, keyed by the checksum of this recipe (which
# names the versions, whose tarballs the signed indexes pin) and of the patches. Prints the
# prefix that holds include/ and lib/.
#   scripts/windows-xmpp-deps.sh [DIR]     (default build/windows-deps/xmpp)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

dest=$(realpath -m "${1:-build/windows-deps/xmpp}")
cache=$dest/cache
mkdir -p "$cache"
mirror=http://deb.debian.org/debian

# Fetches a file by apt's helper, refused unless its SHA-256 is `sha`.
fetch() {  # url file sha
  if [ -f "$2" ] && echo "$3  $2" | sha256sum -c --status; then return 0; fi
  rm -f "$2"
  /usr/lib/apt/apt-helper download-file "$1" "$2" "SHA256:$3" >/dev/null 2>&1 ||
    { echo "windows-xmpp-deps: cannot fetch $1" >&2; exit 1; }
  echo "$3  $2" | sha256sum -c --status
}

# The stanza of a source package in a release's signed Sources index.
stanza() {  # suite package version
  local suite=$1 release="$cache/$1.InRelease" index="$cache/$1.Sources.xz" sha
  if [ ! -f "$release.checked" ]; then
    curl -fsS -o "$release" "$mirror/dists/$suite/InRelease" ||
      { echo "windows-xmpp-deps: cannot fetch $suite's InRelease" >&2; exit 1; }
    local keyrings=()
    for k in /usr/share/keyrings/debian-archive-*.gpg; do
      [[ $k == *removed* ]] || keyrings+=(--keyring "$k")
    done
    gpgv "${keyrings[@]}" "$release" 2>/dev/null ||
      { echo "windows-xmpp-deps: $suite's InRelease is not signed by Debian" >&2; exit 1; }
    sha=$(awk '/^SHA256:/{p=1; next} /^[^ ]/{p=0} p && $3 == "main/source/Sources.xz" {print $1}' \
      "$release")
    fetch "$mirror/dists/$suite/main/source/Sources.xz" "$index" "$sha"
    touch "$release.checked"
  fi
  # awk stops reading at the stanza: the decompressor's broken pipe is no failure.
  { xz -dc "$index" || true; } | awk -v p="$2" -v v="$3" '
    $0 == "Package: " p {inside = 1; s = ""}
    inside {s = s $0 "\n"}
    inside && /^$/ {if (index(s, "\nVersion: " v "\n")) {printf "%s", s; exit} inside = 0}'
}

# Unpacks the package's orig tarball into `into`; with `debian`, also Debian's changes, its
# patches applied.
unpack() {  # suite package version into [debian]
  local text directory sha size name
  text=$(stanza "$1" "$2" "$3")
  [ -n "$text" ] || { echo "windows-xmpp-deps: no $2 $3 in $1's index" >&2; exit 1; }
  directory=$(printf '%s' "$text" | awk '/^Directory:/{print $2}')
  rm -rf "$4"
  mkdir -p "$4"
  while read -r sha size name; do
    case "$name" in
      *.asc) continue ;;
      *.orig.tar.*) ;;
      *.debian.tar.*) [ "${5:-}" = debian ] || continue ;;
      *) continue ;;
    esac
    fetch "$mirror/$directory/$name" "$cache/$name" "$sha"
    case "$name" in
      *.orig.tar.*) tar -xf "$cache/$name" -C "$4" --strip-components=1 ;;
      *.debian.tar.*) tar -xf "$cache/$name" -C "$4" ;;
    esac
  done < <(printf '%s' "$text" | awk '/^Checksums-Sha256:/{p=1; next} p && /^ /{print $1, $2, $3; next} {p=0}')
  if [ -f "$4/debian/patches/series" ]; then
    while read -r patch _; do
      [ -n "$patch" ] && [[ $patch != \#* ]] || continue
      patch -d "$4" -p1 --quiet < "$4/debian/patches/$patch"
    done < "$4/debian/patches/series"
  fi
}

# What the build is made of: the tarballs' checksums and the project's patches.
key=$( { cat "$0"; cat scripts/windows-patches/*.patch 2>/dev/null || true; } | sha256sum | cut -c1-16)
prefix=$dest/$key
if [ -f "$prefix/lib/libstrophe.a" ] && [ -f "$prefix/lib/libexpat.a" ]; then
  echo "$prefix"
  exit 0
fi
work=$dest/work
# Builds made of other sources or patches are of no more use.
find "$dest" -mindepth 1 -maxdepth 1 -type d ! -name cache -exec rm -rf {} +
mkdir -p "$work"
jobs=$(nproc)
log=$dest/build.log
: > "$log"
# A step's output goes to the log, which is shown when the step fails.
quietly() {
  "$@" >>"$log" 2>&1 || { tail -40 "$log" >&2; echo "windows-xmpp-deps: failed: $*" >&2; exit 1; }
}

# Debian's security fixes for expat since 2.5.0 are in its patches.
unpack bookworm expat 2.5.0-1+deb12u2 "$work/expat" debian
for p in scripts/windows-patches/expat-*.patch; do
  quietly patch -d "$work/expat" -p1 -i "$root/$p"
done
quietly cmake -S "$work/expat/expat" -B "$work/expat-build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" -DEXPAT_SHARED_LIBS=OFF -DEXPAT_BUILD_TOOLS=OFF \
  -DEXPAT_BUILD_EXAMPLES=OFF -DEXPAT_BUILD_TESTS=OFF -DEXPAT_BUILD_DOCS=OFF
quietly cmake --build "$work/expat-build" -j "$jobs"
quietly cmake --install "$work/expat-build"

# libstrophe's Debian changes are its packaging (and the archive may no longer serve the
# revision the index names): the release as its authors made it.
unpack trixie libstrophe 0.14.0-4 "$work/libstrophe"
for p in scripts/windows-patches/libstrophe-*.patch; do
  quietly patch -d "$work/libstrophe" -p1 -i "$root/$p"
done
cd "$work/libstrophe"
# The release tarball is the repository's tree: its configure script is made here.
[ -x configure ] || quietly bash ./bootstrap.sh
quietly env PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" bash ./configure \
  --host=x86_64-w64-mingw32 --with-schannel --disable-zlib --disable-shared --disable-examples \
  --prefix="$prefix"
quietly make -j "$jobs"
quietly make install
cd "$root"
rm -rf "$work"
echo "$prefix"
