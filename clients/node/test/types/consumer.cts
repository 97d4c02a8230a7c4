// A CommonJS wallet's use of the package (an Electron main process compiled to CommonJS),
// type-checked with `tsc --strict --noEmit` against index.d.cts (tests/typescript_check.py):
// a require-style import, which TypeScript resolves through the "require" condition.
import velkor = require("velkor-dpapi");
import { createClient, VelkorDpapiError, type VelkorDpapiClient } from "velkor-dpapi";

const packaged: VelkorDpapiClient = velkor.createClient({ platform: "win32-arm64" });
const atPath: VelkorDpapiClient = createClient("C:\\Velkor\\velkor-dpapi.exe", { timeoutMs: 0 });
const limit: number = velkor.MAX_SECRET_BYTES;
const executable: string = velkor.packagedExecutable("win32-x64");

export async function roundTrip(secret: Uint8Array): Promise<string> {
  try {
    const opened: Uint8Array = await atPath.unprotect(await packaged.protect(secret));
    opened.fill(0);
    return `${limit} ${executable}`;
  } catch (error) {
    // One class, whichever way the package was loaded.
    const same: typeof VelkorDpapiError = velkor.VelkorDpapiError;
    if (error instanceof same) return error.code;
    throw error;
  }
}

// @ts-expect-error: a number is neither a path nor options
velkor.createClient(42);
