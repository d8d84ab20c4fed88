# Helpers shared by the service and installer tests under Wine (sourced, not run, after
# scripts/lib/common.sh). The caller sets service (the service name), api (the agent's
# loopback URL) and stub (the remote server stand-in's URL).

service_state() {
  wine sc query "$service" </dev/null 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *STATE *: *\([0-9]*\).*/\1/p'
}

service_in_state() { [ "$(service_state)" = "$1" ]; }
# wait_for_state STATE SECONDS
wait_for_state() { wait_until "$2" service_in_state "$1"; }

# GET on the loopback API; prints "STATUS|BODY".
api_get() {
  local body status
  body=$(curl -s --max-time 60 -o - -w '\n%{http_code}' "$api$1") || true
  status=${body##*$'\n'}
  printf '%s|%s' "$status" "${body%$'\n'*}"
}

# The loopback API answers GET PATH with its fixed 200 " ".
api_answers() { [ "$(api_get "$1")" = "200| " ]; }

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
