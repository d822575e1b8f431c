"use strict";
// Halvek in the browser. The header patch is the console program's own code, compiled to
// WebAssembly; only an image's first 512 bytes go through it. A patched image is the patched
// block followed by a slice of the chosen file, so the page never holds a second copy of an
// image, and nothing leaves the device. Each image is a run of its own, whose transcript is
// what the console shows for that image, but for the closing prompt.

const version = "@VERSION@";
// The module's bytes, written in at build time: a page opened from disk cannot fetch a file.
const moduleBase64 = "@MODULE@";
// The console program's texts, from tool/texts.hpp, written in at build time as JSON in base64.
const texts = JSON.parse(atob("@TEXTS@"));
const headerBlockSize = 512;
const saveSize = 65536;
// File systems stop at 255 bytes a name, and the browser adds ".crdownload" while it writes.
const longestDownloadName = 240;

const message = document.getElementById("message");
const input = document.getElementById("image-input");
const runs = document.getElementById("runs");
const announcements = document.getElementById("announcements");
const runTemplate = document.getElementById("run");

const patchModule = (async () => {
  const bytes = Uint8Array.from(atob(moduleBase64), (character) => character.charCodeAt(0));
  return (await WebAssembly.instantiate(bytes, {})).instance.exports;
})();
patchModule.catch(() => {
  message.textContent = "This browser cannot run WebAssembly here, so this page cannot patch an image. " +
      "Halvek's console program can.";
  input.disabled = true;
});

let offeredUrls = [];
let batches = 0;  // a newer choice or drop stops an older one's runs

function announce(sentence) {
  const line = document.createElement("p");
  line.textContent = sentence;
  announcements.append(line);
}

// A text with its one "{}" replaced by the value.
function filled(text, value) {
  return text.replace("{}", () => value);
}

function utf8Length(text) {
  return new TextEncoder().encode(text).length;
}

// The name a download takes: the console's name, cut short where it would be too long to save.
function downloadName(name, suffix) {
  let kept = "";
  for (const character of name) {
    if (utf8Length(kept + character + suffix) > longestDownloadName) {
      break;
    }
    kept += character;
  }
  return kept + suffix;
}

function headerText(header, begin, end) {
  const bytes = [...header.subarray(begin, end)];
  while (bytes.at(-1) === 0) {
    bytes.pop();
  }
  return bytes.map((byte) => (byte >= 0x20 && byte < 0x7f ? String.fromCharCode(byte) : "\ufffd")).join("");
}

function showHeader(view, header) {
  view.querySelector(".title").textContent = headerText(header, 0xa0, 0xac);
  view.querySelector(".game-code").textContent = headerText(header, 0xac, 0xb0);
  view.querySelector(".maker-code").textContent = headerText(header, 0xb0, 0xb2);
  view.querySelector(".version").textContent = String(header[0xbc]);
  view.querySelector(".header").hidden = false;
}

// Why the file is plainly not a cartridge image, or nothing when it may be one.
function notAnImage(name, header) {
  const zip = [0x50, 0x4b, 0x03, 0x04];
  if (/\.zip$/i.test(name) || zip.every((byte, index) => header[index] === byte)) {
    return `${name} is a zip archive, not a cartridge image: take the image out of it and give that instead.`;
  }
  if (header[0xb2] !== 0x96) {
    return `${name} does not look like a cartridge image: its header lacks the fixed value 96 (hex) at B2. ` +
        "Its downloads are made all the same, as the console program would make them; use them only if you are sure.";
  }
  return "";
}

function offer(link, blob, fileName) {
  const url = URL.createObjectURL(blob);
  offeredUrls.push(url);
  link.href = url;
  link.download = fileName;
  link.querySelector(".file").textContent = fileName;
}

async function run(item, patch) {
  const view = runTemplate.content.firstElementChild.cloneNode(true);
  const { name } = item;
  view.querySelector(".name").textContent = name;
  runs.append(view);
  const transcript = view.querySelector(".transcript");
  let file;
  let header;
  try {
    file = await item.file;
    header = new Uint8Array(await file.slice(0, headerBlockSize).arrayBuffer());
  } catch {
    transcript.textContent = `${filled(texts.opening_failed, name)}\n`;
    announce(`${name} could not be read, so there is nothing to download for it.`);
    return;
  }
  // Zeros stand in past a short image's end, as they do in the console program.
  const block = new Uint8Array(patch.memory.buffer, patch.header_block(), headerBlockSize);
  block.fill(0);
  block.set(header);
  showHeader(view, block);
  const warning = notAnImage(name, block);
  view.querySelector(".warning").textContent = warning;
  view.querySelector(".warning").hidden = !warning;
  const complement = patch.patch_block();
  const title = filled(texts.title, version);
  transcript.textContent = `${title}\n${"-".repeat(title.length)}\n` +
      filled(texts.input_name, name) + filled(texts.output_name, `${name}.bin`) + filled(texts.save_name, `${name}.sav`) +
      filled(texts.complement, complement.toString(16)) + texts.copying + texts.making_save + texts.success;

  const imageLink = view.querySelector(".image-download");
  const imageName = downloadName(name, ".bin");
  const saveName = downloadName(name, ".sav");
  offer(imageLink, new Blob([block.slice(0, header.length), file.slice(header.length)]), imageName);
  offer(view.querySelector(".save-download"), new Blob([new Uint8Array(saveSize)]), saveName);
  view.querySelector(".note").textContent =
      `${imageName} is the image to play, ready for a 64 KiB SRAM save; ${saveName} is its blank save, ` +
      "to keep beside it under the same name. Download both before you move or change the chosen image.";
  if (imageName !== `${name}.bin`) {
    view.querySelector(".shortened").textContent =
        "The name is too long for a downloaded file, so the downloads are named with its beginning.";
    view.querySelector(".shortened").hidden = false;
  }
  // The image's download reads the chosen file again; when the file has since been moved or
  // changed, that download fails, and the run says why instead of standing as a success.
  if (file.size > headerBlockSize) {
    imageLink.addEventListener("click", () => {
      file.slice(headerBlockSize, headerBlockSize + 1).arrayBuffer().catch(() => {
        view.querySelector(".result").hidden = true;
        view.querySelector(".warning").textContent =
            `${name} was moved or changed after it was chosen, so its image cannot be downloaded: choose it again.`;
        view.querySelector(".warning").hidden = false;
        announce(`${name} was moved or changed, so its image cannot be downloaded.`);
      });
    });
  }
  view.querySelector(".result").hidden = false;
  announce(warning ? `${name} is patched, with a warning; its image and save are ready to download.`
                   : `${name} is patched; its image and save are ready to download.`);
}

// Each file is its own run, in the order given. An item is a name and its file, or the promise
// of one: a dropped file is only had, or not, once it is asked for.
async function take(items) {
  const batch = ++batches;
  offeredUrls.forEach((url) => URL.revokeObjectURL(url));
  offeredUrls = [];
  runs.replaceChildren();
  announcements.replaceChildren();
  let patch;
  try {
    patch = await patchModule;
  } catch {
    return;  // the page already says why
  }
  message.textContent = items.length ? "" :
      "Nothing to patch: this page takes cartridge image files. Choose or drop one or several, or a folder of them.";
  for (const item of items) {
    if (batch !== batches) {
      return;
    }
    await run(item, patch);
  }
}

// A dropped folder gives the files in it and in its folders, each folder's in name order.
async function fileEntries(entry) {
  if (entry.isFile) {
    return [entry];
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
  const entries = [];
  for (const child of children) {
    entries.push(...await fileEntries(child));
  }
  return entries;
}

async function takeDropped(transfer) {
  // What was dropped must be had now: the drop's items are gone once its handler returns. A
  // dropped file is taken as it is; a page opened from disk cannot read one through its entry.
  const dropped = [...transfer.items].filter((item) => item.kind === "file")
    .map((item) => ({ entry: item.webkitGetAsEntry(), file: item.getAsFile() }));
  const items = [];
  for (const { entry, file } of dropped) {
    if (entry?.isDirectory) {
      for (const inFolder of await fileEntries(entry)) {
        items.push({ name: inFolder.name, file: new Promise((resolve, reject) => inFolder.file(resolve, reject)) });
      }
    } else {
      items.push({ name: file.name, file });
    }
  }
  take(items);
}

input.addEventListener("change", () => {
  take([...input.files].map((file) => ({ name: file.name, file })));
  input.value = "";  // the same files again are a new run
});

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
    message.textContent = "What was dropped could not be read. This page takes cartridge image files, or a folder of them.";
  });
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
