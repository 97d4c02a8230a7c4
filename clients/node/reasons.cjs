"use strict";

// The platform codes a wallet meets in the field, by name, with what happened and what it can do,
// in plain words. The name is the error's stable `reason`; the words go into its message and may
// be reworded. Each meaning is checked against Microsoft's documentation of the code (the table
// in the project's docs/dpapi-failures.md names the pages); where only the POSIX stand-in gives a code,
// the words say so.

const PROMPT_WANTED =
  "Windows wanted to show a prompt (a blob sealed with strong protection, or a policy that asks " +
  "for a password), and the tool never lets it";
const PROMPT_ACTION =
  "Seal the secret again with this tool, which never asks for a prompt; if a policy forces " +
  "prompts on this computer, that is a matter for its administrator";

// code: [reason, what happened, what the wallet can do], and where unprotect differs, what
// happened and what to do then.
const REASONS = new Map([
  [0, ["ERROR_SUCCESS",
    "the platform reported a failure without giving a code",
    "Try again; if it keeps failing, report it with the Windows version"]],
  [2, ["ERROR_FILE_NOT_FOUND",
    "Windows could not find a file it needs, most often the user's DPAPI keys because the user " +
      "profile is not loaded (a service, a scheduled task, or another user's token)",
    "Run the wallet as the signed-in user, with that user's profile loaded"]],
  [3, ["ERROR_PATH_NOT_FOUND",
    "a folder the platform needs is missing (the POSIX stand-in: no home folder for its key)",
    "Run the wallet as a user with a profile (home) folder"]],
  [5, ["ERROR_ACCESS_DENIED",
    "access was refused: on Windows to the user's key store; with the POSIX stand-in, its key " +
      "file or a folder above it is unsafe (open to other users) or cannot be written",
    "Run the wallet as the user the secrets belong to; with the stand-in, make the key and its " +
      "folders the user's own and closed to others"]],
  [8, ["ERROR_NOT_ENOUGH_MEMORY",
    "memory ran out",
    "Free some memory (or use a smaller secret) and try again"]],
  [13, ["ERROR_INVALID_DATA",
    "the data is invalid",
    "Try again; if it keeps failing, report it",
    "the blob does not open: it was changed or cut short, or sealed with other entropy",
    "It cannot be opened as it is: restore the blob from a backup, or enrol the secret again"]],
  [14, ["ERROR_OUTOFMEMORY",
    "memory ran out",
    "Free some memory (or use a smaller secret) and try again"]],
  [87, ["ERROR_INVALID_PARAMETER",
    "the platform refused an argument",
    "Report it: the tool passes fixed arguments",
    "the input is not a DPAPI blob (its layout does not parse)",
    "Pass unprotect a blob that protect made, unchanged; restore it from a backup if it was " +
      "damaged, or enrol the secret again"]],
  [126, ["ERROR_MOD_NOT_FOUND",
    "crypt32.dll could not be loaded from the Windows system folder",
    "Windows itself is damaged or locked down: a matter for the computer's administrator"]],
  [127, ["ERROR_PROC_NOT_FOUND",
    "crypt32.dll in the Windows system folder lacks the data-protection functions",
    "Windows itself is damaged or too old: a matter for the computer's administrator"]],
  [1325, ["ERROR_PASSWORD_RESTRICTION", PROMPT_WANTED, PROMPT_ACTION]],
  [1359, ["ERROR_INTERNAL_ERROR",
    "the platform failed inside (the POSIX stand-in: libsodium could not start)",
    "Try again; if it keeps failing, report it"]],
  [0x80090022, ["NTE_SILENT_CONTEXT", PROMPT_WANTED, PROMPT_ACTION]],
  [0x8009000b, ["NTE_BAD_KEY_STATE",
    "the key is not valid for use in this state",
    "Try again as the signed-in user, with that user's profile loaded",
    "this user's keys cannot open the blob: it was sealed for another Windows user or on another " +
      "computer, or the user's profile is not loaded (a service or impersonation), or an " +
      "administrator reset the user's password instead of the user changing it",
    "Open it as the user who sealed it, on that computer, signed in normally; after a password " +
      "reset, setting the old password back restores access; otherwise the secret is lost: " +
      "enrol it again"]],
  [0x80090345, ["SEC_E_DELEGATION_REQUIRED",
    "Windows could not back up this user's new DPAPI master key to a writable domain controller " +
      "(a domain user's first seal on this computer, with only a read-only one in reach)",
    "Connect to the organisation's network (or VPN) so a writable domain controller is in " +
      "reach, then try again; otherwise a matter for IT"]],
]);

/**
 * The reason and plain words for a platform code seen by a command, or null for a code not in
 * the table.
 */
function explainPlatformCode(code, command) {
  const entry = REASONS.get(code);
  if (entry === undefined) return null;
  const [reason, happened, action, unprotectHappened, unprotectAction] = entry;
  return command === "unprotect" && unprotectHappened !== undefined
    ? { reason, happened: unprotectHappened, action: unprotectAction }
    : { reason, happened, action };
}

/** Every reason the table can give, for the declarations' test. */
const REASON_NAMES = Object.freeze([...new Set([...REASONS.values()].map(([r]) => r))]);

module.exports = { explainPlatformCode, REASON_NAMES };
