-- wrk script: tiles drawn from a Zipf distribution over a list of paths, counting X-Cache.
--   wrk ... -s zipf.lua URL -- PATHS_FILE EXPONENT SEED
-- Every thread shuffles the list with the same seed, so a rank is the same tile in every
-- thread; each thread then draws from its own stream, derived from the seed and its number.

local paths, cdf = {}, {}
local state = 1
-- Globals, so that done() can read them from each thread.
hits, answered, empty, failed = 0, 0, 0, 0
local threads = {}

-- Park-Miller "minimal standard" generator: exact in doubles, the same on every platform.
local function next_random()
  state = (state * 16807) % 2147483647
  return state
end

function setup(thread)
  table.insert(threads, thread)
  thread:set("thread_number", #threads)
end

function init(args)
  local file, exponent, seed = args[1], tonumber(args[2]), tonumber(args[3])
  for line in io.lines(file) do
    if line ~= "" then paths[#paths + 1] = line end
  end
  state = seed
  for i = #paths, 2, -1 do
    local j = next_random() % i + 1
    paths[i], paths[j] = paths[j], paths[i]
  end
  local total = 0
  for rank = 1, #paths do
    total = total + rank ^ -exponent
    cdf[rank] = total
  end
  for rank = 1, #paths do cdf[rank] = cdf[rank] / total end
  state = (seed + 104729 * thread_number) % 2147483647
  if state == 0 then state = 1 end
end

function request()
  local u = next_random() / 2147483647
  local lo, hi = 1, #cdf
  while lo < hi do
    local mid = math.floor((lo + hi) / 2)
    if cdf[mid] < u then lo = mid + 1 else hi = mid end
  end
  return wrk.format("GET", paths[lo])
end

function response(status, headers, body)
  answered = answered + 1
  if status == 204 then empty = empty + 1 end
  if status >= 400 then failed = failed + 1 end
  if (headers["X-Cache"] or headers["x-cache"]) == "HIT" then hits = hits + 1 end
end

function done(summary, latency, requests)
  local h, a, e, f = 0, 0, 0, 0
  for _, t in ipairs(threads) do
    h = h + t:get("hits")
    a = a + t:get("answered")
    e = e + t:get("empty")
    f = f + t:get("failed")
  end
  io.write(string.format("xcache answered=%d hits=%d empty=%d failed=%d\n", a, h, e, f))
end
