// Turns the screen of an Xvfb server into a PNG file. Started with "-fbdir DIR", Xvfb keeps its
// screen as an XWD image in DIR/Xvfb_screen0, so a screenshot needs no other program: read the
// XWD header, take each pixel apart with its colour masks and write the rows as a PNG.

import { readFileSync, writeFileSync } from 'node:fs';
import { deflateSync } from 'node:zlib';

// XWD header fields, 32-bit big-endian words, in file order.
const xwdFields = [
  'headerSize', 'fileVersion', 'pixmapFormat', 'pixmapDepth', 'pixmapWidth', 'pixmapHeight',
  'xOffset', 'byteOrder', 'bitmapUnit', 'bitmapBitOrder', 'bitmapPad', 'bitsPerPixel',
  'bytesPerLine', 'visualClass', 'redMask', 'greenMask', 'blueMask', 'bitsPerRgb',
  'colormapEntries', 'colorCount',
];
const zPixmap = 2;
const xwdColorSize = 12;

function readXwdHeader(bytes) {
  const header = {};
  xwdFields.forEach((name, index) => {
    header[name] = bytes.readUInt32BE(index * 4);
  });
  if (header.fileVersion !== 7 || header.pixmapFormat !== zPixmap || header.bitsPerPixel !== 32) {
    throw new Error('the screen is not a 32-bit ZPixmap XWD image (start Xvfb with depth 24)');
  }
  return header;
}

// Shift that brings the lowest set bit of `mask` to bit 0.
function shiftOf(mask) {
  return 31 - Math.clz32(mask & -mask);
}

const crcTable = Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; k += 1) {
    c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  }
  return c >>> 0;
});

function crc32(bytes) {
  let crc = 0xffffffff;
  for (const byte of bytes) {
    crc = crcTable[(crc ^ byte) & 0xff] ^ (crc >>> 8);
  }
  return (crc ^ 0xffffffff) >>> 0;
}

function pngChunk(type, data) {
  const length = Buffer.alloc(4);
  length.writeUInt32BE(data.length);
  const typeAndData = Buffer.concat([Buffer.from(type, 'ascii'), data]);
  const crc = Buffer.alloc(4);
  crc.writeUInt32BE(crc32(typeAndData));
  return Buffer.concat([length, typeAndData, crc]);
}

// Encodes an XWD image of 32-bit pixels as an RGB PNG.
export function xwdToPng(xwd) {
  const header = readXwdHeader(xwd);
  const { pixmapWidth: width, pixmapHeight: height, bytesPerLine } = header;
  const pixelsStart = header.headerSize + header.colorCount * xwdColorSize;
  const channels = [header.redMask, header.greenMask, header.blueMask].map((mask) => ({
    mask,
    shift: shiftOf(mask),
  }));
  const rows = Buffer.alloc(height * (1 + width * 3));  // each row: filter byte 0, then RGB
  for (let y = 0; y < height; y += 1) {
    const rowStart = y * (1 + width * 3);
    for (let x = 0; x < width; x += 1) {
      const offset = pixelsStart + y * bytesPerLine + x * 4;
      const pixel = header.byteOrder === 0 ? xwd.readUInt32LE(offset) : xwd.readUInt32BE(offset);
      channels.forEach(({ mask, shift }, channel) => {
        rows[rowStart + 1 + x * 3 + channel] = (pixel & mask) >>> shift;
      });
    }
  }
  const ihdr = Buffer.alloc(13);
  ihdr.writeUInt32BE(width, 0);
  ihdr.writeUInt32BE(height, 4);
  ihdr[8] = 8;  // bits per channel
  ihdr[9] = 2;  // colour type: RGB
  return Buffer.concat([
    Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
    pngChunk('IHDR', ihdr),
    pngChunk('IDAT', deflateSync(rows)),
    pngChunk('IEND', Buffer.alloc(0)),
  ]);
}

// Writes the screen kept in `xwdFile` to `pngFile`.
export function saveScreen(xwdFile, pngFile) {
  writeFileSync(pngFile, xwdToPng(readFileSync(xwdFile)));
}
