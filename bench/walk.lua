-- wrk script: walks a list of paths, in the file's order or, given a seed, in an order
-- shuffled with it, so that a path comes back only after all the others (each thread from its
-- own place in the list). Counts answers by
-- status and X-Cache and prints them after the run.
--   wrk ... -s bench/walk.lua URL -- PATHS_FILE [SEED]

local paths = {}
local state = 1
local i = 0
-- Globals, so that done() can read them from each thread.
answered, ok, empty, failed, hits = 0, 0, 0, 0, 0
local threads = {}

local function next_random()
  state = (state * 16807) % 2147483647
  return state
end

function setup(thread)
  -- Threads start an eighth of the list apart: in step they would ask for the same paths at
  -- once, and a server that shares one build among concurrent requests would build half.
  thread:set("offset", #threads)
  table.insert(threads, thread)
end

function init(args)
  for line in io.lines(args[1]) do
    if line ~= "" then paths[#paths + 1] = line end
  end
  if args[2] then
    state = tonumber(args[2])
    for k = #paths, 2, -1 do
      local j = next_random() % k + 1
      paths[k], paths[j] = paths[j], paths[k]
    end
  end
  i = math.floor(#paths * (offset or 0) / 8) % #paths
end

function request()
  i = i % #paths + 1
  return wrk.format("GET", paths[i])
end

function response(status, headers, body)
  answered = answered + 1
  if status == 200 then ok = ok + 1 end
  if status == 204 then empty = empty + 1 end
  if status >= 400 then failed = failed + 1 end
  if (headers["X-Cache"] or headers["x-cache"]) == "HIT" then hits = hits + 1 end
end

function done(summary, latency, requests)
  local a, o, e, f, h = 0, 0, 0, 0, 0
  for _, t in ipairs(threads) do
    a = a + t:get("answered")
    o = o + t:get("ok")
    e = e + t:get("empty")
    f = f + t:get("failed")
    h = h + t:get("hits")
  end
  io.write(string.format("answers answered=%d ok=%d hits=%d empty=%d failed=%d bytes=%d\n", a, o, h, e, f,
                         summary.bytes))
end
