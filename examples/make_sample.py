"""Makes examples/sample.gba: a small synthetic image for trying the tool, no real game.

Made-up title and codes, the logo area left zero, and a counting pattern as its body.
"""
import pathlib

SIZE = 8192

image = bytearray(SIZE)
image[0xA0:0xAC] = b"HALVEK DEMO\0"  # title
image[0xAC:0xB0] = b"ZHVK"           # game code
image[0xB0:0xB2] = b"00"             # maker code
image[0xB2] = 0x96                   # fixed value
image[0xBD] = (-(sum(image[0xA0:0xBD]) + 0x19)) & 0xFF
for offset in range(0x200, SIZE):
    image[offset] = offset * 7 & 0xFF

pathlib.Path(__file__).with_name("sample.gba").write_bytes(image)
