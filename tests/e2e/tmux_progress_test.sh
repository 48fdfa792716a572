#!/bin/sh
# The progress line in a real terminal: korvel flashes a 16 KiB and a
# 65,535-byte firmware image into korvel-devsim in tmux panes of 80, 40 and
# 20 columns (the three widths side by side, one simulated device each).
# While a run goes on, the pane must show the progress line, and it must stop
# short of the last column; at the end, the pane with its whole history must
# hold exactly the result lines, as the terminal folds those longer than the
# pane: no progress line wrapped, nothing stale, no blank line. During the
# long run Ctrl+C is pressed three times: the run goes on, the line answers
# it, and the echoed "^C" leaves no stale row.
#   tmux_progress_test.sh <korvel> <korvel-devsim>
set -eu
korvel=$1
devsim=$2

if ! command -v tmux > /dev/null 2>&1; then
  echo "FAIL: tmux is not installed (scripts/install-packages.sh tmux)" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/korvel-tmux.XXXXXX")
socket="$work/tmux.socket"
# A server of our own, without the user's configuration.
tmx() { tmux -S "$socket" -f /dev/null "$@"; }
cleanup() {
  tmx kill-server > /dev/null 2>&1 || true
  for pidfile in "$work"/*.devsim-pid; do
    [ -f "$pidfile" ] && kill "$(cat "$pidfile")" 2> /dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

widths="80 40 20"

# Starts one run of korvel on <image> in a detached pane <width> columns wide
# against a simulated device of its own; the pane's shell records korvel's
# status and then waits to be captured.
start_run() {
  name=$1
  width=$2
  image=$3
  port="$work/$name.port"
  "$devsim" --link "$port" --flash-out "$work/$name.flash" --exit-after-reset \
    > "$work/$name.devsim-out" 2>&1 &
  echo $! > "$work/$name.devsim-pid"
  tries=0
  while [ ! -e "$port" ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ]; then
      fail "$name: the simulated device did not start"
      cat "$work/$name.devsim-out" >&2
      return 1
    fi
    sleep 0.05
  done
  tmx new-session -d -s "$name" -x "$width" -y 24 \
    "'$korvel' '$port' '$image'; echo \$? > '$work/$name.status'; sleep 600"
}

# Checks a pane's visible lines while its run goes on: the progress line (a
# bar or the percent with the time left, the wake-up's probe count, or the
# answer to Ctrl+C) stops short of the last column. Notes when the
# programming line and the answer to Ctrl+C are seen.
progress_line="^(\\[[#.]*\\] |[0-9]+% |Activating|probe |[0-9]+/30$|can't stop|[0-9]+ s left)"
watch_pane() {
  name=$1
  width=$2
  tmx capture-pane -p -t "$name" > "$work/$name.now" 2> /dev/null || return 0
  if grep -E "$progress_line" "$work/$name.now" |
    awk -v w="$width" 'length($0) >= w { bad = 1 } END { exit !bad }'; then
    fail "$name: the progress line reached column $width:"
    cat "$work/$name.now" >&2
  fi
  if grep -Eq '^(\[[#.]*\] |[0-9]+% [0-9]+:[0-9]+ left)' "$work/$name.now"; then
    touch "$work/$name.seen"
  fi
  if grep -Eq "^(can't stop|[0-9]+ s left)" "$work/$name.now"; then touch "$work/$name.answered"; fi
}

# Three Ctrl+C into every pane of a long run, the last two at once: korvel
# goes on, answers on its line, and leaves no stale row behind.
press_ctrl_c() {
  for width in $widths; do tmx send-keys -t "w$width-$1" C-c; done
  sleep 0.4
  for width in $widths; do tmx send-keys -t "w$width-$1" C-c C-c; done
}

# The lines a successful run prints, and nothing else.
printf '%s\n' "Version: 2.3" "Bootloader activated." "Flashing firmware version 9.9 test." \
  "Firmware flashed." > "$work/expected"

for size in 16384 65535; do
  # A test image: the marker with its version text up front, then filler.
  image="$work/firmware-$size.img"
  printf '!Tavlo 9.9 test\000' > "$image"
  head -c $((size - 16)) /dev/zero >> "$image"

  started=$(date +%s)
  for width in $widths; do start_run "w$width-$size" "$width" "$image"; done
  # Watch until every run has ended: at most about 5 s for the wake-up and
  # the erase, and the 20 ms reply gap of every 64-byte block.
  deadline=$((started + 20 + size / 64 / 25))
  pressed=no
  while :; do
    if [ "$size" -eq 65535 ] && [ "$pressed" = no ] && [ "$(date +%s)" -ge $((started + 4)) ]; then
      press_ctrl_c "$size"
      pressed=yes
    fi
    running=0
    for width in $widths; do
      name="w$width-$size"
      [ -f "$work/$name.status" ] || running=1
      watch_pane "$name" "$width"
    done
    [ "$running" -eq 0 ] && break
    if [ "$(date +%s)" -gt "$deadline" ]; then
      fail "$size bytes: a run did not end in time"
      break
    fi
    sleep 0.2
  done

  for width in $widths; do
    name="w$width-$size"
    before=$failures
    status=$(cat "$work/$name.status" 2> /dev/null || echo none)
    [ "$status" = 0 ] || fail "$name: korvel ended with status $status"
    [ -f "$work/$name.seen" ] || fail "$name: the progress line never showed"
    if [ "$size" -eq 65535 ] && [ ! -f "$work/$name.answered" ]; then
      fail "$name: Ctrl+C got no answer on the progress line"
    fi
    # The whole history, row by row and with wrapped rows joined: the rows
    # are the result lines folded at the pane's width, and nothing else.
    tmx capture-pane -p -S - -E - -t "$name" | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' \
      > "$work/$name.screen"
    # (Joining keeps the blanks that cleared the progress line: drop them.)
    tmx capture-pane -p -J -S - -E - -t "$name" | sed -e 's/ *$//' |
      sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' > "$work/$name.joined"
    fold -w "$width" "$work/expected" > "$work/$name.folded"
    if ! cmp -s "$work/$name.folded" "$work/$name.screen"; then
      fail "$name: the rows on screen are not the result lines folded at $width:"
      cat -A "$work/$name.screen" >&2
    elif ! cmp -s "$work/expected" "$work/$name.joined"; then
      fail "$name: the screen does not hold exactly the result lines:"
      cat -A "$work/$name.joined" >&2
    fi
    cmp -s "$image" "$work/$name.flash" || fail "$name: the device's flash differs from the image"
    if [ "$failures" -eq "$before" ]; then
      echo "ok: $size bytes in $width columns: progress shown, no wrap, screen holds the result lines"
    fi
    tmx kill-session -t "$name" 2> /dev/null || true
  done
  echo "$size bytes: $(($(date +%s) - started)) s"
done

if [ "$failures" -ne 0 ]; then
  echo "tmux progress check: $failures failed" >&2
  exit 1
fi
echo "tmux progress check: all passed"
