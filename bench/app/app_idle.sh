#!/usr/bin/env bash
# CPU and memory of the idle application: the fixture build started with
# --background on a virtual display with an XEmbed tray (so that, as on a
# desktop with a panel, the window stays closed) and a private session bus,
# three fixture tools installed and running, measured over a window (seconds, default 60).
# Target: at most 0.5 % of one core. Resident memory is reported. With extra
# process counts, the idle CPU beside that many other processes (see
# idle_measure.sh).
#
#   app_idle.sh KELVOMA_EXECUTABLE FIXTURE_TOOL_EXECUTABLE [SECONDS [COUNTS [ROUNDS]]]
set -euo pipefail
executable=$1
tool=$2
seconds=${3:-60}
shift $(($# < 3 ? $# : 3))
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
mkdir -p "$XDG_CONFIG_HOME"
printf '[General]\nautomaticChecks=false\n' > "$XDG_CONFIG_HOME/cz.tobranix.tools-manager.ini"
for entry in "orbit-action-dial|Orbit Action Dial" "pane-keeper|Pane Keeper" "clip-ledger|ClipLedger"; do
  id=${entry%%|*}; name=${entry#*|}
  bundle="$HOME/Applications/$name.app"
  mkdir -p "$bundle/Contents/MacOS"
  cp "$tool" "$bundle/Contents/MacOS/fixture-tool"
  cat > "$bundle/Contents/Info.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>cz.tobranix.$id</string>
<key>CFBundleExecutable</key><string>fixture-tool</string>
<key>CFBundleVersion</key><string>5</string>
<key>CFBundleShortVersionString</key><string>1.2.0</string>
</dict></plist>
PLIST
  "$bundle/Contents/MacOS/fixture-tool" --background & pids+=($!)
done

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" 2>/dev/null & pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
export DISPLAY=":$(head -n1 "$work/display")"
unset QT_QPA_PLATFORM

trayer --edge top --align left --widthtype request --height 32 --SetDockType false \
       >/dev/null 2>&1 & pids+=($!)
for _ in $(seq 400); do
  xwininfo -root -tree | grep -q '"panel": ("panel" "trayer")' && break
  sleep 0.05
done

dbus-run-session -- "$(dirname "$0")/idle_measure.sh" "$executable" "$seconds" "$@"
