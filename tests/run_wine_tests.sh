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
    [ "$(i686-w64-mingw32-objdump -p "$1" | sed -n 's/.*DLL Name: //p' | sort | tr '\n' ' ')" = "ADVAPI32.dll KERNEL32.dll msvcrt.dll " ]
    python3 -c 'import sys; data = open(sys.argv[1], "rb").read(); sys.exit(sys.argv[2].encode("utf-16-le") + b"\0" * 2 not in data[data.index("ProductVersion".encode("utf-16-le")):])' "$1" "$version"
    python3 -c 'import sys; sys.exit("LegalCopyright".encode("utf-16-le") not in open(sys.argv[1], "rb").read())' "$1"
    echo "$2: PE32 console program, imports KERNEL32.dll, msvcrt.dll and ADVAPI32.dll (access lists) only, version $version, copyright"
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
card= card_device=
cleanup() {
    /usr/lib/wine/wineserver64 -k 2>/dev/null || true  # it may hold files on the card
    if [ -n "$card" ]; then
        rm -f "$WINEPREFIX/dosdevices/f:"
        if mountpoint -q "$card/mount"; then
            umount "$card/mount" 2>/dev/null || fusermount3 -u "$card/mount" 2>/dev/null || umount -l "$card/mount"
        fi
        [ -z "$card_device" ] || losetup -d "$card_device"
        rm -rf "$card"
    fi
    rm -rf "$unpacked"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
/usr/lib/wine/wineserver64 -p </dev/null >/dev/null 2>&1 || true  # one may be running already
/usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1

# The tests' own Windows programs: one shows the console's output code page, in the console the
# program runs in; one holds files open and shows their attributes, as other programs do.
helper() {  # helper ARCHITECTURE NAME FOLDER
    "$1-w64-mingw32-g++-posix" -std=c++20 -municode -static -o "$3/$2.exe" "$top/tests/$2.cpp"
    echo "$3/$2.exe"
}

# cli_test.py ends on its count of cases, and with 77 where some could not run here (no tmux):
# they show as skipped in that count.
run_cases() {  # run_cases ARCHITECTURE BUILD WINE PROGRAM [CASE...]
    CONSOLE_CODE_PAGE_PROGRAM=$(helper "$1" console_code_page "$top/$2") \
        WINDOWS_FILE_PROGRAM=$(helper "$1" windows_file "$top/$2") \
        python3 "$top/tests/cli_test.py" --windows "$3" "$4" -- "${@:5}" || [ $? -eq 77 ]
}

# Most users' images sit on SD cards and USB sticks: exFAT or FAT32, with no second names for
# a file and no sparse files. A 64 MiB exFAT card, mounted through FUSE, is Wine's drive F:
# for the cases that fit on it. (FUSE's FAT32 cannot stand in: it refuses to set a mode, and
# every write under Wine fails.)
card_cases=(
    SuccessfulRuns.test_images_of_every_length
    SuccessfulRuns.test_existing_outputs_are_replaced_without_an_old_tail
    OpenFailures.test_inputs_that_cannot_be_opened
    OpenFailures.test_output_image_that_cannot_be_opened_is_named_before_the_banner
    OpenFailures.test_output_names_longer_than_the_file_system_takes_are_named_before_the_banner
    OpenFailures.test_save_that_cannot_be_opened_leaves_the_image_complete
    ReadWriteFailures.test_failed_writes_keep_the_earlier_outputs
    WindowsFilesInUse.test_output_held_open_is_named_before_anything_is_written_to_it
    WindowsFilesInUse.test_scanner_of_new_names_meets_no_second_name_and_nothing_is_left
    WindowsWholeOrAbsent
)
mount_card() {  # says why where it cannot; called as a condition, so every step is checked here
    if [ ! -c /dev/fuse ]; then
        echo "No exFAT card: this machine has no /dev/fuse."
        return 1
    fi
    if [ "$(id -u)" = 0 ]; then
        "$top/scripts/ensure-packages" card || {
            echo "No exFAT card: its packages could not be installed."
            return 1
        }
    elif ! command -v mkfs.exfat mount.exfat-fuse >/dev/null; then
        echo "No exFAT card: mkfs.exfat or mount.exfat-fuse is missing (packages exfatprogs, exfat-fuse)."
        return 1
    fi
    card=$(mktemp -d) && mkdir "$card/mount" && truncate -s 64M "$card/card.img" &&
        mkfs.exfat "$card/card.img" >/dev/null || return 1
    # As root, exfat-fuse mounts block devices only.
    if [ "$(id -u)" = 0 ]; then
        card_device=$(losetup -f --show "$card/card.img") || {
            echo "No exFAT card: no loop device for its image."
            return 1
        }
    fi
    if ! mount.exfat-fuse "${card_device:-$card/card.img}" "$card/mount" >/dev/null 2>&1; then
        echo "No exFAT card: this machine cannot mount it through FUSE."
        return 1
    fi
    ln -sfn "$card/mount" "$WINEPREFIX/dosdevices/f:"
    card_mounted=yes
}

card_mounted=
mount_card || true
failed=0
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "build-win/Halvek.exe, on a host folder:"
    run_cases i686 build-win /usr/lib/wine/wine "$exe32" || failed=1
else
    echo "This machine cannot run 32-bit code: build-win/Halvek.exe was checked but not run."
fi
echo "build-win64/Halvek.exe, on a host folder:"
run_cases x86_64 build-win64 /usr/lib/wine/wine64 "$exe64" || failed=1
if [ -n "$card_mounted" ]; then
    echo "build-win64/Halvek.exe, on an exFAT card (drive F:):"
    WINE_CARD="$card/mount" run_cases x86_64 build-win64 /usr/lib/wine/wine64 "$exe64" "${card_cases[@]}" || failed=1
fi
exit $failed
