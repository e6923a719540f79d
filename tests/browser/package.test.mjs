#!/usr/bin/env node
// Browser check of an offline package: `mapsvc-tiles export` writes a PMTiles file of the test
// cadastre, and the preview page opened with `?pmtiles=URL` draws the plots from it in their
// land-use colours, with no tile asked of the service. The file is served by the test with
// range requests, as a static file server or object store would. Screenshot in
// $MAPSVC_ARTIFACTS/package.png.
//
//   MAPSVC_URL=... MAPSVC_TILES=build/bin/mapsvc-tiles DATABASE_URL=... node tests/browser/package.test.mjs
import { execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { CHROMIUM_ARGS, CheckFailed, check, decodePng, legendColours, waitForTiles } from './map_page.mjs';
import { analyseMapPixels } from './pixels.mjs';

const require = createRequire(new URL('../../web/package.json', import.meta.url));
const { chromium } = require('playwright-core');

const BASE = (process.env.MAPSVC_URL || 'http://127.0.0.1:8000').replace(/\/+$/, '');
const ARTIFACTS = process.env.MAPSVC_ARTIFACTS || 'test-artifacts';
const PACKAGE_PATH = '/offline/area.pmtiles';
const MIN_FILL_SHARE = 0.05;

// A 206 answer to a range request for `bytes` (the one form the reader sends: bytes=A-B).
function rangeAnswer(bytes, range) {
  const m = /^bytes=(\d+)-(\d+)$/.exec(range || '');
  if (!m) return { status: 200, body: bytes, headers: { 'Content-Type': 'application/octet-stream' } };
  const start = Number(m[1]);
  const end = Math.min(Number(m[2]), bytes.length - 1);
  return {
    status: 206,
    body: bytes.subarray(start, end + 1),
    headers: { 'Content-Type': 'application/octet-stream', 'Content-Range': `bytes ${start}-${end}/${bytes.length}` },
  };
}

async function run() {
  mkdirSync(ARTIFACTS, { recursive: true });
  const dir = mkdtempSync(path.join(tmpdir(), 'mapsvc-package-'));
  const file = path.join(dir, 'area.pmtiles');
  const out = execFileSync(process.env.MAPSVC_TILES, ['export', '--zoom', '12-16', '--layers', 'plots,beacons', '-o', file],
    { env: process.env, encoding: 'utf8' });
  console.log(out.trim().split('\n').pop());
  const bytes = readFileSync(file);

  const profile = mkdtempSync(path.join(tmpdir(), 'mapsvc-browser-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium', headless: true, args: CHROMIUM_ARGS,
    viewport: { width: 1280, height: 800 }, deviceScaleFactor: 1,
  });
  const page = context.pages()[0] ?? await context.newPage();
  const pageErrors = [];
  const served = { ranges: 0, serviceTiles: 0 };
  page.on('pageerror', (error) => pageErrors.push(String(error)));
  await page.route(`${BASE}${PACKAGE_PATH}`, (route) => {
    served.ranges += 1;
    return route.fulfill(rangeAnswer(bytes, route.request().headers().range));
  });
  await page.route(/\/gis\/[^/]+\/\d+\/\d+\/\d+\.pbf/, (route) => {
    served.serviceTiles += 1;
    return route.abort();
  });
  try {
    const response = await page.goto(`${BASE}/?pmtiles=${encodeURIComponent(PACKAGE_PATH)}`, { waitUntil: 'load' });
    check(response && response.ok(), `GET / answered HTTP ${response && response.status()}`);
    await waitForTiles(page);
    const shot = await page.locator('#map').screenshot();
    const result = analyseMapPixels(await decodePng(page, shot), await legendColours(page));
    console.log(`package: ${served.ranges} range requests; map pixels ${(100 * result.fillShare).toFixed(1)}% plot fill`);
    check(result.fillShare >= MIN_FILL_SHARE, `only ${(100 * result.fillShare).toFixed(2)}% plot fill from the package`);
    check(served.ranges > 0, 'the page did not read the package');
    check(served.serviceTiles === 0, `${served.serviceTiles} tiles were asked of the service`);
    const note = await page.locator('#package').textContent();
    check(/change-feed position \d+/.test(note), `the page does not say which package it shows: "${note}"`);
    check(pageErrors.length === 0, `the page threw: ${pageErrors[0]}`);
  } finally {
    await page.screenshot({ path: path.join(ARTIFACTS, 'package.png') }).catch(() => {});
    await context.close();
    rmSync(profile, { recursive: true, force: true });
    rmSync(dir, { recursive: true, force: true });
  }
}

try {
  await run();
  console.log('browser package: passed');
} catch (error) {
  console.error(`browser package: FAILED: ${error instanceof CheckFailed ? error.message : error.stack}`);
  process.exit(1);
}
