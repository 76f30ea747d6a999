#!/usr/bin/env bash
# Builds the Debian packages from a build tree (dpkg-deb; no debian/ folder,
# no second build):
#   kettrin                 the programs, bus/polkit/systemd files, man pages,
#                           bash completion, introspection data
#   libkettrin-client1      the client library
#   libkettrin-client-dev   its headers, link name and pkg-config file
#
# usage: scripts/package.sh [-o OUTDIR] [--no-build] [--lintian]
#   -o OUTDIR    where the .deb files go (default: BUILD/packages)
#   --no-build   take the build tree as it is (fails when something is missing)
#   --lintian    run lintian on the packages; lintian errors fail the script
#   KETTRIN_BUILD_DIR   build folder (default: build; configured when missing)
# Prints the paths of the packages, one a line, on standard output.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${KETTRIN_BUILD_DIR:-$here/build}
out=""
do_build=1
do_lintian=0
while [ $# -gt 0 ]; do
    case $1 in
        -o) out=$2; shift 2 ;;
        --no-build) do_build=0; shift ;;
        --lintian) do_lintian=1; shift ;;
        -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "package.sh: unknown argument '$1'" >&2; exit 2 ;;
    esac
done
out=${out:-$build/packages}

for tool in dpkg-deb dpkg-shlibdeps; do
    command -v "$tool" >/dev/null || { echo "package.sh: $tool is missing (apt-get install dpkg-dev)" >&2; exit 1; }
done

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
fi
if [ "$do_build" = 1 ]; then
    cmake --build "$build" --target kettrin_dist -j"$(nproc 2>/dev/null || echo 2)" >&2
fi

cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
version=$(sed -n 's/^project(Kettrin VERSION \([0-9.]*\).*/\1/p' "$here/CMakeLists.txt")
arch=$(dpkg --print-architecture)
bindir=/usr/$(cache CMAKE_INSTALL_BINDIR)
services_dir=$(cache KETTRIN_DBUS_SYSTEM_SERVICES_DIR)
unit_dir=$(cache KETTRIN_SYSTEMD_UNIT_DIR)
libdir=/usr/$(cache CMAKE_INSTALL_LIBDIR)
maintainer="Kettrin developers <kettrin@tavrolin.invalid>"
date_rfc=$(LC_ALL=C date -u -R -d "@${SOURCE_DATE_EPOCH:-$(git -C "$here" log -1 --format=%ct 2>/dev/null || date +%s)}")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out" "$work/debian"
# dpkg-shlibdeps wants a source package's control file.
printf 'Source: kettrin\n\nPackage: kettrin\nArchitecture: any\n' > "$work/debian/control"

# stage PACKAGE COMPONENT...: the install components into $work/PACKAGE.
stage() {
    local pkg=$1 root=$work/$1 component
    shift
    mkdir -p "$root/DEBIAN"
    for component in "$@"; do
        DESTDIR=$root cmake --install "$build" --prefix /usr --component "$component" >/dev/null
    done
    # Man pages compressed, binaries stripped of debugging data, modes as
    # Debian wants them.
    find "$root" -path "$root/DEBIAN" -prune -o -type f -path '*/share/man/*' ! -name '*.gz' -print0 |
        xargs -0 -r gzip -9n
    find "$root" -path "$root/DEBIAN" -prune -o -type f -print0 | while IFS= read -r -d '' f; do
        if [ "$(head -c4 "$f" | od -An -c | tr -d ' ')" = '177ELF' ]; then
            strip --strip-unneeded --remove-section=.comment "$f"
        fi
    done
    find "$root" -type d -exec chmod 0755 {} +
    find "$root" -type f ! -perm -u+x -exec chmod 0644 {} +
    find "$root" -type f -perm -u+x -exec chmod 0755 {} +
    local doc=$root/usr/share/doc/$pkg
    mkdir -p "$doc"
    cp "$here/packaging/deb/copyright" "$doc/copyright"
    printf '%s (%s) unstable; urgency=medium\n\n  * Release %s.\n\n -- %s  %s\n' \
        "$pkg" "$version" "$version" "$maintainer" "$date_rfc" | gzip -9n > "$doc/changelog.gz"
    chmod 0644 "$doc/copyright" "$doc/changelog.gz"
}

# control PACKAGE DEPENDS SECTION SUMMARY DESCRIPTION...
control() {
    local pkg=$1 depends=$2 section=$3 summary=$4 size
    shift 4
    size=$(du -sk --exclude=DEBIAN "$work/$pkg" | cut -f1)
    {
        echo "Package: $pkg"
        echo "Version: $version"
        echo "Architecture: $arch"
        echo "Maintainer: $maintainer"
        echo "Installed-Size: $size"
        [ -n "$depends" ] && echo "Depends: $depends"
        # State-changing calls are authorized by polkit; without it they are refused.
        [ "$pkg" = kettrin ] && echo "Recommends: polkitd"
        echo "Section: $section"
        echo "Priority: optional"
        echo "Homepage: https://kettrin.invalid/"
        echo "Description: $summary"
        local line
        for line in "$@"; do echo " $line"; done
    } > "$work/$pkg/DEBIAN/control"
    (cd "$work/$pkg" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
        xargs -0 -r md5sum) > "$work/$pkg/DEBIAN/md5sums"
    chmod 0644 "$work/$pkg/DEBIAN/control" "$work/$pkg/DEBIAN/md5sums"
}

# shlibdeps PACKAGE: the Depends of its ELF files.
shlibdeps() {
    local pkg=$1 files
    mapfile -d '' files < <(find "$work/$pkg" -path "$work/$pkg/DEBIAN" -prune -o -type f -perm -u+x -print0 \
        -o -type f -name '*.so*' -print0)
    [ ${#files[@]} -gt 0 ] || return 0
    (cd "$work" && dpkg-shlibdeps -O -S"$work/libkettrin-client1" "${files[@]}" 2>/dev/null) |
        sed -n 's/^shlibs:Depends=//p'
}

scripts() {
    local pkg=$1 name
    for name in postinst prerm postrm; do
        [ -f "$here/packaging/deb/$pkg.$name" ] || continue
        sed -e "s|@BINDIR@|$bindir|g" -e "s|@SERVICES_DIR@|$services_dir|g" -e "s|@UNIT_DIR@|$unit_dir|g" \
            "$here/packaging/deb/$pkg.$name" > "$work/$pkg/DEBIAN/$name"
        chmod 0755 "$work/$pkg/DEBIAN/$name"
    done
}

soname_major=${version%%.*}
lib=libkettrin-client$soname_major

stage "$lib" libkettrin-client
echo "libkettrin-client $soname_major $lib (>= $version)" > "$work/$lib/DEBIAN/shlibs"
echo "activate-noawait ldconfig" > "$work/$lib/DEBIAN/triggers"
chmod 0644 "$work/$lib/DEBIAN/shlibs" "$work/$lib/DEBIAN/triggers"
control "$lib" "$(shlibdeps "$lib")" libs "Tavrolin component manager - client library" \
    "The shared library through which applications call the Tavrolin component" \
    "manager service on the system bus: queries, downloads, installs, client" \
    "registration and callbacks."

stage libkettrin-client-dev libkettrin-client-dev
control libkettrin-client-dev "$lib (= $version)" libdevel \
    "Tavrolin component manager - client development files" \
    "Headers, the link name and the pkg-config file \"kettrin-client\" of the" \
    "client library of the Tavrolin component manager service."

stage kettrin kettrin Unspecified
scripts kettrin
mkdir -p "$work/kettrin/usr/share/lintian/overrides"
install -m 0644 "$here/packaging/deb/kettrin.lintian-overrides" "$work/kettrin/usr/share/lintian/overrides/kettrin"
kettrin_depends=$(shlibdeps kettrin)
control kettrin "${kettrin_depends:+$kettrin_depends, }dbus-system-bus | dbus" admin \
    "Tavrolin component manager - service and tools" \
    "A per-machine component manager: client applications call one service on" \
    "the system bus to learn which add-on components are installed and which" \
    "the signed manifests offer, and to download, install, update and" \
    "uninstall them." \
    "." \
    "This package holds the bus-activated service Kettrin, kettrinctl (the" \
    "administrator's tool), the package installer TI, the uninstaller" \
    "Kettrinrm, their bus, polkit and systemd files, man pages and bash" \
    "completion."

status=0
for pkg in kettrin "$lib" libkettrin-client-dev; do
    deb=$out/${pkg}_${version}_${arch}.deb
    dpkg-deb --root-owner-group -Zxz --build "$work/$pkg" "$deb" >/dev/null
    echo "$deb"
done
if [ "$do_lintian" = 1 ]; then
    if ! command -v lintian >/dev/null; then
        echo "package.sh: lintian is missing" >&2
        exit 1
    fi
    lintian --tag-display-limit 0 "$out"/*_"${version}"_"${arch}".deb >&2 || status=$?
    # lintian exits 1 on errors (and on nothing else with its default --fail-on).
fi
exit $status
