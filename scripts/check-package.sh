#!/usr/bin/env bash
# Checks a vesperbox Debian package without installing it: its control data
# and file list, then the package unpacked into a scratch directory: the
# program's --version and a one-second check of the simulated board, the
# virtual-board command, the desktop entry, the AppStream metainfo, the manual
# pages and the bash completion. lintian runs too when it is installed.
#
#   scripts/check-package.sh vesperbox_<version>_amd64.deb
set -euo pipefail
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
  echo "usage: $0 vesperbox_<version>_amd64.deb" >&2
  exit 2
fi
deb="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
failed=0
fail() {
  echo "check-package: FAIL: $*" >&2
  failed=1
}
pass() { echo "check-package: ok: $*"; }

# Control data.
control="$(dpkg-deb -f "$deb")"
grep -qx 'Package: vesperbox' <<<"$control" || fail "the package is not named vesperbox"
grep -qx 'Architecture: amd64' <<<"$control" || fail "the package is not for amd64"
version="$(dpkg-deb -f "$deb" Version)"
[ "$(basename "$deb")" = "vesperbox_${version}_amd64.deb" ] || fail "file name $(basename "$deb") for version $version"
depends="$(dpkg-deb -f "$deb" Depends)"
for lib in libftdi1-2 libqt6widgets6 libqt6network6 libusb-1.0-0; do
  grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib (shlibdeps): $depends"
done
control_files="$(dpkg-deb --ctrl-tarfile "$deb" | tar -t)"
grep -qx './postinst' <<<"$control_files" || fail "no postinst (udev reload)"
# With a postrm dpkg keeps a removed package listed until it is purged.
grep -qx './postrm' <<<"$control_files" && fail "a postrm: 'apt remove' would leave the package behind (state rc)"
pass "control: vesperbox $version, Depends: $depends"

# Files.
listing="$(dpkg-deb -c "$deb" | awk '{print $NF}')"
expected=(
  ./usr/bin/vesperbox
  ./usr/bin/vesperbox-virtual-board
  ./usr/libexec/vesperbox/libvesper_vusb.so
  ./usr/lib/udev/rules.d/60-vesperbox-ft2232h.rules
  ./usr/share/applications/org.vesperbox.Vesperbox.desktop
  ./usr/share/metainfo/org.vesperbox.Vesperbox.metainfo.xml
  ./usr/share/icons/hicolor/16x16/apps/vesperbox.png
  ./usr/share/icons/hicolor/32x32/apps/vesperbox.png
  ./usr/share/icons/hicolor/48x48/apps/vesperbox.png
  ./usr/share/icons/hicolor/scalable/apps/vesperbox.svg
  ./usr/share/man/man1/vesperbox.1.gz
  ./usr/share/man/man1/vesperbox-virtual-board.1.gz
  ./usr/share/bash-completion/completions/vesperbox
  ./usr/share/bash-completion/completions/vesperbox-virtual-board
  ./usr/share/doc/vesperbox/copyright
  ./usr/share/doc/vesperbox/changelog.gz
)
for f in "${expected[@]}"; do
  grep -qx -- "$f" <<<"$listing" || fail "the package lacks $f"
done
pass "files: ${#expected[@]} expected files listed by dpkg-deb -c"

# The package unpacked: the program and the launcher run from where they lie.
root="$scratch/root"
dpkg-deb -x "$deb" "$root"
bin="$root/usr/bin"
work="$scratch/work"
mkdir "$work"
if ! version_text="$(cd "$work" && "$bin/vesperbox" --version)"; then
  fail "vesperbox --version failed"
elif ! grep -q "^vesperbox $version" <<<"$version_text" || ! grep -q '^Qt ' <<<"$version_text" ||
  ! grep -q '^libftdi1 ' <<<"$version_text"; then
  fail "vesperbox --version says: $version_text"
else
  pass "vesperbox --version: $(tr '\n' ';' <<<"$version_text")"
fi
if ! out="$(cd "$work" && "$bin/vesperbox" check --simulate --seconds=1 2>&1)"; then
  fail "vesperbox check --simulate --seconds=1 failed: $out"
elif [ -n "$(ls -A "$work")" ]; then
  fail "vesperbox check wrote files: $(ls -A "$work")"
else
  pass "vesperbox check --simulate --seconds=1: $(tail -1 <<<"$out")"
fi
# The launcher finds the library relative to itself (no LD_LIBRARY_PATH):
# the log names the virtual board's channels only when it was loaded.
if ! out="$(cd "$work" && QT_QPA_PLATFORM=offscreen "$bin/vesperbox-virtual-board" \
  --do "TestI2CBtn,TestEardaBtn,Exit1" 2>&1)"; then
  fail "vesperbox-virtual-board failed: $(tail -5 <<<"$out")"
elif ! grep -q 'VB2232H1A' <<<"$out"; then
  fail "vesperbox-virtual-board did not reach the virtual board: $(tail -5 <<<"$out")"
else
  pass "vesperbox-virtual-board --do TestI2CBtn,TestEardaBtn,Exit1"
fi

# Desktop entry and AppStream metainfo.
share="$root/usr/share"
if out="$(desktop-file-validate "$share/applications/org.vesperbox.Vesperbox.desktop" 2>&1)" && [ -z "$out" ]; then
  pass "desktop-file-validate"
else
  fail "desktop-file-validate: $out"
fi
if out="$(appstreamcli validate --no-net "$share/metainfo/org.vesperbox.Vesperbox.metainfo.xml" 2>&1)"; then
  pass "appstreamcli validate"
else
  fail "appstreamcli validate: $out"
fi

# Manual pages: rendered without a warning, with the sections a reader looks for.
for page in vesperbox vesperbox-virtual-board; do
  file="$share/man/man1/$page.1.gz"
  if ! text="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>"$scratch/man.err")"; then
    fail "man -l $page.1.gz failed: $(cat "$scratch/man.err")"
  elif [ -s "$scratch/man.err" ]; then
    fail "man -l $page.1.gz warns: $(cat "$scratch/man.err")"
  else
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES; do
      grep -q "^$section" <<<"$text" || fail "$page(1) has no $section section"
    done
    pass "man -l $page.1.gz ($(wc -l <<<"$text") lines)"
  fi
done

# bash completion: loaded as bash-completion loads it, asked as bash asks.
completion="$share/bash-completion/completions/vesperbox"
if [ -f /usr/share/bash-completion/bash_completion ]; then
  # Prints the completions of a command line whose last word is completed.
  cat >"$scratch/complete.bash" <<'EOF'
source /usr/share/bash-completion/bash_completion
source "$1"
shift
compopt() { :; }  # only bash's own completion may call the builtin
COMP_LINE="$*"
COMP_POINT=${#COMP_LINE}
# bash breaks words at = and : too (COMP_WORDBREAKS); bash-completion joins
# them again where the function asks it to.
read -r -a COMP_WORDS <<<"$(sed -E 's/([=:]+)/ \1 /g' <<<"$COMP_LINE")"
[[ $COMP_LINE == *" " ]] && COMP_WORDS+=("")
COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
_vesperbox
printf '%s\n' "${COMPREPLY[@]}"
EOF
  complete_words() { bash "$scratch/complete.bash" "$completion" "$@" | tr '\n' ' '; }
  check_completion() {
    local want="$1"
    shift
    local got
    got="$(complete_words "$@")"
    [[ " $got " == *" $want "* ]] || fail "completing '$*' gives '$got', not $want"
  }
  check_completion check vesperbox ""
  check_completion --seconds= vesperbox check --sec
  check_completion --do vesperbox --d
  check_completion TestI2CBtn,TestEardaBtn vesperbox --do TestI2CBtn,TestE
  check_completion sharp vesperbox --simulate --nim=sh
  check_completion ts-stop-after= vesperbox --simulate --fault=ts-st
  check_completion --unplug-after-ms= vesperbox-virtual-board --unplug-after-m
  check_completion --read= vesperbox-virtual-board --next-board regs --re
  [ "$failed" -eq 0 ] && pass "bash completion"
else
  echo "check-package: bash-completion is not installed; completion not tried" >&2
fi

# lintian when it is there (it is not among the build's packages: a large
# install for one look); errors fail.
if command -v lintian >/dev/null; then
  if out="$(lintian --fail-on error "$deb" 2>&1)"; then
    out="$(grep -v '^running with root privileges' <<<"$out" || true)"
    pass "lintian${out:+: $(tr '\n' ';' <<<"$out")}"
  else
    fail "lintian: $out"
  fi
fi

if [ "$failed" -ne 0 ]; then
  echo "check-package: $(basename "$deb") FAILED" >&2
  exit 1
fi
echo "check-package: $(basename "$deb") passed"
