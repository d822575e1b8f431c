"use strict";
// How files come to the page: chosen with the buttons, dropped (folders too), or opened with
// the installed page.

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
