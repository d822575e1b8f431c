"use strict";
// Halvek in the browser. The header patch is the console program's own code, compiled to
// WebAssembly; only an image's first 512 bytes go through it. A patched image is the patched
// block followed by a slice of the chosen file, so the page never holds a second copy of an
// image, and nothing leaves the device. Each image is a run of its own, whose transcript is
// what the console shows for that image, but for the closing prompt. What is plainly not an
// image is set aside, not run, unless the user asks for it. This file holds the runs and their
// rows; names.js, sorting.js and zips.js load before it, saving.js and drops.js after.

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

// Every image's blank save is the same bytes, made for the first.
let blankSaveBlob;
const blankSave = () => (blankSaveBlob ??= new Blob([new Uint8Array(saveSize)]));
let runs = [];  // the runs shown: { name, folder, file, image, row, saved: { image, save } }
let offeredUrls = [];
let batches = 0;  // a newer choice or drop stops an older one's runs

function say(sentence) {
  message.textContent = sentence;
}


const adviceFor = {
  console: "rom.gba.bin is the image to play, ready for a 64 KiB SRAM save, and rom.gba.sav its blank save. " +
      "A flash cartridge looks for the save under the image's own name: rename them rom.gba and rom.sav, " +
      "or choose the cartridge's names above.",
  cartridge: "rom.gba is the patched image to play and rom.sav its blank save, named as a flash cartridge " +
      "looks for it: copy both onto its card together.",
};
const saveFirst = " Save the files before you move or change the chosen images.";

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

function applyNaming() {
  advice.textContent = adviceFor[naming()] + saveFirst;
  runs.forEach(showState);
}
document.querySelectorAll("input[name=naming]").forEach((radio) => radio.addEventListener("change", applyNaming));
applyNaming();

// Installable, and offline after one visit. A copy opened from disk needs neither, and may
// not fetch the manifest.
if (location.protocol !== "file:") {
  const manifest = document.createElement("link");
  manifest.rel = "manifest";
  manifest.href = "halvek.webmanifest";
  document.head.append(manifest);
  navigator.serviceWorker?.register("service-worker.js");
}
