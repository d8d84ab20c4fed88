# Wine prefix and session handling for scripts/test-windows (sourced, not run).
# The caller exports WINEPREFIX and keeps everything of the run under one scratch folder.
#
# What Wine does that shapes this file:
#  - A service is ended as soon as the last ordinary Wine process exits, unless a
#    persistent wineserver runs: every session starts one with `wineserver -p`.
#  - The first Wine command of a session starts the background processes (services,
#    device drivers), which inherit its standard streams: that command runs with all three
#    redirected, or a pipe reading our output would never see its end.
#  - Services see the machine environment only as it was when the session started.

wine_log() { printf '[windows] %s\n' "$*"; }

# Every Wine command of this script: no debug chatter, no mono/gecko installers, no
# standard input; its output goes to the session log unless the caller captures it.
wine_quiet() { "$@" </dev/null >>"$WINE_SESSION_LOG" 2>&1; }

wine_session_stop() {
  wineserver -k >/dev/null 2>&1 || true
  timeout 30 wineserver -w >/dev/null 2>&1 || true
}

wine_session_start() {
  wine_quiet wineserver -p
  wine_quiet wineboot
}

# Creates the prefix (the first boot takes a few seconds).
wine_prefix_create() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  wine_quiet wineboot -i
  wine_session_stop
}

# Imports a REGEDIT4 file into the prefix; takes effect for the next session.
wine_registry_import() {
  local file=$1
  wine_quiet wine regedit /S "Z:$file"
  wine_session_stop
}

# Writes the COM port map: COM1 to COM16 are all claimed, those not named in "N=PATH"
# arguments with an empty target, so Wine numbers the machine's own serial devices from
# COM17 on and the adapter scan (COM1 to COM16) reaches only the simulated adapters.
wine_com_map_file() {
  local out=$1
  shift
  local -A target=()
  local pair
  for pair in "$@"; do target[${pair%%=*}]=${pair#*=}; done
  {
    printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
    local n
    for n in $(seq 1 16); do printf '"COM%d"="%s"\n' "$n" "${target[$n]:-}"; done
  } >"$out"
}

# Writes the machine environment (NAME=VALUE arguments) that services see.
wine_machine_environment_file() {
  local out=$1
  shift
  {
    printf 'REGEDIT4\n\n'
    printf '[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Session Manager\\Environment]\n'
    local pair
    for pair in "$@"; do printf '"%s"="%s"\n' "${pair%%=*}" "${pair#*=}"; done
  } >"$out"
}

# Drops the dosdevices links of earlier sessions; the next session recreates them from the
# port map.
wine_forget_com_links() {
  rm -f "$WINEPREFIX"/dosdevices/com*
}
