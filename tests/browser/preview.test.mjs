#!/usr/bin/env node
// Browser check of the map preview against a running server (MAPSVC_URL): the page loads
// its layers through the TileJSON of one composite source, the map shows plot fills once the
// tiles are in, a click on a plot opens a popup whose "Print survey plan" link returns a PNG.
// Then a page on another origin reads tiles and TileJSON across origins, but cannot purge. Leaves a screenshot in
// $MAPSVC_ARTIFACTS/preview.png (default test-artifacts/). Exits non-zero on any failure.
//
//   MAPSVC_URL=http://127.0.0.1:8000 node tests/browser/preview.test.mjs
//
// Needs web/node_modules (scripts/web-build) and /usr/bin/chromium.
import { createRequire } from 'node:module';
import { mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import http from 'node:http';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { CHROMIUM_ARGS, CheckFailed, check, decodePng, legendColours, waitForTiles } from './map_page.mjs';
import { analyseMapPixels } from './pixels.mjs';

const require = createRequire(new URL('../../web/package.json', import.meta.url));
const { chromium } = require('playwright-core');

const BASE = (process.env.MAPSVC_URL || 'http://127.0.0.1:8000').replace(/\/+$/, '');
const ARTIFACTS = process.env.MAPSVC_ARTIFACTS || 'test-artifacts';
const PNG_SIGNATURE = Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);
const OVERALL_LIMIT_MS = 180_000;
const MIN_FILL_SHARE = 0.05;  // of the map's pixels painted in plot colours

function watchPage(page) {
  const seen = { pageErrors: [], consoleErrors: [], badResponses: [], failedRequests: [], tiles: {}, tilejson: [] };
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
      // A composite source counts for each layer it holds.
      for (const layer of tile[1].split(',')) {
        const counts = (seen.tiles[layer] ??= {});
        counts[response.status()] = (counts[response.status()] || 0) + 1;
      }
    }
    if (/\/tilejson\.json$/.test(url.pathname)) seen.tilejson.push(`${response.status()} ${url.pathname}`);
  });
  return seen;
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

// A blank page served from another port: another origin to the service.
function blankPageServer(port) {
  const server = http.createServer((request, response) => {
    response.writeHead(200, { 'Content-Type': 'text/html' });
    response.end('<!doctype html><title>other origin</title>');
  });
  return new Promise((resolve) => server.listen(port, '127.0.0.1', () => resolve(server)));
}

// From a page of another origin: read the TileJSON and a tile it names, then try a purge.
async function crossOriginAttempt(context, port) {
  const server = await blankPageServer(port);
  const page = await context.newPage();
  try {
    await page.goto(`http://127.0.0.1:${server.address().port}/`);
    return await page.evaluate(async (base) => {
      const outcome = { read: 'blocked', etagVisible: false, purge: 'blocked' };
      try {
        const tilejson = await (await fetch(`${base}/gis/plots/tilejson.json`)).json();
        const tile = await fetch(tilejson.tiles[0].replace('{z}', '1').replace('{x}', '0').replace('{y}', '0'));
        outcome.read = tilejson.vector_layers[0].id;
        outcome.etagVisible = tile.headers.has('etag') || tile.status === 204;
      } catch (error) { /* refused by the browser */ }
      try {
        const purge = await fetch(`${base}/gis/cache/invalidate/plots`, { method: 'POST' });
        outcome.purge = String(purge.status);
      } catch (error) { /* refused by the browser */ }
      return outcome;
    }, BASE);
  } finally {
    await page.close();
    server.close();
  }
}

// The server lists one other origin (MAPSVC_LISTED_ORIGIN_PORT): that one reads and may purge;
// any other origin can do neither.
async function checkCrossOrigin(context) {
  const listedPort = Number(process.env.MAPSVC_LISTED_ORIGIN_PORT);
  check(listedPort > 0, 'MAPSVC_LISTED_ORIGIN_PORT is not set (tests/browser/with-server.sh sets it)');
  const listed = await crossOriginAttempt(context, listedPort);
  console.log(`listed origin: ${JSON.stringify(listed)}`);
  check(listed.read === 'plots', 'a listed origin could not read the TileJSON');
  check(listed.etagVisible, 'the ETag of a cross-origin tile is hidden from scripts');
  check(listed.purge === '200', `a listed origin could not purge (${listed.purge})`);
  const other = await crossOriginAttempt(context, 0);
  console.log(`other origin: ${JSON.stringify(other)}`);
  check(other.read === 'blocked', 'an origin that is not listed could read tiles');
  check(other.purge === 'blocked', 'an origin that is not listed could purge the cache');
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
    check(seen.tilejson.some((line) => line.startsWith('200 ')), 'the map did not load its source from TileJSON');
    const palette = await legendColours(page);
    const point = await checkMapPixels(page, palette);
    const planUrl = await checkPlotPopup(page, point);
    await checkPlanPng(planUrl);
    check(seen.pageErrors.length === 0, `the page threw: ${seen.pageErrors[0]}`);
    check(seen.badResponses.length === 0, `requests failed: ${seen.badResponses.join(', ')}`);
    await checkCrossOrigin(context);
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
