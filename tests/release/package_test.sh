#!/usr/bin/env bash
# The Debian packages of scripts/package.sh, made from the build tree as it
# is (nothing is rebuilt).
# usage: package_test.sh SOURCE_DIR BUILD_DIR OUTDIR build|contents|install
#   build     makes the packages in OUTDIR (lintian errors fail it, when lintian is there)
#   contents  unpacks them with dpkg-deb and checks paths, fields and files
#   install   as root: installs them into a throwaway root with dpkg --root,
#             registers, then removes them again
source "$1/tests/support/ShellTestLib.sh"
src=$1
build=$2
outdir=$3
mode=$4
command -v dpkg-deb >/dev/null || skip "dpkg-deb is missing"
command -v dpkg-shlibdeps >/dev/null || skip "dpkg-shlibdeps is missing (dpkg-dev)"
version=$(sed -n 's/^project(Kettrin VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
arch=$(dpkg --print-architecture)
main=$outdir/kettrin_${version}_${arch}.deb
lib=$outdir/libkettrin-client1_${version}_${arch}.deb
dev=$outdir/libkettrin-client-dev_${version}_${arch}.deb

case $mode in
build)
    rm -rf "$outdir"
    lint=()
    if command -v lintian >/dev/null; then lint=(--lintian); else echo "note: lintian is missing; not run"; fi
    KETTRIN_BUILD_DIR=$build "$src/scripts/package.sh" --no-build "${lint[@]}" -o "$outdir" 2>"$TEST_TMP/err" ||
        { cat "$TEST_TMP/err" >&2; fail "package.sh failed"; }
    cat "$TEST_TMP/err"
    for deb in "$main" "$lib" "$dev"; do check "$(basename "$deb") was made" test -s "$deb"; done
    ;;

contents)
    for deb in "$main" "$lib" "$dev"; do
        [ -s "$deb" ] || { fail "$deb is missing (run the build step)"; finish; }
    done
    x=$TEST_TMP/x
    for deb in "$main" "$lib" "$dev"; do dpkg-deb -x "$deb" "$x"; done
    paths=$( (dpkg-deb -c "$main"; dpkg-deb -c "$lib"; dpkg-deb -c "$dev") | awk '{print $6}' | sed 's|^\./|/|')
    has() { grep -Eqx "$1" <<<"$paths"; }
    for p in /usr/bin/Kettrin /usr/bin/kettrinctl /usr/bin/ZR_CrashDlg \
             /usr/share/dbus-1/system-services/ComponentMgr.ComponentMgrObj.service \
             /usr/share/dbus-1/system.d/ComponentMgr.ComponentMgrObj.conf \
             /usr/share/dbus-1/interfaces/ComponentMgr.xml \
             '(/usr)?/lib/systemd/system/kettrin.service' \
             /usr/share/man/man8/Kettrin.8.gz /usr/share/man/man8/Kettrinrm.8.gz \
             /usr/share/man/man1/kettrinctl.1.gz /usr/share/man/man1/TI.1.gz \
             /usr/share/bash-completion/completions/kettrinctl \
             '/usr/lib/(.*/)?libkettrin-client.so.1' '/usr/lib/(.*/)?libkettrin-client.so' \
             '/usr/lib/(.*/)?pkgconfig/kettrin-client.pc' \
             /usr/include/kettrin/client/mcComponentMgrClient.h /usr/include/kettrin/contract/Hresult.h \
             /usr/share/doc/kettrin/copyright; do
        check "package holds $p" has "$p"
    done
    # What other parts of the build add is packaged when it is built.
    [ -f "$src/packaging/com.tavrolin.componentmgr.policy" ] &&
        check "package holds the polkit policy" has /usr/share/polkit-1/actions/com.tavrolin.componentmgr.policy
    [ -f "$src/packaging/kettrin-runonce.service.in" -o -f "$src/packaging/kettrin-runonce.service" ] &&
        check "package holds the runonce unit" has '(/usr)?/lib/systemd/system/kettrin-runonce.service'
    for program in TI Unwise Kettrinrm; do
        if [ -x "$build/src/$program" ]; then
            check "package holds $program" grep -Eq "/$program\$" <<<"$paths"
        fi
    done
    check "nothing is installed below /usr/local" test -z "$(grep '^/usr/local' <<<"$paths")"
    check "the shared library and its link name are in different packages" \
        test -n "$(dpkg-deb -c "$lib" | grep 'libkettrin-client.so.1')" -a -z "$(dpkg-deb -c "$lib" | grep 'libkettrin-client.so ')"

    # Stripping keeps the file-version note crash reports read.
    check "the stripped server keeps its file-version note" \
        grep -q "NT_VERSION" <<<"$(readelf -n "$x/usr/bin/Kettrin")"
    check "the stripped server has no debugging sections" \
        test -z "$(readelf -S "$x/usr/bin/Kettrin" | grep '\.debug_')"
    activation=$x/usr/share/dbus-1/system-services/ComponentMgr.ComponentMgrObj.service
    check "the activation file starts /usr/bin/Kettrin through the unit" \
        test "$(cat "$activation")" = "$(printf '[D-BUS Service]\nName=ComponentMgr.ComponentMgrObj\nExec=/usr/bin/Kettrin\nUser=root\nSystemdService=kettrin.service')"
    unit=$(find "$x" -name kettrin.service)
    check "the unit runs /usr/bin/Kettrin" grep -qx "ExecStart=/usr/bin/Kettrin" "$unit"
    check "the unit makes the trace socket folder" grep -qx "RuntimeDirectory=tavrolin" "$unit"
    if command -v xmllint >/dev/null; then
        check "the bus policy is well-formed XML" xmllint --noout "$x/usr/share/dbus-1/system.d/ComponentMgr.ComponentMgrObj.conf"
    fi
    pcfile=$(find "$x" -name kettrin-client.pc)
    check "the pkg-config file's prefix is /usr" grep -qx "prefix=/usr" "$pcfile"

    main_depends=$(dpkg-deb -f "$main" Depends)
    check "kettrin's Depends come from its libraries ($main_depends)" \
        grep -q "libc6" <<<"$main_depends"
    check "kettrin depends on libsystemd0 and the system bus" \
        grep -q "libsystemd0.*dbus-system-bus" <<<"$main_depends"
    check "the -dev package depends on the library of its version" \
        test "$(dpkg-deb -f "$dev" Depends)" = "libkettrin-client1 (= $version)"
    ctl=$TEST_TMP/ctl
    dpkg-deb -e "$main" "$ctl"
    check "postinst registers the server" grep -Eq "^ *Kettrin /RegServer" "$ctl/postinst"
    check "prerm removes the registration" grep -Eq "^ *Kettrin /UnregServer" "$ctl/prerm"
    for script in postinst prerm postrm; do check "$script is valid sh" sh -n "$ctl/$script"; done
    dpkg-deb -e "$lib" "$ctl.lib"
    check "the library package runs ldconfig" grep -qx "activate-noawait ldconfig" "$ctl.lib/triggers"
    check "the library package's shlibs name it" grep -qx "libkettrin-client 1 libkettrin-client1 (>= $version)" "$ctl.lib/shlibs"
    check "md5sums list every file of kettrin" \
        test "$(wc -l < "$ctl/md5sums")" = "$(dpkg-deb -c "$main" | grep -vc '^d')"
    ;;

install)
    [ "$(id -u)" = 0 ] || skip "installing into a throwaway root needs root"
    for deb in "$main" "$lib" "$dev"; do
        [ -s "$deb" ] || { fail "$deb is missing (run the build step)"; finish; }
    done
    root=$TEST_TMP/root
    mkdir -p "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/info" "$root/var/log" "$root/var/lib/tavrolin"
    touch "$root/var/lib/dpkg/status"
    # The registry of the throwaway root names an application folder inside it
    # (the server's log goes there while it registers).
    registry=$root/var/lib/tavrolin/registry.db
    KETTRIN_REGISTRY=$registry "$build/src/kettrinctl" reg set 'HKLM\software\Tavrolin, Inc.\componentMgr' \
        AppPath sz "$root/var/lib/tavrolin/componentmgr" >/dev/null
    dpkg_root() {
        dpkg --root="$root" --log=/dev/null --force-script-chrootless --force-depends --force-not-root "$@"
    }
    check "dpkg installs the three packages" dpkg_root -i "$lib" "$dev" "$main"
    check "dpkg records them installed" \
        test "$(dpkg --root="$root" -l 'kettrin' 'libkettrin-client*' | grep -c '^ii')" = 3
    check "the installed server is there" test -x "$root/usr/bin/Kettrin"
    clsid='HKCR\CLSID\{E08DE58F-82D2-4B97-A063-95E34EF205DE}\LocalServer32'
    server=$(KETTRIN_REGISTRY=$registry "$build/src/kettrinctl" reg query "$clsid" "" 2>&1) || true
    check "postinst registered the installed server ($server)" test "$server" = "\"$root/usr/bin/Kettrin\""
    check "the activation file is in place" \
        test -f "$root/usr/share/dbus-1/system-services/ComponentMgr.ComponentMgrObj.service"
    check "dpkg removes them again" dpkg_root -P kettrin libkettrin-client-dev libkettrin-client1
    check "prerm removed the registration" \
        test "$(KETTRIN_REGISTRY=$registry "$build/src/kettrinctl" reg query "$clsid" "" >/dev/null 2>&1; echo $?)" = 1
    left=$(cd "$root" && find . -path ./var -prune -o -type f -print)
    check "no file of the packages is left${left:+ (left: $left)}" test -z "$left"
    ;;
*)
    echo "unknown mode $mode" >&2
    exit 2
    ;;
esac
finish
