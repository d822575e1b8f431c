"use strict";
// The names the page saves files under: cut to what a file system takes, and safe to write
// anywhere, whatever the chosen file or a zip called them.

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
const refusedCharacters = /[<>:"|?*\x00-\x1f]/g;

// A relative folder as it may be written anywhere: split at either slash, with no empty, "." or
// ".." part and no drive before it, so that nothing lands outside the folder saved into, and
// no character a file system refuses. Ends in "/" unless empty.
function safeFolder(folder) {
  return folder.replace(/^[A-Za-z]:/, "").split(/[/\\]/).filter((part) => part && part !== "." && part !== "..")
    .map((part) => `${part.replace(refusedCharacters, "_")}/`).join("");
}

// A name as it may be saved: a slash in it is part of the name, not a folder.
const safeName = (name) => name.replace(refusedCharacters, "_").replace(/[/\\]/g, "_");

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
