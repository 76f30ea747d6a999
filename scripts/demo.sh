#!/usr/bin/env bash
# The main job: installs what is missing, builds, and shows the component manager
# at work on a machine of its own: a private message bus that starts the service
# on the first call, a local web server that publishes a signed manifest, a
# private registry and application folder. Needs no internet. Cleans up after
# itself, also when interrupted.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/deps.sh"
build=${KETTRIN_BUILD_DIR:-$here/build}
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target kettrinctl Kettrin
ctl="$build/src/kettrinctl"
server="$build/src/Kettrin"

work=$(mktemp -d "${TMPDIR:-/tmp}/kettrin-demo.XXXXXX")
bus_pid=""
http_pid=""
cleanup() {
  set +e
  trap '' INT TERM  # an interrupt now must not cut the clean-up short
  # The service ends by itself when its bus goes away.
  [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null && wait "$bus_pid" 2>/dev/null
  [ -n "$http_pid" ] && kill "$http_pid" 2>/dev/null && wait "$http_pid" 2>/dev/null
  if [ -n "${service_pid:-}" ]; then
    for _ in $(seq 50); do kill -0 "$service_pid" 2>/dev/null || break; sleep 0.1; done
    kill "$service_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
  [ -e "$work" ] || echo "demo: cleaned up: bus, service and web server stopped, $work removed"
}
trap cleanup EXIT
trap 'echo "demo: interrupted" >&2; exit 130' INT TERM

nstep=0
step() { nstep=$((nstep + 1)); printf '\n\033[1m=== %d. %s\033[0m\n' "$nstep" "$*"; }
# Commands are printed quoted, ready to paste into a shell that has the same
# environment (KETTRIN_REGISTRY, KETTRIN_BUS_ADDRESS, ... as exported below).
quoted() { local out="" a; for a in "$@"; do out+="${a@Q} "; done; printf '$ %s\n' "${out% }"; }
show() { quoted "$@"; "$@"; }
# Runs a command that may answer "no" (exit 1) without ending the demo.
ask() { quoted "$@"; local rc=0; "$@" || rc=$?; echo "(exit status $rc)"; }

export KETTRIN_REGISTRY="$work/registry.db"
export KETTRIN_DIAG_SOCKET="$work/zrdiag.sock"
export KETTRIN_DBUS_SERVICE_DIR="$work/services"
mkdir -p "$work/services" "$work/www" "$work/app"

step "registration: 'Kettrin /RegServer' writes its registry keys and the activation file"
show "$server" /RegServer
show cat "$work/services/ComponentMgr.ComponentMgrObj.service"

step "a private message bus that activates from $work/services"
cat >"$work/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$work/bus</listen>
  <servicedir>$work/services</servicedir>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
# The bus hands this environment (registry, trace socket) on to the service.
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile >"$work/bus.log" 2>&1 &
bus_pid=$!
for _ in $(seq 100); do [ -S "$work/bus" ] && break; sleep 0.05; done
[ -S "$work/bus" ] || { echo "demo: the bus did not start" >&2; exit 1; }
export KETTRIN_BUS_ADDRESS="unix:path=$work/bus"
echo "bus: $KETTRIN_BUS_ADDRESS (pid $bus_pid)"

step "the publisher makes an ed25519 key; this machine trusts it through a trusted-key folder"
edkey="$work/publisher-ed25519.key"
quoted "$ctl" manifest keygen --type ed25519 "$edkey"
"$ctl" manifest keygen --type ed25519 "$edkey" >"$work/publisher-ed25519.pub"
cat "$work/publisher-ed25519.pub"
show "$ctl" config set trusted-keys-path "$work/trusted-keys"
show "$ctl" manifest trust add "$work/publisher-ed25519.pub"
show "$ctl" manifest trust list

step "the publisher signs a manifest with the ed25519 key (KSIG2 form)"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')
base="http://127.0.0.1:$port"
# The event endpoint and the connectivity probe answer with an empty page.
mkdir -p "$work/www/qorb/ev"
: >"$work/www/qorb/ev/cm"
: >"$work/www/qorb/check.cgi"
printf 'demo package\n' >"$work/www/viz.zrz"
# A package large enough for the download to show its progress.
head -c 16777216 /dev/urandom >"$work/www/radio.zrz"
radio_sha=$(sha256sum "$work/www/radio.zrz" | cut -c1-64)
manifest() {  # version, extra component markup
  cat <<EOF
<ComponentManifest version="$1">
  <Component name="Visualizer" friendlyName="Visual Effects">
    <ClientData><Skin id="7">dark</Skin></ClientData>
    <Plugin name="viz.zrz" version="1.00.0001">
      <Update><URL>$base/viz.zrz</URL></Update>
      <Uninstall rule="CM"/>
    </Plugin>
  </Component>$2
</ComponentManifest>
EOF
}
directory() {  # manifest version
  cat <<EOF
<ManifestDirectory Interval="1">
  <Manifest name="Jukebox" version="$1"><URL>$base/Jukebox_Manifest.xml</URL></Manifest>
</ManifestDirectory>
EOF
}
manifest 1.00.0001 "" >"$work/manifest.xml"
show "$ctl" manifest sign --key "$edkey" "$work/manifest.xml" "$work/www/Jukebox_Manifest.xml"
head -c 100 "$work/www/Jukebox_Manifest.xml"; echo ...
show "$ctl" manifest verify "$work/www/Jukebox_Manifest.xml"
directory 1.00.0001 >"$work/www/ManifestDirectory.xml"

step "a local web server publishes it on $base"
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$work/www" >"$work/http.log" 2>&1 &
http_pid=$!
for _ in $(seq 100); do
  python3 -c "import urllib.request as u; u.urlopen('$base/ManifestDirectory.xml', timeout=1)" 2>/dev/null && break
  sleep 0.1
done
echo "web server: pid $http_pid"

step "settings: point the component manager at the local server, connection check 'always online'"
show "$ctl" config set app-path "$work/app"
show "$ctl" config set manifest-dir-url "$base/ManifestDirectory.xml"
show "$ctl" config set event-server "127.0.0.1:$port"
show "$ctl" config set connection-check-server "127.0.0.1:$port"
show "$ctl" config set connection-check-algorithm 0
show "$ctl" config set require-strong-signature 1
show "$ctl" config list

step "the service is not running yet"
ask "$ctl" status
step "the first call starts it; it fetches the manifest directory and the manifest"
ask "$ctl" components Jukebox
ask "$ctl" status
service_pid=$(dbus-send --bus="$KETTRIN_BUS_ADDRESS" --print-reply=literal --dest=org.freedesktop.DBus / \
  org.freedesktop.DBus.GetConnectionUnixProcessID string:ComponentMgr.ComponentMgrObj 2>/dev/null |
  awk '{print $2}' || true)
echo "service: pid ${service_pid:-unknown}"
ls "$work/app"

step "what the manifest says about a component"
ask "$ctl" info Jukebox Visualizer
step "is it installed for the client 'Jukebox'? (not yet: the store has never seen it)"
ask "$ctl" is-installed Jukebox Jukebox Visualizer
ask "$ctl" installed-version Visualizer

step "the package installer reports its result (report-install)"
cat >"$work/InstallData.xml" <<EOF
<InstallData name="Visualizer" version="1.00.0001">
  <ManifestName>Jukebox</ManifestName>
  <Install result="success"/>
  <InstallPath>/opt/tavrolin/jukebox/plugins/visualizer</InstallPath>
  <ErrorCode>0</ErrorCode>
  <Uninstall><Exe>/opt/tavrolin/jukebox/Unwise</Exe><Cmdline>/s visualizer.log</Cmdline></Uninstall>
</InstallData>
EOF
show cat "$work/InstallData.xml"
ask "$ctl" report-install Jukebox "$work/InstallData.xml"
ask "$ctl" is-installed Jukebox Jukebox Visualizer
ask "$ctl" is-installed Tuner Jukebox Visualizer
ask "$ctl" installed-version Visualizer
ask "$ctl" update-available Visualizer
step "recorded in ComponentMgrConfig.xml"
cat "$work/app/ComponentMgrConfig.xml"; echo

step "the publisher adds a component; update-manifests fetches it at once"
manifest 1.00.0002 '
  <Component name="Radio" friendlyName="Internet Radio">
    <Plugin name="radio.zrz" version="2.01.0000">
      <Update sha256="'"$radio_sha"'"><URL>'"$base"'/radio.zrz</URL></Update>
    </Plugin>
  </Component>' >"$work/manifest.xml"
"$ctl" manifest sign --key "$edkey" "$work/manifest.xml" "$work/www/Jukebox_Manifest.xml"
directory 1.00.0002 >"$work/www/ManifestDirectory.xml"
ask "$ctl" update-manifests
ask "$ctl" components Jukebox

step "a client downloads Radio from the local server, with progress; the package's SHA-256 is checked"
ask "$ctl" manifest show "$work/www/Jukebox_Manifest.xml"
ask "$ctl" download Jukebox Jukebox Radio
ls -l "$work/app/HoldingArea/Radio"
step "asked again, the package is already here; nothing is running to cancel"
ask "$ctl" download Jukebox Jukebox Radio
ask "$ctl" cancel

step "the service's log"
cat "$work/app/ComponentMgr.log"

step "done: stopping the bus (the service ends with it) and the web server"
