// builtins.cjs for bundlers: the same modules through import, which a bundle into an ES module
// keeps as imports (a require() there fails at load).
import childProcess from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import path from "node:path";

export { childProcess, crypto, fs, path };
