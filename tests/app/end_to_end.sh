#!/usr/bin/env bash
# The real executable on a virtual display with a private session bus:
# started with --background it shows no window; a KelvomaCheckUpdates signal
# from another process opens the manager window; a screenshot is kept.
#
#   end_to_end.sh KELVOMA_EXECUTABLE ARTIFACT_DIR
set -euo pipefail

executable=$1
artifacts=$2
mkdir -p "$artifacts"
work=$(mktemp -d)
xvfb_pid=
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  [ -f "$work/app.log" ] && sed 's/^/  app: /' "$work/app.log" >&2
  exit 1
}

# A home of its own: settings, autostart and ~/Applications stay in $work.
export HOME=$work/home
export XDG_CONFIG_HOME=$HOME/.config
mkdir -p "$XDG_CONFIG_HOME" "$HOME/Applications/Pane Keeper.app/Contents"
cat > "$HOME/Applications/Pane Keeper.app/Contents/Info.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>cz.tobranix.pane-keeper</string>
<key>CFBundleVersion</key><string>3</string>
<key>CFBundleShortVersionString</key><string>2.0.1</string>
</dict></plist>
PLIST
# No hourly or start-up check: the only check is the one the signal asks for.
printf '[General]\nautomaticChecks=false\n' > "$XDG_CONFIG_HOME/cz.tobranix.tools-manager.ini"

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=":$(head -n1 "$work/display")"
unset QT_QPA_PLATFORM WAYLAND_DISPLAY

export KELVOMA_E2E_EXE=$executable KELVOMA_E2E_WORK=$work KELVOMA_E2E_ARTIFACTS=$artifacts
dbus-run-session -- bash -euo pipefail -c '
  work=$KELVOMA_E2E_WORK
  fail() { echo "FAIL: $*" >&2; sed "s/^/  app: /" "$work/app.log" >&2 || true; exit 1; }
  window_viewable() {
    xwininfo -root -tree 2>/dev/null | grep -q "Kelvoma" || return 1
    local id
    id=$(xwininfo -root -tree | grep "Kelvoma" | head -n1 | awk "{print \$1}")
    xwininfo -id "$id" | grep -q "IsViewable"
  }

  dbus-monitor --session > "$work/bus.log" 2>&1 &
  monitor=$!
  # It sees the bus once it has become a monitor, which drops its own name.
  for _ in $(seq 200); do grep -q "member=NameLost" "$work/bus.log" && break; sleep 0.05; done
  grep -q "member=NameLost" "$work/bus.log" || fail "dbus-monitor did not start"
  "$KELVOMA_E2E_EXE" --background > "$work/app.log" 2>&1 &
  app=$!

  # Ready when it has asked the bus for our signals, and has announced the
  # installed manifest-based tool.
  for _ in $(seq 200); do
    if grep -q "interface='cz.tobranix.Kelvoma'" "$work/bus.log" \
       && grep -q "KelvomaManagementChanged" "$work/bus.log"; then break; fi
    kill -0 "$app" 2>/dev/null || fail "the application ended at start-up"
    sleep 0.05
  done
  grep -q "interface='cz.tobranix.Kelvoma'" "$work/bus.log" || fail "it does not listen for our signals"
  grep -q "KelvomaManagementChanged" "$work/bus.log" || fail "no KelvomaManagementChanged was posted"
  grep -A1 "KelvomaManagementChanged" "$work/bus.log" | grep -q "cz.tobranix.pane-keeper" \
    || fail "KelvomaManagementChanged did not name the tool"
  sleep 0.5
  window_viewable && fail "the window is open although --background was given"
  [ -f "$HOME/.config/cz.tobranix.pane-keeper.ini" ] || fail "managedByKelvoma was not written"
  grep -q "managedByKelvoma=true" "$HOME/.config/cz.tobranix.pane-keeper.ini" \
    || fail "managedByKelvoma is not true"

  dbus-send --session --type=signal /cz/tobranix/Kelvoma cz.tobranix.Kelvoma.KelvomaCheckUpdates
  for _ in $(seq 200); do window_viewable && break; sleep 0.05; done
  window_viewable || fail "KelvomaCheckUpdates did not show the window"
  sleep 1.5  # a refresh or two, and the check of the unreachable release host
  import -window root "$KELVOMA_E2E_ARTIFACTS/end-to-end.png" || fail "no screenshot"
  echo "screenshot: $KELVOMA_E2E_ARTIFACTS/end-to-end.png"

  kill -0 "$app" || fail "the application ended"

  # A second start hands over to the running instance and ends.
  "$KELVOMA_E2E_EXE" > "$work/second.log" 2>&1 &
  second=$!
  for _ in $(seq 200); do kill -0 "$second" 2>/dev/null || break; sleep 0.05; done
  kill -0 "$second" 2>/dev/null && fail "a second start kept running"
  wait "$second" || fail "the second start failed"
  grep -q "KelvomaReopen" "$work/bus.log" || fail "the second start did not ask to reopen"
  kill -0 "$app" || fail "the first instance ended"

  # The system asking to quit: ends normally, nothing is installing.
  kill -TERM "$app"
  for _ in $(seq 200); do kill -0 "$app" 2>/dev/null || break; sleep 0.05; done
  kill -0 "$app" 2>/dev/null && fail "SIGTERM did not end the application"
  wait "$app" || fail "the application ended with status $?"
  kill "$monitor" 2>/dev/null || true
'
