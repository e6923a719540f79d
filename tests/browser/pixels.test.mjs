// node --test tests/browser/pixels.test.mjs
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { analyseMapPixels, parseCssColour } from './pixels.mjs';

const BACKGROUND = [243, 241, 236];
const FILL = [243, 210, 122];

function image(width, height, paint) {
  const rgba = Buffer.alloc(width * height * 4);
  for (let y = 0; y < height; y += 1) {
    for (let x = 0; x < width; x += 1) {
      const [r, g, b] = paint(x, y);
      rgba.set([r, g, b, 255], (y * width + x) * 4);
    }
  }
  return { width, height, rgba };
}

test('a map of background only has no fill and nothing to click', () => {
  const result = analyseMapPixels(image(40, 30, () => BACKGROUND), [FILL]);
  assert.equal(result.fillShare, 0);
  assert.equal(result.coloursSeen, 0);
  assert.equal(result.interior, null);
});

test('the click point lies well inside a patch of fill, not on its edge', () => {
  // a 20 x 20 patch at (30..49, 10..29) in a 100 x 40 image, with outlines left out
  const inPatch = (x, y) => x >= 30 && x < 50 && y >= 10 && y < 30;
  const result = analyseMapPixels(image(100, 40, (x, y) => (inPatch(x, y) ? FILL : BACKGROUND)), [FILL]);
  assert.equal(result.fillShare, 400 / 4000);
  assert.equal(result.coloursSeen, 1);
  assert.ok(result.interior, 'expected a click point');
  const { x, y } = result.interior;
  assert.ok(x >= 35 && x <= 44 && y >= 15 && y <= 24, `point ${x},${y} is too close to the edge`);
});

test('patches too thin to click in are counted as fill but give no click point', () => {
  const stripes = image(60, 60, (x) => (x % 6 < 3 ? FILL : BACKGROUND));
  const result = analyseMapPixels(stripes, [FILL]);
  assert.equal(result.fillShare, 0.5);
  assert.equal(result.interior, null);
});

test('colours within a small rounding tolerance match; others do not', () => {
  const near = [FILL[0] - 4, FILL[1] + 5, FILL[2]];
  const far = [FILL[0] - 20, FILL[1], FILL[2]];
  assert.equal(analyseMapPixels(image(10, 10, () => near), [FILL]).fillShare, 1);
  assert.equal(analyseMapPixels(image(10, 10, () => far), [FILL]).fillShare, 0);
});

test('CSS colours from computed styles parse; anything else is refused', () => {
  assert.deepEqual(parseCssColour('rgb(243, 210, 122)'), [243, 210, 122]);
  assert.deepEqual(parseCssColour('rgba(1, 2, 3, 0.5)'), [1, 2, 3]);
  assert.throws(() => parseCssColour('#f3d27a'), /not a CSS rgb\(\) colour/);
});

test('pixel data of the wrong size is refused', () => {
  assert.throws(() => analyseMapPixels({ width: 2, height: 2, rgba: Buffer.alloc(12) }, [FILL]),
    /does not match/);
});
