// The client installed as npm lays it out, for the tests that run it from there: its files, as
// its package.json lists them, copied into a package folder under an app's node_modules.
import { copyFileSync, mkdirSync, readFileSync } from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";

const PACKAGE_FOLDER = path.dirname(path.dirname(fileURLToPath(import.meta.url)));
const PACKAGE_FILES = ["package.json", ...JSON.parse(
  readFileSync(path.join(PACKAGE_FOLDER, "package.json"), "utf8")).files];

/** The path of velkor-dpapi.exe in a platform package ("win32-x64") under a node_modules. */
export const exeIn = (modules, platform = "win32-x64") =>
  path.join(modules, "@velkor-dpapi", platform, "velkor-dpapi.exe");

/**
 * Installs the client in the app's node_modules (or the package folder given); returns its ES
 * module entry, its folder, and where its x64 platform package's executable goes.
 */
export function install(appFolder,
  packageFolder = path.join(appFolder, "node_modules", "velkor-dpapi")) {
  mkdirSync(packageFolder, { recursive: true });
  for (const file of PACKAGE_FILES) {
    copyFileSync(path.join(PACKAGE_FOLDER, file), path.join(packageFolder, file));
  }
  return { module: path.join(packageFolder, "index.js"), folder: packageFolder,
    exe: exeIn(path.join(appFolder, "node_modules")) };
}
