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
  | "SESSION_ENDED" // a session call not answered: its child was ended by another call's
  //                   deadline or abort, by close(), or by an answer outside the protocol
  | "INTERRUPTED" // Ctrl-C: status 0xC000013A (Windows) or 58 (Wine), or natively SIGINT
  | "SIGNAL" // the child was killed by another signal it did not get from this client
  | "NO_EXECUTABLE" // createClient() or packagedExecutable(): no packaged executable here
  | "INTEGRITY"; // the executable's SHA-256 is not the pinned one: it was not started

/**
 * The name of a known platform code (GetLastError's), as the README's "When DPAPI fails" table
 * lists them; null for any other code. Stable: a wallet may act on it.
 */
export type VelkorDpapiReason =
  | "ERROR_SUCCESS" // 0
  | "ERROR_FILE_NOT_FOUND" // 2
  | "ERROR_PATH_NOT_FOUND" // 3
  | "ERROR_ACCESS_DENIED" // 5
  | "ERROR_NOT_ENOUGH_MEMORY" // 8
  | "ERROR_INVALID_DATA" // 13
  | "ERROR_OUTOFMEMORY" // 14
  | "ERROR_INVALID_PARAMETER" // 87
  | "ERROR_MOD_NOT_FOUND" // 126
  | "ERROR_PROC_NOT_FOUND" // 127
  | "ERROR_PASSWORD_RESTRICTION" // 1325
  | "ERROR_INTERNAL_ERROR" // 1359
  | "NTE_SILENT_CONTEXT" // 0x80090022
  | "NTE_BAD_KEY_STATE" // 0x8009000B
  | "SEC_E_DELEGATION_REQUIRED"; // 0x80090345

/** A platform and architecture, as process.platform and process.arch name them. */
export type PackagedPlatform = "win32-x64" | "win32-arm64" | (string & {});

export class VelkorDpapiError extends Error {
  readonly name: "VelkorDpapiError";
  readonly code: VelkorDpapiErrorCode;
  /**
   * The call that failed; null for "NO_EXECUTABLE", which no call raises, and for "INTEGRITY"
   * thrown by createClient() (a released client without a pin for the package found).
   */
  readonly command: "protect" | "unprotect" | "selftest" | null;
  /** The exit status, or null when the child did not exit on its own (or never ran). */
  readonly status: number | null;
  /** The signal that killed the child, for code "SIGNAL" (and "INTERRUPTED": "SIGINT"). */
  readonly signal: string | null;
  /** The platform's error code (GetLastError, unsigned) from the tool's message, for status 4. */
  readonly platformCode: number | null;
  /**
   * The platform code's name when it is a known one ("NTE_BAD_KEY_STATE"), else null; the
   * message then also says what happened and what the caller can do.
   */
  readonly reason: VelkorDpapiReason | null;
  /** The tool's standard error, as it was written (line ends included). */
  readonly stderr: string;
}

export interface ClientOptions {
  /**
   * Without an executable path: whose packaged executable to run ("win32-x64", or "win32-arm64":
   * the native ARM64 one, else the x64 one under emulation); this process's platform and
   * architecture by default. Ignored with a path.
   */
  platform?: PackagedPlatform;
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

/** The options of a client for an executable at a path of the caller's. */
export interface ExecutableOptions extends ClientOptions {
  /**
   * The executable's SHA-256, 64 hex digits: before each start the file is read and checked, and
   * one that differs is never started (the call rejects with "INTEGRITY"). Without it, the file
   * at the path runs unchecked. A packaged executable is always checked against its package's
   * own digest, in a released client.
   */
  sha256?: string;
}

export interface CallOptions {
  /** Overrides the client's timeoutMs for this call. */
  timeoutMs?: number;
  /** Kills the child and rejects with code "ABORTED" when it fires. */
  signal?: AbortSignal;
}

export interface SessionOptions {
  /**
   * Milliseconds an idle session keeps its child before ending it (the next call starts a new
   * one). Default 1000. An idle session never keeps Node's event loop running.
   */
  idleMs?: number;
}

/**
 * One child of the tool for many calls. Each call keeps a one-shot call's contract: the same
 * error codes, its own deadline and AbortSignal. A call whose deadline passes or whose signal
 * fires ends the child: the other calls pending reject with "SESSION_ENDED", and the next call
 * starts a new child, as it does after a child died or an idle one was ended.
 */
export interface VelkorDpapiSession {
  protect(secret: Uint8Array, options?: CallOptions): Promise<Uint8Array>;
  unprotect(blob: Uint8Array, options?: CallOptions): Promise<Uint8Array>;
  /**
   * Ends the child now: the calls pending reject with "SESSION_ENDED"; with none, its input is
   * ended and it exits. Resolves once it has ended. A later call starts a new child.
   */
  close(): Promise<void>;
}

/** One item's outcome in a batch, in the shape of Promise.allSettled's. */
export type VelkorDpapiSettled =
  | { status: "fulfilled"; value: Uint8Array }
  | { status: "rejected"; reason: VelkorDpapiError | TypeError };

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
  /** A session: one child for many calls (started by the first). */
  session(options?: SessionOptions): VelkorDpapiSession;
  /**
   * Seals each secret through one child; an outcome per secret, in order, so one failure leaves
   * the others answered. The options apply to each call, its deadline counted from the start.
   */
  protectMany(secrets: Iterable<Uint8Array>, options?: CallOptions): Promise<VelkorDpapiSettled[]>;
  /** Opens each blob through one child, as protectMany. */
  unprotectMany(blobs: Iterable<Uint8Array>, options?: CallOptions): Promise<VelkorDpapiSettled[]>;
}

/**
 * A client for the executable at an absolute path. Throws a TypeError for a relative path or bare
 * name (nothing is looked up on PATH) and for invalid options.
 */
export function createClient(executable: string, options?: ExecutableOptions): VelkorDpapiClient;
/**
 * A client for the executable installed with this package (see packagedExecutable), found at
 * this call; a released client starts it only with its package's SHA-256, pinned when the
 * package was packed. Throws a VelkorDpapiError with code "NO_EXECUTABLE" where there is none,
 * and a TypeError for invalid options.
 */
export function createClient(options?: ClientOptions): VelkorDpapiClient;
export function createClient(executable: undefined, options?: ClientOptions): VelkorDpapiClient;

/**
 * The absolute path of the executable that npm installed with this package for the platform
 * (the optional dependency @velkor-dpapi/win32-x64; on Windows on ARM64 @velkor-dpapi/win32-arm64,
 * else the x64 one), looked for in this package's own node_modules and the node_modules folders
 * its path runs through, never above them, on PATH or in the current folder; inside a packaged
 * Electron app, its copy in app.asar.unpacked. Throws a VelkorDpapiError with code
 * "NO_EXECUTABLE" where there is none: another platform, the optional dependency not installed,
 * not unpacked from the app's asar archive, or the client bundled (pass a path then).
 */
export function packagedExecutable(platform?: PackagedPlatform): string;
