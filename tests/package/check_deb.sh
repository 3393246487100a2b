#!/usr/bin/env bash
# The package's control fields and file list: what a user installs and what the package
# manager needs to know.
. "$(dirname "$0")/common.sh"

need_tool dpkg-deb dpkg
need_tool readelf binutils
need_tool nm binutils
need_package

dpkg-deb --info "$DEB"
field() { dpkg-deb -f "$DEB" "$1"; }
depends=$(field Depends)
recommends=$(field Recommends)
description=$(field Description)

[ "$(field Package)" = "rt88h-updater" ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$DEB_VERSION" ] || fail "Version is '$(field Version)', expected $DEB_VERSION"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
# A name and an address; none of someone else's domain (example.org belongs to IANA).
maintainer=$(field Maintainer)
[[ $maintainer =~ ^[^\<]+\ \<[^@\ ]+@[^@\ ]+\>$ ]] || fail "Maintainer is not 'Name <address>': '$maintainer'"
[[ $maintainer == *example.* ]] && fail "Maintainer has a borrowed address: '$maintainer'"

# Each Depends entry is a package (or alternatives), possibly with a version.
has_dep() { grep -Eq "(^|[,|] *)$2( |,|\$)" <<<"$1"; }
for p in libqt6widgets6 libqt6gui6 libqt6core6 libasound2; do
  has_dep "$depends" "$p" || fail "Depends lacks $p: $depends"
done

# JACK may be required only when the program cannot start without it.
bin="$ROOT/usr/bin/rt88h-updater"
if readelf -d "$bin" | grep -q 'NEEDED.*libjack'; then
  note "rt88h-updater links libjack directly: JACK has to be a dependency"
  has_dep "$depends" 'libjack-jackd2-0' || fail "libjack is NEEDED but not in Depends: $depends"
else
  note "rt88h-updater does not link libjack: JACK is only recommended"
  grep -q libjack <<<"$depends" && fail "Depends names JACK although nothing links it: $depends"
  grep -q 'libjack-jackd2-0 | libjack0' <<<"$recommends" || fail "Recommends lacks JACK: $recommends"
fi
has_dep "$recommends" fonts-noto-cjk || fail "Recommends lacks fonts-noto-cjk: $recommends"

# Placeholder images must show in the file name, the version and the description.
name=$(basename "$DEB")
if [ "$EXPECT_TESTIMAGES" = 1 ]; then
  [[ $name == *-testimages* ]] || fail "test-image package without -testimages in its name: $name"
  [[ $(field Version) == *testimages* ]] || fail "test-image package with a release version"
  grep -q 'TEST IMAGES' <<<"$description" || fail "description does not say TEST IMAGES"
else
  [[ $name != *testimages* ]] || fail "firmware package named as test images: $name"
  grep -q 'TEST IMAGES' <<<"$description" && fail "firmware package described as test images"
fi

# Exactly these files; the demo and build leftovers (headers, archives) have no place here.
expected=(
  ./usr/bin/rt88h-update
  ./usr/bin/rt88h-updater
  ./usr/share/applications/rt88h-updater.desktop
  ./usr/share/doc/rt88h-updater/README.md
  ./usr/share/doc/rt88h-updater/changelog.gz
  ./usr/share/doc/rt88h-updater/copyright
  ./usr/share/icons/hicolor/256x256/apps/rt88h-updater.png
  ./usr/share/icons/hicolor/scalable/apps/rt88h-updater.svg
  ./usr/share/man/man1/rt88h-devsim.1.gz
  ./usr/share/man/man1/rt88h-update.1.gz
  ./usr/share/man/man1/rt88h-updater.1.gz
  "./usr/share/metainfo/$APPSTREAM_ID.metainfo.xml"
)
[ "$EXPECT_DEVSIM" = 1 ] && expected+=(./usr/bin/rt88h-devsim)
dpkg-deb --contents "$DEB" >"$WORK/contents.txt"
actual=$(awk '$1 !~ /^d/ {print $6}' "$WORK/contents.txt" | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort)
if [ "$actual" != "$wanted" ]; then
  fail "file list differs (< missing, > unexpected):"
  diff <(echo "$wanted") <(echo "$actual") >&2 || true
fi
grep -q demo "$WORK/contents.txt" && fail "the demo program is in the package"
awk '$1 !~ /^d/ && $2 != "root/root" {print}' "$WORK/contents.txt" | grep -q . &&
  fail "files not owned by root:root"

# Programs: executable, stripped of build paths, and every library found on this system.
for p in "$ROOT"/usr/bin/*; do
  [ -x "$p" ] || fail "$p is not executable"
  readelf -d "$p" | grep -Eq 'RPATH|RUNPATH' && fail "$(basename "$p") carries an RPATH/RUNPATH"
  if command -v ldd >/dev/null && ldd "$p" | grep -q 'not found'; then
    fail "$(basename "$p") needs a library that is not installed:"
    ldd "$p" | grep 'not found' >&2
  fi
done

# The copyright file: Debian's machine-readable format, the licence word for word as LICENSE
# has it, and what it says of the images built in.
doc="$ROOT/usr/share/doc/rt88h-updater"
copyright=$(cat "$doc/copyright")
[ "$(head -n1 <<<"$copyright")" = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ] ||
  fail "copyright is not in the machine-readable format: $(head -n1 <<<"$copyright")"
for f in Upstream-Name Upstream-Contact Source Files Copyright License; do
  grep -q "^$f: ." <<<"$copyright" || fail "copyright has no $f field"
done
words() { tr -s ' \n.' '   ' | sed 's/^ *//; s/ *$//'; }
license_text=$(sed -n '/^Permission is hereby granted/,$p' "$SOURCE_DIR/LICENSE" | words)
packaged_text=$(sed -n '/^ Permission is hereby granted/,$p' <<<"$copyright" | words)
[ -n "$license_text" ] && [ "$license_text" = "$packaged_text" ] || fail "copyright's licence text is not LICENSE's"
grep -q "^Copyright: $(sed -n 's/^Copyright (c) //p' "$SOURCE_DIR/LICENSE")\$" <<<"$copyright" ||
  fail "copyright's holders are not LICENSE's"
if [ "$EXPECT_TESTIMAGES" = 1 ]; then
  grep -q "test images" <<<"$copyright" || fail "copyright does not say the images are test images"
else
  grep -q "not cover them" <<<"$copyright" || fail "copyright does not leave the firmware images out"
fi

# The changelog: gzip'ed, its newest entry this very package.
newest=$(zcat "$doc/changelog.gz" | head -n1)
[[ $newest == "rt88h-updater ($DEB_VERSION) "* ]] || fail "changelog's newest entry is '$newest', the package $DEB_VERSION"

# What Debian's own checker says; errors and warnings fail.
if command -v lintian >/dev/null; then
  status=0
  out=$(lintian --fail-on error,warning "$DEB" 2>&1) || status=$?
  grep -v 'running with root privileges' <<<"$out" || true
  [ "$status" -eq 0 ] || fail "lintian reports errors or warnings (above)"
else
  note "lintian is not installed (scripts/bootstrap --tests installs it): not run"
fi

# The JACK back-end's test hooks stay out of the shipped program: neither the variable that makes
# its client late nor the input thread's poll hook (tests/system builds rt88h-updater-testhooks).
if strings "$bin" | grep -E 'RT88H_TEST_JACK_LATE|made late in chosen cycles'; then
  fail "rt88h-updater reads the JACK test hook's variable"
fi
if nm -C "$UPDATER_BUILT" | grep -E 'setJackInputPollForTesting|parseLateCycles|beLate'; then
  fail "the built rt88h-updater (unstripped) carries the JACK back-end's test hooks"
fi

png="$ROOT/usr/share/icons/hicolor/256x256/apps/rt88h-updater.png"
if command -v file >/dev/null; then
  file "$png" | grep -q 'PNG image data, 256 x 256' || fail "icon is not a 256x256 PNG: $(file -b "$png")"
fi
finish
