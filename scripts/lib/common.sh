# shellcheck shell=bash
# Helpers shared by the scripts (sourced, not run): messages, bounded waits, processes started
# in the background, the remote server stand-in and the adapter simulator, and one list of
# what to undo when the script ends, however it ends.
#
# The caller may set before sourcing:
#   log_tag       what each message starts with (default: "[<script name>]")
# and may define fail_context, a function that prints what explains a failure (a log's
# tail); fail calls it before it exits.
# Sourcing sets the EXIT, INT and TERM traps: a script adds to the clean-up list with on_exit
# instead of trapping EXIT itself.

: "${log_tag:=[$(basename "$0")]}"

log() { printf '%s %s\n' "$log_tag" "$*"; }
ok() { log "ok: $*"; }
fail() {
  log "FAILED: $*" >&2
  if declare -F fail_context >/dev/null; then fail_context >&2 || true; fi
  exit 1
}

# wait_until SECONDS COMMAND [ARG...]: runs COMMAND until it succeeds (status 0) or SECONDS
# have passed (status 1). Each try is followed by a short pause, so what it waits for is
# seen within a tenth of a second.
wait_until() {
  local seconds=$1
  shift
  local end=$((${EPOCHREALTIME/./} + seconds * 1000000))
  until "$@"; do
    [ "${EPOCHREALTIME/./}" -lt "$end" ] || return 1
    sleep 0.1
  done
}

# The clean-up list: on_exit COMMAND [ARG...] adds a command (its words kept as given); at
# the end the background processes are ended first, then the commands run, the last added
# first, with the script's exit status in exit_status. A failing command does not stop the
# others.
cleanup_steps=()
background_pids=()
on_exit() {
  local step
  printf -v step '%q ' "$@"
  cleanup_steps+=("$step")
}
run_cleanup() {
  exit_status=$?
  local i
  trap - EXIT INT TERM
  for ((i = ${#background_pids[@]} - 1; i >= 0; i--)); do stop_process "${background_pids[i]}"; done
  for ((i = ${#cleanup_steps[@]} - 1; i >= 0; i--)); do eval "${cleanup_steps[i]}" || true; done
  exit "$exit_status"
}
trap run_cleanup EXIT
trap 'exit 130' INT TERM

# Processes are read from /proc, not with ps or pgrep: a minimal system has no procps.
# stat_fields PID: the fields of /proc/PID/stat after the command name (state first, then
# the parent), in stat_rest; status 1 when there is no such process.
stat_fields() {
  local line
  { read -r line <"/proc/$1/stat"; } 2>/dev/null || return 1
  # The name is in parentheses and may hold spaces or parentheses itself.
  stat_rest=${line##*) }
}

# children_of PID: prints the processes whose parent is PID, one a line.
children_of() {
  local stat pid
  for stat in /proc/[0-9]*/stat; do
    pid=${stat#/proc/}
    pid=${pid%/stat}
    stat_fields "$pid" || continue
    stat_rest=${stat_rest#* }
    if [ "${stat_rest%% *}" = "$1" ]; then echo "$pid"; fi
  done
}

# kill_tree PID [SIGNAL]: signals PID and every process it started, children first found.
kill_tree() {
  local child
  kill -STOP "$1" 2>/dev/null || true  # so that it starts nothing new meanwhile
  for child in $(children_of "$1"); do kill_tree "$child" "${2:-TERM}"; done
  kill "-${2:-TERM}" "$1" 2>/dev/null || true
  kill -CONT "$1" 2>/dev/null || true
}

# A process that has ended but was not yet reaped by its parent counts as gone.
process_gone() {
  stat_fields "$1" || return 0
  [[ $stat_rest == [ZX]* ]]
}

# forget_process PID: leaves a background process that the script has waited for off the
# clean-up list (its number may be given to another process).
forget_process() {
  local kept=() other
  for other in "${background_pids[@]}"; do [ "$other" = "$1" ] || kept+=("$other"); done
  background_pids=("${kept[@]}")
}

# stop_process PID: ends a background process of this script and all it started (TERM, then
# KILL after 5 s) and forgets it.
stop_process() {
  [ -n "$1" ] || return 0
  kill_tree "$1" TERM
  wait_until 5 process_gone "$1" || kill_tree "$1" KILL
  wait "$1" 2>/dev/null || true
  forget_process "$1"
}

# start_background OUT COMMAND [ARG...]: starts COMMAND with its output in file OUT; its pid
# in started_pid. It is ended when the script ends.
start_background() {
  local out=$1
  shift
  "$@" >"$out" 2>&1 &
  started_pid=$!
  background_pids+=("$started_pid")
}

# started_or_gone PID CHECK [ARG...]: CHECK holds, or PID has ended (and cannot make it hold).
started_or_gone() {
  local pid=$1
  shift
  "$@" || process_gone "$pid"
}

# start_stub OUT COMMAND [ARG...]: starts the remote server stand-in (COMMAND runs it, e.g.
# "remote-stub --host 127.0.0.1 --port 0", perhaps behind nsenter) and waits up to 10 s for
# its listeners. stub_pid, stub_port and, when it listens for HTTPS too, stub_tls_port tell of
# it.
stub_listening() {
  local out=$1 https=$2
  stub_port=$(sed -n 's|^remote-stub listening on [0-9.]*:\([0-9]*\)$|\1|p' "$out" 2>/dev/null)
  stub_tls_port=$(sed -n 's|^remote-stub listening on https://[0-9.a-z]*:\([0-9]*\)$|\1|p' "$out" 2>/dev/null)
  [ -n "$stub_port" ] && { [ "$https" = 0 ] || [ -n "$stub_tls_port" ]; }
}
start_stub() {
  local out=$1 https=0
  [[ " $* " != *" --tls-port "* ]] || https=1
  start_background "$@"
  stub_pid=$started_pid
  wait_until 10 started_or_gone "$stub_pid" stub_listening "$out" "$https" &&
    stub_listening "$out" "$https" ||
    fail "the remote server stand-in did not start: $(cat "$out" 2>/dev/null)"
}

# start_sim LINK OUT COMMAND [ARG...]: starts the adapter simulator (COMMAND runs it; it is
# given --link LINK after its arguments) and waits up to 10 s for the link. sim_pid tells of
# it.
start_sim() {
  local link=$1 out=$2
  shift 2
  start_background "$out" "$@" --link "$link"
  sim_pid=$started_pid
  wait_until 10 started_or_gone "$sim_pid" test -L "$link" && [ -L "$link" ] ||
    fail "the adapter simulator did not link $link: $(cat "$out" 2>/dev/null)"
}
