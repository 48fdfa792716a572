#!/bin/sh
# Runs the README's examples that use the programs of the build tree, as
# written, after ./scripts/flash-sample.sh: each fenced block that follows
# the line "<!-- example: runs in CI after ./scripts/flash-sample.sh -->"
# runs in a shell of its own from the top of the repository and must end
# with status 0 within a minute. Fails as well for an example that runs a
# program out of the build tree (build/.../korvel...) without that line
# above it: no such example goes unchecked.
#   scripts/check-readme-examples.sh [README.md]
set -eu
cd "$(dirname "$0")/.."
readme=${1:-README.md}
work=$(mktemp -d "${TMPDIR:-/tmp}/korvel-readme.XXXXXX")
trap 'rm -rf "$work"' EXIT

# 1. The blocks: checked ones into files of their own; unchecked ones that
# name the build tree are listed.
awk -v dir="$work" '
  /^<!-- example: runs in CI after \.\/scripts\/flash-sample\.sh -->$/ { marked = 1; next }
  /^```/ {
    if (!inside) { inside = 1; checked = marked; block++; start = NR
                   if (checked) file = sprintf("%s/example-%02d.sh", dir, block) }
    else { inside = 0 }
    marked = 0; next
  }
  inside && checked { print > file; next }
  inside && /(^[ \t]*(\$ )?|[;&|(] *)\.?\/?build\/[^ ]*\/korvel/ {
    printf "line %d: %s\n", NR, $0 > (dir "/unchecked")
  }
  { marked = 0 }
' "$readme"

status=0
if [ -s "$work/unchecked" ]; then
  echo "FAIL: examples in $readme name the build tree but are not run by this check:" >&2
  cat "$work/unchecked" >&2
  status=1
fi

# 2. Each checked block, as written.
count=0
for example in "$work"/example-*.sh; do
  [ -e "$example" ] || continue
  count=$((count + 1))
  if timeout 60 sh "$example" > "$example.out" 2>&1; then
    echo "ok: $(basename "$example" .sh) ($(head -n 1 "$example"))"
  else
    echo "FAIL: this example from $readme ended with status $?:" >&2
    sed 's/^/    /' "$example" >&2
    echo "  its output:" >&2
    sed 's/^/    /' "$example.out" >&2
    status=1
  fi
done
if [ "$count" -eq 0 ]; then
  echo "FAIL: no checked example in $readme" >&2
  status=1
fi
exit "$status"
