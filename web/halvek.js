"use strict";
// Halvek in the browser. The header patch is the console program's own code, compiled to
// WebAssembly; only the image's first 512 bytes go through it. The patched image is the
// patched block followed by a slice of the chosen file, so the page never holds a second copy
// of the image, and nothing leaves the device. The panel shows what the console shows for the
// same image, but for the closing prompt.

const version = "@VERSION@";
const headerBlockSize = 512;
const saveSize = 65536;

const panel = document.getElementById("console");
const dropZone = document.getElementById("drop-zone");
const input = document.getElementById("image-input");
const downloads = document.getElementById("downloads");
const imageLink = document.getElementById("image-download");
const saveLink = document.getElementById("save-download");

const patchModule = fetch("halvek.wasm")
  .then((response) => response.arrayBuffer())
  .then((bytes) => WebAssembly.instantiate(bytes, {}))
  .then((result) => result.instance.exports);

function say(text) {
  panel.textContent += text;
}

function offer(link, blob, name) {
  if (link.href) {
    URL.revokeObjectURL(link.href);
  }
  link.href = URL.createObjectURL(blob);
  link.download = name;
  link.textContent = `Download ${name}`;
}

async function patchImage(file) {
  panel.textContent = "";
  downloads.hidden = true;
  const name = file.name;
  let header;
  try {
    header = new Uint8Array(await file.slice(0, headerBlockSize).arrayBuffer());
  } catch {
    say(`Error opening ${name}.\n\n`);
    return;
  }
  const title = `Halvek ${version}`;
  say(`${title}\n${"-".repeat(title.length)}\n`);
  say(`input file : ${name}\noutput file: ${name}.bin\nsaver file : ${name}.sav\n\n`);

  const patch = await patchModule;
  // Zeros stand in past a short image's end, as they do in the console program.
  const block = new Uint8Array(patch.memory.buffer, patch.header_block(), headerBlockSize);
  block.fill(0);
  block.set(header);
  const complement = patch.patch_block();
  say(`comp: ${complement.toString(16)}\n\n`);

  say("Copying file...\n\n");
  offer(imageLink, new Blob([block.slice(0, header.length), file.slice(header.length)]), `${name}.bin`);
  say("Making blank save file...\n\n");
  offer(saveLink, new Blob([new Uint8Array(saveSize)]), `${name}.sav`);
  downloads.hidden = false;
  say("Finished......Success!\n\n" +
      "You will have to rename the .out and .sav to your preference\n" +
      "and place them in the proper places\n\n");
}

function take(files) {
  if (files.length !== 1) {
    panel.textContent = "Please give one image at a time.\n";
    downloads.hidden = true;
    return;
  }
  patchImage(files[0]);
}

input.addEventListener("change", () => {
  take(input.files);
  input.value = "";  // the same file again is a new run
});
dropZone.addEventListener("dragover", (event) => {
  event.preventDefault();
  dropZone.classList.add("over");
});
dropZone.addEventListener("dragleave", () => dropZone.classList.remove("over"));
dropZone.addEventListener("drop", (event) => {
  event.preventDefault();
  dropZone.classList.remove("over");
  take(event.dataTransfer.files);
});
