#!/usr/bin/env bash
# Builds the release packages and tries them as a user would: lists them, runs
# the program unpacked from the .deb and the one from the Windows zip (under
# Wine) on a folder, reads the version resource, and lints the manual page.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
work=$(mktemp -d /tmp/tvtidy-packages-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "[FAIL] packages: $*"; exit 1; }
ok() { echo "[ OK ] packages: $*"; }

version=$(sed -n 's/^project(tvtidy VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
for preset in native windows; do
  cmake --build --preset "$preset" --target package >"$work/$preset.log" 2>&1 ||
    { cat "$work/$preset.log"; fail "cmake --build --preset $preset --target package"; }
done
deb=build/native/packages/tvtidy_${version}_amd64.deb
tgz=build/native/packages/tvtidy-${version}-Linux.tar.gz
zip=build/windows/packages/tvtidy-${version}-win64.zip
for f in "$deb" "$tgz" "$zip"; do [ -f "$f" ] || fail "missing $f"; done

# What each holds.
dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | sort >"$work/deb.txt"
printf '%s\n' ./usr/bin/tvtidy ./usr/bin/tvtidy-link ./usr/bin/tvtidy-preview ./usr/bin/tvtidy-undo ./usr/share/doc/tvtidy/README.md \
  ./usr/share/doc/tvtidy/changelog.gz ./usr/share/doc/tvtidy/copyright ./usr/share/doc/tvtidy/doc/development.md \
  ./usr/share/doc/tvtidy/doc/file-systems.md ./usr/share/man/man1/tvtidy-link.1.gz \
  ./usr/share/man/man1/tvtidy-preview.1.gz ./usr/share/man/man1/tvtidy-undo.1.gz ./usr/share/man/man1/tvtidy.1.gz |
  diff - "$work/deb.txt" || fail "the .deb's files"
dpkg-deb -f "$deb" Section | grep -qx utils || fail "the .deb's section"
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "the .deb's dependencies"
tar -tzf "$tgz" >"$work/tgz.txt" && grep -q "/bin/tvtidy$" "$work/tgz.txt" || fail "the tarball holds no bin/tvtidy"
unzip -Z1 "$zip" | sort >"$work/zip.txt"
printf '%s\n' "tvtidy-${version}-win64/README.txt" "tvtidy-${version}-win64/tvtidy-link.exe" \
  "tvtidy-${version}-win64/tvtidy-preview.exe" "tvtidy-${version}-win64/tvtidy-undo.exe" "tvtidy-${version}-win64/tvtidy.exe" |
  diff - "$work/zip.txt" || fail "the zip's files"
ok "contents of the .deb, the tarball and the zip"
# Debian's own checks: nothing above a note (root runs it as a build would).
lintian --allow-root --tag-display-limit 0 "$deb" >"$work/lintian.txt" 2>&1
grep -E '^[EW]: ' "$work/lintian.txt" && fail "lintian flags the .deb"
ok "lintian finds nothing above a note in the .deb"

# A folder as a user has it, tidied by each installed program.
# tidy EOL FOLDER DIR [RUNNER]: the preview from DIR, tvtidy-link, tvtidy and
# tvtidy-undo, on a fresh folder named FOLDER by the programs (a folder tv,
# beside the log out.txt), whose lines end in EOL.
tidy() {
  local eol=$1 folder=$2 dir=$3 suffix=""
  shift 3
  [ $# -gt 0 ] && suffix=.exe
  rm -rf "$work/tv" && mkdir -p "$work/tv"
  : >"$work/tv/Show.Name.S01E01.mkv" && : >"$work/tv/notes.txt"
  "$@" "$dir/tvtidy-preview$suffix" "$folder" >"$work/out.txt" 2>"$work/err.txt" || return 1
  [ "$(tail -n 1 "$work/out.txt")" = "Would move 1 files$eol" ] && [ -f "$work/tv/Show.Name.S01E01.mkv" ] ||
    return 1
  "$@" "$dir/tvtidy-link$suffix" "$folder" >"$work/out.txt" 2>"$work/err.txt" || return 1
  [ "$(tail -n 1 "$work/out.txt")" = "Linked 1 files$eol" ] && [ -f "$work/tv/Show Name/Show.Name.S01E01.mkv" ] ||
    return 1
  rm -r "$work/tv/Show Name"
  "$@" "$dir/tvtidy$suffix" "$folder" >"$work/out.txt" 2>"$work/err.txt"
  [ $? -eq 1 ] || { cat "$work/err.txt"; return 1; }
  [ -f "$work/tv/Show Name/Show.Name.S01E01.mkv" ] && [ "$(tail -n 1 "$work/out.txt")" = "Moved 1 files$eol" ] ||
    return 1
  # And taken back from its lines, named as the programs name the folder.
  "$@" "$dir/tvtidy-undo$suffix" "${folder%tv}out.txt" >"$work/undo.txt" 2>"$work/err.txt" || return 1
  [ -f "$work/tv/Show.Name.S01E01.mkv" ] && [ ! -e "$work/tv/Show Name" ]
}
dpkg -x "$deb" "$work/root" || fail "dpkg -x"
tidy "" "$work/tv" "$work/root/usr/bin" || fail "the installed programs do not preview and tidy a folder"
ok "the programs unpacked from the .deb preview, link, tidy and undo on a folder"

unzip -q "$zip" -d "$work/zip" || fail "unzip"
readme="$work/zip/tvtidy-${version}-win64/README.txt"
[ "$(grep -c $'\r$' "$readme")" -eq "$(wc -l <"$readme")" ] || fail "README.txt has lines without CR LF"
# Plain text for Windows users: their programs, no Markdown, no Linux set-up.
grep -q 'tvtidy-preview.exe D:' "$readme" && ! grep -qE '^\|---|```|apt-get|sudo' "$readme" ||
  fail "README.txt is not the Windows users' plain text"
exe="$work/zip/tvtidy-${version}-win64/tvtidy.exe"
tidy $'\r' "Z:${work//\//\\}\\tv" "$work/zip/tvtidy-${version}-win64" tests/wine-run || fail "the zipped programs do not preview and tidy a folder"
# The version resource, as the file's properties show it (UTF-16 strings).
strings -e l "$exe" >"$work/strings.txt"
for text in ProductName tvtidy FileVersion "$version" FileDescription; do
  grep -qx -- "$text" "$work/strings.txt" || fail "no '$text' in the version resource"
done
grep -qi 'longPathAware' "$exe" && fail "a manifest that changes the path rules"
ok "the zipped programs preview, link, tidy and undo on a folder under Wine; tvtidy.exe tells its version"

if command -v mandoc >/dev/null; then
  mandoc -T lint -W warning doc/*.1 || fail "mandoc -T lint doc/*.1"
else
  warnings=$(for page in doc/*.1; do man --warnings -l "$page" 2>&1 >/dev/null; done)
  [ -z "$warnings" ] || { echo "$warnings"; fail "man --warnings doc/*.1"; }
fi
ok "the manual pages are clean"

# Every kind of line each program prints is listed in its manual page; and
# every line kind the sources write is in this table, so none is left out.
declare -A kinds=(
  [tvtidy]="Skipped File:|Created Folder:|Create Folder FAILED:|Moved File:|Move File FAILED:|Moved|Path not specified|Path not found:|Old file put back:|Old file kept as:|Copy kept as:|File put back:|Finished replace:|Waiting for another run|Hint:|Exception"
  [tvtidy-preview]="Skipped File:|Would Create Folder:|Create Folder FAILED:|Would Move File:|Would Replace File:|Move File FAILED:|Would move|Warning:|Would put back old file:|Would put back file:|Would finish replace:|Old file kept as:|Path not specified|Path not found:|Not a folder:|Unknown option:|Unexpected argument:|Usage:"
  [tvtidy-link]="Skipped File:|Skipped Folder:|Created Folder:|Would Create Folder:|Create Folder FAILED:|Linked File:|Would Link File:|Already Linked:|Copied File:|Would Copy File:|Already Copied:|Maybe Linked:|List Folder FAILED:|Link File FAILED:|Removed Folder:|Would Remove Folder:|Linked|Would link|The library was made:|The library would be made:|Warning:|Path not specified|Path not found:|Not a folder:|Unknown option:|Unexpected argument:|Usage:"
  [tvtidy-undo]="Restored File:|Would Restore File:|Restore File FAILED:|Already Restored:|Removed Link:|Would Remove Link:|Remove Link FAILED:|Removed Copy:|Would Remove Copy:|Remove Copy FAILED:|Removed Folder:|Would Remove Folder:|Remove Folder FAILED:|Kept Folder:|Already Removed:|Copy kept as:|Old file put back:|Old file kept as:|File put back:|Finished replace:|Restored|Would restore|Not a log of tvtidy or tvtidy-link|No line of tvtidy or tvtidy-link|No run of tvtidy or tvtidy-link is recorded|Path not specified|Path not found:|Unknown option:|Unexpected argument:|Usage:"
)
for program in "${!kinds[@]}"; do
  page=$(mandoc -T utf8 "doc/$program.1" | col -bx | tr -s ' \n' '  ')
  IFS='|' read -ra listed <<<"${kinds[$program]}"
  for kind in "${listed[@]}"; do
    grep -qF -- "$kind" <<<"$page" || fail "man $program does not list the line '$kind'"
  done
done
table="|"
for program in "${!kinds[@]}"; do table+="${kinds[$program]}|"; done
while read -r kind; do
  [[ "$table" == *"|$kind|"* ]] || fail "no manual page is asked for '$kind', a line the sources write"
done < <(grep -rhoE 'NATIVE\("[A-Z][A-Za-z ]+:( |")' src --include=*.cpp --exclude=*_test.cpp |
         sed -E 's/NATIVE\("//; s/[ "]$//' | grep -vx 'Exit status:' | sort -u)  # that one is --help's
ok "every line kind each program prints is in its manual page"
# ./run on a machine without the build tools, as an ordinary user: the one
# command that installs them, status 2, and nothing of CMake's.
mkdir -p "$work/bin" "$work/clone/cmake"
for tool in /usr/bin/*; do [ "${tool##*/}" = cmake ] || ln -s "$tool" "$work/bin/"; done
cp run "$work/clone/" && cp cmake/build-and-run "$work/clone/cmake/"
chmod -R a+rX "$work"
setpriv --reuid=65533 --regid=65533 --clear-groups env PATH="$work/bin" "$work/clone/run" "$work/tv" \
  >"$work/out.txt" 2>"$work/err.txt"
status=$?
{ [ $status -eq 2 ] && [ ! -s "$work/out.txt" ] && grep -qx '  sudo apt-get install cmake' "$work/err.txt" &&
  ! grep -qi 'cmake error\|CMakeLists' "$work/err.txt" && [ ! -e "$work/clone/build" ]; } ||
  { cat "$work/err.txt"; fail "./run without cmake as an ordinary user (status $status)"; }
# As root it installs them with apt-get, saying so (an apt-get that only
# records what it is asked, so nothing is installed here).
rm -f "$work/bin/apt-get"  # a link to the real one: never written through
printf '#!/bin/sh\necho "$*" >>"%s"\n' "$work/apt.txt" >"$work/bin/apt-get" && chmod +x "$work/bin/apt-get"
env PATH="$work/bin" "$work/clone/run" "$work/tv" >"$work/out.txt" 2>"$work/err.txt"
status=$?
[ "$(id -u)" -ne 0 ] || { [ $status -eq 2 ] && grep -qx 'Installing what the build needs with apt-get: cmake' "$work/err.txt" &&
  grep -q 'install -y -qq cmake' "$work/apt.txt" && grep -qx 'Still not found after apt-get: cmake' "$work/err.txt"; } ||
  { cat "$work/err.txt"; fail "./run without cmake as root (status $status)"; }
ok "./run without the build tools names the command that installs them, or installs them as root"
# A clone of root's, run by an ordinary user with the tools there: one line
# that says where the build cannot go, status 2, nothing of CMake's.
setpriv --reuid=65533 --regid=65533 --clear-groups "$work/clone/run" "$work/tv" >"$work/out.txt" 2>"$work/err.txt"
status=$?
[ "$(id -u)" -ne 0 ] || { [ $status -eq 2 ] && [ "$(wc -l <"$work/err.txt")" -eq 1 ] &&
  grep -q 'which this user cannot write: use a clone of your own' "$work/err.txt"; } ||
  { cat "$work/err.txt"; fail "./run in a clone of root's as an ordinary user (status $status)"; }
ok "./run in a clone this user cannot write says so in one line"
echo "packages: 8 passed, 0 failed"
