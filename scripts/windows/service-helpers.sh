# Helpers shared by the service and installer tests under Wine (sourced, not run).
# The caller sets service (the service name), api (the agent's loopback URL) and stub (the
# remote server stand-in's URL).

# Every wait below is bounded; "deadline S" starts one of S seconds.
deadline() { wait_until=$(($(date +%s) + $1)); }
before_deadline() { [ "$(date +%s)" -lt "$wait_until" ]; }

service_state() {
  wine sc query "$service" </dev/null 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *STATE *: *\([0-9]*\).*/\1/p'
}

wait_for_state() {
  local want=$1 seconds=$2
  deadline "$seconds"
  while before_deadline; do
    [ "$(service_state)" = "$want" ] && return 0
    sleep 0.5
  done
  return 1
}

# GET on the loopback API; prints "STATUS|BODY".
api_get() {
  local body status
  body=$(curl -s --max-time 60 -o - -w '\n%{http_code}' "$api$1") || true
  status=${body##*$'\n'}
  printf '%s|%s' "$status" "${body%$'\n'*}"
}

stub_messages() { curl -sf --max-time 10 "$stub/control/messages"; }

# Waits until the stand-in has recorded COUNT messages in all.
stub_wait_for() {
  curl -sf --max-time 70 -o /dev/null "$stub/control/wait-messages?count=$1&timeout_ms=60000"
}

# How many messages of TYPE the stand-in has recorded for session SSID.
stub_count() {
  stub_messages | python3 -c '
import json, sys
print(sum(1 for m in json.load(sys.stdin)
          if m.get("ssid") == sys.argv[1] and m.get("message_type") == sys.argv[2]))
' "$1" "$2"
}
