# Helpers for the tests written in bash (tests/release). Source it; it sets
# `set -euo pipefail`, makes $TEST_TMP (removed on exit, with any
# dbus-daemon started by start_private_bus) and counts failed checks.
#   check DESCRIPTION COMMAND...   runs COMMAND; a failure is reported, the test goes on
#   fail MESSAGE                   records a failure
#   skip MESSAGE                   ends the test as skipped (exit 77)
#   finish                         exit 0, or 1 after any failure
#   start_private_bus [SERVICE_DIR]  a session-type dbus-daemon of the test's own,
#                                  activating the services of SERVICE_DIR with the
#                                  test's environment; sets KETTRIN_BUS_ADDRESS
set -euo pipefail

TEST_TMP=$(mktemp -d "${TMPDIR:-/tmp}/kettrin-test.XXXXXX")
_test_failures=0
_test_bus_pid=""
_test_cleanup() {
    if [ -n "$_test_bus_pid" ]; then kill "$_test_bus_pid" 2>/dev/null || true; fi
    rm -rf "$TEST_TMP"
}
trap _test_cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    _test_failures=$((_test_failures + 1))
}

check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        fail "$what"
    fi
}

skip() {
    echo "SKIP: $*"
    exit 77
}

finish() {
    if [ "$_test_failures" -ne 0 ]; then
        echo "$_test_failures check(s) failed" >&2
        exit 1
    fi
    exit 0
}

start_private_bus() {
    local conf=$TEST_TMP/bus.conf
    cat > "$conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$TEST_TMP/bus.sock</listen>
  ${1:+<servicedir>$1</servicedir>}
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
    local info
    info=$(dbus-daemon --config-file="$conf" --fork --print-address=1 --print-pid=1)
    KETTRIN_BUS_ADDRESS=$(echo "$info" | sed -n 1p)
    _test_bus_pid=$(echo "$info" | sed -n 2p)
    export KETTRIN_BUS_ADDRESS
}
