-- Wireshark dissector for the datagrams that the Pelmora plug-in sends to its
-- server over UDP.
--
-- Install: copy this file into Wireshark's personal Lua plugins folder
-- (Help > About Wireshark > Folders), or load it for one run with
--   tshark -X lua_script:pelmora.lua ...
--
-- It decodes UDP port 7000 (preference "pelmora.port"); for any other port
-- use Decode As (UDP port -> PELMORA), or with tshark -d udp.port==N,pelmora.
--
-- A datagram is a 32-byte header and then records, all integers little-endian:
--   0..7    FF FF FF FF 02 00 00 01   fixed
--   8       kind                      01 item, 02 event, FF snapshot
--   9..11   FF FF FF                  fixed
--   12..15  payload length            u32, datagram length minus 32
--   16..21  station MAC
--   22..31  FF x 10                   fixed
--   32..    records                   u16 length, then the record text
-- A record text is name|value (an event: first|second), split at the first
-- bar, in the host's 8-bit code page; it is shown decoded as GBK (GB18030),
-- and its bytes as sent are in pelmora.record.raw.
--
-- Signed commands (kind 03, server to station) and their replies (kind 04)
-- carry, after the header, the session nonce (8 bytes) and the sequence
-- (u32). A command then has its not-after (u32, the station's session
-- clock after which it must not act), its command byte (01 write, 02
-- snapshot, 03 fence) and body (a write: u16 length and name, u16 length
-- and value; the others: none). A reply has its state and reason bytes,
-- what it answers (the first 16 bytes of the command's HMAC), the session
-- clock and the session's latest sequence (u32 each). Both end in a 32-byte
-- HMAC-SHA256, shown but not checked (the dissector holds no key).

local pelmora = Proto("pelmora", "Pelmora outward link")

local HEADER_SIZE = 32
local MAX_DATAGRAM = 1023
local DEFAULT_PORT = 7000

local KIND_COMMAND = 0x03
local KIND_REPLY = 0x04
local SIGNATURE_SIZE = 32
-- header, nonce, sequence, not-after, command byte, signature
local MIN_COMMAND = 81
local REPLY_SIZE = 102

local kind_names = { [0x01] = "item", [0x02] = "event", [0xFF] = "snapshot",
                     [KIND_COMMAND] = "command", [KIND_REPLY] = "reply" }
local command_names = { [0x01] = "write", [0x02] = "snapshot", [0x03] = "fence" }
local state_names = { [0x00] = "session opened", [0x01] = "queued",
                      [0x02] = "delivered", [0x03] = "refused" }
local reason_names = {
  [0x00] = "none", [0x01] = "no callback", [0x02] = "queue full",
  [0x03] = "unknown command", [0x04] = "unusable name", [0x05] = "wrong session",
  [0x06] = "old sequence", [0x07] = "rate limited", [0x08] = "malformed",
  [0x09] = "snapshot failed", [0x0A] = "outside its validity" }

local f = pelmora.fields
f.fixed_lead = ProtoField.bytes("pelmora.fixed_lead", "Fixed bytes 0-7", base.SPACE)
f.kind = ProtoField.uint8("pelmora.kind", "Kind", base.HEX, kind_names)
f.fixed_mid = ProtoField.bytes("pelmora.fixed_mid", "Fixed bytes 9-11", base.SPACE)
f.payload_length = ProtoField.uint32("pelmora.payload_length", "Payload length", base.DEC)
f.station = ProtoField.ether("pelmora.station", "Station MAC")
f.fixed_tail = ProtoField.bytes("pelmora.fixed_tail", "Fixed bytes 22-31", base.SPACE)
f.record_count = ProtoField.uint32("pelmora.record_count", "Records", base.DEC)
f.record = ProtoField.none("pelmora.record", "Record")
f.record_length = ProtoField.uint16("pelmora.record.length", "Length", base.DEC)
f.record_text = ProtoField.string("pelmora.record.text", "Text")
f.record_raw = ProtoField.bytes("pelmora.record.raw", "Raw text")
f.record_name = ProtoField.string("pelmora.record.name", "Name")
f.record_value = ProtoField.string("pelmora.record.value", "Value")
f.session = ProtoField.bytes("pelmora.session", "Session nonce", base.SPACE)
f.sequence = ProtoField.uint32("pelmora.sequence", "Sequence", base.DEC)
f.not_after = ProtoField.uint32("pelmora.not_after", "Not after (ms of the session clock)", base.DEC)
f.command = ProtoField.uint8("pelmora.command", "Command", base.HEX, command_names)
f.write_name = ProtoField.string("pelmora.write.name", "Name")
f.write_value = ProtoField.string("pelmora.write.value", "Value")
f.state = ProtoField.uint8("pelmora.state", "State", base.HEX, state_names)
f.reason = ProtoField.uint8("pelmora.reason", "Reason", base.HEX, reason_names)
f.answers = ProtoField.bytes("pelmora.answers", "Answers (command's HMAC, first 16 bytes)", base.SPACE)
f.clock = ProtoField.uint32("pelmora.clock", "Session clock (ms)", base.DEC)
f.latest = ProtoField.uint32("pelmora.latest", "Latest sequence", base.DEC)
f.signature = ProtoField.bytes("pelmora.signature", "HMAC-SHA256")

local e = {
  short = ProtoExpert.new("pelmora.short", "Shorter than the 32-byte header",
                          expert.group.MALFORMED, expert.severity.ERROR),
  payload_length = ProtoExpert.new("pelmora.payload_length.wrong",
                                   "Payload length disagrees with the datagram's size",
                                   expert.group.MALFORMED, expert.severity.ERROR),
  overrun = ProtoExpert.new("pelmora.record.overrun", "Record overruns the payload",
                            expert.group.MALFORMED, expert.severity.ERROR),
  kind = ProtoExpert.new("pelmora.kind.unknown", "Unknown kind",
                         expert.group.PROTOCOL, expert.severity.WARN),
  fixed = ProtoExpert.new("pelmora.fixed.wrong", "Fixed bytes differ",
                          expert.group.PROTOCOL, expert.severity.WARN),
  oversize = ProtoExpert.new("pelmora.oversize", "Over the 1023-byte limit",
                             expert.group.PROTOCOL, expert.severity.ERROR),
  empty = ProtoExpert.new("pelmora.empty", "No record after the header",
                          expert.group.MALFORMED, expert.severity.ERROR),
  signed_size = ProtoExpert.new("pelmora.signed.size",
                                "Too short for its fields and 32-byte signature",
                                expert.group.MALFORMED, expert.severity.ERROR),
  body = ProtoExpert.new("pelmora.write.body",
                         "Body does not end where the signature begins",
                         expert.group.MALFORMED, expert.severity.ERROR),
}
pelmora.experts = { e.short, e.payload_length, e.overrun, e.kind, e.fixed, e.oversize,
                    e.empty, e.signed_size, e.body }

pelmora.prefs.port = Pref.uint("UDP port", DEFAULT_PORT,
                               "The UDP port the plug-in sends to")

local udp_port = DissectorTable.get("udp.port")
local registered_port = nil

local function register_port()
  if registered_port == pelmora.prefs.port then return end
  if registered_port then udp_port:remove(registered_port, pelmora) end
  registered_port = pelmora.prefs.port
  udp_port:add(registered_port, pelmora)
end

function pelmora.prefs_changed()
  register_port()
end

-- Adds one fixed field and flags it when its bytes are not `expected` (a
-- string of byte values).
local function add_fixed(tree, field, range, expected)
  local item = tree:add(field, range)
  if range:raw() ~= expected then
    item:add_proto_expert_info(e.fixed, "Fixed bytes differ: expected " ..
                               Struct.tohex(expected, false, " "))
  end
end

-- Adds a string field of 8-bit text decoded as GBK; an empty one when
-- `length` is 0. Returns the item.
local function add_text(tree, field, tvb, offset, length)
  if length == 0 then return tree:add(field, tvb(offset, 0), "") end
  return tree:add_packet_field(field, tvb(offset, length), ENC_GB18030)
end

-- Adds the record whose length field starts at `offset`; returns the offset
-- after it, or nil when it overruns the payload.
local function add_record(tree, tvb, offset)
  local left = tvb:len() - offset
  if left < 2 then
    tree:add(f.record, tvb(offset, left)):add_proto_expert_info(e.overrun,
      string.format("Record length field needs 2 bytes, %d left in the payload", left))
    return nil
  end
  local length = tvb(offset, 2):le_uint()
  local text = offset + 2
  local present = math.min(length, left - 2)
  local record = tree:add(f.record, tvb(offset, 2 + present))
  local length_item = record:add_le(f.record_length, tvb(offset, 2))
  if length > present then
    length_item:add_proto_expert_info(e.overrun, string.format(
      "Record of %d bytes overruns the payload: %d bytes left", length, present))
  end
  local label = add_text(record, f.record_text, tvb, text, present).text
  record:add(f.record_raw, tvb(text, present))
  local raw = tvb(text, present):raw()
  local bar = raw:find("|", 1, true)
  add_text(record, f.record_name, tvb, text, bar and bar - 1 or present)
  if bar then add_text(record, f.record_value, tvb, text + bar, present - bar) end
  -- The decoded text, from the label of its field: TvbRange:string() does
  -- not decode GBK.
  record:append_text(string.format(" (%d bytes): %s", length,
                                   label and label:gsub("^Text[^:]*: ", "") or ""))
  if length > present then return nil end
  return text + length
end

-- The fields of a command or a reply after the header; returns the text
-- for the Info column.
local function add_signed(root, tvb, kind)
  local size = tvb:len()
  local is_command = kind == KIND_COMMAND
  if (is_command and size < MIN_COMMAND) or (not is_command and size ~= REPLY_SIZE) then
    root:add_proto_expert_info(e.signed_size, string.format(
      is_command and "Command of %d bytes, shorter than %d" or "Reply of %d bytes, not %d",
      size, is_command and MIN_COMMAND or REPLY_SIZE))
    return is_command and "command, malformed" or "reply, malformed"
  end
  local signed_end = size - SIGNATURE_SIZE
  root:add(f.session, tvb(32, 8))
  local sequence = tvb(40, 4):le_uint()
  root:add_le(f.sequence, tvb(40, 4))
  root:add(f.signature, tvb(signed_end, SIGNATURE_SIZE))
  if not is_command then
    local state = tvb(44, 1):uint()
    root:add(f.state, tvb(44, 1))
    root:add(f.reason, tvb(45, 1))
    root:add(f.answers, tvb(46, 16))
    root:add_le(f.clock, tvb(62, 4))
    root:add_le(f.latest, tvb(66, 4))
    local text = string.format("reply %s, sequence %d", state_names[state] or
                               string.format("state 0x%02X", state), sequence)
    if state == 0x03 then
      local reason = tvb(45, 1):uint()
      text = text .. ": " .. (reason_names[reason] or string.format("0x%02X", reason))
    end
    return text
  end
  root:add_le(f.not_after, tvb(44, 4))
  local command = tvb(48, 1):uint()
  root:add(f.command, tvb(48, 1))
  local text = string.format("command %s, sequence %d", command_names[command] or
                             string.format("0x%02X", command), sequence)
  if command == 0x02 or command == 0x03 then
    if signed_end ~= 49 then
      root:add_proto_expert_info(e.body, string.format(
        "A %s takes no body", command_names[command]))
    end
    return text
  end
  if command ~= 0x01 then return text end
  -- A write's body: u16 length and name, u16 length and value, ending
  -- exactly at the signature.
  local offset = 49
  local parts = {}
  for _, field in ipairs({ f.write_name, f.write_value }) do
    if offset + 2 > signed_end then break end
    local length = tvb(offset, 2):le_uint()
    if offset + 2 + length > signed_end then break end
    add_text(root, field, tvb, offset + 2, length)
    parts[#parts + 1] = tvb(offset + 2, length):raw()
    offset = offset + 2 + length
  end
  if #parts < 2 or offset ~= signed_end then
    root:add_proto_expert_info(e.body,
                               "Write body does not end where the signature begins")
  end
  return text
end

function pelmora.dissector(tvb, pinfo, tree)
  pinfo.cols.protocol = "PELMORA"
  local size = tvb:len()
  local root = tree:add(pelmora, tvb())
  if size < HEADER_SIZE then
    root:add_proto_expert_info(e.short, string.format(
      "%d bytes, shorter than the 32-byte header", size))
    pinfo.cols.info = string.format("malformed, %d bytes", size)
    return size
  end
  if size > MAX_DATAGRAM then
    root:add_proto_expert_info(e.oversize, string.format(
      "%d bytes, over the 1023-byte limit", size))
  end

  add_fixed(root, f.fixed_lead, tvb(0, 8), "\255\255\255\255\2\0\0\1")
  local kind = tvb(8, 1):uint()
  local kind_item = root:add(f.kind, tvb(8, 1))
  if not kind_names[kind] then
    kind_item:add_proto_expert_info(e.kind, string.format("Unknown kind 0x%02X", kind))
  end
  add_fixed(root, f.fixed_mid, tvb(9, 3), "\255\255\255")
  local declared = tvb(12, 4):le_uint()
  local length_item = root:add_le(f.payload_length, tvb(12, 4))
  if declared ~= size - HEADER_SIZE then
    length_item:add_proto_expert_info(e.payload_length, string.format(
      "Payload length %d, but %d bytes follow the header", declared, size - HEADER_SIZE))
  end
  root:add(f.station, tvb(16, 6))
  add_fixed(root, f.fixed_tail, tvb(22, 10), string.rep("\255", 10))

  if kind == KIND_COMMAND or kind == KIND_REPLY then
    local text = add_signed(root, tvb, kind)
    pinfo.cols.info = string.format("%s, station %s", text,
                                    tvb(16, 6):bytes():tohex(true, ":"))
    root:append_text(", " .. kind_names[kind])
    return size
  end

  local count = 0
  local offset = HEADER_SIZE
  while offset and offset < size do
    offset = add_record(root, tvb, offset)
    count = count + 1
  end
  local count_item = root:add(f.record_count, count):set_generated()
  if count == 0 then count_item:add_proto_expert_info(e.empty) end

  local kind_text = kind_names[kind] or string.format("kind 0x%02X", kind)
  pinfo.cols.info = string.format("%s, %d record%s, station %s", kind_text, count,
                                  count == 1 and "" or "s",
                                  tvb(16, 6):bytes():tohex(true, ":"))
  root:append_text(", " .. kind_text)
  return size
end

udp_port:add_for_decode_as(pelmora)
register_port()
