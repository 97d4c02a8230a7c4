// A wallet's use of the package, type-checked with `tsc --strict --noEmit` against index.d.ts
// (tests/typescript_check.py). Each @ts-expect-error line is a misuse the declarations must
// refuse: were one accepted, tsc would report the directive as unused.
import {
  createClient,
  MAX_SECRET_BYTES,
  packagedExecutable,
  VelkorDpapiError,
  type CallOptions,
  type ClientOptions,
  type VelkorDpapiClient,
  type VelkorDpapiErrorCode,
  type VelkorDpapiReason,
  type VelkorDpapiSession,
  type VelkorDpapiSettled,
} from "velkor-dpapi";

const options: ClientOptions = { timeoutMs: 30_000, env: { PATH: undefined } };
const packaged: VelkorDpapiClient = createClient();
const withOptions: VelkorDpapiClient = createClient({ platform: "win32-x64", ...options });
const underWine = createClient(undefined, { launcher: ["/usr/bin/wine"] });
const atPath = createClient("C:\\Program Files\\Velkor\\resources\\velkor-dpapi.exe", options);
const pinned = createClient("C:\\Velkor\\velkor-dpapi.exe", { sha256: "ab".repeat(32) });
const executable: string = packagedExecutable();
const forWindows: string = packagedExecutable("win32-x64");

export async function roundTrip(secret: Uint8Array, signal: AbortSignal): Promise<void> {
  const call: CallOptions = { signal, timeoutMs: 0 };
  const blob: Uint8Array = await packaged.protect(secret, call);
  const opened: Uint8Array = await withOptions.unprotect(blob);
  opened.fill(0);
  const done: void = await underWine.selftest({ signal });
  return done;
}

// A wallet unlocking its vaults: one child for every key, then a session for later calls.
export async function unlock(blobs: Uint8Array[], signal: AbortSignal): Promise<Uint8Array[]> {
  const results: VelkorDpapiSettled[] = await packaged.unprotectMany(blobs, { signal });
  const keys: Uint8Array[] = [];
  for (const result of results) {
    if (result.status === "fulfilled") keys.push(result.value);
    else if (result.reason instanceof VelkorDpapiError) advice(result.reason);
  }
  const sealed: VelkorDpapiSettled[] = await packaged.protectMany(new Set(keys));
  const session: VelkorDpapiSession = packaged.session({ idleMs: 5000 });
  const again: Uint8Array = await session.protect(keys[0] ?? new Uint8Array(0), { timeoutMs: 0 });
  const opened: Uint8Array = await session.unprotect(again, { signal });
  opened.fill(0);
  const closed: Promise<void> = session.close();
  await closed;
  return sealed.length === keys.length ? keys : [];
}

// What a wallet tells its user, by the error's stable fields.
export function advice(error: unknown): string {
  if (!(error instanceof VelkorDpapiError)) return "unexpected";
  const code: VelkorDpapiErrorCode = error.code;
  const command: "protect" | "unprotect" | "selftest" | null = error.command;
  const status: number | null = error.status;
  const platformCode: number | null = error.platformCode;
  const stderr: string = error.stderr;
  const reason: VelkorDpapiReason | null = error.reason;
  if (code === "NO_EXECUTABLE") return "pass the executable's path";
  if (code === "INTEGRITY") return "reinstall the wallet";
  switch (reason) {
    case "NTE_BAD_KEY_STATE":
      return "enrol again";
    case "SEC_E_DELEGATION_REQUIRED":
      return "connect to the office network";
    case null:
      return `${command} ${status} ${platformCode} ${stderr} ${error.message}`;
    default:
      return reason;
  }
}

export const limit: 16777215 = MAX_SECRET_BYTES;
export { atPath, executable, forWindows, pinned };

// @ts-expect-error: the executable is a path, not a number
createClient(42);
// @ts-expect-error: the input is bytes, never a string of hex
packaged.protect("76656c6b6f72");
// @ts-expect-error: a digest goes with the executable's path
createClient({ sha256: "ab".repeat(32) });
// @ts-expect-error: the digest is hex text
createClient("C:\\Velkor\\velkor-dpapi.exe", { sha256: new Uint8Array(32) });
// @ts-expect-error: the launcher is a list of strings
createClient({ launcher: "/usr/bin/wine" });
// @ts-expect-error: no such reason
export const wrong: VelkorDpapiReason = "ERROR_MAYBE";
// @ts-expect-error: no such error code
export const wrongCode: VelkorDpapiErrorCode = "FAILED";
// @ts-expect-error: a session seals bytes, not hex
packaged.session().protect("76656c6b6f72");
// @ts-expect-error: no such session option
packaged.session({ idle: 5 });
// @ts-expect-error: a batch takes a list
packaged.protectMany(new Uint8Array(4));
// @ts-expect-error: the fields are read-only
new VelkorDpapiError().reason = "NTE_BAD_KEY_STATE";
