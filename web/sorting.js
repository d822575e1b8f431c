"use strict";
// What a chosen file is: the header's fields, and why a file is set aside rather than run.

function headerText(header, begin, end) {
  const bytes = [...header.subarray(begin, end)];
  while (bytes.at(-1) === 0) {
    bytes.pop();
  }
  return bytes.map((byte) => (byte >= 0x20 && byte < 0x7f ? String.fromCharCode(byte) : "\ufffd")).join("");
}

const startsWith = (bytes, magic) => [...magic].every((character, index) => bytes[index] === character.charCodeAt(0));
const otherFormats = [
  ["\x89PNG", "a PNG picture"], ["GIF8", "a GIF picture"], ["\xff\xd8\xff", "a JPEG picture"],
  ["%PDF", "a PDF document"], ["7z\xbc\xaf\x27\x1c", "a 7z archive"], ["Rar!", "a RAR archive"],
  ["\x1f\x8b", "a gzip archive"], ["\0\0\0\x01Bud1", "a macOS folder's settings"],
  ["\0\x05\x16\x07", "macOS file details"],
];
const isZip = (name, head) => /\.zip$/i.test(name) || startsWith(head, "PK\x03\x04");

// Why a file is set aside rather than run, or nothing when it may be an image. chosen holds the
// folder and name of everything given at once, to tell an earlier output by its image.
function asideReason({ name, folder }, head, chosen) {
  const format = otherFormats.find(([magic]) => startsWith(head, magic));
  if (format) {
    return `${format[1]}, not a cartridge image`;
  }
  if (/\.sav$/i.test(name)) {
    return "an earlier save, not a cartridge image";
  }
  const stem = name.replace(/\.bin$/i, "");
  if (stem !== name && (chosen.has(folder + stem) || /\.(gba|agb|mb)$/i.test(stem))) {
    return `an earlier output, the patched copy of ${stem}`;
  }
  if (!head.length) {
    return "an empty file, not a cartridge image";
  }
  if (head.length <= 0xb2 || head[0xb2] !== 0x96) {
    return "not a cartridge image: its header lacks the fixed value 96 (hex) at B2";
  }
  return "";
}
