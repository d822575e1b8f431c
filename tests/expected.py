"""What the program must show and write, for the tests that run it."""
import os
import re

# The one place the version is set: the project() line, which the build takes it from.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "CMakeLists.txt")) as lists:
    VERSION = re.search(r"^project\(\w+ VERSION (\S+)", lists.read(), re.M).group(1)

PROMPT = "press <enter> to quit...\n"
USAGE = ("Halvek - Patches SRAM string to 64k\n"
         "-----------------------------------\n"
         "Invalid command line.\n"
         "Usage:\n\tHalvek.exe infile.nds\n"
         "Or use Windows drag and drop\n"
         "-----------------------------------\n"
         "\n" + PROMPT)
BLANK_SAVE = bytes(65536)


def banner(name):
    title = f"Halvek {VERSION}"
    return (f"{title}\n{'-' * len(title)}\ninput file : {name}\n"
            f"output file: {name}.bin\nsaver file : {name}.sav\n\n")


def success(name, comp="3a"):
    return (banner(name) + f"comp: {comp}\n\nCopying file...\n\n"
            "Making blank save file...\n\nFinished......Success!\n\n"
            "You will have to rename the .out and .sav to your preference\n"
            "and place them in the proper places\n\n" + PROMPT)


def failure(shown):
    return shown + "\n" + PROMPT


def patched(content, comp=0x3A):
    """The input as the patch must leave it, cut to the input's length."""
    area = bytes([0, 0, 0, 0x9C, 0x01, 0x10, 0]) + content[0xBC:0xBD] + bytes([comp, 0, 0])
    out = bytearray(content)
    out[0xB5:0xC0] = area[:max(0, len(content) - 0xB5)]
    return bytes(out)
