-- Wireshark/tshark dissector for the device's message protocol: a 16-byte
-- header, then the Tavik file service's records (listing and block read).
--
-- Load it for one run:   tshark -X lua_script:tavik.lua -r capture.pcapng
-- or for good:           cp tavik.lua ~/.local/lib/wireshark/plugins/
--
-- Decoded on TCP port 15003; any other port through Decode As
-- (tshark: -d tcp.port==PORT,tavik).  Messages split over segments are
-- reassembled, several in one segment are all decoded.  Byte order: header
-- and request integers big-endian, reply integers little-endian.

local PORT = 15003
local HEADER = 16
local NAME_LEN = 240

local tavik = Proto("tavik", "Tavik file service")

local LIST_REQ, GET_REQ = 0x0A88, 0x0A82
-- The device answers with the request's id plus one; the client never
-- looks at reply ids, so replies are told apart by direction first.
local LIST_RESP, GET_RESP = LIST_REQ + 1, GET_REQ + 1

local msgnames = {
    [LIST_REQ] = "KX_FILE_TAVIK_LIST_REQ_MSG",
    [LIST_RESP] = "KX_FILE_TAVIK_LIST_REQ_MSG reply",
    [GET_REQ] = "KX_FILE_TAVIK_GET_REQ_MSG",
    [GET_RESP] = "KX_FILE_TAVIK_GET_REQ_MSG reply",
}

-- EKxFileTavikRet, named as the client names them in its messages.
local rcnames = {}
for i, name in ipairs({ "Ok", "Timeout", "AccessViolation", "FileAlreadyExists",
    "FileNotFound", "FileNotReadable", "FileNotWritable", "FileCopyError", "DirNotFound",
    "DirNotReadable", "DirNotWritable", "DirCopyError", "NoMemory", "ReadError",
    "WriteError", "SeekError", "RenameError", "StatError", "AddressFailure",
    "MessageFailure", "NoTransferInProgress", "OutOfRange", "UndefinedError" }) do
    rcnames[1 - i] = name
end

local f = tavik.fields
f.record = ProtoField.string("tavik.record", "Record")
f.reserved = ProtoField.uint16("tavik.reserved", "Reserved", base.HEX)
f.msgid = ProtoField.uint16("tavik.msgid", "Message id", base.HEX, msgnames)
f.target = ProtoField.uint32("tavik.target", "Target", base.HEX)
f.target_node = ProtoField.uint32("tavik.target.node", "Node", base.HEX, nil, 0xFFFF0000)
f.target_cp = ProtoField.uint32("tavik.target.cp", "Communication point", base.HEX, nil, 0xFFFF)
f.sender = ProtoField.uint32("tavik.sender", "Sender", base.HEX)
f.sender_node = ProtoField.uint32("tavik.sender.node", "Node", base.HEX, nil, 0xFFFF0000)
f.sender_cp = ProtoField.uint32("tavik.sender.cp", "Communication point", base.HEX, nil, 0xFFFF)
f.msgsize = ProtoField.uint16("tavik.msgsize", "Message size", base.DEC)
f.flags = ProtoField.uint16("tavik.flags", "Flags", base.HEX)
f.name = ProtoField.string("tavik.name", "Name")
f.offset = ProtoField.uint32("tavik.offset", "Offset", base.DEC)
f.maxentries = ProtoField.uint32("tavik.maxentries", "Entries wanted at most", base.DEC)
f.rc = ProtoField.int32("tavik.rc", "Return code", base.DEC, rcnames)
f.total = ProtoField.uint32("tavik.total", "Total entries", base.DEC)
f.entries = ProtoField.uint32("tavik.entries", "Entries", base.DEC)
f.listing = ProtoField.string("tavik.listing", "Listing")
f.filesize = ProtoField.int32("tavik.filesize", "File size", base.DEC)
f.last = ProtoField.uint32("tavik.last", "Last block", base.DEC)
f.length = ProtoField.int32("tavik.length", "Length", base.DEC)
f.data = ProtoField.bytes("tavik.data", "Data")
f.payload = ProtoField.bytes("tavik.payload", "Payload")

local e_malformed = ProtoExpert.new("tavik.malformed", "Malformed message",
    expert.group.MALFORMED, expert.severity.ERROR)
local e_length = ProtoExpert.new("tavik.length.mismatch", "Block length does not match its data",
    expert.group.PROTOCOL, expert.severity.WARN)
local e_odd = ProtoExpert.new("tavik.unexpected", "Unexpected content",
    expert.group.PROTOCOL, expert.severity.WARN)
local e_lost = ProtoExpert.new("tavik.unframed",
    "Not decoded: the stream's framing was lost earlier",
    expert.group.SEQUENCE, expert.severity.NOTE)
tavik.experts = { e_malformed, e_length, e_odd, e_lost }

-- The four records: size of the fixed part, and the 32-bit integers
-- behind the 240-byte name (field, offset, signed).  Requests carry them
-- big-endian, replies little-endian.
local RECORDS = {
    list_req = { title = "List request", fixed = 248, request = true,
        ints = { { f.offset, 240 }, { f.maxentries, 244 } } },
    get_req = { title = "Get request", fixed = 244, request = true,
        ints = { { f.offset, 240 } } },
    list_resp = { title = "List reply", fixed = 256,
        ints = { { f.rc, 240, true }, { f.total, 244 }, { f.offset, 248 }, { f.entries, 252 } } },
    get_resp = { title = "Get reply", fixed = 260,
        ints = { { f.rc, 240, true }, { f.filesize, 244, true }, { f.offset, 248 },
            { f.last, 252 }, { f.length, 256, true } } },
}

-- Per capture state, rebuilt on every new file: the kind of the last
-- request on each connection (for replies with an id we do not know), and
-- the frame after which a direction could no longer be framed.
local last_request, reply_kind, lost_after

local function reset()
    last_request, reply_kind, lost_after = {}, {}, {}
end
reset()
tavik.init = reset

-- The port the dissector was reached by (15003 or one chosen in Decode As):
-- whatever goes to it is a request.
local function is_request(pinfo)
    local port = pinfo.match_uint
    if port == nil or port == 0 then
        port = PORT
    end
    return pinfo.dst_port == port
end

local function direction(pinfo)
    return tostring(pinfo.src) .. ":" .. pinfo.src_port .. ">" .. tostring(pinfo.dst) .. ":" ..
        pinfo.dst_port
end

-- The connection, named the same way from both ends: client first.
local function connection(pinfo, request)
    if request then
        return direction(pinfo)
    end
    return tostring(pinfo.dst) .. ":" .. pinfo.dst_port .. ">" .. tostring(pinfo.src) .. ":" ..
        pinfo.src_port
end

-- Which record a message carries; nil for a request id we do not know.
local function record_kind(pinfo, msgid, at)
    local request = is_request(pinfo)
    local conn = connection(pinfo, request)
    if request then
        local kind = (msgid == LIST_REQ and "list_req") or (msgid == GET_REQ and "get_req") or nil
        if kind and not pinfo.visited then
            last_request[conn] = kind
        end
        return kind
    end
    if msgid == LIST_REQ or msgid == LIST_RESP then
        return "list_resp"
    elseif msgid == GET_REQ or msgid == GET_RESP then
        return "get_resp"
    end
    -- An id we do not know: the answer to the last request sent, decided
    -- on the first pass so that later passes agree.
    local key = pinfo.number .. ":" .. at
    if not pinfo.visited then
        local req = last_request[conn]
        reply_kind[key] = req and (req == "list_req" and "list_resp" or "get_resp") or false
    end
    return reply_kind[key] or nil
end

-- A zero-terminated text in a fixed field: the text, and whether the zero
-- was there.
local function cstring(range)
    local raw = range:bytes():raw()
    local zero = raw:find("\0", 1, true)
    if zero then
        return raw:sub(1, zero - 1), true
    end
    return raw, false
end

local function add_header(tree, r)
    tree:add(f.reserved, r(0, 2))
    tree:add(f.msgid, r(2, 2))
    local t = tree:add(f.target, r(4, 4))
    t:add(f.target_node, r(4, 4))
    t:add(f.target_cp, r(4, 4))
    local s = tree:add(f.sender, r(8, 4))
    s:add(f.sender_node, r(8, 4))
    s:add(f.sender_cp, r(8, 4))
    tree:add(f.msgsize, r(12, 2))
    tree:add(f.flags, r(14, 2))
end

-- The record's fixed part, field by field as far as the payload reaches.
-- Returns the integers by field and whether the fixed part was whole.
local function add_fixed(tree, p, rec)
    local len = p:len()
    local values = {}
    if len >= NAME_LEN then
        local name, terminated = cstring(p(0, NAME_LEN))
        local item = tree:add(f.name, p(0, NAME_LEN), name)
        if not terminated then
            item:add_proto_expert_info(e_odd, "Name has no terminating zero")
        end
        values.name = name
    end
    for _, int in ipairs(rec.ints) do
        local field, at, signed = int[1], int[2], int[3]
        if at + 4 <= len then
            local r = p(at, 4)
            if rec.request then
                tree:add(field, r)
                values[field] = signed and r:int() or r:uint()
            else
                tree:add_le(field, r)
                values[field] = signed and r:le_int() or r:le_uint()
            end
        end
    end
    return values, len >= rec.fixed
end

-- What follows a reply's fixed part: the listing text or the block's data.
local function add_tail(tree, p, kind, values)
    local rest = p:len() - RECORDS[kind].fixed
    if kind == "list_resp" then
        if rest > 0 then
            local text, terminated = cstring(p(256, rest))
            tree:add(f.listing, p(256, math.min(#text + 1, rest)), text)
            if not terminated then
                tree:add_proto_expert_info(e_odd, "Listing text has no terminating zero")
            end
        end
    elseif kind == "get_resp" then
        local length = values[f.length]
        if length > 0 and rest > 0 then
            tree:add(f.data, p(260, math.min(length, rest)))
        end
        if length ~= rest then
            tree:add_proto_expert_info(e_length, string.format(
                "length is %d, the message carries %d data bytes", length, rest))
        end
    elseif rest > 0 then
        tree:add_proto_expert_info(e_odd, string.format("%d bytes after the record", rest))
    end
end

-- The Info text of a message: its record and the fields it carries.
local function summary(rec, v)
    local parts = { rec.title }
    if v.name and rec.request then
        parts[#parts + 1] = "'" .. v.name .. "'"
    end
    if v[f.rc] then
        parts[#parts + 1] = "rc=" .. (rcnames[v[f.rc]] or tostring(v[f.rc]))
    end
    if v[f.entries] and v[f.total] then
        parts[#parts + 1] = string.format("entries=%d/%d", v[f.entries], v[f.total])
    elseif v[f.offset] and rec ~= RECORDS.list_req then
        parts[#parts + 1] = "offset=" .. v[f.offset]
    end
    if v[f.length] then
        parts[#parts + 1] = "length=" .. v[f.length]
    end
    if (v[f.last] or 0) ~= 0 then
        parts[#parts + 1] = "last"
    end
    return table.concat(parts, " ")
end

-- One whole message of size bytes at `at` in tvb.  Returns its Info text.
local function dissect_message(tvb, pinfo, tree, at, size)
    local r = tvb(at, size)
    local msgid = r(2, 2):uint()
    local kind = record_kind(pinfo, msgid, at)
    local rec = RECORDS[kind]
    local title = rec and rec.title or string.format("Message 0x%04x", msgid)
    local msg = tree:add(tavik, r)
    msg:add(f.record, r(2, 2), title):set_generated()
    add_header(msg, r)
    if size == HEADER then
        if rec then
            msg:add_proto_expert_info(e_malformed, string.format(
                "%s without a payload: its record has %d bytes", title, rec.fixed))
        end
        msg:append_text(", " .. title)
        return title
    end
    local p = r(HEADER, size - HEADER)
    if not rec then
        msg:add(f.payload, p)
        msg:add_proto_expert_info(e_odd, string.format("Unknown message id 0x%04x", msgid))
        msg:append_text(", " .. title)
        return title
    end
    local values, whole = add_fixed(msg, p, rec)
    local text = summary(rec, values)
    if whole then
        add_tail(msg, p, kind, values)
    else
        msg:add_proto_expert_info(e_malformed, string.format(
            "%s of %d payload bytes, shorter than its fixed part of %d", title, p:len(),
            rec.fixed))
        text = text .. " [malformed]"
    end
    msg:append_text(", " .. text)
    return text
end

-- A msgSize below the header's own size: nothing after it can be framed.
local function dissect_unframeable(tvb, pinfo, tree, at, size)
    local r = tvb(at)
    local msg = tree:add(tavik, r)
    msg:add(f.record, r(12, 2), "Unframeable message"):set_generated()
    add_header(msg, r(0, HEADER))
    msg:add_proto_expert_info(e_malformed, string.format(
        "msgSize %d is below the header size of %d; the rest of the stream cannot be framed",
        size, HEADER))
    if r:len() > HEADER then
        msg:add(f.payload, r(HEADER))
    end
    if not pinfo.visited then
        lost_after[direction(pinfo)] = pinfo.number
    end
    return string.format("msgSize %d [malformed]", size)
end

function tavik.dissector(tvb, pinfo, tree)
    local lost = lost_after[direction(pinfo)]
    if lost and pinfo.number > lost then
        pinfo.cols.protocol = "TAVIK"
        pinfo.cols.info = "Continuation of a stream that cannot be framed"
        tree:add(tavik, tvb()):add_proto_expert_info(e_lost)
        return tvb:len()
    end
    local total = tvb:len()
    local at = 0
    local texts = {}
    while at < total do
        local avail = total - at
        if avail < HEADER then
            pinfo.desegment_offset = at
            pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
            break
        end
        local size = tvb(at + 12, 2):uint()
        if size < HEADER then
            texts[#texts + 1] = dissect_unframeable(tvb, pinfo, tree, at, size)
            break
        end
        if avail < size then
            pinfo.desegment_offset = at
            pinfo.desegment_len = size - avail
            break
        end
        texts[#texts + 1] = dissect_message(tvb, pinfo, tree, at, size)
        at = at + size
    end
    if #texts > 0 then
        pinfo.cols.protocol = "TAVIK"
        pinfo.cols.info = table.concat(texts, "; ")
    end
    return total
end

local tcp_port = DissectorTable.get("tcp.port")
tcp_port:add(PORT, tavik)
if tcp_port.add_for_decode_as then
    tcp_port:add_for_decode_as(tavik)
end
