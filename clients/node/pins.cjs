"use strict";

// The SHA-256 of velkor-dpapi.exe in each platform package, by package name: the client starts a
// packaged executable only when the file has its package's digest. The release writes them here
// when it packs this package (cmake/release_npm.cmake), from the very files in its platform
// packages. In the source tree there are none, and null says so: this client starts a packaged
// executable unchecked, for development and tests. It is never published as it is.
module.exports = null;
