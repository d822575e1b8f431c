"use strict";
// Save all: every run's two files into a folder the user picks, or into one ZIP.

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
