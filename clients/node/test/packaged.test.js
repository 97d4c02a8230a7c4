// createClient() without a path: the executable of the platform package, found from the
// package's own folder up through node_modules at the call, and taken out of an Electron app's
// asar archive. Electron is played by a folder named app.asar (as Electron's file system shows
// the archive) beside app.asar.unpacked, and by process.versions.electron set in a child Node.
import assert from "node:assert/strict";
import childProcess from "node:child_process";
import { existsSync, mkdirSync, mkdtempSync, rmSync, symlinkSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { after, describe, test } from "node:test";
import { createClient, packagedExecutable, VelkorDpapiError } from "../index.js";
import { PLATFORM_PACKAGES, locatePackagedExecutable, unpackedPath } from "../packaged.cjs";
import { install } from "./install.js";

const EXE = ["@velkor-dpapi", "win32-x64", "velkor-dpapi.exe"];
const THIS_PLATFORM = `${process.platform}-${process.arch}`;
const posixOnly = process.platform === "win32" ? "POSIX only" : false;

const root = mkdtempSync(path.join(tmpdir(), "velkor-node-packaged-"));
after(() => rmSync(root, { recursive: true, force: true }));

// A lookup over a fixed set of files, for either kind of path.
const filesAt = (files) => (candidate) => files.includes(candidate);
// What the search finds: the file, and the platform package whose digest it must have.
const found = (file) => ({ file,
  packageName: `@velkor-dpapi/${/win32-arm64/.test(file) ? "win32-arm64" : "win32-x64"}` });

describe("the asar mapping", () => {
  const CASES = [
    ["/opt/Wallet/resources/app.asar/node_modules/@velkor-dpapi/win32-x64/velkor-dpapi.exe",
      "/opt/Wallet/resources/app.asar.unpacked/node_modules/@velkor-dpapi/win32-x64/" +
        "velkor-dpapi.exe"],
    ["C:\\Program Files\\Wallet\\resources\\app.asar\\node_modules\\velkor-dpapi.exe",
      "C:\\Program Files\\Wallet\\resources\\app.asar.unpacked\\node_modules\\velkor-dpapi.exe"],
    ["C:/Wallet/resources/other.asar/a.exe", "C:/Wallet/resources/other.asar.unpacked/a.exe"],
    // Already unpacked, not an archive, or an archive file itself: unchanged.
    ["/opt/W/resources/app.asar.unpacked/a.exe", "/opt/W/resources/app.asar.unpacked/a.exe"],
    ["/opt/W/resources/app/node_modules/a.exe", "/opt/W/resources/app/node_modules/a.exe"],
    ["/opt/Wallet/resources/app.asar", "/opt/Wallet/resources/app.asar"],
    ["/opt/Wallet/app.asarx/a.exe", "/opt/Wallet/app.asarx/a.exe"],
    // Only the first archive on the way counts.
    ["/a.asar/b.asar/c.exe", "/a.asar.unpacked/b.asar/c.exe"],
  ];
  for (const [from, to] of CASES) {
    test(from, () => assert.equal(unpackedPath(from), to));
  }
});

describe("finding the packaged executable", () => {
  const hoisted = "/p/node_modules/@velkor-dpapi/win32-x64/velkor-dpapi.exe";
  const nested = "/p/node_modules/velkor-dpapi/node_modules/@velkor-dpapi/win32-x64/" +
    "velkor-dpapi.exe";
  const self = "/p/node_modules/velkor-dpapi/packaged.cjs";
  const hoistedArm64 = "/p/node_modules/@velkor-dpapi/win32-arm64/velkor-dpapi.exe";
  const nestedArm64 = "/p/node_modules/velkor-dpapi/node_modules/@velkor-dpapi/win32-arm64/" +
    "velkor-dpapi.exe";
  const MISSING = {
    "win32-x64": "@velkor-dpapi/win32-x64",
    "win32-arm64": "@velkor-dpapi/win32-arm64 or @velkor-dpapi/win32-x64",
  };
  const NOT_INSTALLED = (platform) => ({
    problem: `velkor-dpapi: the packaged executable for ${platform} is not installed (the ` +
      `optional dependency ${MISSING[platform]} is missing: install without omitting ` +
      "optional dependencies), or pass the executable's absolute path to createClient()",
  });

  test("Windows on ARM64 tries its native package first, then the x64 one", () => {
    assert.deepEqual(PLATFORM_PACKAGES, {
      "win32-x64": ["@velkor-dpapi/win32-x64"],
      "win32-arm64": ["@velkor-dpapi/win32-arm64", "@velkor-dpapi/win32-x64"],
    });
  });

  test("the nearest node_modules on the package's own path, as Node resolves a dependency",
    () => {
      const pnpm = "/p/node_modules/.pnpm/velkor-dpapi@1.0.0/node_modules";
      const lib = "/p/node_modules/wallet-lib/node_modules";
      // [this file, the files there, the one found]
      const CASES = [
        [self, [hoisted], hoisted],
        [self, [nested, hoisted], nested],
        // Hoisted beside a library that depends on the client, or nested under it.
        [`${lib}/velkor-dpapi/packaged.cjs`, [hoisted], hoisted],
        [`${lib}/velkor-dpapi/packaged.cjs`, [`${lib}/@velkor-dpapi/win32-x64/velkor-dpapi.exe`,
          hoisted], `${lib}/@velkor-dpapi/win32-x64/velkor-dpapi.exe`],
        // pnpm: the platform package a sibling in the store's own node_modules.
        [`${pnpm}/velkor-dpapi/packaged.cjs`, [`${pnpm}/@velkor-dpapi/win32-x64/velkor-dpapi.exe`],
          `${pnpm}/@velkor-dpapi/win32-x64/velkor-dpapi.exe`],
        // Windows on ARM64 runs its native executable wherever npm put it, even with the x64
        // one nearer; the x64 one only where no native one is installed.
        [self, [hoistedArm64, hoisted], hoistedArm64, "win32-arm64"],
        [self, [nested, hoisted, hoistedArm64], hoistedArm64, "win32-arm64"],
        [self, [nestedArm64, hoistedArm64], nestedArm64, "win32-arm64"],
        [self, [hoisted], hoisted, "win32-arm64"],
        [self, [nested, hoisted], nested, "win32-arm64"],
        // Windows x64 never runs the ARM64 one.
        [self, [hoistedArm64, hoisted], hoisted],
      ];
      for (const [file, files, expected, platform = "win32-x64"] of CASES) {
        assert.deepEqual(locatePackagedExecutable(platform,
          { self: file, electron: false, fileExists: filesAt(files) }), found(expected));
      }
    });

  test("never above the outermost node_modules, nor outside one", () => {
    // [this file, where a planted executable lies]
    const CASES = [
      [self, "/node_modules/@velkor-dpapi/win32-x64/velkor-dpapi.exe"],
      [self, "/p/velkor-dpapi.exe"],
      [self, "/p/node_modules/velkor-dpapi/@velkor-dpapi/win32-x64/velkor-dpapi.exe"],
      ["/home/u/wallet/node_modules/velkor-dpapi/packaged.cjs",
        "/home/node_modules/@velkor-dpapi/win32-x64/velkor-dpapi.exe"],
      // A source tree: only the package's own node_modules would count.
      ["/home/u/src/clients/node/packaged.cjs",
        "/home/u/src/node_modules/@velkor-dpapi/win32-x64/velkor-dpapi.exe"],
    ];
    for (const [file, planted] of CASES) {
      const plantedArm64 = planted.replace("win32-x64", "win32-arm64");
      for (const [platform, files] of [["win32-x64", [planted, plantedArm64]],
        ["win32-arm64", [planted, plantedArm64]]]) {
        assert.deepEqual(locatePackagedExecutable(platform,
          { self: file, electron: false, fileExists: filesAt(files) }),
        NOT_INSTALLED(platform), planted);
      }
    }
    // Nor does Windows x64 take the ARM64 package where it is installed.
    assert.deepEqual(locatePackagedExecutable("win32-x64",
      { self, electron: false, fileExists: filesAt([hoistedArm64, nestedArm64]) }),
    NOT_INSTALLED("win32-x64"));
    const windows = { electron: false, pathApi: path.win32,
      fileExists: filesAt(["C:\\node_modules\\@velkor-dpapi\\win32-x64\\velkor-dpapi.exe"]) };
    assert.deepEqual(locatePackagedExecutable("win32-x64",
      { ...windows, self: "C:\\Wallet\\node_modules\\velkor-dpapi\\packaged.cjs" }),
    NOT_INSTALLED("win32-x64"));
  });

  test("with Windows paths", () => {
    const folder = "C:\\Users\\u\\AppData\\Local\\Programs\\Wallet\\resources\\app.asar\\" +
      "node_modules\\velkor-dpapi";
    const inArchive = "C:\\Users\\u\\AppData\\Local\\Programs\\Wallet\\resources\\app.asar\\" +
      "node_modules\\@velkor-dpapi\\win32-x64\\velkor-dpapi.exe";
    const unpacked = inArchive.replace("\\app.asar\\", "\\app.asar.unpacked\\");
    assert.deepEqual(locatePackagedExecutable("win32-x64", {
      self: `${folder}\\packaged.cjs`, electron: true, fileExists: filesAt([inArchive, unpacked]),
      pathApi: path.win32,
    }), found(unpacked));
  });

  test("through app.asar: the unpacked copy in Electron, the path as it is elsewhere", () => {
    const archived = "/opt/W/resources/app.asar/node_modules/@velkor-dpapi/win32-x64/" +
      "velkor-dpapi.exe";
    const unpacked = archived.replace("/app.asar/", "/app.asar.unpacked/");
    const search = { self: "/opt/W/resources/app.asar/node_modules/velkor-dpapi/packaged.cjs" };
    assert.deepEqual(locatePackagedExecutable("win32-x64",
      { ...search, electron: true, fileExists: filesAt([archived, unpacked]) }),
    found(unpacked));
    assert.deepEqual(locatePackagedExecutable("win32-x64",
      { ...search, electron: false, fileExists: filesAt([archived]) }), found(archived));
    const { problem } = locatePackagedExecutable("win32-x64",
      { ...search, electron: true, fileExists: filesAt([archived]) });
    assert.equal(problem, `velkor-dpapi: the packaged executable is inside an asar archive ` +
      `(${archived}), where it cannot be run, and not in its unpacked folder: list it in the ` +
      "app's asarUnpack (see the package's README), or pass the executable's absolute path to " +
      "createClient()");
  });

  test("none for a platform without a package, nor when the package is missing", () => {
    for (const platform of ["linux-x64", "darwin-arm64", "win32-ia32", "win32-arm",
      "constructor", "__proto__"]) {
      assert.deepEqual(locatePackagedExecutable(platform, { self, fileExists: () => true }), {
        problem: `velkor-dpapi: no packaged executable for ${platform} (only Windows x64 and ` +
          "ARM64, win32-x64 and win32-arm64, have one): pass the executable's absolute path " +
          "to createClient()",
      });
    }
  });

  test("bundled, none, and a plain word on what to pass", () => {
    // An ES module bundle has no file name; a CommonJS one has the bundle's, or the module's
    // relative to the bundler's folder.
    for (const file of [null, "/app/dist/main.js", "/app/node_modules/velkor-dpapi/index.cjs",
      "node_modules/velkor-dpapi/packaged.cjs"]) {
      assert.deepEqual(locatePackagedExecutable("win32-x64",
        { self: file, electron: false, fileExists: () => true }), {
        problem: "velkor-dpapi: the client was bundled (its code is not in the velkor-dpapi " +
          "package's packaged.cjs), so the packaged executable cannot be found from it: pass " +
          "the executable's absolute path to createClient(), or leave velkor-dpapi out of the " +
          "bundle (external) and ship its node_modules folder",
      });
    }
  });
});

describe("createClient() with no path", () => {
  test("fails at once where no packaged executable exists, spawning nothing", (t) => {
    const spawn = t.mock.method(childProcess, "spawn");
    for (const call of [() => createClient(), () => createClient({ timeoutMs: 5 }),
      () => createClient(undefined, {}), () => packagedExecutable()]) {
      assert.throws(call, (error) => {
        assert.ok(error instanceof VelkorDpapiError);
        assert.deepEqual([error.code, error.command, error.status, error.platformCode,
          error.reason], ["NO_EXECUTABLE", null, null, null, null]);
        assert.match(error.message, new RegExp(`^velkor-dpapi: no packaged executable for ` +
          `${THIS_PLATFORM} .*: pass the executable's absolute path to createClient\\(\\)$`));
        return true;
      });
    }
    // This source tree has no node_modules holding the platform package.
    assert.throws(() => createClient({ platform: "win32-x64" }),
      { code: "NO_EXECUTABLE", message: /the packaged executable for win32-x64 is not installed/ });
    assert.throws(() => createClient({ platform: 64 }), TypeError);
    assert.equal(spawn.mock.callCount(), 0);
  });

  // An installed layout (see install.js) and a stand-in named velkor-dpapi.exe in the platform
  // package, which reports where it ran from. The current folder, PATH and NODE_PATH each hold a
  // decoy that must never be chosen.

  function standIn(file, answer) {
    mkdirSync(path.dirname(file), { recursive: true });
    writeFileSync(file, `#!${process.execPath}\n` +
      `process.stdin.resume(); process.stdin.on("end", () => { process.stdout.write(` +
      `${JSON.stringify(answer)}); process.exitCode = ${answer === "ok\n" ? 0 : 4}; });\n`,
    { mode: 0o755 });
  }

  // A stand-in that leaves a mark beside itself when it is run, whatever it is asked.
  function planted(file) {
    mkdirSync(path.dirname(file), { recursive: true });
    writeFileSync(file, `#!${process.execPath}\n` +
      `require("node:fs").writeFileSync(${JSON.stringify(`${file}.ran`)}, "ran");\n` +
      "process.stdout.write(\"ok\\n\");\n", { mode: 0o755 });
    return `${file}.ran`;
  }

  // Runs a child Node in a folder of decoys that imports the module, prints the path it
  // resolves and runs selftest through createClient() with no path.
  function runChild(module, { electron = false, platform = "win32-x64" } = {}) {
    const decoys = mkdtempSync(path.join(root, "decoys-"));
    for (const folder of ["", "bin", "global"]) {
      standIn(path.join(decoys, folder, "velkor-dpapi.exe"), "decoy\n");
      standIn(path.join(decoys, folder, "node_modules", ...EXE), "decoy\n");
    }
    const script = `
      ${electron ? 'Object.defineProperty(process.versions, "electron", { value: "33.0.0" });' : ""}
      const { createClient, packagedExecutable } = await import(${JSON.stringify(module)});
      console.log(packagedExecutable(${JSON.stringify(platform)}));
      await createClient({ platform: ${JSON.stringify(platform)} }).selftest();
      console.log("selftest ok");`;
    const env = { ...process.env, PATH: `${path.join(decoys, "bin")}:${process.env.PATH}`,
      NODE_PATH: path.join(decoys, "global", "node_modules") };
    return childProcess.spawnSync(process.execPath, ["--input-type=module", "-e", script],
      { cwd: decoys, env, encoding: "utf8", timeout: 60_000 });
  }

  test("runs the installed package's executable by its absolute path, in each layout",
    { skip: posixOnly }, () => {
      // [app folder, the client package's folder in it, the platform package's node_modules]
      const app = (name) => path.join(root, name);
      const pnpm = path.join(app("pnpm"), "node_modules", ".pnpm", "velkor-dpapi@1.0.0",
        "node_modules");
      const lib = path.join(app("hoisted-nested"), "node_modules", "wallet-lib", "node_modules");
      const LAYOUTS = [
        [app("npm"), undefined, path.join(app("npm"), "node_modules")],
        [app("nested"), undefined,
          path.join(app("nested"), "node_modules", "velkor-dpapi", "node_modules")],
        [app("hoisted-nested"), path.join(lib, "velkor-dpapi"),
          path.join(app("hoisted-nested"), "node_modules")],
        [app("pnpm"), path.join(pnpm, "velkor-dpapi"), pnpm],
      ];
      for (const [folder, packageFolder, modules] of LAYOUTS) {
        const { module } = install(folder, packageFolder);
        const exe = path.join(modules, ...EXE);
        standIn(exe, "ok\n");
        const child = runChild(module);
        assert.deepEqual([child.stdout, child.stderr, child.status],
          [`${exe}\nselftest ok\n`, "", 0], folder);
      }
      // pnpm links the client into the app's node_modules, and Node runs it from the store.
      symlinkSync(path.join(pnpm, "velkor-dpapi"),
        path.join(app("pnpm"), "node_modules", "velkor-dpapi"));
      const linked = runChild(path.join(app("pnpm"), "node_modules", "velkor-dpapi", "index.js"));
      assert.deepEqual([linked.stdout, linked.stderr, linked.status],
        [`${path.join(pnpm, ...EXE)}\nselftest ok\n`, "", 0]);
    });

  test("on Windows on ARM64, the native package's executable, the x64 one only without it",
    { skip: posixOnly }, () => {
      const both = path.join(root, "arm64-both");
      const { module } = install(both);
      const native = path.join(both, "node_modules", "@velkor-dpapi", "win32-arm64",
        "velkor-dpapi.exe");
      standIn(native, "ok\n");
      const x64Mark = planted(path.join(both, "node_modules", ...EXE));
      const child = runChild(module, { platform: "win32-arm64" });
      assert.deepEqual([child.stdout, child.stderr, child.status],
        [`${native}\nselftest ok\n`, "", 0]);
      assert.equal(existsSync(x64Mark), false);
      // Only the x64 package installed (an older client's lock, or a failed optional install).
      const x64Only = path.join(root, "arm64-x64-only");
      const { module: fallback, exe } = install(x64Only);
      standIn(exe, "ok\n");
      const emulated = runChild(fallback, { platform: "win32-arm64" });
      assert.deepEqual([emulated.stdout, emulated.stderr, emulated.status],
        [`${exe}\nselftest ok\n`, "", 0]);
    });

  test("never one planted above the app, whose own platform package is missing",
    { skip: posixOnly }, () => {
      const above = path.join(root, "above");
      const { module } = install(path.join(above, "wallet"));
      const marks = [planted(path.join(above, "node_modules", ...EXE)),
        planted(path.join(above, "wallet", "velkor-dpapi.exe"))];
      const child = runChild(module);
      assert.deepEqual([child.stdout, child.status], ["", 1]);
      assert.match(child.stderr, new RegExp("VelkorDpapiError: velkor-dpapi: the packaged " +
        "executable for win32-x64 is not installed"));
      for (const mark of marks) assert.equal(existsSync(mark), false, mark);
    });

  test("never one from the current folder, PATH or NODE_PATH", { skip: posixOnly }, () => {
    const { module } = install(path.join(root, "app-without-its-platform-package"));
    const child = runChild(module);
    assert.deepEqual([child.stdout, child.status], ["", 1]);
    assert.match(child.stderr, new RegExp("VelkorDpapiError: velkor-dpapi: the packaged " +
      "executable for win32-x64 is not installed"));
  });

  test("in Electron, runs the unpacked copy beside app.asar, never the archived one",
    { skip: posixOnly }, () => {
      const resources = path.join(root, "electron-app", "resources");
      const archive = path.join(resources, "app.asar");
      const { module, exe: archived } = install(archive);
      standIn(archived, "archived copy\n");
      const unpacked = path.join(resources, "app.asar.unpacked", "node_modules", ...EXE);
      standIn(unpacked, "ok\n");
      const child = runChild(module, { electron: true });
      assert.deepEqual([child.stdout, child.stderr, child.status],
        [`${unpacked}\nselftest ok\n`, "", 0]);

      // Without asarUnpack there is no unpacked copy: a clear failure, nothing run.
      rmSync(unpacked);
      const missing = runChild(module, { electron: true });
      assert.equal(missing.status, 1);
      assert.match(missing.stderr, new RegExp("VelkorDpapiError: velkor-dpapi: the packaged " +
        "executable is inside an asar archive .* list it in the app's asarUnpack"));
    });
});
