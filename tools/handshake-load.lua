-- wrk script for scripts/bench-server --handshakes: posts the control's handshake form, each
-- request with a challenge made ahead of time, so that wrk spends its time on the wire and
-- not in Lua. Handshakes alone, not calls: tools/call-load makes the control's whole calls.
--   wrk ... -s handshake-load.lua URL -- PATH CHALLENGE_FILE THREADS REPLY_LENGTH CLOSE
-- A reply counts as good only when it is a 200 of the signed reply's length.

local threads = {}
local next_id = 1

function setup(thread)
  thread:set("id", next_id)
  next_id = next_id + 1
  table.insert(threads, thread)
end

function init(args)
  local path, file, thread_count = args[1], args[2], tonumber(args[3])
  reply_length = tonumber(args[4])
  local headers = { ["Content-Type"] = "application/x-www-form-urlencoded" }
  -- "close": a new connection for every request, the worst case (a Windows that does not
  -- share connections across the control's sessions). Wine's WinINet keeps one connection
  -- alive for all the requests of a call.
  if args[5] == "close" then
    headers["Connection"] = "close"
  end
  prepared = {}
  local line_number = 0
  -- Each thread takes every THREADS-th challenge, so no two threads send the same one.
  for line in io.lines(file) do
    if line_number % thread_count == id - 1 then
      prepared[#prepared + 1] = wrk.format("POST", path, headers, "SessionID=" .. line)
    end
    line_number = line_number + 1
  end
  sent = 0
  bad = 0
end

function request()
  sent = sent + 1
  return prepared[(sent - 1) % #prepared + 1]
end

function response(status, headers, body)
  if status ~= 200 or #body ~= reply_length then
    bad = bad + 1
  end
end

function done(summary, latency, requests)
  local bad_replies, most_sent = 0, 0
  for _, thread in ipairs(threads) do
    bad_replies = bad_replies + thread:get("bad")
    most_sent = math.max(most_sent, thread:get("sent"))
  end
  local errors = summary.errors
  io.write(string.format(
    "RESULT requests=%d duration_us=%d p50_us=%d p99_us=%d connect=%d read=%d write=%d timeout=%d bad=%d " ..
    "most_sent_per_thread=%d\n",
    summary.requests, summary.duration, latency:percentile(50), latency:percentile(99), errors.connect,
    errors.read, errors.write, errors.timeout, bad_replies, most_sent))
end
