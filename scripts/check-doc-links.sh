#!/bin/sh
# Checks the relative links of the Markdown documents (README.md and
# docs/*.md): every link to a file points at one that exists, and every
# "#anchor", in the same document or another, names a heading there (as
# GitHub makes anchors of headings: small letters, spaces as '-', most
# punctuation dropped, a repeated heading numbered "-1", "-2", ...).
# Links with a scheme (https:, mailto:) are not followed.
#   scripts/check-doc-links.sh [FILE.md...]
set -eu
cd "$(dirname "$0")/.."
[ "$#" -gt 0 ] || set -- README.md docs/*.md

# The anchors of a document's headings, one per line (headings inside
# fenced code blocks are no headings).
anchors() {
  awk '
    /^[ \t]*```/ { fenced = !fenced; next }
    fenced || !/^#+ / { next }
    {
      text = $0
      sub(/^#+ +/, "", text)
      text = tolower(text)
      gsub(/`/, "", text)
      gsub(/[^a-z0-9 _-]/, "", text)
      gsub(/ /, "-", text)
      if (seen[text]++) text = text "-" (seen[text] - 1)
      print text
    }
  ' "$1"
}

status=0
for document in "$@"; do
  [ -e "$document" ] || continue  # docs/*.md matching nothing
  dir=$(dirname "$document")
  # Every inline link target outside code: [text](target), one per line.
  awk '
    /^[ \t]*```/ { fenced = !fenced; next }
    fenced { next }
    {
      line = $0
      gsub(/`[^`]*`/, "", line)
      while (match(line, /\]\([^) ]+\)/)) {
        print NR " " substr(line, RSTART + 2, RLENGTH - 3)
        line = substr(line, RSTART + RLENGTH)
      }
    }
  ' "$document" | while read -r number target; do
    case $target in
      *:*) continue ;;  # a scheme: not ours to check
    esac
    path=${target%%#*}
    anchor=""
    case $target in *"#"*) anchor=${target#*#} ;; esac
    file=$document
    if [ -n "$path" ]; then
      file="$dir/$path"
      if [ ! -e "$file" ]; then
        echo "$document:$number: no such file: $target"
        echo fail > "${TMPDIR:-/tmp}/korvel-links.$$"
        continue
      fi
    fi
    if [ -n "$anchor" ]; then
      case $file in
        *.md) ;;
        *) continue ;;
      esac
      if ! anchors "$file" | grep -qx -- "$anchor"; then
        echo "$document:$number: no heading for the anchor: $target"
        echo fail > "${TMPDIR:-/tmp}/korvel-links.$$"
      fi
    fi
  done
done
if [ -e "${TMPDIR:-/tmp}/korvel-links.$$" ]; then
  rm -f "${TMPDIR:-/tmp}/korvel-links.$$"
  status=1
else
  echo "Links: every relative link and anchor in $* leads somewhere."
fi
exit "$status"
