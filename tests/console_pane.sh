# Sourced by the console tests: a private tmux server on a socket of our
# own in a fresh folder $work, ended (and the folder removed) on every way
# out, and a pane that runs $work/session.sh and stays readable after its
# shell has ended. Skips the test (exit 77) where tmux is not installed.
command -v tmux >/dev/null 2>&1 || { echo "tmux is not installed: skipped"; exit 77; }

work=$(mktemp -d)
tmux_() { tmux -S "$work/tmux.socket" "$@"; }
cleanup() {
  tmux_ kill-server >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# start_pane COLUMNS: the pane, 30 rows high, running $work/session.sh.
start_pane() {
  echo "set-option -g remain-on-exit on" > "$work/tmux.conf"
  tmux_ -f "$work/tmux.conf" new-session -d -x "$1" -y 30 "sh $work/session.sh"
}
