// Validates a SARIF file against the SARIF 2.1.0 schema and checks its
// results: node check_sarif.js MODULES FILE RESULTS [SOURCE LINE [all]]
// ("all": every result is located in SOURCE)
"use strict";
const [modules, file, results, source, line, all] = process.argv.slice(2);
const Ajv = require(modules + "/ajv");
const schema = require(modules + "/@microsoft/jest-sarif/lib/schemas/sarif-2.1.0-rtm.5.json");
const log = JSON.parse(require("fs").readFileSync(file, "utf8"));
const ajv = new Ajv({schemaId: "auto", allErrors: true});
ajv.addMetaSchema(require(modules + "/ajv/lib/refs/json-schema-draft-04.json"));
const fail = why => { console.error("check_sarif: " + file + ": " + why); process.exit(1); };
if (!ajv.validate(schema, log)) fail(ajv.errorsText());
const found = log.runs[0].results;
if (found.length !== Number(results)) fail(found.length + " results, not " + results);
for (const result of found) {
  if (!/^\d+ bytes in \d+ blocks (leaked|lost|still reachable) \(one of \d+ bytes at 0x([0-9A-F]{8}){1,2}\)$/.test(result.message.text))
    fail("message " + result.message.text);
  if (!result.stacks[0].frames.length) fail("a result without its stack");
}
if (source) {
  // Under Wine the Z: path of the source is its Unix path.
  const uri = "file://" + require("fs").realpathSync(source);
  if (!found.some(r => r.locations[0].physicalLocation.artifactLocation.uri === uri &&
                       r.locations[0].physicalLocation.region.startLine === Number(line)))
    fail("no result at " + uri + " line " + line);
  if (all && !found.every(r => r.locations[0].physicalLocation.artifactLocation.uri === uri))
    fail("a result located outside " + uri);
}
