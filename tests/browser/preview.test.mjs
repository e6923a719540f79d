#!/usr/bin/env node
// Browser check of the map preview against a running server (MAPSVC_URL): the page loads
// its layers, the map shows plot fills once the tiles are in, a click on a plot opens a
// popup whose "Print survey plan" link returns a PNG. Leaves a screenshot in
// $MAPSVC_ARTIFACTS/preview.png (default test-artifacts/). Exits non-zero on any failure.
//
//   MAPSVC_URL=http://127.0.0.1:8000 node tests/browser/preview.test.mjs
//
// Needs web/node_modules (scripts/web-build) and /usr/bin/chromium.
import { createRequire } from 'node:module';
import { mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { analyseMapPixels, parseCssColour } from './pixels.mjs';

const require = createRequire(new URL('../../web/package.json', import.meta.url));
const { chromium } = require('playwright-core');

const BASE = (process.env.MAPSVC_URL || 'http://127.0.0.1:8000').replace(/\/+$/, '');
const ARTIFACTS = process.env.MAPSVC_ARTIFACTS || 'test-artifacts';
const PNG_SIGNATURE = Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);
const TILE_WAIT_MS = 60_000;
const OVERALL_LIMIT_MS = 180_000;
const MIN_FILL_SHARE = 0.05;  // of the map's pixels painted in plot colours

const CHROMIUM_ARGS = [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  // WebGL without a GPU: recent Chromium only falls back to its software renderer
  // when allowed to.
  '--enable-unsafe-swiftshader',
];

class CheckFailed extends Error {}

function check(condition, message) {
  if (!condition) throw new CheckFailed(message);
}

function watchPage(page) {
  const seen = { pageErrors: [], consoleErrors: [], badResponses: [], failedRequests: [], tiles: {} };
  page.on('pageerror', (error) => seen.pageErrors.push(String(error)));
  page.on('console', (msg) => { if (msg.type() === 'error') seen.consoleErrors.push(msg.text()); });
  page.on('requestfailed', (request) => {
    seen.failedRequests.push(`${request.url()}: ${request.failure()?.errorText}`);
  });
  page.on('response', (response) => {
    const url = new URL(response.url());
    if (response.status() >= 400) seen.badResponses.push(`${response.status()} ${url.pathname}`);
    const tile = url.pathname.match(/^\/gis\/([^/]+)\/\d+\/\d+\/\d+\.pbf$/);
    if (tile) {
      const counts = (seen.tiles[tile[1]] ??= {});
      counts[response.status()] = (counts[response.status()] || 0) + 1;
    }
  });
  return seen;
}

async function waitForTiles(page) {
  await page.waitForFunction(() => document.body.dataset.map === 'idle' || document.body.dataset.map === 'failed',
    null, { timeout: TILE_WAIT_MS });
  const state = await page.evaluate(() => document.body.dataset.map);
  const message = await page.locator('#message').textContent();
  check(state === 'idle', `the map did not load (state "${state}"): ${message}`);
}

async function legendColours(page) {
  const colours = await page.locator('#legend .swatch')
    .evaluateAll((swatches) => swatches.map((s) => getComputedStyle(s).backgroundColor));
  check(colours.length > 0, 'the page shows no land-use legend');
  return colours.map(parseCssColour);
}

async function checkMapPixels(page, palette) {
  const map = page.locator('#map');
  const shot = await map.screenshot();
  const result = analyseMapPixels(await decodePng(page, shot), palette);
  console.log(`map pixels: ${(100 * result.fillShare).toFixed(1)}% plot fill, ` +
              `${result.coloursSeen} land-use colour(s)`);
  check(result.fillShare >= MIN_FILL_SHARE,
    `only ${(100 * result.fillShare).toFixed(2)}% of the map shows plot fill colours (blank map?)`);
  check(result.interior, 'no plot on screen is large enough to click');
  return result.interior;
}

// The browser decodes the screenshot; the pixels come back as plain numbers.
async function decodePng(page, png) {
  return page.evaluate(async (base64) => {
    const bytes = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
    const bitmap = await createImageBitmap(new Blob([bytes], { type: 'image/png' }));
    const canvas = new OffscreenCanvas(bitmap.width, bitmap.height);
    const context = canvas.getContext('2d');
    context.drawImage(bitmap, 0, 0);
    const { data } = context.getImageData(0, 0, bitmap.width, bitmap.height);
    let binary = '';
    for (let i = 0; i < data.length; i += 0x8000) {
      binary += String.fromCharCode.apply(null, data.subarray(i, i + 0x8000));
    }
    return { width: bitmap.width, height: bitmap.height, rgba: btoa(binary) };
  }, png.toString('base64')).then((image) => ({ ...image, rgba: Buffer.from(image.rgba, 'base64') }));
}

async function checkPlotPopup(page, point) {
  await page.locator('#map').click({ position: point });
  const link = page.locator('.maplibregl-popup a', { hasText: 'Print survey plan' });
  await link.waitFor({ state: 'visible', timeout: 10_000 });
  const popupText = await page.locator('.maplibregl-popup').innerText();
  console.log(`popup: ${popupText.replace(/\s+/g, ' ').trim()}`);
  const href = await link.getAttribute('href');
  const planUrl = new URL(href, BASE + '/');
  check(/^\/plots\/\d+\/plan$/.test(planUrl.pathname), `unexpected plan link ${href}`);
  return planUrl;
}

async function checkPlanPng(planUrl) {
  const response = await fetch(planUrl);
  check(response.ok, `GET ${planUrl.pathname} answered HTTP ${response.status}`);
  const body = Buffer.from(await response.arrayBuffer());
  check(body.subarray(0, 8).equals(PNG_SIGNATURE), `GET ${planUrl.pathname} did not return a PNG`);
  console.log(`plan: ${planUrl.pathname} -> ${body.length} bytes of PNG (${response.headers.get('content-type')})`);
}

function report(seen) {
  console.log(`tiles by layer and status: ${JSON.stringify(seen.tiles)}`);
  for (const [label, list] of [['page errors', seen.pageErrors], ['console errors', seen.consoleErrors],
                               ['failed requests', seen.failedRequests], ['HTTP errors', seen.badResponses]]) {
    if (list.length) console.log(`${label}:\n  ${list.slice(0, 20).join('\n  ')}`);
  }
}

async function run() {
  mkdirSync(ARTIFACTS, { recursive: true });
  const profile = mkdtempSync(path.join(tmpdir(), 'mapsvc-browser-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: CHROMIUM_ARGS,
    viewport: { width: 1280, height: 800 },
    deviceScaleFactor: 1,
  });
  const page = context.pages()[0] ?? await context.newPage();
  const seen = watchPage(page);
  try {
    const response = await page.goto(BASE + '/', { waitUntil: 'load' });
    check(response && response.ok(), `GET / answered HTTP ${response && response.status()}`);
    await waitForTiles(page);
    check((seen.tiles.plots?.[200] || 0) > 0, 'no plots tile was served');
    const palette = await legendColours(page);
    const point = await checkMapPixels(page, palette);
    const planUrl = await checkPlotPopup(page, point);
    await checkPlanPng(planUrl);
    check(seen.pageErrors.length === 0, `the page threw: ${seen.pageErrors[0]}`);
    check(seen.badResponses.length === 0, `requests failed: ${seen.badResponses.join(', ')}`);
  } finally {
    await page.screenshot({ path: path.join(ARTIFACTS, 'preview.png') }).catch(() => {});
    report(seen);
    await context.close();
    rmSync(profile, { recursive: true, force: true });
  }
}

const guard = setTimeout(() => {
  console.error(`browser preview: FAILED: no result after ${OVERALL_LIMIT_MS / 1000} s`);
  process.exit(1);
}, OVERALL_LIMIT_MS);

try {
  await run();
  console.log('browser preview: passed');
  clearTimeout(guard);
} catch (error) {
  console.error(`browser preview: FAILED: ${error instanceof CheckFailed ? error.message : error.stack}`);
  process.exit(1);
}
