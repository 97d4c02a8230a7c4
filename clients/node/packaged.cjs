// Finds the executable that npm installed with this package: a platform package listed under
// optionalDependencies, in this package's own node_modules or in a node_modules folder that this
// package's own path runs through (npm's nested and hoisted layouts, pnpm's store), and nowhere
// else: never above the outermost node_modules, where any user may have made a folder of that
// name (C:\node_modules), never on NODE_PATH, in global folders, on PATH or in the current folder.
// In a packaged Electron app the path runs through app.asar, where no program can be started: it
// is mapped to app.asar.unpacked, where asarUnpack puts the file.
"use strict";

const { fs: { statSync }, path } = require("#builtins");

/**
 * The platform packages that may serve each platform-arch pair, in the order they are tried.
 * Windows on ARM64 runs its native executable where that package is installed, and else the x64
 * one under emulation (Windows 11 on ARM can; Windows 10 on ARM cannot).
 */
const PLATFORM_PACKAGES = Object.freeze({
  "win32-x64": Object.freeze(["@velkor-dpapi/win32-x64"]),
  "win32-arm64": Object.freeze(["@velkor-dpapi/win32-arm64", "@velkor-dpapi/win32-x64"]),
});

const EXECUTABLE_NAME = "velkor-dpapi.exe";

// This file's own path, read only when a search starts: in an ES module bundle there is none,
// and reading __filename there at load would throw.
function thisFile() {
  return typeof __filename === "string" ? __filename : null;
}

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
 * Where the packaged executable for the platform ("win32-x64") lies: { file, packageName } with
 * its absolute path and the platform package it came from, or { problem } saying why there is
 * none. The rest is for tests: this code's own file (the search starts from its folder), whether
 * this runs inside Electron, and how to tell a file.
 */
function locatePackagedExecutable(platform, {
  self = thisFile(),
  electron = process.versions.electron !== undefined,
  fileExists = isFile,
  pathApi = path,
} = {}) {
  if (!Object.hasOwn(PLATFORM_PACKAGES, platform)) {
    return {
      problem: `velkor-dpapi: no packaged executable for ${platform} (only Windows x64 and ` +
        "ARM64, win32-x64 and win32-arm64, have one): pass the executable's absolute path to " +
        "createClient()",
    };
  }
  // Bundled, this code is no longer in the package's packaged.cjs, and nothing beside the
  // bundle says where the package was installed. A bundler may also leave its name relative
  // (webpack's node.__filename: true), which would search the current folder.
  if (typeof self !== "string" || !pathApi.isAbsolute(self) ||
      pathApi.basename(self) !== "packaged.cjs") {
    return {
      problem: "velkor-dpapi: the client was bundled (its code is not in the velkor-dpapi " +
        "package's packaged.cjs), so the packaged executable cannot be found from it: pass the " +
        "executable's absolute path to createClient(), or leave velkor-dpapi out of the bundle " +
        "(external) and ship its node_modules folder",
    };
  }
  const folders = searchedFolders(pathApi.dirname(self), pathApi);
  const packages = PLATFORM_PACKAGES[platform];
  for (const name of packages) {
    for (const folder of folders) {
      const candidate = pathApi.join(folder, ...name.split("/"), EXECUTABLE_NAME);
      if (fileExists(candidate)) return inElectron(candidate, name, electron, fileExists);
    }
  }
  return {
    problem: `velkor-dpapi: the packaged executable for ${platform} is not installed (the ` +
      `optional dependency ${packages.join(" or ")} is missing: install without omitting ` +
      "optional dependencies), or pass the executable's absolute path to createClient()",
  };
}

/**
 * The node_modules folders to look in, nearest first: the package's own, then each folder named
 * node_modules that the package's path runs through, up to the outermost; none above it.
 */
function searchedFolders(packageFolder, pathApi) {
  const folders = [pathApi.join(packageFolder, "node_modules")];
  for (let folder = packageFolder; pathApi.dirname(folder) !== folder;) {
    folder = pathApi.dirname(folder);
    if (pathApi.basename(folder) === "node_modules") folders.push(folder);
  }
  return folders;
}

function inElectron(file, packageName, electron, fileExists) {
  if (!electron) return { file, packageName };
  const unpacked = unpackedPath(file);
  if (unpacked === file || fileExists(unpacked)) return { file: unpacked, packageName };
  return {
    problem: `velkor-dpapi: the packaged executable is inside an asar archive (${file}), where ` +
      "it cannot be run, and not in its unpacked folder: list it in the app's asarUnpack (see " +
      "the package's README), or pass the executable's absolute path to createClient()",
  };
}

module.exports = {
  EXECUTABLE_NAME, PLATFORM_PACKAGES, locatePackagedExecutable, searchedFolders, unpackedPath,
};
