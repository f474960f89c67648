# shellcheck shell=bash disable=SC2034 # `program` and `screenshot` are for scripts/run
# Sourced by scripts/run for the demo (`scripts/run`, `scripts/run --demo`):
# the sealed test build of Kelvoma (kelvoma-fixture-seal) in a temporary home,
# against a local HTTPS release host serving releases signed, sealed and
# notarized at start with the test keys.
#
#   demo_build          builds what the demo runs; sets `program`, `screenshot`
#   demo_start WORK     lays out the home and the releases in WORK, starts the
#                       release host, exports HOME and what the program needs
#   demo_ready          fails when another Kelvoma already owns the session bus
#   demo_settle         waits until the start-up check has asked the host
#   demo_stop           stops the tools started from the home, then the host
#
# What the demo shows:
#   Orbit Action Dial  1.0.0 installed and switched on; 2.0.0 (build 2) offered
#   Pane Keeper        not installed; 1.0.0 offered
#   Clip Ledger        an external tool, not installed; 1.2.0 on the release host
#
# The fixture build's catalog (tests/fixtures/tools.json) and its release-host
# addresses are fixed at build time on https://localhost:47321; the host takes
# the same lock on that port as the tests' servers (tests/support/test_server.h),
# so a demo and a test run wait for each other instead of colliding.

demo_preset=dev
demo_catalog=$PWD/tests/fixtures/tools.json
demo_keys=$PWD/tests/fixtures/keys
demo_seal_keys=$PWD/tests/fixtures/seal
demo_host='' demo_home='' demo_state=''

demo_build() {
  # The dev preset: the one the test suite builds, so after scripts/test (or
  # on a machine sharing a compiler cache with it) nothing or little is left
  # to compile, and unoptimised compiles are the quickest from scratch. It
  # runs with the sanitizers, which a demo can afford.
  cmake --preset "$demo_preset" >/dev/null
  cmake --build --preset "$demo_preset" --target kelvoma-fixture-seal kelvoma-fixture-tool \
    kelvoma-publish kelvoma-demo-bundle
  local build=$PWD/build/$demo_preset
  program=$build/tests/kelvoma-fixture-seal
  screenshot=$build/kelvoma-demo-window.png
  demo_bundle=$build/tests/fixtures/demo/kelvoma-demo-bundle
  demo_publish=$build/tools/kelvoma-publish
}

# A member of a catalog entry, read from the catalog the fixture build carries.
demo_catalog_field() {
  /usr/bin/python3 -c 'import json, sys
entry = next(e for e in json.load(open(sys.argv[1])) if e["id"] == sys.argv[2])
print(entry.get(sys.argv[3], ""))' "$demo_catalog" "$1" "$2"
}

# The release host's origin, "https://localhost:PORT", from the catalog.
demo_origin() {
  demo_catalog_field orbit-action-dial manifest_url | sed -E 's|^(https://[^/]+)/.*|\1|'
}

# Bundle of TOOL at BUILD and VERSION, sealed with the test team's key and
# notarized with the test notary's key, zipped into ARCHIVE.
demo_sealed_archive() {
  local tool=$1 build=$2 version=$3 archive=$4 team staging bundle
  team=$(demo_catalog_field "$tool" team_id)
  staging=$demo_state/staging/$tool-$build
  bundle=$("$demo_bundle" "$tool" "$build" "$version" "$staging")
  "$demo_publish" seal "$bundle" --team "$team" --key "$demo_seal_keys/$team.sec" >/dev/null
  "$demo_publish" notarize "$bundle" --key "$demo_seal_keys/notary.sec" >/dev/null
  (cd "$staging" && zip -qry "$archive" "$(basename "$bundle")")
}

# Bundle of TOOL at BUILD and VERSION, sealed and zipped, the archive signed
# with the tool's test key by the publisher's tool, and put where the catalog
# looks for it.
demo_publish_release() {
  local tool=$1 build=$2 version=$3 root=$4
  local prefix manifest_url url archive manifest
  prefix=$(demo_catalog_field "$tool" archive_prefix)
  manifest_url=$(demo_catalog_field "$tool" manifest_url)
  url=${prefix}v$version/$tool.zip
  archive=$root/${url#"$(demo_origin)"/}
  manifest=$root/${manifest_url#"$(demo_origin)"/}
  mkdir -p "$(dirname "$archive")" "$(dirname "$manifest")"
  demo_sealed_archive "$tool" "$build" "$version" "$archive"
  "$demo_publish" sign-release --key "$demo_keys/$tool.key" --archive "$archive" \
    --id "$tool" --bundle-id "$(demo_catalog_field "$tool" bundle_id)" \
    --version "$version" --build "$build" --minimum-macos 1.0 \
    --architecture x86_64 --architecture arm64 --archive-url "$url" --output "$manifest"
}

# An external tool's release as the release host's "latest release" answer
# describes it, with the asset where that answer says.
demo_publish_external() {
  local tool=$1 build=$2 version=$3 root=$4
  local repository bundle_name asset tag=v$3 archive size digest
  repository=$(demo_catalog_field "$tool" github_repository)
  bundle_name=$(demo_catalog_field "$tool" bundle_name)
  asset=${bundle_name%.app}-x64-mac.zip
  archive=$root/web/$repository/releases/download/$tag/$asset
  mkdir -p "$(dirname "$archive")" "$root/api/repos/$repository/releases"
  demo_sealed_archive "$tool" "$build" "$version" "$archive"
  size=$(stat -c %s "$archive")
  digest=$(sha256sum "$archive" | cut -d' ' -f1)
  cat > "$root/api/repos/$repository/releases/latest" <<JSON
{"tag_name":"$tag","draft":false,"prerelease":false,"assets":[{"name":"$asset",
"browser_download_url":"$(demo_origin)/web/$repository/releases/download/$tag/$asset",
"size":$size,"digest":"sha256:$digest"}]}
JSON
}

demo_start() {
  local work=$1 root=$1/host origin port lock
  demo_state=$work/demo
  demo_home=$work/home
  mkdir -p "$root" "$demo_state" "$demo_home/.config"
  origin=$(demo_origin)
  port=${origin##*:}

  echo "Sealing, notarizing and signing the demo releases with the test keys (kelvoma-publish):"
  # Build 1 installed and remembered as switched on, so that it runs at start.
  "$demo_bundle" orbit-action-dial 1 1.0.0 "$demo_home/Applications" >/dev/null
  printf '[General]\nenabled.orbit-action-dial=true\n' \
    > "$demo_home/.config/cz.tobranix.tools-manager.ini"
  demo_publish_release orbit-action-dial 2 2.0.0 "$root"
  demo_publish_release pane-keeper 1 1.0.0 "$root"
  demo_publish_external clip-ledger 12 1.2.0 "$root"

  # A certificate of its own, trusted by the transfer tool through
  # CURL_CA_BUNDLE (as in the tests).
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
    -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 \
    -keyout "$demo_state/key.pem" -out "$demo_state/cert.pem" 2>/dev/null

  lock=${TMPDIR:-/tmp}/kelvoma-https-$port.lock
  if ! flock -n "$lock" true; then
    echo "Port $port is taken by a test run or another demo; waiting for it."
  fi
  # A session of its own, like the virtual display: Ctrl-C reaches only the
  # application, which may still be downloading from it. flock holds the lock
  # while the host runs, without passing it on to the host.
  setsid flock -o "$lock" /usr/bin/python3 tests/support/https_server.py --root "$root" \
    --state "$demo_state" --cert "$demo_state/cert.pem" --key "$demo_state/key.pem" \
    --port "$port" > "$demo_state/host.out" 2> "$demo_state/host.log" &
  demo_host=$!
  for _ in $(seq 6000); do
    grep -q '^READY' "$demo_state/host.out" 2>/dev/null && break
    kill -0 "$demo_host" 2>/dev/null || break
    sleep 0.05
  done
  if ! grep -q '^READY' "$demo_state/host.out" 2>/dev/null; then
    cat "$demo_state/host.log" >&2
    echo "The local release host did not start on port $port." >&2
    return 1
  fi

  export HOME=$demo_home
  export XDG_CONFIG_HOME=$HOME/.config XDG_CACHE_HOME=$HOME/.cache XDG_DATA_HOME=$HOME/.local/share
  export CURL_CA_BUNDLE=$demo_state/cert.pem
  if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    mkdir -m 700 "$work/runtime"
    export XDG_RUNTIME_DIR=$work/runtime
  fi

  cat <<TEXT

Demo: the sealed test build of Kelvoma (kelvoma-fixture-seal, catalog
tests/fixtures/tools.json) in a temporary home, $HOME,
against a local release host on $origin.
  Orbit Action Dial  1.0.0 installed and running; the check at start finds 2.0.0
                     ("Aktualizovat"); its switch turns it off and on
  Pane Keeper        not installed; 1.0.0 can be installed ("Nainstalovat")
  Clip Ledger        an external tool, not installed; 1.2.0 can be installed
Everything is checked for real, with TEST keys whose secret halves are in
the repository (never trust them anywhere else):
  the release manifests and archives, signed just now with tests/fixtures/keys;
  each bundle's seal (its identifier, team and every file, link and folder),
  made with tests/fixtures/seal/TESTTEAM42.sec;
  its notarization ticket, made with tests/fixtures/seal/notary.sec, and that
  its executable runs on this computer.
Everything (the home, the installed tools, the release host) is removed on exit.

TEXT
}

demo_ready() {
  [ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] || return 0
  if dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner string:cz.tobranix.Kelvoma 2>/dev/null \
      | grep -q 'boolean true'; then
    echo "Kelvoma already runs in this session: quit it (\"Ukončit Kelvoma\") and start the demo again." >&2
    return 1
  fi
}

# The start-up check has asked for both manifests; its results take a moment more.
demo_settle() {
  for _ in $(seq 300); do
    # The log appears with the first request.
    [ -f "$demo_state/requests.jsonl" ] \
      && [ "$(grep -c 'release.json' "$demo_state/requests.jsonl")" -ge 2 ] && break
    sleep 0.1
  done
  sleep 1.5
}

demo_print_hints() {
  cat <<TEXT
To drive it from another terminal:
  export DISPLAY=$DISPLAY DBUS_SESSION_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS
  dbus-send --session --type=signal /cz/tobranix/Kelvoma cz.tobranix.Kelvoma.KelvomaCheckUpdates
  xdotool search --name '^Kelvoma · Nástroje\$'       # the window, for xdotool mousemove/click
  import -window root /tmp/kelvoma-demo-now.png       # a screenshot of the display
TEXT
}

demo_stop() {
  # The tools outlive Kelvoma by design; those started from the demo's home
  # end with it.
  if [ -n "$demo_home" ]; then
    local exe pid
    for exe in /proc/[0-9]*/exe; do
      case $(readlink "$exe" 2>/dev/null) in
        "$demo_home"/*)
          pid=${exe#/proc/}
          kill -TERM "${pid%/exe}" 2>/dev/null || true
          ;;
      esac
    done
  fi
  if [ -n "$demo_host" ]; then
    kill -TERM -- "-$demo_host" 2>/dev/null || true
    wait "$demo_host" 2>/dev/null || true
    demo_host=
  fi
}
