'use strict';
// Number text for the benchmarks' reports, the same on every run and machine:
//   fixed(x, d)     x with d decimals, from x's exact binary value rounded half to even (as
//                   C's printf does; Number#toFixed rounds ties up, so 0.125 would give 0.13)
//   floatText(x)    the shortest text that reads back as x, whole numbers with ".0" and an
//                   exponent below 1e-4 and from 1e16 (1.0, 0.87, 1.5e+16)
//   grouped(text)   the integer digits of a number's text in groups of three, space-separated

// x = mantissa * 2^exponent exactly, mantissa a BigInt (x finite, not negative).
function exactParts(x) {
  const view = new DataView(new ArrayBuffer(8));
  view.setFloat64(0, x);
  const bits = view.getBigUint64(0);
  const biased = Number((bits >> 52n) & 0x7ffn);
  const fraction = bits & ((1n << 52n) - 1n);
  return biased === 0 ? [fraction, -1074] : [fraction | (1n << 52n), biased - 1075];
}

function fixed(x, digits) {
  if (Number.isNaN(x)) return 'nan';
  if (!Number.isFinite(x)) return x > 0 ? 'inf' : '-inf';
  const negative = x < 0 || Object.is(x, -0);
  const [mantissa, exponent] = exactParts(Math.abs(x));
  // |x| * 10^digits as the fraction num / den, rounded to a whole number, ties to even.
  let num = mantissa * 10n ** BigInt(digits);
  let den = 1n;
  if (exponent >= 0) num <<= BigInt(exponent);
  else den <<= BigInt(-exponent);
  let q = num / den;
  const twice = 2n * (num % den);
  if (twice > den || (twice === den && q % 2n === 1n)) q += 1n;
  let text = q.toString().padStart(digits + 1, '0');
  if (digits > 0) text = `${text.slice(0, -digits)}.${text.slice(-digits)}`;
  return (negative ? '-' : '') + text;
}

function floatText(x) {
  if (Number.isNaN(x)) return 'nan';
  if (!Number.isFinite(x)) return x > 0 ? 'inf' : '-inf';
  if (x === 0) return Object.is(x, -0) ? '-0.0' : '0.0';
  // toExponential() without digits gives the shortest digits that read back as x.
  const [mantissa, exp] = Math.abs(x).toExponential().split('e');
  const digits = mantissa.replace('.', '');
  const e = Number(exp);
  let text;
  if (e < -4 || e >= 16) {
    text = `${digits[0]}${digits.length > 1 ? '.' + digits.slice(1) : ''}e${e < 0 ? '-' : '+'}${String(Math.abs(e)).padStart(2, '0')}`;
  } else if (e < 0) {
    text = `0.${'0'.repeat(-e - 1)}${digits}`;
  } else if (digits.length <= e + 1) {
    text = `${digits}${'0'.repeat(e + 1 - digits.length)}.0`;
  } else {
    text = `${digits.slice(0, e + 1)}.${digits.slice(e + 1)}`;
  }
  return (x < 0 ? '-' : '') + text;
}

const grouped = (text) => text.replace(/^(-?)(\d+)/, (_, sign, int) => sign + int.replace(/\B(?=(\d{3})+$)/g, ' '));

module.exports = { fixed, floatText, grouped };
