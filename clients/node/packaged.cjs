// Finds the executable that npm installed with this package: the platform package listed under
// optionalDependencies, in a node_modules folder on the way up from this package's own folder, as
// Node resolves a dependency, but without NODE_PATH or global folders, and never on PATH or in
// the current folder. In a packaged Electron app the path runs through app.asar, where no program
// can be started: it is mapped to app.asar.unpacked, where asarUnpack puts the file.
"use strict";

const { statSync } = require("node:fs");
const path = require("node:path");

/** The platform package of each platform-arch pair that has one. */
const PLATFORM_PACKAGES = Object.freeze({ "win32-x64": "@velkor-dpapi/win32-x64" });

const EXECUTABLE_NAME = "velkor-dpapi.exe";

function isFile(candidate) {
  try {
    return statSync(candidate).isFile();
  } catch {
    return false;
  }
}

/**
 * The same path with its first folder named like an asar archive ("app.asar") replaced by the
 * folder that holds the archive's unpacked files ("app.asar.unpacked"); unchanged when no folder
 * is so named. Both separators are understood, as a Windows path may use either.
 */
function unpackedPath(file) {
  return file.replace(/(^|[\\/])([^\\/]+\.asar)(?=[\\/])/, "$1$2.unpacked");
}

/**
 * Where the packaged executable for the platform ("win32-x64") lies: { file } with its absolute
 * path, or { problem } saying why there is none. The rest is for tests: the folder to start the
 * search from (this package's own), whether this runs inside Electron, and how to tell a file.
 */
function locatePackagedExecutable(platform, {
  from = __dirname,
  electron = process.versions.electron !== undefined,
  fileExists = isFile,
  pathApi = path,
} = {}) {
  if (!Object.hasOwn(PLATFORM_PACKAGES, platform)) {
    return {
      problem: `velkor-dpapi: no packaged executable for ${platform} (only Windows x64, ` +
        "win32-x64, has one): pass the executable's absolute path to createClient()",
    };
  }
  const packageName = PLATFORM_PACKAGES[platform];
  const relative = pathApi.join("node_modules", ...packageName.split("/"), EXECUTABLE_NAME);
  for (let folder = from; ; folder = pathApi.dirname(folder)) {
    if (pathApi.basename(folder) !== "node_modules") {
      const candidate = pathApi.join(folder, relative);
      if (fileExists(candidate)) return inElectron(candidate, electron, fileExists);
    }
    if (pathApi.dirname(folder) === folder) break;
  }
  return {
    problem: `velkor-dpapi: the packaged executable for ${platform} is not installed (the ` +
      `optional dependency ${packageName} is missing: install without omitting optional ` +
      "dependencies), or pass the executable's absolute path to createClient()",
  };
}

function inElectron(file, electron, fileExists) {
  if (!electron) return { file };
  const unpacked = unpackedPath(file);
  if (unpacked === file || fileExists(unpacked)) return { file: unpacked };
  return {
    problem: `velkor-dpapi: the packaged executable is inside an asar archive (${file}), where ` +
      "it cannot be run, and not in its unpacked folder: list it in the app's asarUnpack (see " +
      "the package's README), or pass the executable's absolute path to createClient()",
  };
}

module.exports = {
  EXECUTABLE_NAME, PLATFORM_PACKAGES, locatePackagedExecutable, unpackedPath,
};
