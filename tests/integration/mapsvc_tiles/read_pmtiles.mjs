// Reads a PMTiles package with the format's own npm reader (pinned in web/): prints the
// metadata as one JSON line, then for each "z/x/y" line on stdin "z/x/y LENGTH HEX" of the
// tile's uncompressed bytes, or "z/x/y none".
import { readFileSync } from 'node:fs';
import { openPackage } from '../../unit/mapsvc_tiles/pmtiles_file.mjs';

const archive = openPackage(process.argv[2]);
const header = await archive.getHeader();
console.log(JSON.stringify({ header, metadata: await archive.getMetadata() }));
for (const line of readFileSync(0, 'utf8').split('\n').filter(Boolean)) {
  const [z, x, y] = line.split('/').map(Number);
  const tile = await archive.getZxy(z, x, y);
  if (!tile) {
    console.log(`${line} none`);
    continue;
  }
  // Uncompressed by the reader (see pmtiles_file.mjs).
  const bytes = Buffer.from(tile.data);
  console.log(`${line} ${bytes.length} ${bytes.toString('hex')}`);
}
