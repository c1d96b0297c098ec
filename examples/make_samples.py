#!/usr/bin/env python3
"""Writes the sample firmware images used by the demo and the walk-through.

Each image is an Intel HEX file of 16-byte records holding a firmware header for one board side
(first header byte 0x9F: source, 0x8F: sink; magic bytes DE C0 DD BA) followed by deterministic
pseudo-random data, so that a burn exercises every bit and a wrong byte anywhere shows.
"""
import argparse
import pathlib


def firmware_bytes(size, side_byte, seed):
    data = bytearray(size)
    state = seed
    for i in range(size):
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        data[i] = (state >> 16) & 0xFF
    header = bytes([side_byte, 0, 0, 0, 0xDE, 0xC0, 0xDD, 0xBA]) + bytes(24)
    data[0x10:0x10 + len(header)] = header
    return data


def record(count, address, rtype, payload):
    body = bytes([count, (address >> 8) & 0xFF, address & 0xFF, rtype]) + payload
    checksum = (-sum(body)) & 0xFF
    return ":" + body.hex().upper() + f"{checksum:02X}"


def to_hex(data):
    lines = []
    upper = None
    for offset in range(0, len(data), 16):
        if offset >> 16 != upper:
            upper = offset >> 16
            lines.append(record(2, 0, 4, upper.to_bytes(2, "big")))
        chunk = data[offset:offset + 16]
        lines.append(record(len(chunk), offset & 0xFFFF, 0, bytes(chunk)))
    lines.append(record(0, 0, 1, b""))
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--out", default=str(pathlib.Path(__file__).parent))
    parser.add_argument("--size", type=lambda s: int(s, 0), default=0x8000)
    args = parser.parse_args()
    out = pathlib.Path(args.out)
    for name, side_byte, seed in (("source_fw.hex", 0x9F, 1), ("sink_fw.hex", 0x8F, 2)):
        (out / name).write_text(to_hex(firmware_bytes(args.size, side_byte, seed)))


if __name__ == "__main__":
    main()
