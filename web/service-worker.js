"use strict";
// Keeps the page's files for use with no network: each is fetched afresh while the network
// answers, and taken from the cache when it does not.
const cacheName = "halvek";
const files = ["./", "index.html", "halvek.js", "style.css", "halvek.webmanifest", "icon.svg"];

self.addEventListener("install", (event) => {
  event.waitUntil(caches.open(cacheName).then((cache) => cache.addAll(files)));
});

self.addEventListener("fetch", (event) => {
  if (event.request.method !== "GET") {
    return;
  }
  event.respondWith(fetch(event.request)
    .then((response) => {
      if (response.ok) {
        const copy = response.clone();
        event.waitUntil(caches.open(cacheName).then((cache) => cache.put(event.request, copy)));
      }
      return response;
    })
    .catch(() => caches.match(event.request).then((cached) => cached ?? Response.error())));
});
