#!/bin/sh
# Builds the Debian package in BUILD_DIR with cpack and checks it as Debian's
# archive would: lintian on the package (pedantic tags shown, errors and
# warnings fail), appstreamcli on the tree it installs (metainfo file and
# desktop entry), and the package's version in its change log and metainfo.
# `make package` and the ctest `package` run it.
# usage: scripts/check-package.sh BUILD_DIR
set -eu
build_dir=$(cd "$1" && pwd)

for tool in cpack lintian appstreamcli dpkg-deb; do
    if ! command -v "$tool" >/dev/null; then
        echo "check-package: $tool is missing; make package (or make test) installs it" >&2
        exit 1
    fi
done

cpack_log=$(cd "$build_dir" && cpack --config CPackConfig.cmake) || {
    echo "$cpack_log"
    exit 1
}
echo "$cpack_log"
deb=$(echo "$cpack_log" | sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p')
[ -f "$deb" ] || { echo "check-package: cpack named no package" >&2; exit 1; }

echo "lintian $deb"
lintian --pedantic --display-info --fail-on error,warning "$deb"

tree=$(mktemp -d "${TMPDIR:-/tmp}/zr9-package-XXXXXX")
trap 'rm -rf "$tree"' EXIT
dpkg-deb -x "$deb" "$tree"
echo "appstreamcli validate-tree"
appstreamcli validate-tree --no-net --pedantic "$tree"

# A new version needs its entry in the change log and a release in the metainfo.
version=$(dpkg-deb -f "$deb" Version)
if ! zcat "$tree/usr/share/doc/zr9config/changelog.gz" | head -n 1 | grep -q "^zr9config ($version) " ||
   ! grep -q "<release version=\"$version\"" "$tree"/usr/share/metainfo/*.metainfo.xml; then
    echo "check-package: the change log must begin with version $version and the metainfo list it as a release" >&2
    exit 1
fi
