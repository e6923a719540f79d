// The format's own npm reader (pinned in web/) over a local file, for the checks that read
// packages mapsvc-tiles wrote.
import { openSync, readSync } from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { gunzipSync } from 'node:zlib';

const here = path.dirname(fileURLToPath(import.meta.url));
const require = createRequire(path.join(here, '../../../web/package.json'));
const { PMTiles } = await import(require.resolve('pmtiles'));

// An ArrayBuffer of exactly the bytes (a small Buffer's own may be a shared pool).
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

const gunzip = async (buf, compression) => (compression === 2 ? exactly(gunzipSync(Buffer.from(buf))) : buf);

// The package at `file`, its tiles handed over uncompressed.
export function openPackage(file) {
  return new PMTiles(new FileSource(file), undefined, gunzip);
}
