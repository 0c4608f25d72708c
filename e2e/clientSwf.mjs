// Writes the test client, a minimal SWF whose only code is one hand-assembled AVM1 DoAction.
// The client opens an XMLSocket to a host and port fixed at generation time, sends one line once
// connected, answers every line it receives with "echo:" and the line, and writes each step as
// a line of text on the stage, so that a screenshot tells how far it got. XMLSocket ends every
// message with a zero byte in both directions; the game server checks those bytes.

// AVM1 action codes used below.
const op = {
  end: 0x00, stop: 0x07, not: 0x12, pop: 0x17, getVariable: 0x1c, setVariable: 0x1d, trace: 0x26,
  callFunction: 0x3d, newObject: 0x40, add2: 0x47, getMember: 0x4e, setMember: 0x4f, callMethod: 0x52,
  push: 0x96, jump: 0x99, defineFunction: 0x9b, ifTrue: 0x9d,
};

const stageWidth = 800;
const stageHeight = 600;
const twipsPerPixel = 20;

const bytesOf = (size, write) => (value) => {
  const bytes = Buffer.alloc(size);
  bytes[write](value);
  return bytes;
};
const u16 = bytesOf(2, 'writeUInt16LE');
const s16 = bytesOf(2, 'writeInt16LE');
const u32 = bytesOf(4, 'writeUInt32LE');

// SWF 6 and later store action strings as UTF-8, ended by a zero byte.
function cString(text) {
  return Buffer.concat([Buffer.from(text, 'utf8'), Buffer.of(0)]);
}

// One action record: the code alone below 0x80, else the code, a 16-bit length and the data.
function action(code, data = Buffer.alloc(0)) {
  if (code < 0x80) {
    return Buffer.of(code);
  }
  return Buffer.concat([Buffer.of(code), u16(data.length), data]);
}

// ActionPush of strings (type 0) and 32-bit integers (type 7), the only kinds the client needs.
function push(...values) {
  return action(op.push, Buffer.concat(values.map((value) => (typeof value === 'string'
    ? Buffer.concat([Buffer.of(0), cString(value)])
    : Buffer.concat([Buffer.of(7), bytesOf(4, 'writeInt32LE')(value)])))));
}

function code(...parts) {
  return Buffer.concat(parts.flat(Infinity));
}

// The value of a variable, or of a member of one: get('_root', 'status') is _root.status.
function get(name, ...members) {
  return code(push(name), action(op.getVariable), members.map((member) => [push(member), action(op.getMember)]));
}

// Calls object.method(...args) and drops the result; `object` is code that leaves the object.
function callMethod(object, method, ...args) {
  return code([...args].reverse(), push(args.length), object, push(method), action(op.callMethod), action(op.pop));
}

// Calls a function by name and drops the result; each argument is code that leaves one value.
function callFunction(name, ...args) {
  return code([...args].reverse(), push(args.length), push(name), action(op.callFunction), action(op.pop));
}

// Concatenation of values, each given as code that leaves one value.
function concat(first, ...rest) {
  return code(first, rest.map((part) => [part, action(op.add2)]));
}

// ActionDefineFunction: an empty name leaves the function on the stack instead of naming it.
function defineFunction(name, params, body) {
  const header = code(cString(name), u16(params.length), params.map(cString), u16(body.length));
  return code(action(op.defineFunction, header), body);
}

// if (condition) { then } else { otherwise }, with the condition already on the stack.
function ifElse(then, otherwise) {
  const jumpOverElse = action(op.jump, s16(otherwise.length));
  const skipThen = action(op.ifTrue, s16(then.length + jumpOverElse.length));
  return code(action(op.not), skipThen, then, jumpOverElse, otherwise);
}

// show(text): appends a line to the status field and traces it.
function show(...parts) {
  return callFunction('show', concat(...parts));
}

function clientActions({ host, port, hello }) {
  const setMember = (object, name, value) => code(object, push(name), value, action(op.setMember));
  const newObject = (name, type) => code(push(name, 0, type), action(op.newObject), action(op.setVariable));
  const showFunction = defineFunction('show', ['line'], code(
    setMember(get('_root', 'status'), 'text', concat(get('_root', 'status', 'text'), get('line'), push('\n'))),
    get('line'), action(op.trace)));
  const onConnect = defineFunction('', ['connected'], code(get('connected'), ifElse(
    code(show(push('connected')), callMethod(get('socket'), 'send', push(hello)), show(push(`sent: ${hello}`))),
    show(push('connection failed')))));
  const onData = defineFunction('', ['line'], code(
    show(push('received: '), get('line')),
    callMethod(get('socket'), 'send', concat(push('echo:'), get('line'))),
    show(push('sent: echo:'), get('line'))));
  const onClose = defineFunction('', [], show(push('closed by the server')));
  return code(
    callMethod(get('_root'), 'createTextField', push('status'), push(1), push(16), push(16),
               push(stageWidth - 32), push(stageHeight - 32)),
    newObject('format', 'TextFormat'),
    setMember(get('format'), 'font', push('_sans')),
    setMember(get('format'), 'size', push(20)),
    setMember(get('format'), 'color', push(0xffffff)),
    callMethod(get('_root', 'status'), 'setNewTextFormat', get('format')),
    setMember(get('_root', 'status'), 'multiline', push(1)),
    showFunction,
    show(push('Quillfern end-to-end client')),
    show(push(`XMLSocket to ${host}:${port}`)),
    newObject('socket', 'XMLSocket'),
    setMember(get('socket'), 'onConnect', onConnect),
    setMember(get('socket'), 'onData', onData),
    setMember(get('socket'), 'onClose', onClose),
    callMethod(get('socket'), 'connect', push(host), push(port)),
    action(op.stop),
    action(op.end),
  );
}

// Writes unsigned fields of any bit width, most significant bit first, as a RECT needs.
function rect(xMin, xMax, yMin, yMax) {
  const values = [xMin, xMax, yMin, yMax];
  const bitsPerValue = Math.max(...values.map((v) => v.toString(2).length)) + 1;  // a sign bit
  let bits = bitsPerValue.toString(2).padStart(5, '0');
  for (const value of values) {
    bits += value.toString(2).padStart(bitsPerValue, '0');
  }
  bits = bits.padEnd(Math.ceil(bits.length / 8) * 8, '0');
  const bytes = Buffer.alloc(bits.length / 8);
  for (let i = 0; i < bytes.length; i += 1) {
    bytes[i] = parseInt(bits.slice(i * 8, i * 8 + 8), 2);
  }
  return bytes;
}

// A tag header: the short form below 63 bytes of body, the long form above.
function tag(tagCode, body = Buffer.alloc(0)) {
  if (body.length < 0x3f) {
    return Buffer.concat([u16((tagCode << 6) | body.length), body]);
  }
  return Buffer.concat([u16((tagCode << 6) | 0x3f), u32(body.length), body]);
}

const swfVersion = 10;
const tagCode = { end: 0, showFrame: 1, setBackgroundColor: 9, doAction: 12, fileAttributes: 69 };

// Returns the bytes of the client SWF. `host` and `port` name the game server as the SWF sees
// it (the page's socket proxy maps them to the bridge); `hello` is the line sent on connect.
export function buildClientSwf({ host, port, hello }) {
  if (!host || !Number.isInteger(port) || port < 1 || port > 65535) {
    throw new RangeError(`bad game server address ${host}:${port}`);
  }
  const useNetwork = 0x01;
  const body = Buffer.concat([
    rect(0, stageWidth * twipsPerPixel, 0, stageHeight * twipsPerPixel),
    u16(24 << 8),  // 24 frames per second, 8.8 fixed point
    u16(1),        // one frame
    tag(tagCode.fileAttributes, u32(useNetwork)),
    tag(tagCode.setBackgroundColor, Buffer.of(0x12, 0x2b, 0x45)),
    tag(tagCode.doAction, clientActions({ host, port, hello })),
    tag(tagCode.showFrame),
    tag(tagCode.end),
  ]);
  const header = Buffer.concat([Buffer.from('FWS'), Buffer.of(swfVersion), u32(8 + body.length)]);
  return Buffer.concat([header, body]);
}

