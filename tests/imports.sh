#!/usr/bin/env bash
# The Windows programs import nothing beyond their own calls
# (tests/windows-imports.txt) and what the compiler's runtime brings, as a
# minimal program with one exception, built with the same compiler and
# flags, shows it. A new system call, or a new part of the runtime pulled in
# by the code (a guarded static and its thread support, say), fails here.
set -e
cd "$(dirname "$0")/.."
imports() {
  x86_64-w64-mingw32-objdump -p "$1" |
    awk '/DLL Name:/ { dll = toupper($3) } NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ { print dll, $3 }' | sort -u
}
work=$(mktemp -d /tmp/tvtidy-imports-XXXXXX)
trap 'rm -rf "$work"' EXIT
printf '#include <stdexcept>\nint main(int argc, char**) {\n  try { if (argc > 9) throw std::runtime_error("x"); } catch (...) { return 2; }\n  return 0;\n}\n' >"$work/floor.cpp"
x86_64-w64-mingw32-g++-posix -O2 -static -static-libgcc -static-libstdc++ "$work/floor.cpp" -o "$work/floor.exe"
imports "$work/floor.exe" >"$work/allowed"
grep -v '^#' tests/windows-imports.txt >>"$work/allowed"
sort -u -o "$work/allowed" "$work/allowed"
status=0
for program in tvtidy tvtidy-preview tvtidy-link tvtidy-undo; do
  extra=$(imports "build/windows/$program.exe" | comm -23 - "$work/allowed")
  if [ -n "$extra" ]; then
    echo "$program.exe imports calls that are not on the list:" $extra >&2
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "imports: the four programs call only what is listed"
exit "$status"
