#!/usr/bin/env bash
# Runs the shell blocks of README.md and docs/*.md that are marked runnable, so that the commands
# the documentation shows keep working as written. A block is marked by the line
#   <!-- runnable -->
# directly before its ```sh (or ```bash) fence. Each block runs with `bash -e` in a fresh folder
# holding copies of samples/ and examples/, with the tool first on the PATH as `quiremark`.
# Blocks that set up, build or install are left unmarked.
#
# Usage: tests/doc_blocks.sh TOOL SOURCE_DIR SCRATCH_DIR
set -euo pipefail
if [ $# -ne 3 ]; then
  echo "usage: $0 TOOL SOURCE_DIR SCRATCH_DIR" >&2
  exit 2
fi
tool=$(realpath "$1")
src=$(realpath "$2")
scratch=$3
rm -rf "$scratch"
mkdir -p "$scratch/bin" "$scratch/blocks"
scratch=$(realpath "$scratch")
ln -s "$tool" "$scratch/bin/quiremark"

shopt -s nullglob
docs=("$src/README.md" "$src"/docs/*.md)

# Writes each marked block to blocks/N.sh and its place (file:line) to blocks/N.where. A marker
# that is not followed by a shell fence, or a block that is never closed, is an error.
n=0
for doc in "${docs[@]}"; do
  n=$(awk -v out="$scratch/blocks" -v n="$n" -v name="${doc#"$src"/}" '
    function fail(msg) { print name ":" FNR ": " msg > "/dev/stderr"; bad = 1; exit 1 }
    inblock && /^```[ \t]*$/ { inblock = 0; close(file); next }
    inblock { print > file; next }
    marked && /^```(sh|bash)[ \t]*$/ {
      marked = 0; inblock = 1; n++; file = out "/" n ".sh"
      printf "" > file
      print name ":" FNR > (out "/" n ".where"); close(out "/" n ".where")
      next
    }
    marked { fail("<!-- runnable --> must stand right before a ```sh fence") }
    /^<!-- runnable -->[ \t]*$/ { marked = 1; next }
    END {
      if (bad) exit 1
      if (inblock) { print name ": a runnable block is not closed" > "/dev/stderr"; exit 1 }
      if (marked) { print name ": <!-- runnable --> at the end of the file" > "/dev/stderr"; exit 1 }
      print n
    }' "$doc")
done
if [ "$n" -eq 0 ]; then
  echo "no runnable blocks found in README.md or docs/*.md" >&2
  exit 1
fi

failed=0
for ((i = 1; i <= n; i++)); do
  where=$(cat "$scratch/blocks/$i.where")
  dir="$scratch/run/$i"
  mkdir -p "$dir"
  cp -R "$src/samples" "$src/examples" "$dir/"
  if (cd "$dir" && PATH="$scratch/bin:$PATH" bash -e "$scratch/blocks/$i.sh") >"$dir.log" 2>&1; then
    echo "ok   $where"
  else
    status=$?
    failed=$((failed + 1))
    echo "FAIL $where (exit status $status)"
    sed 's/^/  | /' "$scratch/blocks/$i.sh"
    echo "  output:"
    sed 's/^/  > /' "$dir.log"
  fi
done
echo "$n blocks, $failed failed"
[ "$failed" -eq 0 ]
