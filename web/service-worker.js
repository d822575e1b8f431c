"use strict";
// Keeps the page's files for use with no network or a network that never answers: each is
// answered from the cache at once and fetched afresh behind it, for the next visit. A query
// string names the same file.
const cacheName = "halvek";
const files = ["./", "index.html", "names.js", "sorting.js", "zips.js", "halvek.js", "saving.js", "drops.js",
               "fflate.js", "client-zip.js", "style.css", "halvek.webmanifest", "icon.svg"];

self.addEventListener("install", (event) => {
  event.waitUntil(caches.open(cacheName).then((cache) => cache.addAll(files)).then(() => self.skipWaiting()));
});

self.addEventListener("activate", (event) => {
  event.waitUntil(self.clients.claim());
});

self.addEventListener("fetch", (event) => {
  if (event.request.method !== "GET" || new URL(event.request.url).origin !== location.origin) {
    return;
  }
  const fresh = fetch(event.request).then(async (response) => {
    if (response.ok) {
      const cache = await caches.open(cacheName);
      await cache.put(new URL(event.request.url).pathname, response.clone());
    }
    return response;
  });
  event.waitUntil(fresh.catch(() => {}));
  event.respondWith(caches.match(event.request, { ignoreSearch: true })
    .then((cached) => cached ?? fresh)
    .catch(() => Response.error()));
});
