#!/usr/bin/env python3
"""The program's texts, read from tool/texts.hpp, where each is written once.

As a module: texts.read() gives {name: text}. As a program: prints them as one JSON object,
which `make web` builds into the page.
"""
import ast
import json
import os
import re

SOURCE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tool", "texts.hpp")
ENTRY = re.compile(r'inline constexpr std::string_view (\w+) =((?:\s*"(?:[^"\\\n]|\\.)*")+);')


def literal(text):
    """A C++ string literal's characters; only the escapes both languages read alike."""
    if re.search(r'\\[^nt"\\]', text):
        raise ValueError(f"{SOURCE}: an escape other than \\n, \\t, \\\" or \\\\ in {text}")
    return ast.literal_eval(text)


def read(source=SOURCE):
    with open(source) as file:
        code = "".join(line for line in file if not line.lstrip().startswith("//"))
    found = {match.group(1): "".join(literal(text) for text in re.findall(r'"(?:[^"\\]|\\.)*"', match.group(2)))
             for match in ENTRY.finditer(code)}
    # Any other form of entry would be a text the console has and these readers miss.
    declared = re.findall(r"\bconstexpr\b", code)
    if len(declared) != len(found):
        raise ValueError(f"{source}: {len(declared)} entries, {len(found)} of them in the form this reader takes")
    return found


if __name__ == "__main__":
    print(json.dumps(read(), indent=1, sort_keys=True))
