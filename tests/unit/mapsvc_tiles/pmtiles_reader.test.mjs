// A package written by mapsvc-tiles' writer, read with the format's own npm reader: header,
// metadata and every tile (PMTILES_FIXTURE names the program that writes it).
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { openPackage } from './pmtiles_file.mjs';

test('the format\'s reader finds every tile, the header and the metadata', async () => {
  const dir = mkdtempSync(path.join(tmpdir(), 'pmtiles-reader-'));
  try {
    const file = path.join(dir, 'fixture.pmtiles');
    execFileSync(process.env.PMTILES_FIXTURE, [file]);
    const archive = openPackage(file);
    const header = await archive.getHeader();
    assert.equal(header.specVersion, 3);
    assert.equal(header.minZoom, 0);
    assert.equal(header.maxZoom, 10);
    assert.equal(header.clustered, true);
    assert.ok(header.leafDirectoryLength > 0, 'enough entries for leaf directories');
    assert.equal(header.centerZoom, 10);
    assert.ok(Math.abs(header.centerLat - 9.25) < 1e-6);
    assert.deepEqual(await archive.getMetadata(), { name: 'fixture', vector_layers: [{ id: 'plots', fields: {} }] });

    let tiles = 0;
    for (let z = 0; z <= 10; z++) {
      const count = Math.min(2 ** z, 200);
      for (let x = 0; x < count; x++) {
        for (let y = 0; y < count; y++) {
          const got = await archive.getZxy(z, x, y);
          const want = (x + y) % 5 === 0 ? 'shared' : `tile ${z}/${x}/${y}`;
          assert.equal(Buffer.from(got.data).toString(), want, `${z}/${x}/${y}`);
          tiles++;
        }
      }
      if (2 ** z > count) assert.equal(await archive.getZxy(z, count, 0), undefined, `beyond the block at z${z}`);
    }
    assert.equal(tiles, header.numAddressedTiles);
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
});
