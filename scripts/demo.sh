#!/usr/bin/env bash
# The main job: installs what is missing, builds, and shows the system at work on
# a private registry and trace socket. Cleans up after itself.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/deps.sh"
build=${KETTRIN_BUILD_DIR:-$here/build}
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target kettrinctl
ctl="$build/src/kettrinctl"

work=$(mktemp -d)
cleanup() { [ -n "${trace_pid:-}" ] && kill "$trace_pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
export KETTRIN_REGISTRY="$work/registry.db"
export KETTRIN_DIAG_SOCKET="$work/zrdiag.sock"

echo "== kettrinctl reg: the component manager's key"
key='HKLM\software\Tavrolin, Inc.\componentMgr'
"$ctl" reg set "$key" AppPath sz "$work/app"
"$ctl" reg set "$key" Interval dword 3
"$ctl" reg query "$key"
echo "== names are case-insensitive"
"$ctl" reg query 'HKEY_LOCAL_MACHINE\SOFTWARE\TAVROLIN, INC.\COMPONENTMGR' appPATH
