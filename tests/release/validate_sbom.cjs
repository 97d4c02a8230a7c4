// Validates CycloneDX JSON files with CycloneDX's own JavaScript library, strictly (nothing beyond
// the schema of the CycloneDX version each file names), and prints one line per file; exits 1 when any
// file is invalid. The library comes from the tools folder that tests/npm_tools.py fills.
//
//   node validate_sbom.cjs TOOLS_FOLDER FILE...
"use strict";
const fs = require("node:fs");
const path = require("node:path");
const { createRequire } = require("node:module");

async function main() {
  const [tools, ...files] = process.argv.slice(2);
  const { Validation } = createRequire(path.join(tools, "package.json"))(
    "@cyclonedx/cyclonedx-library");
  for (const file of files) {
    const text = fs.readFileSync(file, "utf8");
    const version = JSON.parse(text).specVersion;
    const errors = await new Validation.JsonStrictValidator(version).validate(text);
    if (errors === null) {
      console.log(`${file}: valid CycloneDX ${version}`);
    } else {
      console.log(`${file}: not valid CycloneDX ${version}: ${JSON.stringify(errors)}`);
      process.exitCode = 1;
    }
  }
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 2;
});
