"use strict";
// Images inside zips: the zip libraries, loaded when first needed, and each entry's bytes
// checked against the zip's own CRC-32.

// The zip libraries, each loaded the first time it is needed; as plain scripts, since a page
// opened from disk cannot load a module.
const libraries = new Map();
function library(file) {
  if (!libraries.has(file)) {
    libraries.set(file, new Promise((resolve, reject) => {
      const script = document.createElement("script");
      script.src = file;
      script.onload = resolve;
      script.onerror = reject;
      document.head.append(script);
    }));
  }
  return libraries.get(file);
}

// The zip's check of an entry's bytes, CRC-32 (the polynomial's reflected form, EDB88320 hex).
const crcTable = Uint32Array.from({ length: 256 }, (_, index) => {
  let value = index;
  for (let bit = 0; bit < 8; bit += 1) {
    value = value & 1 ? 0xedb88320 ^ (value >>> 1) : value >>> 1;
  }
  return value;
});
function crc32(crc, bytes) {
  let value = ~crc;
  for (let index = 0; index < bytes.length; index += 1) {
    value = crcTable[(value ^ bytes[index]) & 0xff] ^ (value >>> 8);
  }
  return ~value >>> 0;
}

// The CRC-32 the zip's central directory gives each entry, by name, in the entries' order: the
// stream reader checks none, and an entry's own header may leave it to after the data.
async function declaredChecks(file) {
  const tailStart = Math.max(0, file.size - 22 - 0xffff - 76);
  const tail = new DataView(await file.slice(tailStart).arrayBuffer());
  let end = tail.byteLength - 22;
  while (end >= 0 && tail.getUint32(end, true) !== 0x06054b50) {
    end -= 1;
  }
  if (end < 0) {
    throw new Error("no end of central directory");
  }
  // The directory ends where its end record, or the ZIP64 one before it, begins.
  let size = tail.getUint32(end + 12, true);
  let directoryEnd = end;
  const locator = end - 20;
  if (locator >= 0 && tail.getUint32(locator, true) === 0x07064b50) {
    if (locator < 56 || tail.getUint32(locator - 56, true) !== 0x06064b50) {
      throw new Error("no ZIP64 end of central directory");
    }
    directoryEnd = locator - 56;
    size = Number(tail.getBigUint64(directoryEnd + 40, true));
  }
  const start = tailStart + directoryEnd - size;
  if (start < 0) {
    throw new Error("central directory out of the file");
  }
  const directory = new DataView(await file.slice(start, tailStart + directoryEnd).arrayBuffer());
  const checks = new Map();
  for (let at = 0; at + 46 <= directory.byteLength && directory.getUint32(at, true) === 0x02014b50;) {
    const nameLength = directory.getUint16(at + 28, true);
    const utf8 = directory.getUint16(at + 8, true) & 0x800;
    const name = fflate.strFromU8(new Uint8Array(directory.buffer, at + 46, nameLength), !utf8);
    checks.set(name, [...(checks.get(name) ?? []), directory.getUint32(at + 16, true)]);
    at += 46 + nameLength + directory.getUint16(at + 30, true) + directory.getUint16(at + 32, true);
  }
  return checks;
}

// The files in a zip that may be images (96 hex at B2), each as an item of its own, the zip's
// folders kept; the other files in it are left out. Read as a stream, so a large zip is never
// held whole. An image whose bytes fail the zip's check is an item that could not be read.
// Whether it holds another zip is told too: that one is to be opened instead.
async function imagesInZip(item, file) {
  await library("fflate.js");
  const checks = await declaredChecks(file);
  const unzip = new fflate.Unzip();
  unzip.register(fflate.UnzipInflate);
  const found = [];
  let holdsZip = false;
  unzip.onfile = (entry) => {
    const path = entry.name.split(/[/\\]/);
    const name = path.pop();
    const declared = checks.get(entry.name)?.shift();
    if (!name || path.includes("__MACOSX")) {
      return;
    }
    const image = new Promise((resolve, reject) => {
      let parts = [];
      let held = 0;
      let blob = new Blob([]);
      let head = new Uint8Array(0);
      let crc = 0;
      entry.ondata = (error, chunk, final) => {
        if (error) {
          reject(error);
          return;
        }
        if (!parts) {
          return;  // not an image: the rest of it is let go
        }
        if (head.length <= 0xb2) {
          head = new Uint8Array([...head, ...chunk.subarray(0, 0xb3 - head.length)]);
        }
        if (head.length > 0xb2 ? head[0xb2] !== 0x96 : final) {
          holdsZip ||= isZip(name, head);
          parts = null;
          resolve(null);
          return;
        }
        crc = crc32(crc, chunk);
        parts.push(chunk);
        held += chunk.length;
        if (held >= zipChunkBytes || final) {
          blob = new Blob([blob, ...parts]);
          parts = [];
          held = 0;
        }
        if (final) {
          const folder = item.folder + safeFolder(path.join("/"));
          resolve(crc === declared ? { name, folder, file: blob } : { name, folder,
            damaged: `${name} is damaged in the zip: its bytes fail the zip's own check. Get the zip again.` });
        }
      };
      entry.start();
    });
    image.catch(() => {});  // settled with the others below
    found.push(image);
  };
  const reader = file.stream().getReader();
  for (;;) {
    const { done, value } = await reader.read();
    unzip.push(value ?? new Uint8Array(0), done);
    if (done) {
      break;
    }
  }
  return { images: (await Promise.all(found)).filter(Boolean), holdsZip };
}
