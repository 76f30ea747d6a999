#!/usr/bin/env bash
# Installs every Debian package that building, testing and the demo need.
# Idempotent: quiet and quick when everything is present; refreshes the package
# lists only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libsystemd-dev libxml2-dev libcurl4-openssl-dev libcrypto++-dev libsqlite3-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
  libarchive-dev libarchive-tools zstd
  dbus-daemon dbus-bin openssl libxml2-utils curl python3 procps
  lldb
  dpkg-dev lintian groff-base man-db bash-completion
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq >/dev/null
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
