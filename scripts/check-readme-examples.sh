#!/bin/sh
# Runs the examples of the README and the manual (docs/*.md) that use the
# programs of the build tree, as written, after ./scripts/flash-sample.sh:
# each fenced block that follows
# the line "<!-- example: runs in CI after ./scripts/flash-sample.sh -->"
# runs in a shell of its own from the top of the repository and must end
# with status 0 within a minute. Fails as well for an example that runs a
# program out of the build tree (build/.../korvel...) without that line
# above it: no such example goes unchecked.
#   scripts/check-readme-examples.sh [FILE.md...]
set -eu
cd "$(dirname "$0")/.."
[ "$#" -gt 0 ] || set -- README.md docs/*.md
work=$(mktemp -d "${TMPDIR:-/tmp}/korvel-readme.XXXXXX")
trap 'rm -rf "$work"' EXIT

# 1. The blocks: checked ones into files of their own; unchecked ones that
# name the build tree are listed.
for document in "$@"; do
  [ -e "$document" ] || continue  # docs/*.md matching nothing
  awk -v dir="$work" -v document="$document" -v name="$(basename "$document" .md)" '
  /^<!-- example: runs in CI after \.\/scripts\/flash-sample\.sh -->$/ { marked = 1; next }
  /^```/ {
    if (!inside) { inside = 1; checked = marked; block++; start = NR
                   if (checked) file = sprintf("%s/example-%s-%02d.sh", dir, name, block) }
    else { inside = 0 }
    marked = 0; next
  }
  inside && checked { print > file; next }
  inside && /(^[ \t]*(\$ )?|[;&|(] *)\.?\/?build\/[^ ]*\/korvel/ {
    printf "%s:%d: %s\n", document, NR, $0 >> (dir "/unchecked")
  }
  { marked = 0 }
' "$document"
done

status=0
if [ -s "$work/unchecked" ]; then
  echo "FAIL: examples name the build tree but are not run by this check:" >&2
  cat "$work/unchecked" >&2
  status=1
fi

# 2. Each checked block, as written.
count=0
for example in "$work"/example-*.sh; do
  [ -e "$example" ] || continue
  count=$((count + 1))
  result=0
  timeout 60 sh "$example" > "$example.out" 2>&1 || result=$?
  if [ "$result" -eq 0 ]; then
    echo "ok: $(basename "$example" .sh) ($(head -n 1 "$example"))"
  else
    echo "FAIL: this example ($(basename "$example" .sh)) ended with status $result:" >&2
    sed 's/^/    /' "$example" >&2
    echo "  its output:" >&2
    sed 's/^/    /' "$example.out" >&2
    status=1
  fi
done
if [ "$count" -eq 0 ]; then
  echo "FAIL: no checked example in $*" >&2
  status=1
fi
exit "$status"
