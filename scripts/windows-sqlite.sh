#!/usr/bin/env bash
# SQLite for the Windows build, from Debian's own source package: the orig and debian tarballs
# that apt's signed Sources index names, fetched by apt's download helper with the index's
# SHA-256 (so a tarball that is not the one Debian signed is refused), kept in a cache beside
# the build and never committed; Debian's patches applied in their order; then SQLite's single
# source file made from them with SQLite's own tools. Prints the directory that holds sqlite3.c
# and sqlite3.h.
#   scripts/windows-sqlite.sh [DIR]     (default build/windows-deps/sqlite)
set -euo pipefail
cd "$(dirname "$0")/.."

dest=$(realpath -m "${1:-build/windows-deps/sqlite}")
cache=$dest/cache
if [ -f "$dest/sqlite3.c" ] && [ -f "$dest/sqlite3.h" ]; then
  echo "$dest"
  exit 0
fi
mkdir -p "$cache"

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

# Source indexes: Debian's own lines, as deb-src, where the system has none yet.
sources_files() {
  apt-get indextargets --format '$(FILENAME)' 'Identifier: Sources' 2>/dev/null |
    while read -r f; do [ -e "$f" ] && echo "$f"; done || true
}
if [ -z "$(sources_files)" ]; then
  list=/etc/apt/sources.list.d/parlavant-src.sources
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      "${sudo[@]}" tee "$list" >/dev/null
  elif [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list |
      "${sudo[@]}" tee /etc/apt/sources.list.d/parlavant-src.list >/dev/null
  fi
  "${sudo[@]}" apt-get update >/dev/null
fi

# The newest sqlite3 among the indexes, with the repository it comes from.
best_version="" best_file="" best_uri=""
while read -r file uri; do
  [ -e "$file" ] || continue
  version=$(/usr/lib/apt/apt-helper cat-file "$file" |
    awk '/^Package: sqlite3$/{p=1} p&&/^Version:/{if (!v) v=$2; p=0} END{print v}')
  [ -n "$version" ] || continue
  if [ -z "$best_version" ] || dpkg --compare-versions "$version" gt "$best_version"; then
    best_version=$version best_file=$file best_uri=$uri
  fi
done < <(apt-get indextargets --format '$(FILENAME) $(REPO_URI)' 'Identifier: Sources')
if [ -z "$best_version" ]; then
  echo "windows-sqlite.sh: no sqlite3 source package in apt's Sources indexes" >&2
  exit 1
fi
stanza=$(/usr/lib/apt/apt-helper cat-file "$best_file" |
  awk -v v="$best_version" '/^Package: sqlite3$/{p=1; s=""} p{s=s $0 "\n"} p&&/^$/{if (!found && index(s, "\nVersion: " v "\n")) found=s; p=0} END{printf "%s", found}')
directory=$(printf '%s' "$stanza" | awk '/^Directory:/{print $2}')

# The orig tarball and Debian's changes, each checked against the index's SHA-256.
tarballs=()
while read -r sha size name; do
  case "$name" in
    *.orig.tar.*|*.debian.tar.*) ;;
    *) continue ;;
  esac
  if [ ! -f "$cache/$name" ] || ! echo "$sha  $cache/$name" | sha256sum -c --status; then
    rm -f "$cache/$name"
    /usr/lib/apt/apt-helper -o APT::Sandbox::User="$(id -un)" download-file \
      "${best_uri%/}/$directory/$name" "$cache/$name" \
      "SHA256:$sha" >/dev/null
  fi
  echo "$sha  $cache/$name" | sha256sum -c --status
  tarballs+=("$name")
done < <(printf '%s' "$stanza" | awk '/^Checksums-Sha256:/{p=1; next} p&&/^ /{print $1, $2, $3; next} {p=0}')

# Unpacked, patched as Debian patches it, and made into one source file.
work=$dest/work
rm -rf "$work"
mkdir -p "$work/src"
for name in "${tarballs[@]}"; do
  case "$name" in
    *.orig.tar.*) tar -xf "$cache/$name" -C "$work/src" --strip-components=1 ;;
    *.debian.tar.*) tar -xf "$cache/$name" -C "$work/src" ;;
  esac
done
if [ -f "$work/src/debian/patches/series" ]; then
  while read -r patch _; do
    case "$patch" in ''|'#'*) continue ;; esac
    patch -d "$work/src" -p1 -s <"$work/src/debian/patches/$patch"
  done <"$work/src/debian/patches/series"
fi
mkdir -p "$work/native"
(cd "$work/native" && ../src/configure --disable-tcl >/dev/null && make sqlite3.c >/dev/null)
cp "$work/native/sqlite3.c" "$work/native/sqlite3.h" "$dest/"
echo "$best_version" >"$dest/version"
rm -rf "$work"
echo "$dest"
