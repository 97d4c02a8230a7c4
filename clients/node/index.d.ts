/** The largest secret (and blob) the tool reads, in bytes. */
export const MAX_SECRET_BYTES: 16777215;

export type VelkorDpapiErrorCode =
  | "USAGE" // status 2: the tool was given a wrong command line
  | "BAD_INPUT" // status 3, or input over MAX_SECRET_BYTES (refused before spawning)
  | "DPAPI_FAILED" // status 4: the platform refused to seal or open, or the self-test mismatched
  | "WRITE_FAILED" // status 5: the tool could not write its result
  | "PROTOCOL" // an answer outside the tool's contract (output, message or status)
  | "TIMEOUT" // no answer in time: the child was killed
  | "ABORTED" // the call's AbortSignal fired: the child, if any, was killed
  | "SPAWN_FAILED" // the executable (or launcher) could not be started
  | "SIGNAL"; // the child was killed by a signal it did not get from this client

export class VelkorDpapiError extends Error {
  readonly name: "VelkorDpapiError";
  readonly code: VelkorDpapiErrorCode;
  readonly command: "protect" | "unprotect" | "selftest";
  /** The exit status, or null when the child did not exit on its own (or never ran). */
  readonly status: number | null;
  /** The signal that killed the child, for code "SIGNAL". */
  readonly signal: string | null;
  /** The platform's error code (GetLastError, unsigned) from the tool's message, for status 4. */
  readonly platformCode: number | null;
  /** The tool's standard error, as it was written (line ends included). */
  readonly stderr: string;
}

export interface ClientOptions {
  /** Absolute path of a program to run the tool with, and its arguments: ["/usr/bin/wine"]. */
  launcher?: readonly string[];
  /**
   * Milliseconds a call may take before its child is killed; 0 for none. Default 60000. A call
   * settles at most 500 ms after its deadline, whatever holds the child's pipes.
   */
  timeoutMs?: number;
  /** The child's environment; the current process's when omitted. */
  env?: Record<string, string | undefined>;
}

export interface CallOptions {
  /** Overrides the client's timeoutMs for this call. */
  timeoutMs?: number;
  /** Kills the child and rejects with code "ABORTED" when it fires. */
  signal?: AbortSignal;
}

export interface VelkorDpapiClient {
  /** Seals a secret; resolves with the sealed blob, never empty (an empty line is "PROTOCOL"). */
  protect(secret: Uint8Array, options?: CallOptions): Promise<Uint8Array>;
  /**
   * Opens a sealed blob; resolves with the secret in a new buffer, which is the caller's to wipe
   * (fill(0)) when done with it.
   */
  unprotect(blob: Uint8Array, options?: CallOptions): Promise<Uint8Array>;
  /** Runs the tool's self-test; resolves when it printed "ok". */
  selftest(options?: CallOptions): Promise<void>;
}

/**
 * A client for the executable at an absolute path. Throws a TypeError for a relative path or bare
 * name (nothing is looked up on PATH) and for invalid options.
 */
export function createClient(executable: string, options?: ClientOptions): VelkorDpapiClient;
