#!/usr/bin/env bash
# The client library as an application developer gets it: installed into a
# prefix of its own, the example built only through
# `pkg-config --cflags --libs kettrin-client`, then run against a private bus.
# usage: client_sdk_test.sh SOURCE_DIR BUILD_DIR
source "$1/tests/support/ShellTestLib.sh"
src=$1
build=$2
command -v pkg-config >/dev/null || skip "pkg-config is missing"
prefix=$TEST_TMP/prefix
for component in libkettrin-client libkettrin-client-dev; do
    cmake --install "$build" --prefix "$prefix" --component "$component" >/dev/null
done
pc=$(find "$prefix" -name kettrin-client.pc)
check "kettrin-client.pc is installed below the prefix" test -n "$pc"
export PKG_CONFIG_PATH=$(dirname "$pc")
cflags=$(pkg-config --cflags kettrin-client)
libs=$(pkg-config --libs kettrin-client)
check "pkg-config's flags point into the prefix ($cflags $libs)" \
    test "${cflags#-I$prefix/}" != "$cflags" -a "${libs#-L$prefix/}" != "$libs"
check "pkg-config's version is the project's" \
    test "$(pkg-config --modversion kettrin-client)" = "$(sed -n 's/^project(Kettrin VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")"

# Only the installed headers are on the include path: an internal include in
# a public header fails this build.
example=$TEST_TMP/kettrin-client-example
check "the example builds through pkg-config alone" \
    c++ -std=c++17 -Wall -Wextra -Werror "$src/examples/kettrin-client-example.cpp" $cflags $libs -o "$example"

libfile=$(find "$prefix" -name 'libkettrin-client.so.*.*' -type f)
check "the library's SONAME carries the major version" \
    grep -q "SONAME *libkettrin-client.so.1$" <<<"$(objdump -p "$libfile")"
exports=$(nm -D --defined-only -C "$libfile")
check "the client class is exported" grep -q "mcComponentMgrClient::IsComponentInstalled" <<<"$exports"
check "nothing of the bus wrapper or the base library is exported" \
    test -z "$(grep -v 'mcComponentMgrClient::' <<<"$exports" | grep -E 'mcBus|mcExc|mf[A-Z]|sqlite|xml')"

export LD_LIBRARY_PATH=$(dirname "$libfile")
check "the example loads the prefix's library" grep -q "$prefix" <<<"$(ldd "$example" | grep kettrin-client)"
command -v dbus-daemon >/dev/null || { finish; }
# The bus activates the built service, with a registry and application
# folder of the test's own.
mkdir -p "$TEST_TMP/services" "$TEST_TMP/app"
printf '[D-BUS Service]\nName=ComponentMgr.ComponentMgrObj\nExec=%s\n' "$build/src/Kettrin" \
    > "$TEST_TMP/services/ComponentMgr.ComponentMgrObj.service"
export KETTRIN_REGISTRY=$TEST_TMP/registry.db KETTRIN_SHUTDOWN_DELAY_MS=1000
"$build/src/kettrinctl" reg set 'HKLM\software\Tavrolin, Inc.\componentMgr' AppPath sz "$TEST_TMP/app" >/dev/null
start_private_bus "$TEST_TMP/services"
output=$("$example") && rc=0 || rc=$?
check "on a bus without the service the example says 'not running' and exits 1 (got $rc: $output)" \
    test "$rc" = 1 -a "$output" = "not running"
# A bus that cannot be reached: the library's own exception reaches the
# application as a std::exception.
output=$(KETTRIN_BUS_ADDRESS=unix:path=$TEST_TMP/no-such-bus "$example" 2>&1) && rc=0 || rc=$?
check "an unreachable bus is caught as std::exception (got $rc: $output)" \
    test "$rc" = 3 -a -n "$(grep '^kettrin-client-example: ' <<<"$output")"
# A call through the library reaches the service: the bus starts it, it
# answers (S_FALSE: it knows no such manifest), and it is the service of the
# test's registry (its log is in the test's application folder).
output=$("$example" NoSuchManifest 2>&1) && rc=0 || rc=$?
check "the example's GetComponents is answered by the activated service (got $rc: $output)" \
    test "$rc" = 0 -a -z "$output"
check "the activated service ran with the test's application folder" \
    grep -q "moComponentMgr::FinalConstructImpl Enter" "$TEST_TMP/app/ComponentMgr.log"
finish
