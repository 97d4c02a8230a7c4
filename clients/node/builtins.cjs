// Node's own modules that the client uses, for Node and for a bundle into CommonJS. A bundler
// (the "module" condition of package.json's "imports") takes builtins.mjs instead: an ES module
// bundle has no require() for CommonJS code to reach Node's modules with.
"use strict";

module.exports = {
  childProcess: require("node:child_process"),
  crypto: require("node:crypto"),
  fs: require("node:fs"),
  path: require("node:path"),
};
