// Reads a PMTiles package with the format's own npm reader (pinned in web/): prints the
// metadata as one JSON line, then for each "z/x/y" line on stdin "z/x/y LENGTH HEX" of the
// tile's uncompressed bytes, or "z/x/y none".
import { openSync, readFileSync, readSync } from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { gunzipSync } from 'node:zlib';

const here = path.dirname(fileURLToPath(import.meta.url));
const require = createRequire(path.join(here, '../../../web/package.json'));
const { PMTiles } = await import(require.resolve('pmtiles'));

const exactly = (b) => b.buffer.slice(b.byteOffset, b.byteOffset + b.length);
class FileSource {
  constructor(file) {
    this.file = file;
    this.fd = openSync(file, 'r');
  }
  getKey() {
    return this.file;
  }
  async getBytes(offset, length) {
    const buf = Buffer.alloc(length);
    const n = readSync(this.fd, buf, 0, length, offset);
    return { data: exactly(buf.subarray(0, n)) };
  }
}

const archive = new PMTiles(new FileSource(process.argv[2]), undefined, async (buf, compression) =>
  compression === 2 ? exactly(gunzipSync(Buffer.from(buf))) : buf);
const header = await archive.getHeader();
console.log(JSON.stringify({ header, metadata: await archive.getMetadata() }));
for (const line of readFileSync(0, 'utf8').split('\n').filter(Boolean)) {
  const [z, x, y] = line.split('/').map(Number);
  const tile = await archive.getZxy(z, x, y);
  if (!tile) {
    console.log(`${line} none`);
    continue;
  }
  // Uncompressed by the reader (with the function above).
  const bytes = Buffer.from(tile.data);
  console.log(`${line} ${bytes.length} ${bytes.toString('hex')}`);
}
