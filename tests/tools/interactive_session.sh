#!/bin/sh
# Types into quillbridge-host's interactive mode in a real terminal (tmux)
# and reads the screen back: the prompt, two requests, and Ctrl-D ending it.
# On a terminal whose locale speaks UTF-8 a Shift_JIS reply shows converted
# without --sjis; under another locale it shows escaped. A backend's last
# words before it aborts show converted too.
# Usage: interactive_session.sh HOST MODULE DIRECTORY FIXTURE_BACKEND
set -u
host=$1 module=$2 directory=$3 fixture=$4

if ! command -v tmux >/dev/null 2>&1; then
  echo "tmux is not installed: skipping the terminal session test"
  exit 77
fi

unset TMUX
socket="quillbridge-test-$$"
tmux_() { tmux -L "$socket" -f /dev/null "$@"; }
aborting=$(mktemp -d)
cp "$fixture" "$aborting/shiori.dll"
trap 'tmux_ kill-server 2>/dev/null; rm -rf "$aborting"' EXIT

fail() {
  echo "FAIL: $1"
  echo "--- screen:"
  tmux_ capture-pane -p -t session 2>/dev/null
  exit 1
}

# Waits (at most about 10 seconds) until the screen shows the text $1.
wait_for() {
  tries=0
  while ! tmux_ capture-pane -p -t session 2>/dev/null | grep -qF -- "$1"; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || fail "never saw: $1"
    sleep 0.1
  done
}

# The client reads the screen back as UTF-8 whatever the caller's locale.
export LC_ALL=C.UTF-8
tmux_ new-session -d -s session -x 100 -y 50 \
  "'$host' -i '$module' '$directory'; echo \"host exited with \$?\";
   LC_ALL=C '$host' '$module' '$directory' hello Plain;
   QB_FIXTURE_MODE=abort-request '$host' '$module' '$aborting/' greet; sleep 60" ||
  fail "cannot start tmux"

wait_for "= 1"
wait_for ">"  # the prompt (the screen drops its trailing space)
tmux_ send-keys -t session "greet Terminal" Enter
wait_for "Result: Hello, Terminal! This is the phrasebook backend.\\r\\n"
tmux_ send-keys -t session "add" Tab "big one" Tab "small one" Enter
wait_for "Result: big one and small one make a pair.\\r\\n"
# "Terminal-san, konnichiwa." as the sample's Shift_JIS reply, converted.
tmux_ send-keys -t session "hello Terminal" Enter
wait_for "Result: Terminalさん、こんにちは。"
tmux_ send-keys -t session C-d
wait_for "host exited with 0"
wait_for 'Result: Plain\x82\xB3\x82\xF1'
# "Sayounara", then the tool's word on how the module ended.
wait_for "fixture: さようなら"
wait_for "the module crashed with signal 6 (SIGABRT) in its request"
echo "interactive session: prompt, three requests, Ctrl-D, the terminal's locale and last words worked"
