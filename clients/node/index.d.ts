// The declarations of the ES module entry: those of the CommonJS implementation it re-exports.
export * from "./index.cjs";
