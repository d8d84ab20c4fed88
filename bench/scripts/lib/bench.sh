# shellcheck shell=bash
# Helpers the benchmark scripts share, on top of scripts/lib/common.sh (sourced here, with
# its clean-up list and bounded waits): the agent started against the stand-ins, and the
# mean time of a one-command /RQ/ call. Sourced from the repository's root.
source scripts/lib/common.sh

agent_answers() { curl -s --max-time 2 -o /dev/null http://127.0.0.1:8070/RSQ/b; }

# start_agent COMMAND [ARG...]: starts the agent (COMMAND runs it, environment and wrappers
# included; its output is dropped) and waits up to 10 s for its loopback port. agent_pid
# tells of it; it is stopped when the script ends.
start_agent() {
  start_background /dev/null "$@"
  agent_pid=$started_pid
  wait_until 10 started_or_gone "$agent_pid" agent_answers && agent_answers ||
    fail "the agent did not answer on 127.0.0.1:8070"
}

# rq_mean_ms CONTROL CALLS COMMAND: the mean time in ms of CALLS "/RQ/" calls of one command
# each, queued at the stand-in's control address CONTROL (session "b"). The call answers only
# after its RESPONSE post has been answered, so its duration is the time to the RESPONSE.
rq_mean_ms() {
  local control=$1 calls=$2 command=$3 total=0 t i
  for ((i = 1; i <= calls; i++)); do
    enqueue "$control" "$i" "$command"
    t=$(curl -s --max-time 60 -o /dev/null -w '%{time_total}' http://127.0.0.1:8070/RQ/b)
    total=$(awk -v a="$total" -v b="$t" 'BEGIN { print a + b }')
  done
  awk -v t="$total" -v n="$calls" 'BEGIN { printf "%.1f", t * 1000 / n }'
}

# enqueue CONTROL ID COMMAND: queues a request of one command (key "1") for session "b".
enqueue() {
  curl -s --max-time 10 --data-binary "{\"id\": $2, \"command\": \"{\\\"1\\\":\\\"$3\\\"}\"}" \
    "$1/control/enqueue?ssid=b" >/dev/null
}
