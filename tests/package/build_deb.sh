#!/usr/bin/env bash
# Builds the Debian package with cpack into a private folder and unpacks it into $ROOT.
. "$(dirname "$0")/common.sh"

need_tool dpkg-deb dpkg
rm -rf "$WORK"
mkdir -p "$WORK/out"
if ! "$CPACK" -G DEB --config "$CPACK_CONFIG" -B "$WORK/out" >"$WORK/cpack.log" 2>&1; then
  cat "$WORK/cpack.log" >&2
  echo "FAIL: cpack -G DEB failed" >&2
  exit 1
fi
shopt -s nullglob
debs=("$WORK/out"/*.deb)
if [ ${#debs[@]} -ne 1 ]; then
  cat "$WORK/cpack.log" >&2
  echo "FAIL: expected one .deb, found ${#debs[@]}" >&2
  exit 1
fi
deb=${debs[0]}
if [ "$(basename "$deb")" != "$DEB_FILE_NAME" ]; then
  echo "FAIL: package file is $(basename "$deb"), expected $DEB_FILE_NAME" >&2
  exit 1
fi
dpkg-deb -x "$deb" "$ROOT"
echo "$deb" >"$WORK/deb-path"
note "built $(basename "$deb") ($(stat -c %s "$deb") bytes)"
