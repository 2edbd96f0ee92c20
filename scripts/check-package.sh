#!/usr/bin/env bash
# Checks the install rules and the Debian package made from a build folder:
#
#   check-package.sh BUILD_DIR
#
# The manual page renders without warnings; `cmake --install` lays out the executable and the page; `cpack -G DEB`
# gives a package holding exactly those two, whose Depends name the libraries the executable links or loads; the
# package installs with dpkg (as root; skipped otherwise), its tool answers a wrong command line as it should, and the
# package is removed again (unless the machine had it installed before, when this build's package stays).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$(cd "${1:?usage: check-package.sh BUILD_DIR}" && pwd)

failures=0
fail() {
  echo "check-package: $*" >&2
  failures=$((failures + 1))
}
work=$(mktemp -d)
installed=""
cleanup() {
  [ -z "$installed" ] || dpkg -r "$installed" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# The manual page: man-db runs groff with its warnings on; any line on standard error is a fault in the page.
man --warnings -l "$root/docs/qfx_system_audio.1" >/dev/null 2>"$work/man.err" || fail "man could not render the page"
[ ! -s "$work/man.err" ] || fail "the manual page renders with warnings: $(cat "$work/man.err")"

# cmake --install into a staging prefix.
cmake --install "$build" --prefix "$work/prefix" >/dev/null
(cd "$work/prefix" && find . -type f | sort) >"$work/installed.txt"
printf '%s\n' ./bin/qfx_system_audio ./share/man/man1/qfx_system_audio.1 | diff -u - "$work/installed.txt" >&2 ||
  fail "cmake --install laid out other files than the executable and its page"

# The package.
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || {
  cat "$work/cpack.log" >&2
  fail "cpack -G DEB failed"
  exit 1
}
deb=$(ls "$build"/*.deb)
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort >"$work/contents.txt"
printf '%s\n' ./usr/bin/qfx_system_audio ./usr/share/man/man1/qfx_system_audio.1.gz | diff -u - "$work/contents.txt" >&2 ||
  fail "the package holds other files than the executable and its compressed page"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the package's version is not the project's ($version)"

# Depends: one entry for each library the executable needs that a package provides (the four FFmpeg libraries it
# loads at run time among them), none for what it does not use.
depends=$(dpkg-deb -f "$deb" Depends)
echo "check-package: Depends: $depends"
depends_names=$(sed 's/([^)]*)//g; s/ //g' <<<"$depends" | tr ',|' '\n')
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for library in $(objdump -p "$build/qfx_system_audio" | awk '$1 == "NEEDED" {print $2}'); do
  owner=$(dpkg -S "*/$multiarch/$library" 2>/dev/null | head -n 1 | cut -d: -f1) || true
  if [ -z "$owner" ]; then
    fail "no package provides $library"
  elif ! grep -qxF "$owner" <<<"$depends_names"; then
    fail "Depends lacks $owner (for $library)"
  fi
done
# FFmpeg loads after the start: linked, its hundred-odd libraries would all load before main.
if objdump -p "$build/qfx_system_audio" | awk '$1 == "NEEDED" {print $2}' | grep -q '^lib\(av\|sw\)'; then
  fail "the executable links FFmpeg, which it should load at run time"
fi
for library in libpulse0 libavcodec libavformat libavutil libswresample; do
  grep -q "^$library" <<<"$depends_names" || fail "Depends lacks $library"
done

# Installed for real, then removed: the tool on PATH answers a wrong command line with its usage line and status 2.
if [ "$(id -u)" -eq 0 ]; then
  package=$(dpkg-deb -f "$deb" Package)
  was_installed=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -c 'install ok installed' || true)
  if dpkg -i "$deb" >"$work/dpkg.log" 2>&1; then
    [ "$was_installed" -ne 0 ] || installed=$package # a package the machine had before stays, now this build
    man -w qfx_system_audio >/dev/null 2>&1 || fail "man does not find the installed page"
    set +e
    (cd "$work" && /usr/bin/qfx_system_audio >stdout.txt 2>stderr.txt </dev/null)
    status=$?
    set -e
    [ "$status" -eq 2 ] || fail "the installed tool exited $status without arguments, not 2"
    [ ! -s "$work/stdout.txt" ] || fail "the installed tool wrote to standard output"
    printf 'Usage: qfx_system_audio <output.m4a>\n' | cmp -s - "$work/stderr.txt" ||
      fail "the installed tool's standard error: $(cat "$work/stderr.txt")"
  else
    cat "$work/dpkg.log" >&2
    fail "dpkg -i refused the package"
  fi
else
  echo "check-package: not root, the package is not installed"
fi

if [ "$failures" -ne 0 ]; then
  echo "check-package: $failures failed" >&2
  exit 1
fi
echo "check-package: $(basename "$deb") checked"
