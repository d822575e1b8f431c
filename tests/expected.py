"""What the program must show and write, for the tests that run it."""
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "scripts"))
import texts  # noqa: E402 (found through the path above)

# The one place the version is set: the project() line, which the build takes it from.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "CMakeLists.txt")) as lists:
    VERSION = re.search(r"^project\(\w+ VERSION (\S+)", lists.read(), re.M).group(1)

# The texts as the program has them, each written once, in tool/texts.hpp.
TEXTS = texts.read()
PROMPT = TEXTS["prompt"]
USAGE = TEXTS["usage"] + "\n" + PROMPT
BLANK_SAVE = bytes(65536)


def filled(name, value):
    """The text of that name, with its value in place of "{}"."""
    return TEXTS[name].replace("{}", value, 1)


def error_opening(name):
    return filled("opening_failed", name)


def error_reading(name):
    return filled("reading_failed", name)


def error_writing(name):
    return filled("writing_failed", name)


def copying(comp="3a"):
    """What shows from the complement check to the end of the copy."""
    return filled("complement", comp) + TEXTS["copying"]


def banner(name):
    title = filled("title", VERSION)
    return (f"{title}\n{'-' * len(title)}\n" + filled("input_name", name) + filled("output_name", name + ".bin")
            + filled("save_name", name + ".sav"))


def success(name, comp="3a"):
    return banner(name) + copying(comp) + TEXTS["making_save"] + TEXTS["success"] + PROMPT


def failure(shown):
    return shown + "\n" + PROMPT


def patched(content, comp=0x3A):
    """The input as the patch must leave it, cut to the input's length."""
    area = bytes([0, 0, 0, 0x9C, 0x01, 0x10, 0]) + content[0xBC:0xBD] + bytes([comp, 0, 0])
    out = bytearray(content)
    out[0xB5:0xC0] = area[:max(0, len(content) - 0xB5)]
    return bytes(out)
