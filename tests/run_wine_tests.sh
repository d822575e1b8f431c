#!/usr/bin/env bash
# Checks the Windows builds and runs the end-to-end tests against them under Wine, in a
# private prefix. The PE32 build is run where this machine can run 32-bit code; the same
# sources built as PE32+ are run in any case.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
exe32="$top/build-win/Halvek.exe"
exe64="$top/build-win64/Halvek.exe"
# The version as the build took it from the project() line.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$top/build-win/CMakeCache.txt")
[ -n "$version" ]

# A console program that needs nothing beside it, carrying its version.
check_program() {
    file "$1" | grep -q 'PE32 executable (console) Intel 80386'
    [ "$(i686-w64-mingw32-objdump -p "$1" | sed -n 's/.*DLL Name: //p' | sort | tr '\n' ' ')" = "KERNEL32.dll msvcrt.dll " ]
    python3 -c 'import sys; data = open(sys.argv[1], "rb").read(); sys.exit(sys.argv[2].encode("utf-16-le") + b"\0" * 2 not in data[data.index("ProductVersion".encode("utf-16-le")):])' "$1" "$version"
    python3 -c 'import sys; sys.exit("LegalCopyright".encode("utf-16-le") not in open(sys.argv[1], "rb").read())' "$1"
    echo "$2: PE32 console program, imports KERNEL32.dll and msvcrt.dll only, version $version, copyright"
}
check_program "$exe32" build-win/Halvek.exe

# The zip holds that program, its README and its license, the texts with CR LF line ends.
zip="$top/build-win/Halvek-$version-win32.zip"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
python3 - "$zip" "$unpacked" "$top/scripts" <<'CHECK'
import sys, zipfile
sys.path.insert(0, sys.argv[3])
import texts
with zipfile.ZipFile(sys.argv[1]) as archive:
    names = sorted(archive.namelist())
    assert names == ["Halvek.exe", "LICENSE.txt", "README.txt"], names
    for text in ["LICENSE.txt", "README.txt"]:
        content = archive.read(text)
        assert content and b"\n" not in content.replace(b"\r\n", b""), f"{text} has a line end without CR"
    readme = archive.read("README.txt")
    for markdown in [b"## ", b"`", b"make ", b"Wine"]:
        assert markdown not in readme, f"README.txt holds {markdown!r}: Markdown or build internals"
    writing = texts.read()["writing_failed"].replace("{}", "<image>.bin").strip().encode()
    assert b"drop an image onto Halvek.exe" in readme and writing in readme, "README.txt lacks its use"
    archive.extract("Halvek.exe", sys.argv[2])
CHECK
check_program "$unpacked/Halvek.exe" "build-win/Halvek-$version-win32.zip: Halvek.exe"
echo "build-win/Halvek-$version-win32.zip: Halvek.exe, README.txt (plain text for Windows users) and LICENSE.txt, with CR LF"

export WINEPREFIX="$top/build-win64/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=C.UTF-8 LC_ALL=C.UTF-8
unset DISPLAY
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wineserver64 -p </dev/null >/dev/null 2>&1 || true  # one may be running already
trap 'rm -rf "$unpacked"; /usr/lib/wine/wineserver64 -k || true' EXIT
/usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1

# The tests' own Windows programs: one shows the console's output code page, in the console the
# program runs in; one holds files open and shows their attributes, as other programs do.
helper() {  # helper ARCHITECTURE NAME FOLDER
    "$1-w64-mingw32-g++-posix" -municode -static -o "$3/$2.exe" "$top/tests/$2.cpp"
    echo "$3/$2.exe"
}

# cli_test.py ends on its count of cases, and with 77 where some could not run here (no tmux):
# they show as skipped in that count.
run_cases() {  # run_cases ARCHITECTURE BUILD WINE PROGRAM
    CONSOLE_CODE_PAGE_PROGRAM=$(helper "$1" console_code_page "$top/$2") \
        WINDOWS_FILE_PROGRAM=$(helper "$1" windows_file "$top/$2") \
        python3 "$top/tests/cli_test.py" --windows "$3" "$4" || [ $? -eq 77 ]
}
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    run_cases i686 build-win /usr/lib/wine/wine "$exe32"
else
    echo "This machine cannot run 32-bit code: build-win/Halvek.exe was checked but not run."
fi
run_cases x86_64 build-win64 /usr/lib/wine/wine64 "$exe64"
