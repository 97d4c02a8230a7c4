// The ES module entry: the CommonJS implementation's own objects, re-exported, so that a package
// loaded both ways has one VelkorDpapiError class and instanceof holds across both.
import client from "./index.cjs";

export const { MAX_SECRET_BYTES, VelkorDpapiError, createClient, packagedExecutable } = client;
