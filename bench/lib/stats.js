'use strict';
// Numbers shared by the benchmarks' Node programs: one median, one percentile, and one seeded
// random sequence (the shell drivers have bench/lib.sh's median for theirs).

// The p-th percentile (0-100) of ascending values, nearest rank; NaN when there are none.
function percentile(sorted, p) {
  if (sorted.length === 0) return NaN;
  return sorted[Math.min(sorted.length - 1, Math.max(0, Math.ceil((p / 100) * sorted.length) - 1))];
}

// The median of values in any order (the mean of the middle two for an even count).
function median(values) {
  const s = [...values].sort((a, b) => a - b);
  if (s.length === 0) return NaN;
  return s.length % 2 ? s[(s.length - 1) / 2] : (s[s.length / 2 - 1] + s[s.length / 2]) / 2;
}

// mulberry32: small, seeded, the same sequence on every machine; numbers in [0, 1).
function rng(seed) {
  let a = seed >>> 0;
  return () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = a;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

module.exports = { percentile, median, rng };
