#!/usr/bin/env bash
# The Debian packages, checked by Debian's own tools: package_test.sh SOURCE WORK STEP
#
#   build     configure a release tree with Debian's build flags, build it, cpack -G DEB
#   contents  dpkg-deb: every file of the install layout, in the right package; Depends right
#   lintian   no error and no warning but the known ones
#   desktop   desktop-file-validate on the installed entry; its icon in every hicolor size
#   unit      systemd-analyze verify on the installed unit (skipped without the tool)
#   man       man --warnings on every installed page; every option of a program's --help is in
#             its page
#   install   dpkg --root on a scratch root: maintainer scripts, the service's user and folder,
#             the default settings; the installed daemon relays on the installed example
#             configuration as that user; reinstall, remove and purge keep or remove the
#             configuration as they should
#
# The steps after build need the packages; they, and build, run only when BKL_PACKAGE_TESTS is
# set (exit 77, skipped, otherwise). install needs root.
set -euo pipefail

source="$1"
work="$2"
step="$3"
mkdir -p "$work"
# shellcheck source=tests/packaging/package_lib.sh
. "$source/tests/packaging/package_lib.sh"
# shellcheck source=tests/packaging/package_install.sh
. "$source/tests/packaging/package_install.sh"

step_build() {
  [ -n "${BKL_PACKAGE_TESTS:-}" ] || skip "set BKL_PACKAGE_TESTS=1 to build and check the packages"
  rm -f "$work/built"
  local started=$SECONDS
  # Debian's hardening flags, as a package build sets them (CMake takes no CPPFLAGS of its own).
  # The compiler takes __DATE__ and __TIME__ (the start-up line, the about box) from
  # SOURCE_DATE_EPOCH, the time of the last commit, so they stay reproducible without -Wdate-time.
  eval "$(cd "$source" && DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
  CPPFLAGS=${CPPFLAGS//-Wdate-time/}
  export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
  SOURCE_DATE_EPOCH=$(git -C "$source" log -1 --format=%ct 2>/dev/null || date +%s)
  export SOURCE_DATE_EPOCH
  cmake -S "$source" -B "$pkgbuild" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBKL_TESTS=OFF \
    >"$work/configure.log" || fail "configure failed: $work/configure.log"
  cmake --build "$pkgbuild" -j"$(nproc)" >"$work/build.log" 2>&1 ||
    fail "build failed: $(tail -20 "$work/build.log")"
  rm -rf "$debs"
  cpack --config "$pkgbuild/CPackConfig.cmake" -B "$debs" >"$work/cpack.log" 2>&1 ||
    fail "cpack failed: $(tail -20 "$work/cpack.log")"
  server_deb >/dev/null && desktop_deb >/dev/null || fail "cpack made no packages"
  touch "$work/built"
  echo "built $(basename "$(server_deb)") and $(basename "$(desktop_deb)") in $((SECONDS - started)) s"
}

# The files of a package (paths only, without the leading ".").
package_files() { dpkg-deb --contents "$1" | awk '{ print substr($6, 2) }' | grep -v '/$'; }

step_contents() {
  need_packages
  local server desktop f sizes=(16 22 24 32 48 64 128 256)
  server=$(package_files "$(server_deb)")
  desktop=$(package_files "$(desktop_deb)")
  for f in /usr/sbin/brisklaned /usr/bin/brisklane-reg /usr/bin/brisklane-perf \
    /usr/lib/systemd/system/brisklaned.service /usr/share/brisklane/examples/example.reg \
    /usr/share/man/man8/brisklaned.8.gz /usr/share/man/man1/brisklane-reg.1.gz \
    /usr/share/man/man1/brisklane-perf.1.gz /usr/share/doc/brisklane-server/copyright \
    /usr/share/doc/brisklane-server/changelog.Debian.gz; do
    grep -qxF "$f" <<<"$server" || fail "brisklane-server lacks $f"
  done
  for f in /usr/bin/brisklane /usr/share/applications/brisklane.desktop \
    /usr/share/man/man1/brisklane.1.gz /usr/share/doc/brisklane/help/index.html \
    /usr/share/doc/brisklane/help/style.css /usr/share/doc/brisklane/help/images/logo.png \
    /usr/share/icons/hicolor/scalable/apps/brisklane.svg /usr/share/doc/brisklane/copyright; do
    grep -qxF "$f" <<<"$desktop" || fail "brisklane lacks $f"
  done
  for f in "${sizes[@]}"; do
    grep -qxF "/usr/share/icons/hicolor/${f}x$f/apps/brisklane.png" <<<"$desktop" ||
      fail "brisklane lacks the ${f}x$f icon"
  done
  # Every image the help page shows is in the package.
  for f in $(grep -o 'src="images/[^"]*"' "$source/docs/help/index.html" | cut -d'"' -f2 | sort -u); do
    grep -qxF "/usr/share/doc/brisklane/help/$f" <<<"$desktop" || fail "brisklane lacks help/$f"
  done
  # Nothing of the desktop program in the server package, and nothing under /etc in either: the
  # machine store is the programs' own file, made by the maintainer script, never shipped.
  ! grep -q 'brisklane.desktop\|/usr/bin/brisklane$\|/help/' <<<"$server" ||
    fail "brisklane-server holds desktop files"
  ! grep -q '^/etc/' <<<"$server$desktop" || fail "a package ships files under /etc"
  for f in "$(server_deb)" "$(desktop_deb)"; do
    ! dpkg-deb --ctrl-tarfile "$f" | tar -t | grep -q conffiles || fail "$f has conffiles"
  done
  local depends
  depends=$(dpkg-deb -f "$(server_deb)" Depends)
  ! grep -qi 'qt' <<<"$depends" || fail "brisklane-server depends on Qt: $depends"
  grep -q 'libssl3' <<<"$depends" || fail "brisklane-server's Depends lack libssl3: $depends"
  depends=$(dpkg-deb -f "$(desktop_deb)" Depends)
  grep -qF "brisklane-server (= $(dpkg-deb -f "$(server_deb)" Version))" <<<"$depends" ||
    fail "brisklane does not depend on this brisklane-server: $depends"
  grep -q 'libqt6widgets6' <<<"$depends" || fail "brisklane's Depends lack Qt: $depends"
  echo "contents: the layout is complete; Depends: $depends"
}

step_lintian() {
  need_packages
  command -v lintian >/dev/null || fail "lintian is not installed (scripts/install-deps)"
  # initial-upload-closes-no-bugs: these packages are not uploaded to Debian, so no ITP bug.
  local out rc=0
  out=$(lintian --display-info --fail-on error,warning \
    --suppress-tags initial-upload-closes-no-bugs "$(server_deb)" "$(desktop_deb)" 2>&1) || rc=$?
  grep -v 'running with root privileges' <<<"$out" || true
  [ "$rc" -eq 0 ] || fail "lintian reports errors or warnings"
  echo "lintian: no errors, no warnings"
}

extract() {
  rm -rf "$work/extract"
  mkdir -p "$work/extract"
  dpkg-deb -x "$(server_deb)" "$work/extract"
  dpkg-deb -x "$(desktop_deb)" "$work/extract"
}

step_desktop() {
  need_packages
  extract
  local entry="$work/extract/usr/share/applications/brisklane.desktop" out icon
  out=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate: $out"
  [ -z "$out" ] || fail "desktop-file-validate: $out"
  icon=$(sed -n 's/^Icon=//p' "$entry")
  [ -f "$work/extract/usr/share/icons/hicolor/48x48/apps/$icon.png" ] || fail "no icon $icon"
  [ -x "$work/extract/usr/bin/$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")" ] ||
    fail "Exec= names no installed program"
  echo "desktop: the entry is valid, its icon and program are installed"
}

step_unit() {
  need_packages
  command -v systemd-analyze >/dev/null || skip "systemd-analyze is not installed"
  # A root with the installed files, the targets the unit needs and the command of its reload.
  local v="$work/verify-root" out
  rm -rf "$v"
  mkdir -p "$v/bin"
  dpkg-deb -x "$(server_deb)" "$v"
  cp -a /usr/lib/systemd/system/*.target "$v/usr/lib/systemd/system/"
  cp /bin/kill "$v/bin/kill"
  out=$(MANPATH="$v/usr/share/man" systemd-analyze verify --root="$v" \
    /usr/lib/systemd/system/brisklaned.service 2>&1) || fail "systemd-analyze verify: $out"
  [ -z "$out" ] || fail "systemd-analyze verify: $out"
  local unit="$v/usr/lib/systemd/system/brisklaned.service"
  grep -qx 'User=brisklane' "$unit" || fail "the unit does not run as brisklane"
  grep -qx 'ExecStart=/usr/sbin/brisklaned localmachine' "$unit" || fail "ExecStart"
  # The sandbox as systemd rates it (0 is the tightest, 10 none; the threshold counts tenths): 2.2.
  out=$(systemd-analyze security --offline=true --root="$v" --threshold=30 \
    /usr/lib/systemd/system/brisklaned.service 2>&1) || fail "exposure above 3.0: $out"
  echo "unit: systemd-analyze verify passes; $(grep -o 'Overall exposure level.*' <<<"$out")"
}

# Every option and command word that a program's --help lists is in its manual page.
options_in_page() {
  local help="$1" page="$2" word
  for word in $(grep -oE '(^|[ [(|])(--?[a-z][a-z-]*|/[a-z]{1,2})\b' <<<"$help" | tr -d ' [(|' |
    sort -u) $(grep -oE '^  [a-z][a-z-]+' <<<"$help" | sort -u); do
    grep -qF -- "$word" <<<"$page" || fail "$word of the --help text is not in the page"
  done
}

step_man() {
  need_packages
  extract
  local page out
  for page in "$work"/extract/usr/share/man/man*/*.gz; do
    out=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$page" 2>&1 >/dev/null) ||
      fail "man failed on $page: $out"
    [ -z "$out" ] || fail "man --warnings on $(basename "$page"): $out"
  done
  local x="$work/extract" text
  for page in brisklaned:man8/brisklaned.8 brisklane-reg:man1/brisklane-reg.1 \
    brisklane-perf:man1/brisklane-perf.1; do
    text=$(MANWIDTH=200 LC_ALL=C.UTF-8 man --nh --nj -l "$x/usr/share/man/${page#*:}.gz" |
      sed 's/\xe2\x80\x90/-/g; s/\xe2\x88\x92/-/g')
    local program
    program=$(ls "$x"/usr/*bin/"${page%%:*}")
    options_in_page "$("$program" --help)" "$text"
  done
  echo "man: every page renders without a warning and names every option"
}

case "$step" in
  build | contents | lintian | desktop | unit | man | install) "step_$step" ;;
  *) fail "unknown step $step" ;;
esac
