// Pixel checks for the browser test, kept apart from the browser driving so they can be
// tried on made-up images.

const TOLERANCE = 6;   // per channel, for colour rounding in the compositor
const INTERIOR = 6;    // a click point needs this many pixels of the same fill all round
const GRID = 4;        // spacing of the candidate click points

// "rgb(243, 210, 122)" or "rgba(243, 210, 122, 1)" -> [243, 210, 122]
export function parseCssColour(text) {
  const match = /^rgba?\((\d+),\s*(\d+),\s*(\d+)/.exec(String(text).trim());
  if (!match) throw new Error(`not a CSS rgb() colour: ${text}`);
  return match.slice(1, 4).map(Number);
}

function classify(rgba, palette) {
  const classes = new Int8Array(rgba.length / 4).fill(-1);
  for (let p = 0, i = 0; p < classes.length; p += 1, i += 4) {
    for (let c = 0; c < palette.length; c += 1) {
      const [r, g, b] = palette[c];
      if (Math.abs(rgba[i] - r) <= TOLERANCE && Math.abs(rgba[i + 1] - g) <= TOLERANCE &&
          Math.abs(rgba[i + 2] - b) <= TOLERANCE) {
        classes[p] = c;
        break;
      }
    }
  }
  return classes;
}

function uniformAround(classes, width, x, y) {
  const want = classes[y * width + x];
  for (let dy = -INTERIOR; dy <= INTERIOR; dy += 1) {
    for (let dx = -INTERIOR; dx <= INTERIOR; dx += 1) {
      if (classes[(y + dy) * width + x + dx] !== want) return false;
    }
  }
  return true;
}

// image: { width, height, rgba } with 4 bytes a pixel; palette: [[r, g, b], ...].
// Returns the share of pixels in palette colours, how many palette colours occur, and
// the point nearest the centre that lies well inside one patch of fill (or null).
export function analyseMapPixels(image, palette) {
  const { width, height, rgba } = image;
  if (rgba.length !== width * height * 4) throw new Error('image size does not match its pixels');
  const classes = classify(rgba, palette);
  let filled = 0;
  const seen = new Set();
  for (const c of classes) {
    if (c >= 0) {
      filled += 1;
      seen.add(c);
    }
  }
  let interior = null;
  let best = Infinity;
  for (let y = INTERIOR; y < height - INTERIOR; y += GRID) {
    for (let x = INTERIOR; x < width - INTERIOR; x += GRID) {
      if (classes[y * width + x] < 0) continue;
      const distance = (x - width / 2) ** 2 + (y - height / 2) ** 2;
      if (distance < best && uniformAround(classes, width, x, y)) {
        best = distance;
        interior = { x, y };
      }
    }
  }
  return { fillShare: classes.length ? filled / classes.length : 0, coloursSeen: seen.size, interior };
}
