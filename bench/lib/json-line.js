#!/usr/bin/env node
'use strict';
// json-line.js KEY VALUE...: one line of JSON, {"KEY": VALUE, ...} in the order given. A value
// that reads as a JSON number is written as that number, as measured (0.90 stays 0.90); any
// other value is a string.

const args = process.argv.slice(2);
if (args.length % 2) {
  process.stderr.write(`json-line.js: "${args[args.length - 1]}" has no value\n`);
  process.exit(2);
}
const NUMBER = /^[ \t\n\r]*(-?(?:0|[1-9]\d*)(?:\.\d+)?(?:[eE][+-]?\d+)?)[ \t\n\r]*$/;
const fields = [];
for (let i = 0; i < args.length; i += 2) {
  const m = NUMBER.exec(args[i + 1]);
  // A whole number has no sign of its own at zero (printf's %.0f writes -0 for -0.3).
  const value = m ? (m[1] === '-0' ? '0' : m[1]) : JSON.stringify(args[i + 1]);
  fields.push(`${JSON.stringify(args[i])}: ${value}`);
}
process.stdout.write(`{${fields.join(', ')}}\n`);
