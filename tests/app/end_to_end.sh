#!/usr/bin/env bash
# The real executable on a virtual display with a private session bus:
# with an XEmbed tray (trayer) it shows its item there, and started with
# --background it shows no window; a KelvomaCheckUpdates signal from another
# process opens the manager window; a screenshot is kept. Without a tray the
# window opens despite --background, the item appears once a tray starts, and
# Ctrl+Q on the window quits.
#
# Before that, in a terminal without a display or bus: --help, -h and
# --version answer; a start ends with one line and status 1, not an abort.
#
# With --package: the Debian packages that scripts/package makes of the
# tested build BUILD_DIR, checked with lintian, appstreamcli and man,
# installed here, used and purged; their relations, licence and the desktop
# entry's window class are checked too.
#
#   end_to_end.sh KELVOMA_EXECUTABLE ARTIFACT_DIR
#   end_to_end.sh --package TRAY_TEST ARTIFACT_DIR BUILD_DIR
set -euo pipefail

package_mode=
if [ "$1" = --package ]; then
  package_mode=1
  shift
fi
executable=$1
artifacts=$2
build=${3:-}
source_dir=$(dirname "$0")/../..
version=$(sed -n 's/^project(Kelvoma VERSION \([0-9.]*\) .*/\1/p' "$source_dir/CMakeLists.txt")
mkdir -p "$artifacts"
work=$(mktemp -d)
xvfb_pid=
tray_pid=
installed=
cleanup() {
  [ -n "$tray_pid" ] && kill "$tray_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  [ -n "$installed" ] && dpkg --purge kelvoma kelvoma-publish >/dev/null 2>&1 || true
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

# One row: PROGRAM's standard output (status 0) or error must match `says`.
# XDG_RUNTIME_DIR and KELVOMA_DEBUG are only what the row gives.
terminal_row() {
  local program arguments= display= wayland= runtime= debug= status says
  local "$@"
  local seen=0
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u DBUS_SESSION_BUS_ADDRESS \
    -u XDG_RUNTIME_DIR -u KELVOMA_DEBUG -u QT_DEBUG_PLUGINS ${display:+DISPLAY=$display} \
    ${wayland:+WAYLAND_DISPLAY=$wayland} ${runtime:+XDG_RUNTIME_DIR=$runtime} \
    ${debug:+KELVOMA_DEBUG=$debug} "$program" $arguments >"$work/out" 2>"$work/err" || seen=$?
  local text
  text=$(cat "$work/$([ "$status" = 0 ] && echo out || echo err)")
  [[ $seen == "$status" && $text == $says ]] || fail "$program $arguments: status $seen, $text"
  [[ $text != *Mac* && $text != *macOS* && $text != *"do Applications"* ]] \
    || fail "$program $arguments speaks of the Mac: $text"
}
terminal_rows() {
  terminal_row program="$1" arguments=--help status=0 \
    says='Použití:*kelvoma --background*--verify-release RELEASE.JSON*man kelvoma'
  terminal_row program="$1" arguments=-h status=0 says='Použití:*'
  terminal_row program="$1" arguments=--version status=0 says="kelvoma $version"
  terminal_row program="$1" arguments=--background status=1 \
    says='Kelvoma potřebuje grafické sezení (*); bez něj funguje jen kelvoma --verify-release.'
  # No X server or compositor listens there: Qt cannot connect, and says
  # nothing of its own about it.
  terminal_row program="$1" display=:64999 status=1 \
    says='Kelvoma se nemůže připojit ke grafickému sezení; bez něj funguje jen kelvoma --verify-release.'
  terminal_row program="$1" wayland=kelvoma-nowhere runtime="$work/runtime" status=1 \
    says='Kelvoma se nemůže připojit ke grafickému sezení; bez něj funguje jen kelvoma --verify-release.'
  # A root shell, a service or ssh without a login session: libwayland's own
  # complaint is for debugging only.
  terminal_row program="$1" wayland=kelvoma-nowhere status=1 \
    says='Kelvoma se nemůže připojit ke grafickému sezení; bez něj funguje jen kelvoma --verify-release.'
  terminal_row program="$1" wayland=kelvoma-nowhere debug=1 status=1 \
    says='*XDG_RUNTIME_DIR is invalid*Kelvoma se nemůže připojit ke grafickému sezení;*'
}
mkdir -m 0700 "$work/runtime"
[ -n "$package_mode" ] || terminal_rows "$executable"

# -noreset: a server that resets whenever its last client (a poll of xdotool)
# leaves drops a program connecting just then (seen: 7 of 460 starts under load).
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=":$(head -n1 "$work/display")"
# The virtual display is the whole session: nothing of the caller's desktop
# reaches the program (on a Wayland desktop Qt would take its compositor,
# found in XDG_RUNTIME_DIR, for the display; GNOME's name changes the tray).
unset QT_QPA_PLATFORM WAYLAND_DISPLAY XDG_SESSION_TYPE XDG_CURRENT_DESKTOP XDG_SESSION_DESKTOP \
  DESKTOP_SESSION
export XDG_RUNTIME_DIR=$work/runtime

# The packages (scripts/package checks them with lintian, appstreamcli, man)
# of the build just tested, which has no keys; installed, the program runs
# from /usr/bin and finds its icons in /usr/share, where the tray test
# ($executable) reads the item's icon.
if [ -n "$package_mode" ]; then
  KELVOMA_TEAM_KEYS_DIR= KELVOMA_NOTARY_KEY= "$source_dir/scripts/package" --build "$build" \
    --output "$artifacts" >"$work/package.log" 2>&1 || fail "scripts/package: $(cat "$work/package.log")"
  sed 's/^/  /' "$work/package.log"
  debs=("$artifacts/kelvoma_${version}_amd64.deb" "$artifacts/kelvoma-publish_${version}_amd64.deb")
  [[ $(dpkg-deb -f "${debs[0]}" Description) == *"refuses every"* ]] \
    || fail "the description of a build without keys does not say that it refuses every bundle"
  [[ $(dpkg-deb -f "${debs[0]}" Depends) =~ (^|, )curl(,|$) ]] || fail "kelvoma does not depend on curl"
  [[ $(dpkg-deb -f "${debs[0]}" Recommends) == qt6-wayland ]] || fail "no Recommends: qt6-wayland"
  [[ $(dpkg-deb -f "${debs[1]}" Suggests) == signify-openbsd ]] || fail "no Suggests: signify-openbsd"
  for deb in "${debs[@]}"; do dpkg-deb -c "$deb"; done | awk '{print substr($6, 2)}' >"$work/package.files"
  if [[ $(id -u) != 0 || $(dpkg-query -W -f='${Status}' kelvoma 2>/dev/null) == *"ok installed" ]]; then
    echo "NOTE: not root, or a kelvoma package is installed here: install, run and purge not checked"
    exit 0
  fi
  installed=1
  dpkg -i "${debs[@]}" >"$work/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$work/dpkg.log")"
  status=0
  answer=$(/usr/bin/kelvoma --verify-release 2>&1 >/dev/null) || status=$?
  [[ $status == 1 && $answer == "Chybí cesta k release.json." ]] || fail "--verify-release: $status $answer"
  terminal_rows /usr/bin/kelvoma
  for package in kelvoma kelvoma-publish; do
    [[ $(<"/usr/share/doc/$package/copyright") == *$'\nFiles: *\nCopyright: 2026 tobranix\nLicense: MIT\n'* ]] \
      || fail "$package's copyright does not grant the MIT licence for every file"
  done
  # No tray: the window opens. Its picture is the metainfo's screenshot.
  # KELVOMA_DEBUG: should it not start, Qt's own reason is in the log.
  dbus-run-session -- bash -c 'KELVOMA_DEBUG=1 /usr/bin/kelvoma & app=$!
    for _ in $(seq 400); do
      w=$(xdotool search --onlyvisible --name "Kelvoma · Nástroje" | head -n1); [ -n "$w" ] && break; sleep 0.05
    done
    xprop -id "$w" WM_CLASS >"$2" && sleep 1.5 && import -window "$w" "$1" && kill -TERM $app && wait $app
  ' _ "$artifacts/manager-window.png" "$work/wm-class" >"$work/app.log" 2>&1 || fail "the installed program's window"
  # X11 docks tie the window to its launcher by the class (the second name).
  window_class=$(sed -n 's/^WM_CLASS(STRING) = ".*", "\(.*\)"$/\1/p' "$work/wm-class")
  grep -qx "StartupWMClass=${window_class:-?}" /usr/share/applications/cz.tobranix.Kelvoma.desktop \
    || fail "StartupWMClass does not name the window's class: $(cat "$work/wm-class")"
  # Only the item's test reads which program to start; the rest ran already.
  KELVOMA_TRAY_EXE=/usr/bin/kelvoma KELVOMA_TRAY_DATA_DIRS=/usr/share \
    "$executable" --gtest_filter='StatusNotifierItem.*' || fail "its tray item"
  dpkg --purge kelvoma kelvoma-publish >"$work/dpkg.log" 2>&1 || fail "dpkg --purge: $(cat "$work/dpkg.log")"
  installed=
  while read -r path; do
    if [[ $path != */ || $path == */kelvoma*/ ]] && [ -e "$path" ]; then fail "$path remains after purge"; fi
  done <"$work/package.files"
  exit 0
fi

# An XEmbed tray, as a bare window manager's panel has; dark like most panels.
start_tray() {
  trayer --edge top --align left --widthtype request --height 32 --SetDockType false \
         --transparent true --alpha 0 --tint 0x202020 >"$work/tray.log" 2>&1 &
  tray_pid=$!
  for _ in $(seq 400); do tray_panel >/dev/null && return 0; sleep 0.05; done
  fail "trayer did not start: $(cat "$work/tray.log")"
}
tray_panel() {
  xwininfo -root -tree | grep '"panel": ("panel" "trayer")' | awk '{print $1}' | grep .
}
# The application's item is a window inside the tray's panel.
item_in_tray() {
  local panel
  panel=$(tray_panel) || return 1
  xwininfo -id "$panel" -tree | grep -q '"Kelvoma"'
}
export -f tray_panel item_in_tray
start_tray

export KELVOMA_E2E_EXE=$executable KELVOMA_E2E_WORK=$work KELVOMA_E2E_ARTIFACTS=$artifacts
dbus-run-session -- bash -euo pipefail -c '
  work=$KELVOMA_E2E_WORK
  fail() { echo "FAIL: $*" >&2; sed "s/^/  app: /" "$work/app.log" >&2 || true; exit 1; }
  window_viewable() {
    local id
    id=$(xwininfo -root -tree | grep "Kelvoma · Nástroje" | head -n1 | awk "{print \$1}")
    [ -n "$id" ] && xwininfo -id "$id" | grep -q "IsViewable"
  }

  # A window manager of a bare X11 desktop (openbox, reparenting).
  openbox > "$work/openbox.log" 2>&1 &
  wm=$!
  for _ in $(seq 200); do xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id" && break; sleep 0.05; done
  xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id" || fail "openbox did not start"
  wait_for() { for _ in $(seq 200); do "$@" && return 0; sleep 0.05; done; "$@"; }
  minimized() { xprop -id "$window" _NET_WM_STATE | grep -q _NET_WM_STATE_HIDDEN; }
  restored() { ! minimized && xwininfo -id "$window" | grep -q IsViewable; }

  dbus-monitor --session > "$work/bus.log" 2>&1 &
  monitor=$!
  # It sees the bus once it has become a monitor, which drops its own name.
  for _ in $(seq 200); do grep -q "member=NameLost" "$work/bus.log" && break; sleep 0.05; done
  grep -q "member=NameLost" "$work/bus.log" || fail "dbus-monitor did not start"
  # At 200 % the window (660×520 points) is larger than this 1280×800 screen.
  QT_SCALE_FACTOR=2 "$KELVOMA_E2E_EXE" --background > "$work/app.log" 2>&1 &
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
  for _ in $(seq 200); do item_in_tray && break; sleep 0.05; done
  item_in_tray || fail "the item is not in the tray"
  window_viewable && fail "the window is open although --background was given"
  [ -f "$HOME/.config/cz.tobranix.pane-keeper.ini" ] || fail "managedByKelvoma was not written"
  grep -q "managedByKelvoma=true" "$HOME/.config/cz.tobranix.pane-keeper.ini" \
    || fail "managedByKelvoma is not true"

  dbus-send --session --type=signal /cz/tobranix/Kelvoma cz.tobranix.Kelvoma.KelvomaCheckUpdates
  for _ in $(seq 200); do window_viewable && break; sleep 0.05; done
  window_viewable || fail "KelvomaCheckUpdates did not show the window"
  window=$(xdotool search --name "Kelvoma · Nástroje" | head -n1)
  read -r left right top bottom <<<"$(xprop -id "$window" _NET_FRAME_EXTENTS | tr -dc "0-9 ")"
  x=$(xwininfo -id "$window" | sed -n "s/.*Absolute upper-left X: *//p")
  y=$(xwininfo -id "$window" | sed -n "s/.*Absolute upper-left Y: *//p")
  width=$(xwininfo -id "$window" | sed -n "s/.*Width: *//p")
  height=$(xwininfo -id "$window" | sed -n "s/.*Height: *//p")
  (( x - left >= 0 && y - top >= 0 && x + width + right <= 1280 && y + height + bottom <= 800 )) \
    || fail "the window frame is not inside the screen: ${width}x${height}+$x+$y, frame $left $right $top $bottom"
  xprop -id "$window" _NET_WM_ALLOWED_ACTIONS | grep -q MAXIMIZE && fail "the fixed window offers to maximize"
  xdotool windowminimize "$window"
  wait_for minimized || fail "the window did not minimize"
  dbus-send --session --type=signal /cz/tobranix/Kelvoma cz.tobranix.Kelvoma.KelvomaCheckUpdates
  wait_for restored || fail "KelvomaCheckUpdates did not bring the minimized window back"
  sleep 1.5  # a refresh or two, and the check of the unreachable release host
  import -window root "$KELVOMA_E2E_ARTIFACTS/end-to-end.png" || fail "no screenshot"
  echo "screenshot: $KELVOMA_E2E_ARTIFACTS/end-to-end.png"

  kill -0 "$app" || fail "the application ended"

  # A second start hands over to the running instance and ends; the window
  # comes back from minimized.
  xdotool windowminimize "$window"
  wait_for minimized || fail "the window did not minimize"
  XDG_ACTIVATION_TOKEN=stale-token "$KELVOMA_E2E_EXE" > "$work/second.log" 2>&1 &
  second=$!
  for _ in $(seq 200); do kill -0 "$second" 2>/dev/null || break; sleep 0.05; done
  kill -0 "$second" 2>/dev/null && fail "a second start kept running"
  wait "$second" || fail "the second start failed"
  # Asked by a method call to the running instance alone, never by a signal.
  grep -A8 "^method call.*destination=cz.tobranix.Kelvoma.*interface=org.freedesktop.Application; member=Activate" \
    "$work/bus.log" | grep -q "stale-token" || fail "the second start did not ask to reopen with its token"
  grep "^signal" "$work/bus.log" | grep -q "member=Activate\|Reopen" && fail "a second start was broadcast"
  wait_for restored || fail "a second start did not bring the minimized window back"
  kill -0 "$app" || fail "the first instance ended"

  # The system asking to quit: ends normally, nothing is installing.
  kill -TERM "$app"
  for _ in $(seq 200); do kill -0 "$app" 2>/dev/null || break; sleep 0.05; done
  kill -0 "$app" 2>/dev/null && fail "SIGTERM did not end the application"
  wait "$app" || fail "the application ended with status $?"
  kill "$monitor" "$wm" 2>/dev/null || true
'

# No tray: the window stands in for the item until a tray starts.
kill "$tray_pid"
wait "$tray_pid" 2>/dev/null || true
tray_pid=
dbus-run-session -- bash -euo pipefail -c '
  work=$KELVOMA_E2E_WORK
  fail() { echo "FAIL: $*" >&2; sed "s/^/  app: /" "$work/app.log" >&2 || true; exit 1; }
  window_viewable() {
    local id
    id=$(xwininfo -root -tree | grep "Kelvoma · Nástroje" | head -n1 | awk "{print \$1}")
    [ -n "$id" ] && xwininfo -id "$id" | grep -q "IsViewable"
  }
  "$KELVOMA_E2E_EXE" --background > "$work/app.log" 2>&1 &
  app=$!
  for _ in $(seq 400); do window_viewable && break; sleep 0.05; done
  window_viewable || fail "without a tray, --background left nothing of the application visible"
  echo ready > "$work/no-tray-window"
  for _ in $(seq 400); do [ -f "$work/tray-started" ] && break; sleep 0.05; done
  for _ in $(seq 400); do item_in_tray && break; sleep 0.05; done
  item_in_tray || fail "the item did not appear when a tray started"

  window=$(xdotool search --name "Kelvoma · Nástroje" | head -n1)
  xdotool windowfocus --sync "$window" key ctrl+q
  for _ in $(seq 200); do kill -0 "$app" 2>/dev/null || break; sleep 0.05; done
  kill -0 "$app" 2>/dev/null && fail "Ctrl+Q did not end the application"
  wait "$app" || fail "the application ended with status $?"
' &
session=$!
for _ in $(seq 400); do [ -f "$work/no-tray-window" ] && break; sleep 0.05; done
start_tray
touch "$work/tray-started"
wait "$session"
