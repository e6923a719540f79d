#!/usr/bin/env node
// Browser check of live edits against a running server (MAPSVC_URL) whose database
// (DATABASE_URL) has the change feed installed: the preview page is open on the plots, a
// plot's land use is changed with psql, and the plot must show its new colour within 2 s
// without the page being loaded again, fetching again only the tiles the plot lies in. The land use is put back afterwards. Leaves a
// screenshot in $MAPSVC_ARTIFACTS/live.png. Exits non-zero on any failure.
//
//   tests/browser/with-server.sh build/bin/mapsvc tests/browser/live.test.mjs
//
// Needs web/node_modules (scripts/web-build), /usr/bin/chromium and psql.
import { execFileSync } from 'node:child_process';
import { createRequire } from 'node:module';
import { mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { CheckFailed, check, decodePng } from './map_page.mjs';
import { analyseMapPixels, parseCssColour } from './pixels.mjs';

const require = createRequire(new URL('../../web/package.json', import.meta.url));
const { chromium } = require('playwright-core');

const BASE = (process.env.MAPSVC_URL || 'http://127.0.0.1:8000').replace(/\/+$/, '');
const DATABASE_URL = process.env.DATABASE_URL;
const ARTIFACTS = process.env.MAPSVC_ARTIFACTS || 'test-artifacts';
const EDIT_SHOWN_WITHIN_MS = 2_000;
const OVERALL_LIMIT_MS = 120_000;
const TOLERANCE = 6;  // per channel, as the pixel analysis allows

function psql(sql) {
  return execFileSync('psql', [DATABASE_URL, '-X', '-q', '-At', '-v', 'ON_ERROR_STOP=1', '-c', sql],
    { encoding: 'utf8' }).trim();
}

async function waitForIdle(page) {
  await page.waitForFunction(() => document.body.dataset.map === 'idle' || document.body.dataset.map === 'failed',
    null, { timeout: 60_000 });
  check(await page.evaluate(() => document.body.dataset.map) === 'idle', 'the map did not load');
}

async function screenshotPixels(page, clip) {
  return decodePng(page, await page.screenshot({ clip }));
}

// The colour at the centre of the clip.
async function colourAt(page, point) {
  const clip = { x: point.x - 2, y: point.y - 2, width: 5, height: 5 };
  const image = await screenshotPixels(page, clip);
  const i = (2 * image.width + 2) * 4;
  return [image.rgba[i], image.rgba[i + 1], image.rgba[i + 2]];
}

function sameColour(a, b) {
  return a.every((v, i) => Math.abs(v - b[i]) <= TOLERANCE);
}

// A plot well inside the view: its screen point (relative to the page), ID and land use.
async function pickPlot(page, legend) {
  const box = await page.locator('#map').boundingBox();
  const image = await screenshotPixels(page, box);
  const found = analyseMapPixels(image, legend.map((entry) => entry.colour));
  check(found.interior, 'no plot on screen is large enough to click');
  const point = { x: box.x + found.interior.x, y: box.y + found.interior.y };
  await page.mouse.click(point.x, point.y);
  const popup = page.locator('.maplibregl-popup');
  await popup.waitFor({ state: 'visible', timeout: 10_000 });
  const rows = await popup.locator('tr').evaluateAll((trs) => trs.map((tr) => [tr.cells[0].textContent, tr.cells[1].textContent]));
  const fields = Object.fromEntries(rows);
  await page.locator('.maplibregl-popup-close-button').click();
  await popup.waitFor({ state: 'detached' });
  check(/^\d+$/.test(fields.ID || ''), `the popup shows no plot ID: ${JSON.stringify(fields)}`);
  return { point, id: fields.ID, landUse: fields['Land use'] ?? null };
}

async function run() {
  check(DATABASE_URL, 'DATABASE_URL is not set (tests/browser/with-server.sh sets it)');
  mkdirSync(ARTIFACTS, { recursive: true });
  const profile = mkdtempSync(path.join(tmpdir(), 'mapsvc-live-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--enable-unsafe-swiftshader'],
    viewport: { width: 1280, height: 800 },
    deviceScaleFactor: 1,
  });
  const page = context.pages()[0] ?? await context.newPage();
  const errors = [];
  page.on('pageerror', (error) => errors.push(String(error)));
  let loads = 0;
  page.on('load', () => { loads += 1; });
  const tileRequests = [];
  page.on('request', (request) => {
    if (/\/\d+\/\d+\/\d+\.pbf$/.test(new URL(request.url()).pathname)) tileRequests.push({ url: request.url(), at: Date.now() });
  });
  let restore = null;
  try {
    await page.goto(BASE + '/', { waitUntil: 'load' });
    await waitForIdle(page);
    await page.locator('#live').waitFor({ state: 'visible', timeout: 10_000 });
    const legend = await page.locator('#legend li').evaluateAll((items) => items.map((li) => ({
      name: li.textContent.trim(), css: getComputedStyle(li.querySelector('.swatch')).backgroundColor })));
    for (const entry of legend) entry.colour = parseCssColour(entry.css);

    const plot = await pickPlot(page, legend);
    await waitForIdle(page);
    const before = await colourAt(page, plot.point);
    const target = legend.find((entry) => entry.name !== 'Other' && !sameColour(entry.colour, before));
    console.log(`plot ${plot.id} (${plot.landUse}) at ${JSON.stringify(plot.point)}: to ${target.name}`);

    const quoted = plot.landUse === null ? 'NULL' : `'${plot.landUse.replaceAll("'", "''")}'`;
    restore = `UPDATE "PLOT" SET "GENERAL_LU" = ${quoted} WHERE "ID" = ${plot.id}`;
    const loadsBefore = loads;
    const started = Date.now();
    psql(`UPDATE "PLOT" SET "GENERAL_LU" = '${target.name}' WHERE "ID" = ${plot.id}`);
    let now = before;
    while (!sameColour(now, target.colour) && Date.now() - started < EDIT_SHOWN_WITHIN_MS) {
      await page.waitForTimeout(50);
      now = await colourAt(page, plot.point);
    }
    const took = Date.now() - started;
    check(sameColour(now, target.colour),
      `the plot still shows rgb(${now}) ${took} ms after the edit, not ${target.name} rgb(${target.colour})`);
    console.log(`the edit showed after ${took} ms`);
    check(loads === loadsBefore, 'the page was loaded again');
    await page.waitForTimeout(500);
    const shown = new Set(tileRequests.filter((r) => r.at < started).map((r) => r.url));
    const again = new Set(tileRequests.filter((r) => r.at >= started).map((r) => r.url));
    console.log(`tiles fetched again: ${again.size} of ${shown.size}`);
    // A plot this small lies in at most four tiles of a zoom.
    check(again.size >= 1 && again.size <= 4 && again.size < shown.size,
      `${again.size} of the ${shown.size} tiles were fetched again, not only those of the plot`);
    check(errors.length === 0, `the page threw: ${errors[0]}`);
  } finally {
    if (restore) {
      try { psql(restore); } catch (error) { console.error(`could not put the land use back: ${error.message}`); }
    }
    await page.screenshot({ path: path.join(ARTIFACTS, 'live.png') }).catch(() => {});
    await context.close();
    rmSync(profile, { recursive: true, force: true });
  }
}

const guard = setTimeout(() => {
  console.error(`browser live edits: FAILED: no result after ${OVERALL_LIMIT_MS / 1000} s`);
  process.exit(1);
}, OVERALL_LIMIT_MS);

try {
  await run();
  console.log('browser live edits: passed');
  clearTimeout(guard);
} catch (error) {
  console.error(`browser live edits: FAILED: ${error instanceof CheckFailed ? error.message : error.stack}`);
  process.exit(1);
}
