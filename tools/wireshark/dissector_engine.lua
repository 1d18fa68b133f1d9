-- dissector_engine.lua - reads the agent socket's frames with the tables
-- above (R: frame constants, enumerations, commands and messages with their
-- layouts and fields, all written from the protocol rows at build time).
-- It knows the kinds of rows, never a particular command, message or field,
-- and says everything in the words of mcu-agent-dump: the Info column is
-- the dump's line without its time stamp.
--
-- A packet holds one frame as it was on the socket (lead bytes, two unused
-- bytes, id, length, payload, checksum), or bytes that were not a frame,
-- or nothing: a connect, disconnect or dropped line, whose words are the
-- packet's comment.  The packet's direction flag says who wrote it
-- (outbound: the application, inbound: the agent); its comment "#N" names
-- the connection.

local proto = Proto("mcu_agent", "MCU agent link")

local pf = {
    direction = ProtoField.string("mcu_agent.direction", "Direction"),
    connection = ProtoField.uint32("mcu_agent.connection", "Connection"),
    event = ProtoField.string("mcu_agent.event", "Event"),
    lead = ProtoField.uint16("mcu_agent.lead", "Lead bytes", base.HEX),
    length = ProtoField.uint8("mcu_agent.length", "Length"),
    layout = ProtoField.string("mcu_agent.layout", "Layout"),
    checksum = ProtoField.uint8("mcu_agent.checksum", "Checksum", base.HEX),
    garbage = ProtoField.bytes("mcu_agent.garbage", "Bytes outside any frame"),
    -- An answer and the request it answers: same id, same connection, the
    -- first request not answered yet (as Wireshark links DNS and HTTP).
    response_time = ProtoField.double("mcu_agent.response_time", "Response time (ms)"),
}
-- Frame-number fields that Wireshark draws as request and answer arrows
-- where it knows the frame types.
local function framenum_field(abbr, name, kind)
    local ok, f = pcall(ProtoField.framenum, abbr, name, base.NONE, frametype and frametype[kind])
    if ok then return f end
    return ProtoField.framenum(abbr, name)
end
pf.response_in = framenum_field("mcu_agent.response_in", "Answered in", "RESPONSE")
pf.response_to = framenum_field("mcu_agent.response_to", "Answer to the request in", "REQUEST")

local ef = {
    checksum = ProtoExpert.new("mcu_agent.checksum.bad", "Wrong checksum", expert.group.CHECKSUM,
                               expert.severity.ERROR),
    note = ProtoExpert.new("mcu_agent.note", "Frame problem", expert.group.PROTOCOL, expert.severity.WARN),
    garbage = ProtoExpert.new("mcu_agent.garbage.expert", "Bytes outside any frame", expert.group.PROTOCOL,
                              expert.severity.WARN),
    unknown_value = ProtoExpert.new("mcu_agent.unknown_value", "Value outside its enumeration",
                                    expert.group.PROTOCOL, expert.severity.WARN),
}

-- ---- words ------------------------------------------------------------

local function hex_of(bytes, first, last)
    local t = {}
    for i = first or 1, last or #bytes do t[#t + 1] = string.format("%02X", bytes[i]) end
    return table.concat(t)
end

local function hex_id(id) return string.format("0x%02X", id) end

local function quoted(bytes)
    local t = {'"'}
    for _, b in ipairs(bytes) do
        if b == 34 or b == 92 then
            t[#t + 1] = "\\" .. string.char(b)
        elseif b >= 0x20 and b < 0x7F then
            t[#t + 1] = string.char(b)
        else
            t[#t + 1] = string.format("\\x%02X", b)
        end
    end
    t[#t + 1] = '"'
    return table.concat(t)
end

local function format_value(f, v)
    local k = f.kind
    if k == "number" or k == "length" or k == "not_filled" then
        if f.enum then
            local name = R.enums[f.enum][v.number]
            return name or (tostring(v.number) .. "?")
        end
        return tostring(v.number)
    elseif k == "bytes" then
        return hex_of(v.bytes)
    elseif k == "text" then
        return quoted(v.bytes)
    end
    local t = {}
    for i, n in ipairs(v.numbers) do t[i] = tostring(n) end
    return "[" .. table.concat(t, ",") .. "]"
end

-- ---- the rows ---------------------------------------------------------

-- payload[k + 1] is payload byte Pk; positions past the end read as zero.
local function byte_at(payload, pos)
    return payload[pos + 1] or 0
end

local function read_number(f, payload, pos)
    local v = 0
    for i = 0, f.width - 1 do v = v * 256 + byte_at(payload, pos + i) end
    -- Arithmetic, not bit operators: the same in every Lua that Wireshark
    -- has shipped with; the last floor keeps the value an integer.
    if f.bits > 0 then v = math.floor(v / 2 ^ f.shift) % 2 ^ f.bits end
    return math.floor(v)
end

local function element_width(f) return f.kind == "numbers" and f.width or 1 end

local function value_named(values, name)
    for _, v in ipairs(values) do
        if v.name == name then return v end
    end
end

local function run_count(f, values, length)
    local per = element_width(f)
    local n = 0
    if f.count == "fixed" then
        n = f.count_value
    elseif f.count == "rest" then
        n = length > f.pos and math.floor((length - f.pos) / per) or 0
    else
        local c = value_named(values, f.count_field)
        n = c and c.number or 0
    end
    local room = f.pos < R.max_payload and math.floor((R.max_payload - f.pos) / per) or 0
    return math.min(n, room)
end

local function select_layout(layouts, payload)
    for _, l in ipairs(layouts) do
        if l.by == "always" then return l end
        if l.by == "length" and #payload == l.value then return l end
        if l.by == "byte" and l.pos < #payload and payload[l.pos + 1] == l.value then return l end
    end
end

local function decode(layout, payload)
    local out = {}
    for i, f in ipairs(layout.fields) do
        local v = {name = f.name, number = 0, bytes = {}, numbers = {}}
        if f.kind == "number" then
            v.number = read_number(f, payload, f.pos)
        elseif f.kind == "length" then
            v.number = #payload
        elseif f.kind == "not_filled" then
            for k = 0, f.width - 1 do
                if byte_at(payload, f.pos + k) ~= f.fill then v.number = 1 end
            end
        elseif f.kind == "bytes" or f.kind == "text" then
            for k = 0, run_count(f, out, #payload) - 1 do v.bytes[#v.bytes + 1] = byte_at(payload, f.pos + k) end
        else
            for k = 0, run_count(f, out, #payload) - 1 do
                v.numbers[#v.numbers + 1] = read_number(f, payload, f.pos + k * f.width)
            end
        end
        out[i] = v
    end
    return out
end

local function field_end(f, values, length)
    if f.kind == "number" or f.kind == "not_filled" then return f.pos + f.width end
    if f.kind == "length" then return 0 end
    return f.pos + run_count(f, values, length) * element_width(f)
end

local function check_length(layout, values, length)
    if length < layout.min or length > layout.max then
        if layout.min == layout.max then return "length " .. length .. ", takes " .. layout.min end
        return "length " .. length .. ", takes " .. layout.min .. " to " .. layout.max
    end
    local counted, expected = false, 0
    for _, f in ipairs(layout.fields) do
        counted = counted or f.count == "field"
        expected = math.max(expected, field_end(f, values, length))
    end
    if counted and expected ~= length then
        return "length " .. length .. ", the fields take " .. expected
    end
end

-- ---- filter fields, one per field name of each command and message ------

local field_of = {}  -- owner -> field name -> ProtoField
local record_of = {}  -- owner -> the record's own field: mcu_agent.hvac_info

-- A bit field is a number of its whole width with a mask, so Wireshark
-- knows its bits (the generator checks that every layout of an id gives
-- a name the same bits).
local uint_of_width = {ProtoField.uint8, ProtoField.uint16, ProtoField.uint24, ProtoField.uint32}
local function mask_of(f) return (2 ^ f.bits - 1) * 2 ^ f.shift end

local function proto_field(owner, f)
    field_of[owner] = field_of[owner] or {}
    local known = field_of[owner][f.name]
    if known then return known end
    local abbr = "mcu_agent." .. owner .. "." .. f.name
    local p
    local values = f.enum and R.enums[f.enum] or nil
    if f.kind == "number" and f.bits > 0 then
        p = uint_of_width[f.width](abbr, f.name, base.DEC, values, mask_of(f))
    elseif f.kind == "number" or f.kind == "length" or f.kind == "not_filled" then
        p = ProtoField.uint32(abbr, f.name, base.DEC, values)
    elseif f.kind == "bytes" then
        p = ProtoField.bytes(abbr, f.name)
    else
        p = ProtoField.string(abbr, f.name)
    end
    field_of[owner][f.name] = p
    pf[#pf + 1] = p
    return p
end

for _, table_ in ipairs({R.commands, R.messages}) do
    for _, owner in pairs(table_) do
        if not record_of[owner.owner] then
            record_of[owner.owner] = ProtoField.none("mcu_agent." .. owner.owner, owner.name)
            pf[#pf + 1] = record_of[owner.owner]
        end
        for _, l in ipairs(owner.layouts) do
            for _, f in ipairs(l.fields) do proto_field(owner.owner, f) end
        end
    end
end

local cmd_names, msg_names = {}, {}
for id, c in pairs(R.commands) do cmd_names[id] = c.name end
for id, m in pairs(R.messages) do msg_names[id] = m.name end
pf.cmd = ProtoField.uint8("mcu_agent.cmd", "Command", base.HEX, cmd_names)
pf.msg = ProtoField.uint8("mcu_agent.msg", "Message", base.HEX, msg_names)

local list = {}
for _, p in pairs(pf) do list[#list + 1] = p end
proto.fields = list
proto.experts = {ef.checksum, ef.note, ef.garbage, ef.unknown_value}

-- ---- one frame ----------------------------------------------------------

local function xor8(a, b)
    local r, bit = 0, 1
    for _ = 1, 8 do
        if a % 2 ~= b % 2 then r = r + bit end
        a, b, bit = math.floor(a / 2), math.floor(b / 2), bit * 2
    end
    return r
end

-- The frame's checksum byte: the id, the length byte and every payload
-- byte, exclusive-or'ed.
local function checksum_of(id, payload)
    local sum = xor8(id, #payload)
    for _, b in ipairs(payload) do sum = xor8(sum, b) end
    return sum
end

-- The range a field covers in the packet, cut to the payload.
local function field_range(tvb, start, payload_length, f, v)
    local first, n
    if f.kind == "length" then return tvb(R.length_offset, 1) end
    if f.kind == "number" or f.kind == "not_filled" then
        first, n = f.pos, f.width
    else
        first = f.pos
        n = (f.kind == "numbers" and #v.numbers * f.width) or #v.bytes
    end
    if first > payload_length then first = payload_length end
    if first + n > payload_length then n = payload_length - first end
    return tvb(start + first, n)
end

-- The bits of a bit field within its bytes, as Wireshark draws them:
-- "1111 ...." for the high four bits of a byte holding 15 there.
local function bit_pattern(f, word)
    local t = {}
    for b = f.width * 8 - 1, 0, -1 do
        if b >= f.shift and b < f.shift + f.bits then
            t[#t + 1] = math.floor(word / 2 ^ b) % 2 == 1 and "1" or "0"
        else
            t[#t + 1] = "."
        end
        if b % 4 == 0 and b > 0 then t[#t + 1] = " " end
    end
    return table.concat(t)
end

local function add_field(tree, tvb, owner, f, v, payload_length, words, payload)
    local p = field_of[owner][f.name]
    local range = field_range(tvb, R.head, payload_length, f, v)
    local item
    local label = f.name .. "=" .. words
    if f.kind == "number" and f.bits > 0 then
        -- Wireshark takes the whole word and applies the mask itself.
        local word = read_number({width = f.width, bits = 0}, payload, f.pos)
        item = tree:add(p, range, word)
        label = bit_pattern(f, word) .. " = " .. label
    elseif f.kind == "number" or f.kind == "length" or f.kind == "not_filled" then
        item = tree:add(p, range, v.number)
    elseif f.kind == "bytes" then
        item = tree:add(p, range)
    elseif f.kind == "text" then
        local chars = {}
        for i, b in ipairs(v.bytes) do chars[i] = string.char(b) end
        item = tree:add(p, range, table.concat(chars))
    else
        item = tree:add(p, range, words)
    end
    item:set_text(label)
    if f.kind == "number" and f.enum and R.enums[f.enum][v.number] == nil then
        item:add_proto_expert_info(ef.unknown_value, f.name .. ": " .. v.number .. " is not a member of " .. f.enum)
    end
end

-- Words and tree of a frame's id and payload, read by its lead bytes'
-- direction: `app` for an application's command, else an agent's message.
-- Also returns the layout, the values and the command or message (nil
-- when the id or the layout is unknown).
local function frame_body(tvb, tree, app, id, payload)
    local owner = app and R.commands[id] or R.messages[id]
    local words
    if owner then
        words = owner.name .. "(" .. hex_id(id) .. ")"
    else
        words = (app and "unknown command " or "unknown message ") .. hex_id(id)
    end
    local layout = owner and select_layout(owner.layouts, payload)
    if not layout then
        if #payload > 0 then words = words .. " " .. hex_of(payload) end
        return words, nil, nil, owner
    end
    if #owner.layouts > 1 and layout.name ~= "" then
        words = words .. " [" .. layout.name .. "]"
        tree:add(pf.layout, tvb(R.head, #payload), layout.name)
    end
    local values = decode(layout, payload)
    local record = tree:add(record_of[owner.owner], tvb(R.head, #payload))
    record:set_text(owner.name .. (owner.record and (" (" .. owner.record .. ")") or ""))
    for i, f in ipairs(layout.fields) do
        local w = format_value(f, values[i])
        words = words .. " " .. f.name .. "=" .. w
        add_field(record, tvb, owner.owner, f, values[i], #payload, w, payload)
    end
    return words, layout, values, owner
end

local function dissect_frame(tvb, pinfo, tree, bytes, written_by_app)
    local app = bytes[1] == R.app_lead[1] and bytes[2] == R.app_lead[2]
    local id, length = bytes[R.id_offset + 1], bytes[R.length_offset + 1]
    local payload = {}
    for k = 1, length do payload[k] = bytes[R.head + k] end
    local sent = bytes[R.head + length + 1]
    local want = checksum_of(id, payload)
    local framed = bytes[3] == 0 and bytes[4] == 0

    local who = written_by_app
    if who == nil then who = app end
    tree:add(pf.direction, tvb(0, 2), who and "app" or "agent")
    pinfo.cols.src = who and "app" or "agent"
    pinfo.cols.dst = who and "agent" or "app"
    tree:add(pf.lead, tvb(0, 2))
    tree:add(app and pf.cmd or pf.msg, tvb(R.id_offset, 1))
    tree:add(pf.length, tvb(R.length_offset, 1))
    local words, layout, values, owner = frame_body(tvb, tree, app, id, payload)
    local sum_item = tree:add(pf.checksum, tvb(R.head + length, 1))
    sum_item:append_text(sent == want and " (correct)" or string.format(" (wrong: expected 0x%02x)", want))

    local notes = {}
    local function note(text, expert_field, item)
        notes[#notes + 1] = text
        ;(item or tree):add_proto_expert_info(expert_field or ef.note, text)
    end
    -- A frame that the capture kept as it came (bad checksum, bytes 2
    -- and 3 not zero, lead bytes of the other side) reads as the dump reads
    -- such a line: "!" for ">",
    -- and for an application's frame every problem the virtual MCU checks.
    local kept_raw = not framed or sent ~= want or who ~= app
    local checksum_note = string.format("checksum %02X, expected %02X", sent, want)
    if app and kept_raw then
        if not framed then note("bytes 2 and 3 are not 00 00") end
        if sent ~= want then note(checksum_note, ef.checksum, sum_item) end
        if not owner then
            note(string.format("unknown command %02X", id))
        elseif not layout then
            note("no layout of " .. owner.name .. " has length " .. #payload ..
                 (#payload > 0 and string.format(" and P0 %02X", payload[1]) or ""))
        end
    elseif not app and not layout then
        note(owner and ("no layout has length " .. #payload) or
             "no decoding rule: the library copies the payload raw")
    end
    if layout then
        local problem = check_length(layout, values, #payload)
        if problem then note(problem) end
    end
    if not app and sent ~= want then note(checksum_note, ef.checksum, sum_item) end

    local arrow = kept_raw and " ! " or " > "
    local line = (who and "app" or "agent") .. arrow .. words
    for _, n in ipairs(notes) do line = line .. " !" .. n end
    local title = (who and "app" or "agent") .. arrow ..
                  (owner and (owner.name .. "(" .. hex_id(id) .. ")") or hex_id(id))
    local linkable = owner and not kept_raw and (not app or owner.answer ~= nil)
    return line, title, linkable and {app = app, id = id, answer = owner.answer} or nil
end

-- ---- requests and their answers -------------------------------------------

-- Filled on the first pass over the packets, which is in file order; read
-- on every later pass.  frame number -> {request = N, ms = T} for an
-- answer, {answer = N} for a request.
local links = {}
-- "connection:id" -> the requests waiting for an answer of that id, oldest
-- first: {number, seconds}.
local waiting = {}

function proto.init()
    links = {}
    waiting = {}
end

local function link(pinfo, connection, frame)
    if not pinfo.visited then
        if frame.app then
            local key = connection .. ":" .. frame.answer
            waiting[key] = waiting[key] or {}
            table.insert(waiting[key], {number = pinfo.number, seconds = pinfo.abs_ts})
        else
            local queue = waiting[connection .. ":" .. frame.id]
            if queue and #queue > 0 then
                local request = table.remove(queue, 1)
                local us = math.floor((pinfo.abs_ts - request.seconds) * 1e6 + 0.5)
                links[pinfo.number] = {request = request.number, ms = us / 1000}
                links[request.number] = {answer = pinfo.number}
            end
        end
    end
    return links[pinfo.number]
end

-- ---- the packet ----------------------------------------------------------

-- Fields of the frame that name what the pcapng packet carries; a
-- Wireshark without one of them still reads the frames.
local function frame_field(...)
    for _, name in ipairs({...}) do
        local ok, f = pcall(Field.new, name)
        if ok then return f end
    end
    return function() return nil end
end
local f_direction = frame_field("frame.packet_flags_direction")
local f_comment = frame_field("frame.comment", "pkt_comment")

function proto.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "MCU_AGENT"
    local comment_field = f_comment()
    local comment = comment_field and tostring(comment_field.value) or ""
    local direction_field = f_direction()
    local written_by_app  -- nil: by the lead bytes
    if direction_field then
        if direction_field.value == 2 then written_by_app = true end
        if direction_field.value == 1 then written_by_app = false end
    end
    local t = tree:add(proto, tvb())
    local connection = comment:match("^#(%d+)")
    if connection then t:add(pf.connection, tvb(0, 0), tonumber(connection)) end
    local prefix = connection and ("#" .. connection .. " ") or ""

    local size = tvb:len()
    if size == 0 then
        -- A capture event: its words are the comment.
        t:add(pf.event, tvb(0, 0), comment)
        pinfo.cols.info = comment
        return 0
    end
    local bytes = {}
    for i = 0, size - 1 do bytes[i + 1] = tvb(i, 1):uint() end
    local lead = size >= 2 and ((bytes[1] == R.app_lead[1] and bytes[2] == R.app_lead[2]) or
                                (bytes[1] == R.agent_lead[1] and bytes[2] == R.agent_lead[2]))
    local whole = lead and size >= R.overhead and size >= R.overhead + bytes[R.length_offset + 1]
    if not whole then
        local who = written_by_app
        if who == nil then who = true end
        local line = (who and "app" or "agent") .. " ! " .. size .. " bytes outside any frame: " .. hex_of(bytes)
        t:add(pf.direction, tvb(0, 0), who and "app" or "agent")
        local g = t:add(pf.garbage, tvb())
        g:add_proto_expert_info(ef.garbage)
        pinfo.cols.info = prefix .. line
        return size
    end
    local line, title, frame = dissect_frame(tvb, pinfo, t, bytes, written_by_app)
    local linked = frame and link(pinfo, connection or "0", frame)
    if linked and linked.answer then t:add(pf.response_in, tvb(0, 0), linked.answer):set_generated() end
    if linked and linked.request then
        t:add(pf.response_to, tvb(0, 0), linked.request):set_generated()
        t:add(pf.response_time, tvb(0, 0), linked.ms):set_generated()
    end
    local used = R.overhead + bytes[R.length_offset + 1]
    if size > used then
        -- A capture line of bytes that were not a valid frame may hold more
        -- than the frame at its start.
        local g = t:add(pf.garbage, tvb(used))
        g:add_proto_expert_info(ef.garbage)
        line = line .. " ? " .. (size - used) .. " bytes outside any frame: " .. hex_of(bytes, used + 1)
    end
    pinfo.cols.info = prefix .. line
    t:append_text(", " .. prefix .. title)
    return size
end
