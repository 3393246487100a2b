#!/usr/bin/env bash
# The desktop entry and the AppStream metainfo as installed, checked by the freedesktop tools.
. "$(dirname "$0")/common.sh"
what=$1
need_package

desktop="$ROOT/usr/share/applications/rt88h-updater.desktop"
metainfo="$ROOT/usr/share/metainfo/$APPSTREAM_ID.metainfo.xml"

case $what in
  desktop)
    need_tool desktop-file-validate desktop-file-utils
    out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $out"
    [ -z "$out" ] || note "desktop-file-validate: $out"
    key() { sed -n "s/^$1=//p" "$desktop"; }
    [ "$(key Type)" = Application ] || fail "Type is '$(key Type)'"
    [ "$(key Terminal)" = false ] || fail "Terminal is '$(key Terminal)'"
    [ "$(key Exec)" = rt88h-updater ] || fail "Exec is '$(key Exec)'"
    [ "$(key Icon)" = rt88h-updater ] || fail "Icon is '$(key Icon)'"
    [ -n "$(key Name)" ] || fail "no Name"
    [ -n "$(key Comment)" ] || fail "no Comment"
    for c in Audio Midi; do
      [[ ";$(key Categories)" == *";$c;"* ]] || fail "Categories '$(key Categories)' lack $c"
    done
    # What the entry names is in the package.
    [ -x "$ROOT/usr/bin/$(key Exec)" ] || fail "Exec $(key Exec) is not in usr/bin"
    [ -f "$ROOT/usr/share/icons/hicolor/scalable/apps/$(key Icon).svg" ] ||
      fail "Icon $(key Icon) is not in the hicolor theme"
    ;;
  metainfo)
    need_tool appstreamcli appstream
    # Errors and warnings fail; info and pedantic notes are printed only.
    if ! out=$(appstreamcli validate --no-net --explain "$metainfo" 2>&1); then
      fail "appstreamcli validate --no-net: $out"
    else
      note "$out"
    fi
    grep -q "<id>$APPSTREAM_ID</id>" "$metainfo" || fail "metainfo id is not $APPSTREAM_ID"
    launchable=$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$metainfo")
    [ -f "$ROOT/usr/share/applications/$launchable" ] ||
      fail "launchable '$launchable' is not an installed desktop entry"
    binaries=$(sed -n 's:.*<binary>\(.*\)</binary>.*:\1:p' "$metainfo")
    for binary in rt88h-updater rt88h-update; do
      grep -qx "$binary" <<<"$binaries" || fail "metainfo does not provide the binary $binary"
    done
    while read -r binary; do
      [ -x "$ROOT/usr/bin/$binary" ] || fail "provided binary '$binary' is not in usr/bin"
    done <<<"$binaries"
    # What a software centre shows besides the text: the newest release is this version, the
    # licence, the homepage, the developer and the README's screenshot at its size.
    pedantic=$(appstreamcli validate --no-net --pedantic "$metainfo" 2>&1) || true
    note "pedantic: $pedantic"
    release=$(grep -m1 -o '<release version="[^"]*"' "$metainfo" | cut -d'"' -f2)
    [ "$release" = "$VERSION" ] || fail "newest <release> is '$release', the version $VERSION"
    grep -q '<release version="[^"]*" date="[0-9]\{4\}-[0-9][0-9]-[0-9][0-9]">' "$metainfo" ||
      fail "a <release> without an ISO date"
    grep -q '<project_license>MIT</project_license>' "$metainfo" || fail "no <project_license>MIT"
    grep -q '<url type="homepage">https://[^<]*/</url>' "$metainfo" || fail "no homepage <url>"
    grep -q '<developer_name>..*</developer_name>' "$metainfo" || fail "no <developer_name>"
    grep -q '<developer id="[^"]*">' "$metainfo" || fail "no <developer>"
    image=$(grep -o '<image type="source"[^>]*>[^<]*' "$metainfo")
    [[ $image == *'>https://'*/docs/screenshot.png ]] || fail "the screenshot is not the README's: $image"
    if command -v file >/dev/null; then
      size=$(file -b "$SOURCE_DIR/docs/screenshot.png" | grep -o '[0-9]* x [0-9]*')
      [[ $image == *"width=\"${size% x *}\" height=\"${size#* x }\""* ]] ||
        fail "the screenshot is $size, the metainfo says: $image"
    fi
    ;;
  *)
    echo "usage: validate_data.sh ENV desktop|metainfo" >&2
    exit 2
    ;;
esac
finish
