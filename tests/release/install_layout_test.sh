#!/usr/bin/env bash
# Where `cmake --install` puts things, staged with DESTDIR so that a fault
# lands in the test's folder and never in the machine's: a private prefix
# keeps everything below itself, /usr/local puts the bus files where the
# system's bus reads them, and an installed server registers the
# introspection data installed beside it.
# usage: install_layout_test.sh SOURCE_DIR BUILD_DIR
source "$1/tests/support/ShellTestLib.sh"
build=$2
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
services_dir=$(cache KETTRIN_DBUS_SYSTEM_SERVICES_DIR)
policy_dir=$(cache KETTRIN_DBUS_SYSTEM_POLICY_DIR)
unit_dir=$(cache KETTRIN_SYSTEMD_UNIT_DIR)

# prefix | where the activation file goes | where the bus policy goes | where the unit goes
while IFS='|' read -r prefix activation_dir policy unit; do
    dest=$TEST_TMP/dest${prefix//\//_}
    DESTDIR=$dest cmake --install "$build" --prefix "$prefix" >/dev/null
    files=$(cd "$dest" && find . -type f | sed 's|^\.||')
    activation=$dest$activation_dir/ComponentMgr.ComponentMgrObj.service
    check "$prefix: activation file in $activation_dir" test -f "$activation"
    check "$prefix: it starts $prefix/bin/Kettrin" grep -qx "Exec=$prefix/bin/Kettrin" "$activation"
    check "$prefix: bus policy in $policy" test -f "$dest$policy/ComponentMgr.ComponentMgrObj.conf"
    check "$prefix: unit in $unit starts $prefix/bin/Kettrin" grep -qx "ExecStart=$prefix/bin/Kettrin" "$dest$unit/kettrin.service"
    if [ "$prefix" = /opt/kettrin ]; then
        outside=$(grep -v "^$prefix/" <<<"$files" | tr '\n' ' ') || true
        check "$prefix: nothing outside the prefix${outside:+ (got: $outside)}" test -z "$outside"
    fi
done <<TABLE
/opt/kettrin|/opt/kettrin/${services_dir#/usr/}|/opt/kettrin/${policy_dir#/usr/}|/opt/kettrin/$(sed 's|^/usr/||; s|^/||' <<<"$unit_dir")
/usr/local|$services_dir|$policy_dir|$unit_dir
TABLE

# The installed server names the introspection data installed beside it.
root=$TEST_TMP/dest_opt_kettrin
mkdir -p "$TEST_TMP/app" "$TEST_TMP/services"
export KETTRIN_REGISTRY=$TEST_TMP/registry.db
"$build/src/kettrinctl" reg set 'HKLM\software\Tavrolin, Inc.\componentMgr' AppPath sz "$TEST_TMP/app" >/dev/null
KETTRIN_DBUS_SERVICE_DIR=$TEST_TMP/services "$root/opt/kettrin/bin/Kettrin" /RegServer
typelib=$("$build/src/kettrinctl" reg query 'HKCR\TypeLib\{B0D40B5C-9E9D-4BAD-A0AC-1D905240A2B7}\1.0\0\linux' "")
check "the registered type library is the installed one ($typelib)" \
    test "$typelib" = "$root/opt/kettrin/share/dbus-1/interfaces/ComponentMgr.xml"
finish
