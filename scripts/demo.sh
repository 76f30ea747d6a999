#!/usr/bin/env bash
# The main job: installs what is missing, builds, and shows the component manager
# at work on a machine of its own: a private message bus that starts the service
# on the first call, a local web server that publishes signed manifests and a
# ".zrz" package, a private registry, application folder and components folder.
# It walks a component's whole road: packed by its publisher, offered by a
# signed manifest, downloaded and installed by the package installer TI, updated
# to a newer version, uninstalled. Every step checks its outcome; a broken road
# ends the demo with a non-zero exit status naming the step. Needs no internet.
# Cleans up after itself, also when interrupted.
set -Eeuo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/deps.sh"
build=${KETTRIN_BUILD_DIR:-$here/build}
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target kettrinctl Kettrin TI
ctl="$build/src/kettrinctl"
server="$build/src/Kettrin"
ti="$build/src/TI"

work=$(mktemp -d "${TMPDIR:-/tmp}/kettrin-demo.XXXXXX")
bus_pid=""
http_pid=""
cleanup() {
  set +e
  trap - ERR
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
fail() { printf '\ndemo: FAILED in step %d: %s\n' "$nstep" "$*" >&2; exit 1; }
# A command that fails outside the checks below ends the demo as well.
trap 'rc=$?; fail "'\''$BASH_COMMAND'\'' ended with exit status $rc"' ERR
# Commands are printed quoted, ready to paste into a shell that has the same
# environment (KETTRIN_REGISTRY, KETTRIN_BUS_ADDRESS, ... as exported below).
quoted() { local out="" a; for a in "$@"; do out+="${a@Q} "; done; printf '$ %s\n' "${out% }"; }
show() { quoted "$@"; "$@" || fail "${1##*/} ${2:-}: exit status $?"; }
# Runs a command that may answer "no" (exit 1) and checks the answer:
#   expect STATUS [--says TEXT] COMMAND...
# STATUS is the exit status the road needs; with --says the output must hold TEXT.
expect() {
  local want=$1 text="" rc=0
  shift
  if [ "$1" = --says ]; then text=$2; shift 2; fi
  quoted "$@"
  if [ -n "$text" ]; then
    "$@" >"$work/out" 2>&1 || rc=$?
    cat "$work/out"
  else
    "$@" || rc=$?
  fi
  echo "(exit status $rc)"
  [ "$rc" -eq "$want" ] || fail "${1##*/} ${2:-}: exit status $rc, the road needs $want"
  [ -z "$text" ] || grep -qF -- "$text" "$work/out" || fail "${1##*/} ${2:-}: did not say '$text'"
}
# The installed files of a component, with their permission bits and sizes.
show_tree() { quoted find "$1" -mindepth 1 -printf '%M %6s %P\n'; find "$1" -mindepth 1 -printf '%M %6s %P\n' | sort -k3; }

export KETTRIN_REGISTRY="$work/registry.db"
export KETTRIN_DIAG_SOCKET="$work/zrdiag.sock"
export KETTRIN_DBUS_SERVICE_DIR="$work/services"
mkdir -p "$work/services" "$work/www" "$work/app" "$work/publisher"
components="$work/components"

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
# The bus hands this environment (registry, trace socket) on to the service,
# and the service hands the registry and its bus address on to TI.
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile >"$work/bus.log" 2>&1 &
bus_pid=$!
for _ in $(seq 100); do [ -S "$work/bus" ] && break; sleep 0.05; done
[ -S "$work/bus" ] || fail "the bus did not start"
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

step "the publisher packs the component Visualizer 1.00.0001 as a .zrz package"
# The content of the install folder: a text, presets and a program.
src1="$work/publisher/visualizer-1"
mkdir -p "$src1/presets" "$src1/bin"
printf 'Visual Effects 1.00.0001 for Jukebox\n' >"$src1/README"
printf 'palette=dark\n' >"$src1/presets/dark.preset"
printf 'palette=classic\n' >"$src1/presets/classic.preset"
printf '#!/bin/sh\necho "rendering with Visual Effects 1.00.0001"\n' >"$src1/bin/viz-render"
chmod 0755 "$src1/bin/viz-render"
show_tree "$src1"
pkg1=visualizer-1.00.0001.zrz
show "$ctl" zrz pack "$src1" --component Visualizer --version 1.00.0001 --manifest Jukebox -o "$work/www/$pkg1"
show "$ctl" zrz list "$work/www/$pkg1"
# An archive every tar reads.
show tar -tzvf "$work/www/$pkg1"

step "the publisher signs a manifest with the ed25519 key (KSIG2 form) that offers it with its SHA-256"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')
base="http://127.0.0.1:$port"
# The event endpoint and the connectivity probe answer with an empty page.
mkdir -p "$work/www/qorb/ev"
: >"$work/www/qorb/ev/cm"
: >"$work/www/qorb/check.cgi"
# A package large enough for a download to show its progress.
head -c 16777216 /dev/urandom >"$work/www/radio.zrz"
radio_sha=$(sha256sum "$work/www/radio.zrz" | cut -c1-64)
manifest() {  # manifest version, Visualizer's version and package, extra component markup
  local sha
  sha=$(sha256sum "$work/www/$3" | cut -c1-64)
  cat <<EOF
<ComponentManifest version="$1">
  <Component name="Visualizer" friendlyName="Visual Effects">
    <ClientData><Skin id="7">dark</Skin></ClientData>
    <Plugin name="$3" version="$2">
      <Update sha256="$sha"><URL>$base/$3</URL></Update>
      <Uninstall rule="CM"/>
    </Plugin>
  </Component>$4
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
manifest 1.00.0001 1.00.0001 "$pkg1" "" >"$work/manifest.xml"
show cat "$work/manifest.xml"
show "$ctl" manifest sign --key "$edkey" "$work/manifest.xml" "$work/www/Jukebox_Manifest.xml"
head -c 100 "$work/www/Jukebox_Manifest.xml"; echo ...
show "$ctl" manifest verify "$work/www/Jukebox_Manifest.xml"
directory 1.00.0001 >"$work/www/ManifestDirectory.xml"

step "a local web server publishes them on $base"
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$work/www" >"$work/http.log" 2>&1 &
http_pid=$!
up=""
for _ in $(seq 100); do
  python3 -c "import urllib.request as u; u.urlopen('$base/ManifestDirectory.xml', timeout=1)" 2>/dev/null && up=1 && break
  sleep 0.1
done
[ -n "$up" ] || fail "the web server did not answer on $base"
echo "web server: pid $http_pid"

step "settings: the local server, connection check 'always online', hashes required"
show "$ctl" config set app-path "$work/app"
show "$ctl" config set manifest-dir-url "$base/ManifestDirectory.xml"
show "$ctl" config set event-server "127.0.0.1:$port"
show "$ctl" config set connection-check-server "127.0.0.1:$port"
show "$ctl" config set connection-check-algorithm 0
show "$ctl" config set require-strong-signature 1
show "$ctl" config set require-package-hash 1
show "$ctl" config list

step "the package installer: TI from the build tree opens .zrz files and installs below $components"
show "$ctl" reg set 'HKCR\.zrz' '' sz ZrzPackage
show "$ctl" reg set 'HKCR\ZrzPackage\shell\Open\command' '' sz "\"$ti\" \"%1\""
show "$ctl" reg set 'HKLM\software\Tavrolin, Inc.\componentMgr' ComponentsPath sz "$components"
show "$ctl" reg query 'HKCR\ZrzPackage\shell\Open\command'

step "the service is not running yet"
expect 1 "$ctl" status
step "the first call starts it; update-manifests answers once the directory and the manifest are here"
# The service fetches them on a worker after it starts, so the first answer
# does not wait for the network; update-manifests does.
expect 0 "$ctl" update-manifests
expect 0 "$ctl" status
expect 0 --says Visualizer "$ctl" components Jukebox
service_pid=$(dbus-send --bus="$KETTRIN_BUS_ADDRESS" --print-reply=literal --dest=org.freedesktop.DBus / \
  org.freedesktop.DBus.GetConnectionUnixProcessID string:ComponentMgr.ComponentMgrObj 2>/dev/null |
  awk '{print $2}' || true)
echo "service: pid ${service_pid:-unknown}"
ls "$work/app"

step "what the manifest says about Visualizer; not installed yet (the store has never seen it)"
expect 0 --says "Visual Effects" "$ctl" info Jukebox Visualizer
expect 1 --says "(0)" "$ctl" is-installed Jukebox Jukebox Visualizer
expect 1 "$ctl" installed-version Visualizer

step "the client Jukebox installs Visualizer: download, then TI installs the package"
expect 0 "$ctl" install Jukebox Jukebox Visualizer
expect 0 --says "installed for this client (16)" "$ctl" is-installed Jukebox Jukebox Visualizer
expect 1 --says "installed for another client (256)" "$ctl" is-installed Tuner Jukebox Visualizer
expect 0 --says 1.00.0001 "$ctl" installed-version Visualizer
expect 1 "$ctl" update-available Visualizer

step "the installed files: TI extracted the package into $components/Visualizer"
show ls -A "$components"
show_tree "$components/Visualizer"
show cat "$components/Visualizer/README"
show "$components/Visualizer/bin/viz-render"
cmp -s "$src1/README" "$components/Visualizer/README" || fail "the installed README is not the packed one"
[ -x "$components/Visualizer/bin/viz-render" ] || fail "the installed program lost its execute bit"

step "the publisher packs Visualizer 1.00.0002, adds the component Radio and signs a newer manifest"
src2="$work/publisher/visualizer-2"
mkdir -p "$src2/presets" "$src2/bin"
printf 'Visual Effects 1.00.0002 for Jukebox: new neon preset\n' >"$src2/README"
printf 'palette=dark\n' >"$src2/presets/dark.preset"
printf 'palette=neon\nglow=on\n' >"$src2/presets/neon.preset"
printf '#!/bin/sh\necho "rendering with Visual Effects 1.00.0002"\n' >"$src2/bin/viz-render"
chmod 0755 "$src2/bin/viz-render"
pkg2=visualizer-1.00.0002.zrz
show "$ctl" zrz pack "$src2" --component Visualizer --version 1.00.0002 --manifest Jukebox --compression xz \
  -o "$work/www/$pkg2"
manifest 1.00.0002 1.00.0002 "$pkg2" '
  <Component name="Radio" friendlyName="Internet Radio">
    <Plugin name="radio.zrz" version="2.01.0000">
      <Update sha256="'"$radio_sha"'"><URL>'"$base"'/radio.zrz</URL></Update>
    </Plugin>
  </Component>' >"$work/manifest.xml"
show "$ctl" manifest sign --key "$edkey" "$work/manifest.xml" "$work/www/Jukebox_Manifest.xml"
directory 1.00.0002 >"$work/www/ManifestDirectory.xml"
show "$ctl" manifest show "$work/www/Jukebox_Manifest.xml"

step "update-manifests fetches it at once; the update is downloaded and waits to be installed"
expect 0 "$ctl" update-manifests
expect 0 --says Radio "$ctl" components Jukebox
expect 1 "$ctl" update-available Visualizer
expect 0 "$ctl" update Jukebox Jukebox Visualizer
expect 0 --says 1.00.0002 "$ctl" update-available Visualizer
expect 0 --says 1.00.0001 "$ctl" installed-version Visualizer

step "the client installs the update: TI swaps the new files in"
expect 0 "$ctl" install Jukebox Jukebox Visualizer
expect 0 --says "(16)" "$ctl" is-installed Jukebox Jukebox Visualizer
expect 0 --says 1.00.0002 "$ctl" installed-version Visualizer
expect 1 "$ctl" update-available Visualizer
show_tree "$components/Visualizer"
show cat "$components/Visualizer/README"
show "$components/Visualizer/bin/viz-render"
cmp -s "$src2/presets/neon.preset" "$components/Visualizer/presets/neon.preset" || fail "the new preset is missing"
[ ! -e "$components/Visualizer/presets/classic.preset" ] || fail "a file of the old version stayed behind"
echo "presets/classic.preset, which 1.00.0002 no longer has, is gone"

step "installed at the manifest's version, a second install starts nothing"
expect 1 "$ctl" install Jukebox Jukebox Visualizer

step "a client downloads Radio from the local server, with progress; the package's SHA-256 is checked"
expect 0 "$ctl" download Jukebox Jukebox Radio
show ls -l "$work/app/HoldingArea/Radio"
step "asked again, the package is already here; nothing is running to cancel"
expect 1 --says "already downloaded" "$ctl" download Jukebox Jukebox Radio
expect 1 "$ctl" cancel

step "the client uninstalls Visualizer: TI removes the installation"
expect 0 --says "uninstalled" "$ctl" uninstall Jukebox Jukebox Visualizer
show ls -A "$components"
[ ! -e "$components/Visualizer" ] || fail "$components/Visualizer is still there"
echo "$components/Visualizer is gone"
expect 1 --says "not installed (1)" "$ctl" is-installed Jukebox Jukebox Visualizer

step "the service's log"
cat "$work/app/ComponentMgr.log"

step "the configuration file: ComponentMgrConfig.xml records what happened"
show cat "$work/app/ComponentMgrConfig.xml"; echo

step "done: stopping the bus (the service ends with it) and the web server"
