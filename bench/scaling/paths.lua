-- wrk script: requests the paths of a file in turn, over and over; meant for one wrk
-- thread (-t1). Counts answers by status and X-Cache, printed after the run.
--   wrk -t1 ... -s paths.lua URL -- PATHS_FILE

local paths = {}
local i = 0
answered, ok, empty, failed, hits = 0, 0, 0, 0, 0
local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  for line in io.lines(args[1]) do
    if line ~= "" then paths[#paths + 1] = line end
  end
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
