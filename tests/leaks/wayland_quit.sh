#!/usr/bin/env bash
# The sanitized program on a Wayland compositor (weston, headless) quits with
# status 0 when the system asks it to, its window shown: LSAN_OPTIONS (as
# scripts/run sets them on Wayland) leaves out only what libwayland-client
# and Mesa keep to the end, and nothing else leaked.
#
#   wayland_quit.sh KELVOMA_EXECUTABLE
set -euo pipefail
executable=$1
work=$(mktemp -d)
compositor=
cleanup() {
  if [ -n "$compositor" ]; then kill "$compositor" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  grep -v '^\[' "$work/app.log" | sed 's/^/  app: /' >&2 || true
  exit 1
}

export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_RUNTIME_DIR=$work/runtime
mkdir -p "$XDG_CONFIG_HOME"
mkdir -m 0700 "$XDG_RUNTIME_DIR"
# No check at start: nothing but the window and the quit.
printf '[General]\nautomaticChecks=false\n' >"$XDG_CONFIG_HOME/cz.tobranix.tools-manager.ini"
weston --backend=headless-backend.so --socket=kelvoma-test --idle-time=0 >"$work/weston.log" 2>&1 &
compositor=$!
for _ in $(seq 200); do [ -S "$XDG_RUNTIME_DIR/kelvoma-test" ] && break; sleep 0.05; done
[ -S "$XDG_RUNTIME_DIR/kelvoma-test" ] || fail "weston did not start: $(cat "$work/weston.log")"

# libwayland's protocol log (WAYLAND_DEBUG) tells when the window's first
# frame is attached: by then Qt has set up EGL through Mesa.
unset DISPLAY
export WAYLAND_DISPLAY=kelvoma-test QT_QPA_PLATFORM=wayland WAYLAND_DEBUG=client
export KELVOMA_WAYLAND_EXE=$executable KELVOMA_WAYLAND_LOG=$work/app.log
status=0
dbus-run-session -- bash -euo pipefail -c '
  "$KELVOMA_WAYLAND_EXE" >"$KELVOMA_WAYLAND_LOG" 2>&1 &
  app=$!
  shown() { grep -q "wl_surface@[0-9]*\.attach(wl_buffer" "$KELVOMA_WAYLAND_LOG"; }
  for _ in $(seq 600); do shown && break; kill -0 "$app" 2>/dev/null || break; sleep 0.05; done
  if ! shown; then kill "$app" 2>/dev/null || true; exit 99; fi
  kill -TERM "$app"
  wait "$app"
' || status=$?
[ "$status" != 99 ] || fail "the window was not shown"
! grep -q "LeakSanitizer" "$work/app.log" || fail "LeakSanitizer reported a leak"
[ "$status" = 0 ] || fail "it ended with status $status"
