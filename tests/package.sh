#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package from this build tree and checks it as a Debian
# maintainer would: lintian finds no error and no warning; the game is in
# /usr/games with its manual page, which renders without a warning; the
# copyright file and the changelog are there, and the changelog, the metainfo
# and the package tell of the same releases; the desktop entry, icons and
# metainfo are valid; the package depends on and recommends what it should.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "$*"
    exit 1
}

cd "$build"
cpack -G DEB -B "$work/out" >/dev/null
deb=$(ls "$work"/out/korvaloop_*.deb)

# Informational tags are shown for the log; errors and warnings fail. The
# three informational tags a build here gets, each looked at and accepted:
# - binary-has-unneeded-section .comment: CPack's strip leaves the
#   compiler's version note in; a few harmless bytes.
# - hardening-no-bindnow: linked without -z now, as with Debian 12's default
#   flags; building with dpkg-buildflags and hardening=+all removes it.
# - hardening-no-fortify-functions: stays with -D_FORTIFY_SOURCE=2 too, as
#   the game calls no libc function whose buffer size the compiler knows.
status=0
# The metainfo is validated below, by appstreamcli itself, which lets only a
# missing homepage pass; lintian's own run of it (Debian 13's lintian has
# one) would fail on that.
suppress=()
if lintian-explain-tags appstream-metadata-validation-failed >/dev/null 2>&1; then
    suppress=(--suppress-tags appstream-metadata-validation-failed)
fi
report=$(lintian --display-info --fail-on error,warning "${suppress[@]}" "$deb" 2>&1) || status=$?
grep -v 'running with root privileges' <<<"$report" || true
[[ $status -eq 0 ]] || fail "lintian found errors or warnings"

listing=$(dpkg-deb -c "$deb")
files=$(awk '{print $6}' <<<"$listing")
for expected in \
    ./usr/games/korvaloop \
    ./usr/lib/korvaloop/plugins/gamepad-sdl.so \
    ./usr/lib/korvaloop/plugins/ice-nice.so \
    ./usr/share/man/man6/korvaloop.6.gz \
    ./usr/share/doc/korvaloop/copyright \
    ./usr/share/doc/korvaloop/changelog.gz \
    ./usr/share/applications/org.korvaloop.Korvaloop.desktop \
    ./usr/share/metainfo/org.korvaloop.Korvaloop.metainfo.xml \
    ./usr/share/icons/hicolor/48x48/apps/org.korvaloop.Korvaloop.png \
    ./usr/share/icons/hicolor/128x128/apps/org.korvaloop.Korvaloop.png \
    ./usr/share/icons/hicolor/256x256/apps/org.korvaloop.Korvaloop.png; do
    grep -qxF "$expected" <<<"$files" || fail "missing from the package: $expected"
done
# One copy of the game, and one everybody may run.
[[ $(grep -c '/korvaloop$' <<<"$files") -eq 1 ]] || fail "more than one copy of the game"
grep -q '^-rwxr-xr-x .* \./usr/games/korvaloop$' <<<"$listing" || fail "the game is not executable"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
names=$(tr ',' '\n' <<<"$depends" | awk '{print $1}')
# As named on Debian 12 and on 13, where 64-bit time_t renamed some
# libraries and miniupnpc's ABI moved on.
for package in libc6 'libstdc\+\+6' 'libqt6core6(t64)?' libqt6gui6 libqt6widgets6 libqt6network6 \
    libavahi-client3 'libsdl2-2\.0-0' 'libminiupnpc(17|18)' 'libnatpmp1(t64)?' libnice10 \
    fonts-liberation2; do
    grep -qxE "$package" <<<"$names" || fail "does not depend on $package"
done
recommends=$(dpkg-deb -f "$deb" Recommends)
echo "Recommends: $recommends"
for package in avahi-daemon qt6-wayland; do
    tr ',' '\n' <<<"$recommends" | awk '{print $1}' | grep -qxF "$package" ||
        fail "does not recommend $package"
done
[[ $(dpkg-deb -f "$deb" Section) == games ]] || fail "not in the games section"

root=$work/root
dpkg-deb -x "$deb" "$root"
desktop=$root/usr/share/applications/org.korvaloop.Korvaloop.desktop
metainfo=$root/usr/share/metainfo/org.korvaloop.Korvaloop.metainfo.xml
desktop-file-validate "$desktop"
# The game has no homepage of its own yet: AppStream 1.0 (Debian 13) warns of
# that, and may warn of nothing else.
if ! appstream=$(appstreamcli validate --no-net "$metainfo" 2>&1); then
    others=$(grep -E '^[WE]:' <<<"$appstream" | grep -v ': url-homepage-missing$' || true)
    grep -q ': url-homepage-missing$' <<<"$appstream" && [[ -z $others ]] ||
        fail "AppStream finds fault with the metainfo: $appstream"
fi
grep -q '^Categories=.*Game;' "$desktop"
grep -qxF 'Exec=korvaloop' "$desktop" || fail "the desktop entry does not start korvaloop"
# The game finds its libraries where the system keeps them, and nowhere else.
readelf -d "$root/usr/games/korvaloop" | grep -qE 'R(UN)?PATH' && fail "the game carries a library search path"
grep -qF '<project_license>MIT</project_license>' "$metainfo" || fail "metainfo: licence not MIT"
grep -q 'example\.' "$metainfo" && fail "metainfo: a placeholder address"

# The manual page: no warning from either formatter, and man shows it.
page=$root/usr/share/man/man6/korvaloop.6.gz
warnings=$(zcat "$page" | groff -ww -man -Tutf8 -z 2>&1)
[[ -z $warnings ]] || fail "groff: $warnings"
warnings=$(zcat "$page" | mandoc -T lint 2>&1) || true
[[ -z $warnings ]] || fail "mandoc: $warnings"
rendered=$(MANWIDTH=80 man -l "$page" 2>&1)
for heading in NAME SYNOPSIS DESCRIPTION OPTIONS "HOW TO PLAY" "TWO PLAYERS"; do
    grep -qx "$heading" <<<"$rendered" || fail "manual page: no section $heading"
done

# Newest first: the releases the changelog lists, those the metainfo lists
# (version and date), and the package's own version on top.
changelog=$(zcat "$root/usr/share/doc/korvaloop/changelog.gz" |
    dpkg-parsechangelog -l- --all --format rfc822 | awk '
        /^Version: / { version = $2 }
        /^Date: / { ("date -u -d \"" substr($0, 7) "\" +%F") | getline day; print version, day }')
releases=$(grep -o '<release version="[^"]*" date="[^"]*"' "$metainfo" |
    sed 's/.*version="\([^"]*\)" date="\([^"]*\)"/\1 \2/')
[[ $changelog == "$releases" ]] ||
    fail "changelog and metainfo list different releases:"$'\n'"$changelog"$'\n'"---"$'\n'"$releases"
version=$(dpkg-deb -f "$deb" Version)
[[ ${changelog%% *} == "$version" ]] || fail "the changelog's newest entry is not $version"
echo "package ok: $(basename "$deb")"
