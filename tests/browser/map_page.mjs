// What the browser checks share: Chromium's flags, failing a check, waiting for the map to
// draw, and reading its pixels.
import { parseCssColour } from './pixels.mjs';

const TILE_WAIT_MS = 60_000;

export const CHROMIUM_ARGS = [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  // WebGL without a GPU: recent Chromium only falls back to its software renderer
  // when allowed to.
  '--enable-unsafe-swiftshader',
];

export class CheckFailed extends Error {}

export function check(condition, message) {
  if (!condition) throw new CheckFailed(message);
}

export async function waitForTiles(page) {
  await page.waitForFunction(() => document.body.dataset.map === 'idle' || document.body.dataset.map === 'failed',
    null, { timeout: TILE_WAIT_MS });
  const state = await page.evaluate(() => document.body.dataset.map);
  const message = await page.locator('#message').textContent();
  check(state === 'idle', `the map did not load (state "${state}"): ${message}`);
}

export async function legendColours(page) {
  const colours = await page.locator('#legend .swatch')
    .evaluateAll((swatches) => swatches.map((s) => getComputedStyle(s).backgroundColor));
  check(colours.length > 0, 'the page shows no land-use legend');
  return colours.map(parseCssColour);
}

// The browser decodes the screenshot; the pixels come back as plain numbers.
export async function decodePng(page, png) {
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
