#!/usr/bin/env bash
# Install test: installs quiremark into a temporary prefix, checks what was installed, then builds
# a tiny C consumer against the installed files twice, with pkg-config and with CMake's
# find_package(quiremark), builds the C example the same way, and runs them all on PDFs written
# here.
#
# Usage: tests/install/run.sh [--build-dir DIR] [--keep]
#   --build-dir DIR  install from this already built tree (what CTest passes); without it the
#                    project is configured and built afresh (Release, no tests) in the work folder
#   --keep           keep the temporary work folder and print its path
# Needs cmake, a C compiler, pkg-config or pkgconf, readelf and nm (binutils); uses qpdf to check
# the PDFs when it is there.
set -euo pipefail
export LC_ALL=C

src=$(cd "$(dirname "$0")/../.." && pwd)
build=""
keep=0
while (($#)); do
  case "$1" in
    --build-dir) build=$(cd "$2" && pwd); shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: $0 [--build-dir DIR] [--keep]" >&2; exit 2 ;;
  esac
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quiremark-install.XXXXXX")
if ((keep)); then echo "work folder: $work"; else trap 'rm -rf "$work"' EXIT; fi
prefix="$work/prefix"
failures=0
step() { echo "== $*"; }
ok() { echo "ok: $*"; }
bad() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# same WHAT ACTUAL EXPECTED
same() { if [ "$2" = "$3" ]; then ok "$1: $2"; else bad "$1: '$2', expected '$3'"; fi; }

version=$(sed -n 's/^project(quiremark VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
major=${version%%.*}
[ -n "$version" ] || { echo "cannot read the project version" >&2; exit 1; }

if [ -z "$build" ]; then
  step "configure and build in $work/build"
  build="$work/build"
  cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUIREMARK_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 >/dev/null
fi

step "install to $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log"

# Where the files went: the library directory is the one holding pkgconfig/quiremark.pc (it is lib,
# or lib/<multiarch> when the tree was configured for /usr).
pc=$(find "$prefix" -path '*/pkgconfig/quiremark.pc' | head -n 1)
[ -n "$pc" ] || { cat "$work/install.log"; echo "no quiremark.pc installed" >&2; exit 1; }
libdir=$(dirname "$(dirname "$pc")")

step "installed files"
check_file() { if [ -e "$1" ]; then ok "${1#"$prefix"/}"; else bad "missing ${1#"$prefix"/}"; fi; }
check_file "$prefix/include/quiremark.h"
check_file "$libdir/libquiremark.so.$version"
check_file "$libdir/cmake/quiremark/quiremarkConfig.cmake"
check_file "$libdir/cmake/quiremark/quiremarkConfigVersion.cmake"
check_file "$libdir/cmake/quiremark/quiremarkTargets.cmake"
if [ -x "$prefix/bin/quiremark" ]; then ok "bin/quiremark"; else bad "bin/quiremark missing or not executable"; fi
if [ -f "$src/docs/quiremark.1" ]; then
  check_file "$prefix/share/man/man1/quiremark.1"
fi
for link in "libquiremark.so:libquiremark.so.$major" "libquiremark.so.$major:libquiremark.so.$version"; do
  name=${link%%:*} target=${link#*:}
  if [ -L "$libdir/$name" ] && [ "$(readlink "$libdir/$name")" = "$target" ]; then
    ok "$name -> $target"
  else
    bad "$name is not a symbolic link to $target"
  fi
done
soname=$(readelf -d "$libdir/libquiremark.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
same SONAME "$soname" "libquiremark.so.$major"
exports=$(nm -D --defined-only "$libdir/libquiremark.so.$version" | awk '$2 ~ /^[TtWw]$/ {print $3}' |
  sed 's/@.*//' | sort | tr '\n' ' ')
want="quiremark_cleanup quiremark_init quiremark_last_error quiremark_merge quiremark_merge_opacity quiremark_stamp "
same "exported functions" "$exports" "$want"
if "$prefix/bin/quiremark" --version >"$work/version.txt" 2>&1 && grep -q "$version" "$work/version.txt"; then
  ok "quiremark --version: $(head -n 1 "$work/version.txt")"
else
  bad "quiremark --version: $(cat "$work/version.txt")"
fi

# Fixtures: a two-page background and a one-page stamp, written with a correct xref table.
# make_pdf FILE WIDTH HEIGHT CONTENT... (one page per CONTENT)
make_pdf() {
  local file=$1 width=$2 height=$3 nl=$'\n'
  shift 3
  local -a obj=()
  local kids="" num=3 content
  obj[1]="<< /Type /Catalog /Pages 2 0 R >>"
  for content in "$@"; do
    kids+="$num 0 R "
    obj[num]="<< /Type /Page /Parent 2 0 R /MediaBox [0 0 $width $height] /Contents $((num + 1)) 0 R >>"
    obj[num + 1]="<< /Length ${#content} >>${nl}stream${nl}${content}${nl}endstream"
    num=$((num + 2))
  done
  obj[2]="<< /Type /Pages /Kids [$kids] /Count $# >>"
  local out="%PDF-1.4$nl" xref="" n
  for ((n = 1; n < num; n++)); do
    xref+=$(printf '%010d 00000 n ' "${#out}")$nl
    out+="$n 0 obj$nl${obj[n]}${nl}endobj$nl"
  done
  local start=${#out}
  out+="xref${nl}0 $num${nl}0000000000 65535 f $nl$xref"
  out+="trailer$nl<< /Size $num /Root 1 0 R >>${nl}startxref$nl$start$nl%%EOF$nl"
  printf '%s' "$out" >"$file"
}
make_pdf "$work/bg.pdf" 400 300 "0 0 1 rg 20 20 160 100 re f" "1 0 0 rg 220 180 160 100 re f"
make_pdf "$work/fg.pdf" 200 200 "0 0.6 0 RG 8 w 20 20 m 180 180 l S 20 180 m 180 20 l S"

# check_pdf FILE PAGES
check_pdf() {
  if ! head -c 8 "$1" | grep -q '^%PDF-1\.4'; then bad "$1 is not a PDF"; return; fi
  if command -v qpdf >/dev/null; then
    if ! qpdf --check "$1" >"$work/qpdf.txt" 2>&1; then bad "qpdf --check $1: $(cat "$work/qpdf.txt")"; return; fi
    local pages
    pages=$(qpdf --show-npages "$1")
    [ "$pages" = "$2" ] || { bad "$1 has $pages pages, not $2"; return; }
  fi
  ok "$(basename "$1") is a valid PDF with $2 pages"
}
check_pdf "$work/bg.pdf" 2
check_pdf "$work/fg.pdf" 1

# run_consumer BINARY NAME: runs it without any library path from the environment, and checks
# that it loaded the installed library.
run_consumer() {
  local bin=$1 name=$2
  local lib
  lib=$(env -u LD_LIBRARY_PATH ldd "$bin" | awk '/libquiremark\.so/ {print $3}')
  if [ "$lib" -ef "$libdir/libquiremark.so.$major" ]; then
    ok "$name loads $lib"
  else
    bad "$name loads '$lib', not the installed library"
  fi
  if env -u LD_LIBRARY_PATH "$bin" "$work/bg.pdf" "$work/fg.pdf" "$work/$name" >"$work/$name.txt"; then
    ok "$name ran"
    check_pdf "$work/$name-stamp.pdf" 2
    check_pdf "$work/$name-merge.pdf" 2
    check_pdf "$work/$name-translucent.pdf" 2
  else
    bad "$name failed"
  fi
}

step "consumer built with pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
pcversion=$(pkg-config --modversion quiremark)
same "pkg-config --modversion" "$pcversion" "$version"
same "pkg-config prefix" "$(pkg-config --variable=prefix quiremark)" "$prefix"
pclibdir=$(pkg-config --variable=libdir quiremark)
# shellcheck disable=SC2046  # the flags are separate words
if cc -std=c99 -Wall -Wextra -Werror -pedantic $(pkg-config --cflags quiremark) \
    -o "$work/consumer-pc" "$src/tests/install/consumer/main.c" \
    $(pkg-config --libs quiremark) "-Wl,-rpath,$pclibdir"; then
  ok "compiled and linked"
  run_consumer "$work/consumer-pc" consumer-pc
else
  bad "consumer did not build with pkg-config"
fi

step "consumer built with find_package(quiremark)"
if cmake -S "$src/tests/install/consumer" -B "$work/consumer-cmake" -DCMAKE_PREFIX_PATH="$prefix" \
    -DQM_VERSION="$version" >"$work/consumer-cmake.log" 2>&1 &&
    cmake --build "$work/consumer-cmake" >>"$work/consumer-cmake.log" 2>&1; then
  ok "configured and built"
  run_consumer "$work/consumer-cmake/consumer" consumer-cmake
else
  cat "$work/consumer-cmake.log" >&2
  bad "consumer did not build with find_package"
fi
if cmake -S "$src/tests/install/consumer" -B "$work/consumer-newer" -DCMAKE_PREFIX_PATH="$prefix" \
    -DQM_VERSION="$((major + 1)).0" >"$work/consumer-newer.log" 2>&1; then
  bad "find_package(quiremark $((major + 1)).0) accepted version $version"
else
  ok "find_package(quiremark $((major + 1)).0) refuses version $version"
fi

if [ -f "$src/examples/CMakeLists.txt" ]; then
  step "C example built with find_package(quiremark)"
  if cmake -S "$src/examples" -B "$work/examples" -DCMAKE_PREFIX_PATH="$prefix" >"$work/examples.log" 2>&1 &&
      cmake --build "$work/examples" >>"$work/examples.log" 2>&1; then
    ok "built"
    mkdir -p "$work/example-out"
    if env -u LD_LIBRARY_PATH "$work/examples/stamp_watermark" "$work/fg.pdf" "$work/example-out" \
        "$work/bg.pdf" >"$work/example.txt" 2>&1; then
      check_pdf "$work/example-out/bg.pdf" 2
    else
      bad "example failed: $(cat "$work/example.txt")"
    fi
  else
    cat "$work/examples.log" >&2
    bad "the C example did not build"
  fi
fi

if ((failures)); then
  echo "install test: $failures check(s) failed" >&2
  exit 1
fi
echo "install test: all checks passed"
