// The known platform codes: each one's reason, as Microsoft names the code, what the client's
// message then says, and the "When DPAPI fails" tables of the package's README and the
// project's docs/dpapi-failures.md, which must list the same codes and names as the client.
import assert from "node:assert/strict";
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, describe, test } from "node:test";
import { createClient } from "../index.js";
import { explainPlatformCode, REASON_NAMES } from "../reasons.cjs";

// Microsoft's names for the codes (winerror.h), written out here, not taken from the client.
const NAMES = new Map([
  [0, "ERROR_SUCCESS"],
  [2, "ERROR_FILE_NOT_FOUND"],
  [3, "ERROR_PATH_NOT_FOUND"],
  [5, "ERROR_ACCESS_DENIED"],
  [8, "ERROR_NOT_ENOUGH_MEMORY"],
  [13, "ERROR_INVALID_DATA"],
  [14, "ERROR_OUTOFMEMORY"],
  [87, "ERROR_INVALID_PARAMETER"],
  [126, "ERROR_MOD_NOT_FOUND"],
  [127, "ERROR_PROC_NOT_FOUND"],
  [1325, "ERROR_PASSWORD_RESTRICTION"],
  [1359, "ERROR_INTERNAL_ERROR"],
  [2148073506, "NTE_SILENT_CONTEXT"], // 0x80090022
  [2148073483, "NTE_BAD_KEY_STATE"], // 0x8009000B
  [2148074309, "SEC_E_DELEGATION_REQUIRED"], // 0x80090345
]);

const COMMANDS = ["protect", "unprotect", "selftest"];

describe("known platform codes", () => {
  test("each has its name as reason, and words for what happened and what to do", () => {
    for (const [code, name] of NAMES) {
      for (const command of COMMANDS) {
        const { reason, happened, action } = explainPlatformCode(code, command);
        assert.equal(reason, name);
        assert.match(happened, /^\S.*[^.]$/, `${name}: what happened, no full stop`);
        assert.match(action, /^[A-Z].*[^.]$/, `${name}: what to do, a sentence, no stop`);
      }
    }
    assert.deepEqual([...REASON_NAMES].sort(), [...NAMES.values()].sort());
  });

  test("other codes have none", () => {
    for (const code of [1, 4, 6, 12, 1223, 2148073494 /* NTE_BAD_KEYSET */, 4294967295]) {
      assert.equal(explainPlatformCode(code, "unprotect"), null);
    }
  });

  // Only unprotect has a blob to restore: what protect and the self-test say of a code is its
  // general meaning, never advice to restore a blob or enrol the secret again, and the same for
  // both.
  test("the words for each command", () => {
    const BLOB_WORDS = ["13", "87", "2148073483"].map(Number);
    for (const code of NAMES.keys()) {
      const [protect, unprotect, selftest] = COMMANDS.map((c) => explainPlatformCode(code, c));
      assert.deepEqual(selftest, protect, `${NAMES.get(code)}: the self-test's words`);
      for (const { happened, action } of [protect, selftest]) {
        assert.doesNotMatch(`${happened}. ${action}`, /backup|enrol/i, NAMES.get(code));
      }
      if (BLOB_WORDS.includes(code)) assert.notDeepEqual(unprotect, protect, NAMES.get(code));
      else assert.deepEqual(unprotect, protect, NAMES.get(code));
    }
    const said = (code, command) => {
      const { reason, happened, action } = explainPlatformCode(code, command);
      return `${reason}: ${happened}. ${action}.`;
    };
    const INVALID_DATA = "ERROR_INVALID_DATA: the data is invalid. Try again; if it keeps " +
      "failing, report it.";
    assert.equal(said(13, "protect"), INVALID_DATA);
    assert.equal(said(13, "selftest"), INVALID_DATA);
    assert.equal(said(13, "unprotect"), "ERROR_INVALID_DATA: the blob does not open: it was " +
      "changed or cut short, or sealed with other entropy. It cannot be opened as it is: " +
      "restore the blob from a backup, or enrol the secret again.");
    assert.equal(said(87, "selftest"), "ERROR_INVALID_PARAMETER: the platform refused an " +
      "argument. Report it: the tool passes fixed arguments.");
    assert.equal(said(0x8009000b, "selftest"), "NTE_BAD_KEY_STATE: the key is not valid for " +
      "use in this state. Try again as the signed-in user, with that user's profile loaded.");
  });

  test("what unprotect says of the codes a wallet meets most", () => {
    const said = (code) => {
      const { reason, happened, action } = explainPlatformCode(code, "unprotect");
      return `${reason}: ${happened}. ${action}.`;
    };
    assert.equal(said(0x8009000b), "NTE_BAD_KEY_STATE: this user's keys cannot open the blob: " +
      "it was sealed for another Windows user or on another computer, or the user's profile is " +
      "not loaded (a service or impersonation), or an administrator reset the user's password " +
      "instead of the user changing it. Open it as the user who sealed it, on that computer, " +
      "signed in normally; after a password reset, setting the old password back restores " +
      "access; otherwise the secret is lost: enrol it again.");
    assert.equal(said(87), "ERROR_INVALID_PARAMETER: the input is not a DPAPI blob (its layout " +
      "does not parse). Pass unprotect a blob that protect made, unchanged; restore it from a " +
      "backup if it was damaged, or enrol the secret again.");
    assert.equal(explainPlatformCode(0x80090345, "protect").happened,
      "Windows could not back up this user's new DPAPI master key to a writable domain " +
      "controller (a domain user's first seal on this computer, with only a read-only one in " +
      "reach)");
  });
});

describe("the error a call rejects with", { skip: process.platform === "win32" && "POSIX only" },
  () => {
    const folder = mkdtempSync(join(tmpdir(), "velkor-node-reasons-"));
    after(() => rmSync(folder, { recursive: true, force: true }));

    // A stand-in for the tool that fails with this message on standard error and status 4.
    const failingWith = (message) => {
      const path = join(folder, `tool-${message.length}`);
      writeFileSync(path, `#!${process.execPath}\nprocess.stdin.resume();\n` +
        `process.stdin.on("end", () => { process.stderr.write(${JSON.stringify(message)}); ` +
        "process.exitCode = 4; });\n", { mode: 0o755 });
      return createClient(path);
    };

    test("carries the reason, and the words after the tool's line", async () => {
      const error = await failingWith("DPAPI unprotect failed (error 2148074309)\r\n")
        .unprotect(Uint8Array.of(1)).catch((caught) => caught);
      const { reason, happened, action } = explainPlatformCode(0x80090345, "unprotect");
      assert.deepEqual([error.code, error.platformCode, error.reason, error.message],
        ["DPAPI_FAILED", 2148074309, "SEC_E_DELEGATION_REQUIRED",
          `velkor-dpapi unprotect: DPAPI unprotect failed (error 2148074309): ${reason}: ` +
          `${happened}. ${action}.`]);
    });

    test("with an unknown code, no reason and the tool's line alone", async () => {
      const error = await failingWith("DPAPI protect failed (error 1223)\n")
        .protect(Uint8Array.of(1)).catch((caught) => caught);
      assert.deepEqual([error.platformCode, error.reason, error.message],
        [1223, null, "velkor-dpapi protect: DPAPI protect failed (error 1223)"]);
    });
  });

// The rows of a "When DPAPI fails" table: [code, reason] from its first two cells.
function tableRows(readme) {
  const text = readFileSync(new URL(readme, import.meta.url), "utf8");
  const section = text.slice(text.search(/^#+ When DPAPI fails$/m));
  const table = section.slice(0, section.indexOf("\n\n", section.indexOf("| Code |")));
  return table.split("\n").filter((line) => /^\| (0x[0-9A-F]+|\d+)/.test(line)).map((line) => {
    const [code, reason] = line.split("|").slice(1, 3).map((cell) => cell.trim());
    return [Number(code.split(" ")[0]), reason.replace(/`/g, "")];
  });
}

describe("the READMEs' tables", () => {
  for (const readme of ["../README.md", "../../../docs/dpapi-failures.md"]) {
    test(readme, () => {
      const rows = tableRows(readme);
      assert.deepEqual(new Map(rows), NAMES);
      assert.equal(rows.length, NAMES.size, "each code once");
    });
  }
});
