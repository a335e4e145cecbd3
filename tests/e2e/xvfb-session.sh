# Sourced by the scripts that drive the real window: a private network namespace, so the
# fixed port 4080 is free whatever else runs on the machine, and an Xvfb display.

# Runs the calling script again inside the namespace (root can make one itself; anyone
# else needs a user namespace for it); inside, brings loopback up.
#   qs_enter_private_network "$0" ARGS...
qs_enter_private_network() {
  if [ -z "${QS_IN_PRIVATE_NETWORK:-}" ]; then
    local unshare_args
    if [ "$(id -u)" = 0 ]; then unshare_args=(-n); else unshare_args=(-r -n); fi
    exec env QS_IN_PRIVATE_NETWORK=1 unshare "${unshare_args[@]}" bash "$@"
  fi
  ip link set lo up
  unset WAYLAND_DISPLAY QT_QPA_PLATFORM
}

# Sets $work (a folder removed at exit) and $pids (processes killed at exit), starts Xvfb
# and exports DISPLAY. Xvfb's messages go to $work/$1 when a name is given.
qs_start_display() {
  work=$(mktemp -d)
  pids=()
  trap qs_end_session EXIT
  export XDG_RUNTIME_DIR="$work/runtime"
  mkdir -m 700 "$XDG_RUNTIME_DIR"
  mkfifo "$work/display"
  local log=/dev/null number
  [ -n "${1:-}" ] && log="$work/$1"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$log" &
  pids+=($!)
  read -r -t 20 number <"$work/display" || return 1
  export DISPLAY=":$number"
}

qs_end_session() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
