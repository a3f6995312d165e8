#!/usr/bin/env bash
# Builds the Debian packages into build-pkg/: netbuf_<version>_<arch>.deb and
# its detached debug symbols netbuf-dbgsym_<version>_<arch>.deb, with
# dpkg-buildpackage and debhelper (debian/). The build runs in a copy of the
# source tree (the files git knows, and new ones it does not ignore), so the
# tree itself stays as it was; the build log is build-pkg/build.log.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
out=build-pkg
rm -rf "$out"
mkdir -p "$out/netbuf"
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
  tar -c --null -T - | tar -x -C "$out/netbuf"
if ! (cd "$out/netbuf" &&
      DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" \
        dpkg-buildpackage -b -us -uc) >"$out/build.log" 2>&1; then
  grep -E "error|warning" "$out/build.log" | tail -n 20 >&2
  echo "package build failed; see $out/build.log" >&2
  exit 1
fi
ls "$out"/*.deb
