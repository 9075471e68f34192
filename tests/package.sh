#!/usr/bin/env bash
# Builds the Debian package from this build tree and checks what it holds:
# the game on the PATH, its desktop entry, icons and metainfo (all valid), and
# the packages it depends on.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cd "$build"
cpack -G DEB -B "$work/out" >/dev/null
deb=$(ls "$work"/out/korvaloop_*.deb)

files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for expected in \
    ./usr/bin/korvaloop \
    ./usr/share/applications/org.korvaloop.Korvaloop.desktop \
    ./usr/share/metainfo/org.korvaloop.Korvaloop.metainfo.xml \
    ./usr/share/icons/hicolor/48x48/apps/org.korvaloop.Korvaloop.png \
    ./usr/share/icons/hicolor/128x128/apps/org.korvaloop.Korvaloop.png \
    ./usr/share/icons/hicolor/256x256/apps/org.korvaloop.Korvaloop.png; do
    grep -qxF "$expected" <<<"$files" || { echo "missing from the package: $expected"; exit 1; }
done

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
names=$(tr ',' '\n' <<<"$depends" | awk '{print $1}')
for package in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 \
    libavahi-client3 fonts-liberation2; do
    grep -qxF "$package" <<<"$names" || { echo "does not depend on $package"; exit 1; }
done
[[ $(dpkg-deb -f "$deb" Recommends) == avahi-daemon ]] || { echo "does not recommend avahi-daemon"; exit 1; }
[[ $(dpkg-deb -f "$deb" Section) == games ]] || { echo "not in the games section"; exit 1; }

dpkg-deb -x "$deb" "$work/root"
desktop-file-validate "$work/root/usr/share/applications/org.korvaloop.Korvaloop.desktop"
appstreamcli validate --no-net "$work/root/usr/share/metainfo/org.korvaloop.Korvaloop.metainfo.xml"
grep -q '^Categories=.*Game;' "$work/root/usr/share/applications/org.korvaloop.Korvaloop.desktop"
echo "package ok: $(basename "$deb")"
