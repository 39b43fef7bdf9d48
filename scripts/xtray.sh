# Helpers for driving the gateway on a private X server with a real tray host
# (Xvfb, trayer, xdotool). Sourced by scripts/screenshots and the tray test;
# not a program of its own.
#
# The caller sets XTRAY_WORK to a scratch directory and calls xtray_cleanup on
# exit; every process started here is recorded and ended there.

XTRAY_PIDS=()
XTRAY_TRAYER_PID=

# Runs "$@" every 0.1 s until it succeeds; fails after $1 seconds.
xtray_until() {
  local limit=$1
  shift
  local deadline=$((SECONDS + limit))
  until "$@"; do
    [ "$SECONDS" -ge "$deadline" ] && return 1
    sleep 0.1
  done
}

xtray_cleanup() {
  local pid
  for pid in "${XTRAY_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${XTRAY_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  XTRAY_PIDS=()
}

# Xvfb on a display number it picks itself; exports DISPLAY.
xtray_start_x() {
  local size=${1:-800x600x24}
  : >"$XTRAY_WORK/display"
  Xvfb -displayfd 3 -screen 0 "$size" -nolisten tcp 3>"$XTRAY_WORK/display" \
    >"$XTRAY_WORK/xvfb.log" 2>&1 &
  XTRAY_PIDS+=($!)
  xtray_until 10 test -s "$XTRAY_WORK/display" || { echo "Xvfb did not start" >&2; return 1; }
  export DISPLAY=":$(head -n1 "$XTRAY_WORK/display")"
  unset WAYLAND_DISPLAY QT_QPA_PLATFORM DBUS_SESSION_BUS_ADDRESS
  export XDG_RUNTIME_DIR="$XTRAY_WORK/runtime"
  mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
}

# A tray host at the top right of the screen.
xtray_start_trayer() {
  trayer --edge top --align right --widthtype pixel --width 120 --height 32 \
    --SetDockType true --transparent false >"$XTRAY_WORK/trayer.log" 2>&1 &
  XTRAY_TRAYER_PID=$!
  XTRAY_PIDS+=($!)
  xtray_until 10 xwininfo -name panel >/dev/null 2>&1 || { echo "trayer did not start" >&2; return 1; }
}

xtray_stop_trayer() {
  [ -n "$XTRAY_TRAYER_PID" ] || return 0
  kill "$XTRAY_TRAYER_PID" 2>/dev/null || true
  wait "$XTRAY_TRAYER_PID" 2>/dev/null || true
  XTRAY_TRAYER_PID=
}

# srv_zel on the demo catalogue, on a port the system picks; sets SRV_ZEL_ADDRESS.
xtray_start_srv_zel() {
  local srv_zel=$1
  "$srv_zel" init-demo --db "$XTRAY_WORK/demo.db" >"$XTRAY_WORK/init-demo.txt"
  "$srv_zel" serve --db "$XTRAY_WORK/demo.db" --listen 127.0.0.1:0 2>"$XTRAY_WORK/srv_zel.log" &
  XTRAY_PIDS+=($!)
  xtray_until 10 grep -q 'serving .* on ' "$XTRAY_WORK/srv_zel.log" || { echo "srv_zel did not start" >&2; return 1; }
  SRV_ZEL_ADDRESS=$(sed -n 's/.* on \([0-9.]*:[0-9]*\)$/\1/p' "$XTRAY_WORK/srv_zel.log" | head -n1)
}

xtray_port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# Writes Conf-NAME.ini for server address $2 with PUERTO=0, so the system
# picks the terminal port (xtray_gateway_port reads it); prints its path.
xtray_conf() {
  local path="$XTRAY_WORK/Conf-$1.ini"
  printf '[SRV_ZEL]\nIP=%s\n[TCP]\nPUERTO=0\n[GENERAL]\nIMPS_INCLUIDO=0\nESPERA=300\n[MONITOR]\nDIRECCION=127.0.0.1:0\n' "$2" >"$path"
  echo "$path"
}

# The terminal port the gateway NAME reported on stderr (it waits up to
# $2 seconds, 15 by default); nothing when it reported none.
xtray_gateway_port() {
  local report="$XTRAY_WORK/$1.err"
  xtray_until "${2:-15}" grep -q '^Terminals connect on port [0-9]* ' "$report" || return 1
  sed -n 's/^Terminals connect on port \([0-9]*\) .*/\1/p' "$report" | head -n1
}

# The gateway's icon as docked in the tray: "WIDTHxHEIGHT X Y" (absolute),
# nothing when it is not docked.
xtray_icon_geometry() {
  xwininfo -name panel -tree 2>/dev/null |
    sed -n 's/.*"ZEL_RV7300": ("ZEL_RV7300" "ZEL_RV7300")  *\([0-9]*x[0-9]*\)[-+0-9]*  *+\([-0-9]*\)+\([-0-9]*\).*/\1 \2 \3/p' |
    head -n1
}

xtray_icon_docked() { [ -n "$(xtray_icon_geometry)" ]; }

# Presses (and holds) the right button on the icon's centre. It first waits
# out the double-click time, so that the press is not taken as the second
# click of a double click with the one before.
xtray_press_icon() {
  local size x y
  sleep 0.6
  read -r size x y <<<"$(xtray_icon_geometry)"
  [ -n "$size" ] || return 1
  xdotool mousemove $((x + ${size%x*} / 2)) $((y + ${size#*x} / 2)) mousedown "${1:-3}"
}

# Window ids of visible top-level windows named exactly $1.
xtray_visible() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null; }

# The gateway's open popup menu: a visible top-level window of its class that
# is neither the about box nor the tray icon. Prints "id height".
xtray_menu() {
  local id
  for id in $(xdotool search --onlyvisible --class '^ZEL_RV7300$' 2>/dev/null); do
    xwininfo -root -children | grep -q "^ *$(printf '0x%x' "$id") \"ZEL_RV7300\"" || continue
    echo "$id $(xwininfo -id "$id" | sed -n 's/^ *Height: //p')"
    return 0
  done
  return 1
}

# Starts the gateway as NAME with Conf.ini CONF and the rest as arguments;
# its output goes to $XTRAY_WORK/NAME.err, its exit status to NAME.status.
# Sets GATEWAY_PID.
xtray_start_gateway() {
  local name=$1 conf=$2 gateway=$3
  shift 3
  rm -f "$XTRAY_WORK/$name.pid" "$XTRAY_WORK/$name.status"
  (
    ZEL_CONF="$conf" "$gateway" "$@" >"$XTRAY_WORK/$name.out" 2>"$XTRAY_WORK/$name.err" &
    echo $! >"$XTRAY_WORK/$name.pid"
    wait $!
    echo $? >"$XTRAY_WORK/$name.status"
  ) &
  XTRAY_PIDS+=($!)
  xtray_until 10 test -s "$XTRAY_WORK/$name.pid" || return 1
  GATEWAY_PID=$(cat "$XTRAY_WORK/$name.pid")
  XTRAY_PIDS+=("$GATEWAY_PID")
}

# Waits until the gateway NAME ends (at most $2 seconds); prints its exit
# status, or "running".
xtray_wait_exit() {
  if xtray_until "$2" test -s "$XTRAY_WORK/$1.status"; then
    cat "$XTRAY_WORK/$1.status"
  else
    echo running
  fi
}
