"use strict";
// Halvek in the browser. The header patch is the console program's own code, compiled to
// WebAssembly; only an image's first 512 bytes go through it. A patched image is the patched
// block followed by a slice of the chosen file, so the page never holds a second copy of an
// image, and nothing leaves the device. Each image is a run of its own, whose transcript is
// what the console shows for that image, but for the closing prompt. What is plainly not an
// image is set aside, not run, unless the user asks for it.

const version = "@VERSION@";
// The module's bytes, written in at build time: a page opened from disk cannot fetch a file.
const moduleBase64 = "@MODULE@";
// The console program's texts, from tool/texts.hpp, written in at build time as JSON in base64.
const texts = JSON.parse(atob("@TEXTS@"));
const headerBlockSize = 512;
const saveSize = 65536;
// File systems stop at 255 bytes a name, and the browser adds ".crdownload" while it writes.
const longestDownloadName = 240;
// A zip's image is gathered into a Blob this many bytes at a time, so the heap never holds much of it.
const zipChunkBytes = 8 << 20;

const message = document.getElementById("message");
const advice = document.getElementById("advice");
const imageInput = document.getElementById("image-input");
const folderInput = document.getElementById("folder-input");
const runList = document.getElementById("runs");
const setAside = document.getElementById("set-aside");
const setAsideList = document.getElementById("set-aside-list");
const saveAll = document.getElementById("save-all");
const saveToFolder = document.getElementById("save-to-folder");
const saveAsZip = document.getElementById("save-as-zip");
const runTemplate = document.getElementById("run");
const asideTemplate = document.getElementById("aside");

const patchModule = (async () => {
  const bytes = Uint8Array.from(atob(moduleBase64), (character) => character.charCodeAt(0));
  return (await WebAssembly.instantiate(bytes, {})).instance.exports;
})();
const noWebAssembly = "This browser cannot run WebAssembly here, so this page cannot patch an image. " +
    "Halvek's console program can.";
patchModule.catch(() => {
  message.textContent = noWebAssembly;
  imageInput.disabled = true;
  folderInput.disabled = true;
});

// The console's lines for a run on name, but its closing prompt: those of an image patched to
// the complement check given, or of one that could not be read when there is none.
function transcriptFor(name, complement) {
  if (complement === undefined) {
    return `${filled(texts.opening_failed, name)}\n`;
  }
  const title = filled(texts.title, version);
  return `${title}\n${"-".repeat(title.length)}\n` +
      filled(texts.input_name, name) + filled(texts.output_name, `${name}.bin`) + filled(texts.save_name, `${name}.sav`) +
      filled(texts.complement, complement.toString(16)) + texts.copying + texts.making_save + texts.success;
}

// A text with its one "{}" replaced by the value.
function filled(text, value) {
  return text.replace("{}", () => value);
}

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

// Every image's blank save is the same bytes, made for the first.
let blankSaveBlob;
const blankSave = () => (blankSaveBlob ??= new Blob([new Uint8Array(saveSize)]));
let runs = [];  // the runs shown: { name, folder, file, image, row, saved: { image, save } }
let offeredUrls = [];
let batches = 0;  // a newer choice or drop stops an older one's runs

function say(sentence) {
  message.textContent = sentence;
}

function utf8Length(text) {
  return new TextEncoder().encode(text).length;
}

// The longest beginning of text that takes at most room bytes.
function cut(text, room) {
  if (utf8Length(text) <= room) {
    return text;
  }
  let kept = "";
  for (const character of text) {
    if (utf8Length(kept + character) > room) {
      break;
    }
    kept += character;
  }
  return kept;
}

// Characters Windows refuses in a name; a saved file takes "_" for each.
const refused = /[<>:"|?*\x00-\x1f]/g;

// A relative folder as it may be written anywhere: split at either slash, with no empty, "." or
// ".." part and no drive before it, so that nothing lands outside the folder saved into, and
// no character a file system refuses. Ends in "/" unless empty.
function safeFolder(folder) {
  return folder.replace(/^[A-Za-z]:/, "").split(/[/\\]/).filter((part) => part && part !== "." && part !== "..")
    .map((part) => `${part.replace(refused, "_")}/`).join("");
}

// A name as it may be saved: a slash in it is part of the name, not a folder.
const safeName = (name) => name.replace(refused, "_").replace(/[/\\]/g, "_");

const naming = () => document.querySelector("input[name=naming]:checked").value;

// The names an image's two files take: the console's, or the image's own name beside a save of
// the same stem, as a flash cartridge looks for it; cut short where too long to save.
function fileNames(given, room = longestDownloadName) {
  const name = safeName(given);
  if (naming() === "console") {
    return [cut(name, room - 4) + ".bin", cut(name, room - 4) + ".sav"];
  }
  const dot = name.lastIndexOf(".");
  const [stem, extension] = dot > 0 ? [name.slice(0, dot), name.slice(dot)] : [name, ""];
  const kept = cut(stem, room - Math.max(utf8Length(extension), 4));
  return [kept + extension, kept + ".sav"];
}

const adviceFor = {
  console: "rom.gba.bin is the image to play, ready for a 64 KiB SRAM save, and rom.gba.sav its blank save. " +
      "A flash cartridge looks for the save under the image's own name: rename them rom.gba and rom.sav, " +
      "or choose the cartridge's names above.",
  cartridge: "rom.gba is the patched image to play and rom.sav its blank save, named as a flash cartridge " +
      "looks for it: copy both onto its card together.",
};
const saveFirst = " Save the files before you move or change the chosen images.";

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

function showState(run) {
  const { image, save } = run.saved;
  run.row.querySelector(".state").textContent = image && save ? "Saved" : image ? "Image saved"
    : save ? "Blank save saved" : "";
  const [imageName, saveName] = fileNames(run.name);
  for (const [link, fileName, saved, what] of [[".image-download", imageName, image, "Image"],
    [".save-download", saveName, save, "Save"]]) {
    const anchor = run.row.querySelector(link);
    anchor.download = fileName;
    anchor.textContent = what;
    anchor.classList.toggle("saved", saved);
    anchor.setAttribute("aria-label", `${what}${saved ? ", saved" : ""}: ${fileName}`);
  }
  const shortened = run.row.querySelector(".shortened");
  shortened.hidden = imageName === fileNames(run.name, Infinity)[0];
}

// A row for the item, under its folder's name: shown once for the rows that follow in the same
// folder, and read out with each row's name.
function newRow(item) {
  const row = runTemplate.content.firstElementChild.cloneNode(true);
  const folder = safeFolder(item.folder);
  row.querySelector(".folder").textContent = folder;
  row.querySelector(".name").textContent = item.name;
  const rows = runList.querySelectorAll(".run");
  if (folder && folder !== (rows.length ? rows[rows.length - 1].querySelector(".folder").textContent : "")) {
    const place = document.createElement("li");
    place.className = "place";
    place.setAttribute("aria-hidden", "true");
    place.textContent = folder;
    runList.append(place);
  }
  runList.append(row);
  return row;
}

function warn(row, warning) {
  row.querySelector(".warning").textContent = warning;
  row.querySelector(".warning").hidden = !warning;
}

function offer(link, blob) {
  const url = URL.createObjectURL(blob);
  offeredUrls.push(url);
  link.href = url;
}

// Patches the image whose first bytes are head, and shows the run.
function patchImage(patch, item, file, head, warning) {
  const row = newRow(item);
  // Zeros stand in past a short image's end, as they do in the console program.
  const block = new Uint8Array(patch.memory.buffer, patch.header_block(), headerBlockSize);
  block.fill(0);
  block.set(head);
  row.querySelector(".title").textContent = headerText(block, 0xa0, 0xac);
  row.querySelector(".game-code").textContent = headerText(block, 0xac, 0xb0);
  row.querySelector(".maker-code").textContent = headerText(block, 0xb0, 0xb2);
  row.querySelector(".version").textContent = String(block[0xbc]);
  const complement = patch.patch_block();
  row.querySelector(".transcript").textContent = transcriptFor(item.name, complement);
  warn(row, warning);
  const run = { ...item, file, row, image: new Blob([block.slice(0, head.length), file.slice(head.length)]),
                saved: { image: false, save: false } };
  runs.push(run);
  const imageLink = row.querySelector(".image-download");
  offer(imageLink, run.image);
  offer(row.querySelector(".save-download"), blankSave());
  row.querySelector(".files").hidden = false;
  // The image's download reads the chosen file again; when the file has since been moved or
  // changed, that download fails, and the run says why instead of standing as a success.
  imageLink.addEventListener("click", () => {
    readable(run).then((ok) => {
      if (ok) {
        markSaved(run, "image");
      }
    });
  });
  row.querySelector(".save-download").addEventListener("click", () => markSaved(run, "save"));
  showState(run);
  saveAll.hidden = false;
}

function markSaved(run, which) {
  run.saved[which] = true;
  showState(run);
}

// Whether the run's image can still be read; when not, the run says why and offers nothing.
async function readable(run) {
  if (run.file.size <= headerBlockSize) {
    return true;
  }
  try {
    await run.file.slice(headerBlockSize, headerBlockSize + 1).arrayBuffer();
    return true;
  } catch {
    run.row.querySelector(".files").hidden = true;
    warn(run.row, `${run.name} was moved or changed after it was chosen, so its image cannot be saved: choose it again.`);
    runs = runs.filter((other) => other !== run);
    if (run.row.isConnected) {
      say(`${run.name} was moved or changed, so its image cannot be saved.`);
    }
    return false;
  }
}

function putAside(patch, item, file, reason, batch) {
  const entry = asideTemplate.content.firstElementChild.cloneNode(true);
  entry.querySelector(".folder").textContent = safeFolder(item.folder);
  entry.querySelector(".name").textContent = item.name;
  entry.querySelector(".reason").textContent = reason;
  const button = entry.querySelector(".run-anyway");
  button.setAttribute("aria-label", `Patch anyway: ${safeFolder(item.folder)}${item.name}`);
  button.addEventListener("click", async () => {
    const head = new Uint8Array(await file.slice(0, headerBlockSize).arrayBuffer());
    if (batch !== batches) {
      return;
    }
    entry.remove();
    setAside.hidden = !setAsideList.children.length;
    patchImage(patch, item, file, head, `${item.name} is ${reason}. Its files are made all the same, as the ` +
        "console program would make them; use them only if you are sure.");
    say(`${item.name} is patched, with a warning; it is the last in the list.`);
  });
  setAsideList.append(entry);
  setAside.hidden = false;
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

// One file given: a run, a zip's runs, or set aside. Nothing is shown once a newer batch began.
async function consider(patch, item, chosen, batch) {
  let file;
  let head;
  try {
    if (item.damaged) {
      throw new Error(item.damaged);
    }
    file = await item.file;
    head = new Uint8Array(await file.slice(0, headerBlockSize).arrayBuffer());
  } catch {
    if (batch === batches) {
      const row = newRow(item);
      row.querySelector(".transcript").textContent = transcriptFor(item.name);
      row.querySelector(".header").hidden = true;
      row.querySelector(".state").textContent = "Could not be read";
      row.querySelector("details").open = true;
      warn(row, item.damaged ?? "");
    }
    return;
  }
  if (batch !== batches) {
    return;
  }
  if (isZip(item.name, head) && !item.inZip) {
    let images;
    let reason = "a zip that holds no cartridge image";
    try {
      let holdsZip;
      ({ images, holdsZip } = await imagesInZip(item, file));
      if (holdsZip) {
        reason = "a zip that holds another zip: open that one";
      }
    } catch {
      images = [];
      reason = "a zip this page cannot read (damaged, encrypted, or packed in a way it does not know)";
    }
    if (batch !== batches) {
      return;
    }
    if (!images.length) {
      putAside(patch, item, file, reason, batch);
    }
    for (const image of images) {
      await consider(patch, { ...image, inZip: true }, chosen, batch);
    }
    return;
  }
  const reason = asideReason(item, head, chosen);
  if (reason) {
    putAside(patch, item, file, reason, batch);
  } else {
    patchImage(patch, item, file, head, "");
  }
}

// Each file is considered in the order given. An item is a name, the folders it was found in,
// and its file or the promise of one: a dropped file is only had, or not, once it is asked for.
async function take(items, refused = "") {
  const batch = ++batches;
  offeredUrls.forEach((url) => URL.revokeObjectURL(url));
  offeredUrls = [];
  runs = [];
  runList.replaceChildren();
  setAsideList.replaceChildren();
  setAside.hidden = true;
  saveAll.hidden = true;
  say("");
  let patch;
  try {
    patch = await patchModule;
  } catch {
    say(noWebAssembly);
    return;
  }
  runList.setAttribute("aria-busy", "true");
  const chosen = new Set(items.map(({ folder, name }) => folder + name));
  for (const item of items) {
    if (batch !== batches) {
      return;
    }
    await consider(patch, item, chosen, batch);
  }
  if (batch !== batches) {
    return;  // the newer choice sums itself up
  }
  runList.setAttribute("aria-busy", "false");
  const patched = runs.length;
  const aside = setAsideList.children.length;
  const unread = runList.querySelectorAll(".run").length - patched;
  say(refused + (items.length ? [
    `${patched} ${patched === 1 ? "image" : "images"} patched${patched ? ", ready to save" : ""}.`,
    aside ? `${aside} set aside, below.` : "",
    unread ? `${unread} could not be read.` : "",
  ].filter(Boolean).join(" ") : refused ? "" :
    "Nothing to patch: this page takes cartridge images, zips of them, or a folder of them."));
}

// A dropped folder gives the files in it and in its folders, each folder's in name order.
async function fileEntries(entry, folder) {
  if (entry.isFile) {
    return [{ name: entry.name, folder, file: new Promise((resolve, reject) => entry.file(resolve, reject)) }];
  }
  const reader = entry.createReader();
  const children = [];
  for (;;) {
    const some = await new Promise((resolve, reject) => reader.readEntries(resolve, reject));
    if (!some.length) {
      break;
    }
    children.push(...some);
  }
  children.sort((a, b) => (a.name < b.name ? -1 : 1));
  const items = [];
  for (const child of children) {
    items.push(...await fileEntries(child, `${folder}${entry.name}/`));
  }
  return items;
}

async function takeDropped(transfer) {
  // What was dropped must be had now: the drop's items are gone once its handler returns. A
  // dropped file is taken as it is, and a folder the browser will not open is named, not lost.
  const dropped = [...transfer.items].filter((item) => item.kind === "file")
    .map((item) => ({ entry: item.webkitGetAsEntry(), file: item.getAsFile() }));
  const items = [];
  const refused = [];
  for (const { entry, file } of dropped) {
    if (entry?.isDirectory) {
      try {
        items.push(...await fileEntries(entry, ""));
      } catch {
        refused.push(entry.name);
      }
    } else if (file) {
      items.push({ name: file.name, folder: "", file });
    }
  }
  take(items, refused.length ? `This browser does not let a page opened from disk read a dropped folder ` +
      `(${refused.join(", ")}). Choose it with "Choose a folder" instead, or open the page from a web address. ` : "");
}

function chosenFiles(files) {
  return [...files].map((file) => ({ name: file.name, file,
                                     folder: file.webkitRelativePath.split("/").slice(0, -1).map((part) => `${part}/`).join("") }));
}

for (const input of [imageInput, folderInput]) {
  input.addEventListener("change", () => {
    take(chosenFiles(input.files));
    input.value = "";  // the same files again are a new run
  });
}

// Where each run's two files go when all are saved: its folders, with a numbered folder more
// for a run whose names another run already took, so that no file replaces another. Names that
// differ only in case are taken as one: they are one file on Windows and macOS.
function destinations() {
  const taken = new Set();
  return runs.map((run) => {
    const names = fileNames(run.name);
    const place = safeFolder(run.folder);
    const key = (folder, name) => (folder + name).toLowerCase();
    let folder = place;
    for (let number = 2; names.some((name) => taken.has(key(folder, name))); number += 1) {
      folder = `${place}${number}/`;
    }
    names.forEach((name) => taken.add(key(folder, name)));
    return { run, folder, names };
  });
}

async function readableDestinations() {
  const all = destinations();
  const ok = await Promise.all(all.map(({ run }) => readable(run)));
  return all.filter((_, index) => ok[index]);
}

// One save at a time: while one runs, its button and the other wait.
function oneAtATime(save) {
  return async () => {
    saveToFolder.disabled = saveAsZip.disabled = true;
    try {
      await save();
    } finally {
      saveToFolder.disabled = saveAsZip.disabled = false;
    }
  };
}

saveAsZip.addEventListener("click", oneAtATime(async () => {
  const batch = batches;
  const chosen = await readableDestinations();
  const files = chosen.flatMap(({ run, folder, names: [imageName, saveName] }) => [
    { name: folder + imageName, input: run.image }, { name: folder + saveName, input: blankSave() }]);
  if (batch !== batches) {
    return;
  }
  say("Making the ZIP…");
  try {
    await library("client-zip.js");
    // Stored, not compressed, and streamed from each image's own file into a Blob, which the
    // browser keeps out of the page's memory.
    const zip = await downloadZip(files).blob();
    if (batch !== batches) {
      return;
    }
    const link = document.createElement("a");
    link.href = URL.createObjectURL(zip);
    offeredUrls.push(link.href);
    link.download = "halvek.zip";
    link.click();
  } catch {
    if (batch === batches) {
      say("The ZIP could not be made: an image was moved or changed after it was chosen. Choose them again.");
    }
    return;
  }
  chosen.forEach(({ run }) => {
    markSaved(run, "image");
    markSaved(run, "save");
  });
  say(`halvek.zip holds the files of ${chosen.length} ${chosen.length === 1 ? "image" : "images"}.`);
}));

// Whether the folder has an entry of that name already, file or folder.
async function has(folder, name) {
  try {
    await folder.getFileHandle(name);
    return true;
  } catch (error) {
    return error.name !== "NotFoundError";
  }
}

saveToFolder.hidden = !window.showDirectoryPicker;
saveToFolder.addEventListener("click", oneAtATime(async () => {
  const batch = batches;
  let root;
  try {
    root = await window.showDirectoryPicker({ id: "halvek-saves", mode: "readwrite" });
  } catch {
    return;  // no folder was picked
  }
  if (batch !== batches) {
    return;  // chosen anew while the folder was being picked: those runs are gone
  }
  const kept = [];
  let written = 0;
  for (const { run, folder, names } of await readableDestinations()) {
    try {
      let into = root;
      for (const part of folder.split("/").filter(Boolean)) {
        into = await into.getDirectoryHandle(part, { create: true });
      }
      for (const [name, blob, which] of [[names[0], run.image, "image"], [names[1], blankSave(), "save"]]) {
        // Never over a file already there: the user's own image may be in the folder picked.
        if (await has(into, name)) {
          kept.push(folder + name);
          continue;
        }
        const writable = await (await into.getFileHandle(name, { create: true })).createWritable();
        await blob.stream().pipeTo(writable);  // whole or not at all: the browser writes beside it
        markSaved(run, which);
        written += 1;
      }
    } catch {
      warn(run.row, `${run.name}'s files could not be written into the folder.`);
    }
  }
  if (batch !== batches) {
    return;  // a newer choice is shown; what was written stays written
  }
  say(`${written} ${written === 1 ? "file" : "files"} saved into the folder.` + (kept.length
    ? ` Left as they were, not replaced: ${kept.join(", ")}.` : ""));
}));

function applyNaming() {
  advice.textContent = adviceFor[naming()] + saveFirst;
  runs.forEach(showState);
}
document.querySelectorAll("input[name=naming]").forEach((radio) => radio.addEventListener("change", applyNaming));
applyNaming();

// The whole page takes a drop; the browser never opens or saves a dropped file itself.
// dragenter and dragleave come in pairs for each element crossed, so the count is back at
// zero only when the drag has left the page.
let dragDepth = 0;
document.addEventListener("dragenter", (event) => {
  event.preventDefault();
  dragDepth += 1;
  document.body.classList.add("dragging");
});
document.addEventListener("dragleave", () => {
  dragDepth -= 1;
  document.body.classList.toggle("dragging", dragDepth > 0);
});
document.addEventListener("dragover", (event) => {
  event.preventDefault();
  event.dataTransfer.dropEffect = "copy";
});
document.addEventListener("drop", (event) => {
  event.preventDefault();
  dragDepth = 0;
  document.body.classList.remove("dragging");
  takeDropped(event.dataTransfer).catch(() => {
    say("What was dropped could not be read. Choose the images with the buttons above instead.");
  });
});

// Files opened with the installed page, where the system offers it.
window.launchQueue?.setConsumer(async ({ files }) => {
  if (files.length) {
    take(await Promise.all(files.map(async (handle) => ({ name: handle.name, folder: "", file: await handle.getFile() }))));
  }
});

// Installable, and offline after one visit. A copy opened from disk needs neither, and may
// not fetch the manifest.
if (location.protocol !== "file:") {
  const manifest = document.createElement("link");
  manifest.rel = "manifest";
  manifest.href = "halvek.webmanifest";
  document.head.append(manifest);
  navigator.serviceWorker?.register("service-worker.js");
}
