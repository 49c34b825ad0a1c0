#!/usr/bin/env python3
"""Writes the hand-made seeds of the fuzz corpora (fuzz/corpus/<target>/seed-*).

Each target reads its input as a script (see the target's source): an operation
byte, then that operation's arguments. The seeds are the everyday scripts the
fuzzer mutates from; inputs the fuzzer finds are added next to them by hand
(copy a file from a campaign's corpus directory).
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# Indexes into the code table of fuzz_session.cpp (kCodes).
SET_BAUD, GET_BAUD, SET_QUEUE, SET_LINE = 0, 1, 2, 3
IMMEDIATE, SET_TIMEOUTS = 7, 8
SET_DTR, CLR_DTR, SET_RTS, CLR_RTS, SET_XOFF, SET_XON = 10, 11, 13, 14, 15, 16
SET_WAIT_MASK, WAIT_ON_MASK, PURGE = 18, 19, 20
SET_CHARS, SET_HANDFLOW, GET_MODEMSTATUS, GET_COMMSTATUS, XOFF_COUNTER = 22, 24, 25, 26, 27
GET_PROPERTIES, GET_STATS = 28, 34
GET_DEVICE_DESCRIPTOR, VENDOR_READ, READ_CONFIG_MEMORY, GET_CHIP_TYPE = 39, 43, 50, 59
EXACT = 5


def control(selector, data=b"", out=EXACT, op=0):
    """A device control: op, code selector, input length class and contents, output class."""
    if data:
        return bytes([op, selector, EXACT]) + data + bytes([out])
    return bytes([op, selector, 0, out])


def u32(*values):
    return b"".join(struct.pack("<I", v) for v in values)


def write(data):
    return bytes([4, len(data)]) + data


def read(n):
    return bytes([3, n])


def wait(ms):
    return bytes([7, ms])


def save(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(data)


def controls():
    t = "controls"
    save(t, "set-rate-write-read", control(SET_BAUD, u32(115200)) + write(b"hello") + read(5) + wait(50))
    save(t, "line-and-timeouts",
         control(SET_LINE, bytes([0, 0, 8])) + control(SET_TIMEOUTS, u32(0xFFFFFFFF, 0, 0, 0, 0)) + read(10) + wait(20))
    save(t, "handflow-rtscts",
         control(SET_HANDFLOW, u32(0x09, 0x80, 64, 64)) + write(b"x" * 100) + wait(100) + read(100))
    save(t, "xon-xoff",
         control(SET_CHARS, bytes([0, 0, 0, 0, 0x11, 0x13])) + control(SET_HANDFLOW, u32(0x01, 0x03, 10, 10)) +
         write(b"\x13abc\x11") + wait(60) + read(8))
    save(t, "wait-mask", control(SET_WAIT_MASK, u32(0x1FF)) + control(WAIT_ON_MASK) + write(b"z") + wait(30))
    save(t, "purge-pending", read(200) + write(b"data" * 10) + bytes([5, 0x0F]) + wait(5))
    save(t, "cancel-close", read(16) + control(WAIT_ON_MASK) + bytes([6, 0xFF]) + bytes([8 | 0x10]) + read(1))
    save(t, "modem-lines",
         control(CLR_DTR) + control(CLR_RTS) + control(GET_MODEMSTATUS) + control(SET_DTR) + control(SET_RTS) +
         control(GET_COMMSTATUS))
    save(t, "immediate-xoff-counter",
         control(IMMEDIATE, b"!") + control(XOFF_COUNTER, u32(1000, 5) + b"\x13\0\0\0") + wait(200))
    save(t, "queue-size", control(SET_QUEUE, u32(4096, 4096)) + write(b"q" * 200) + wait(100) + read(200))
    save(t, "queries", control(GET_PROPERTIES) + control(GET_STATS) + control(GET_BAUD))
    save(t, "vendor-reads",
         control(GET_DEVICE_DESCRIPTOR) + control(GET_CHIP_TYPE) + control(VENDOR_READ, u32(0x8484)) +
         control(READ_CONFIG_MEMORY, bytes([0, 0])))
    save(t, "line-brings-bytes", bytes([9, 20]) + b"incoming bytes\x00\xff\x11\x13!" + read(30) + wait(10))
    save(t, "unknown-codes", bytes([0, 0xF0, 1, 2, 3, 5, 0, 0xF3]) + u32(0xDEADBEEF) + bytes([0, 0]))


def internal():
    t = "internal"
    basic = bytes([0, 2, EXACT, EXACT])                  # BASIC_SETTINGS, exact lengths
    restore = bytes([0x40, 3, 0, EXACT])                 # RESTORE_SETTINGS with the saved record
    save(t, "basic-restore", basic + bytes([2, 5]) + b"hello" + wait_internal(20) + restore)
    save(t, "kernel-client", bytes([0x80, 2, EXACT, EXACT, 0xC0, 3, 0, EXACT]))
    save(t, "wait-wake-cancel", bytes([0, 0, 0, 0]) + wait_internal(30) + bytes([3, 0]) + bytes([1, 1, 0, 0]))
    save(t, "io-with-basic", bytes([2 | 0x40, 10, 5, 10]) + b"0123456789" + basic + wait_internal(50))
    save(t, "restore-garbage", bytes([0, 3, EXACT]) + bytes(range(40)) + bytes([0]))


def wait_internal(ms):
    return bytes([4, ms])


def device():
    t = "device"
    # header: variant and start faults; descriptor edits; then operations.
    save(t, "plain", bytes([2, 0]) + bytes([4, 10, 5, 5]) + b"hello" + bytes([7, 50]))
    save(t, "status-packets", bytes([3, 0]) + bytes([0, 10]) + bytes(10) + bytes([1, 3, 1, 2, 3]) + bytes([7, 20]))
    save(t, "bulk-in-bytes", bytes([0, 0]) + bytes([2, 16]) + bytes(range(16)) + bytes([4, 16, 7, 30]))
    save(t, "config-cut", bytes([2, 1, 2 | 1 << 2, 20, 0]))
    save(t, "device-descriptor-byte", bytes([4, 2, 0, 0, 7, 1, 7, 9]))
    save(t, "interface-count", bytes([1, 1, 1, 4, 3]))
    save(t, "start-stall", bytes([2 | 1 << 3, 0, 0, 1, 1, 1, 0]))
    save(t, "bulk-out-never-completes", bytes([2, 0, 3, 3, 2, 0, 5, 20]) + bytes(20) + bytes([7, 200]))
    save(t, "status-fail", bytes([2, 0, 3, 1, 0, 1]) + bytes([7, 100]))


def registry():
    t = "registry"

    def text(s, terminated=True):
        data = s.encode()
        how = 1 | (0 << 2) | 0x20 | (0x40 if terminated else 0)   # REG_SZ, widened
        return bytes([how, len(data)]) + data

    none = bytes([0])
    save(t, "ext-baudrate",
         text("921600,921600 460800,460800") + bytes([2]) + text("COM3") + none + none + none + u32(921600))
    save(t, "ext-baudrate-unterminated", text("250000,3", terminated=False) + bytes([0]) + text("COM7") + none * 3 +
         u32(250000))
    save(t, "portname-long", none + bytes([3]) + text("COM" + "9" * 40) + none * 3)
    save(t, "portname-identifier", none + bytes([1]) + none + text("COM5") + none * 2)
    save(t, "dword-values", none + bytes([2]) + text("COM4") + bytes([1 | 5 << 2, 4]) + u32(1) +
         bytes([1 | 5 << 2, 4]) + u32(1))
    save(t, "binary-portname", none + bytes([2, 1 | 6 << 2, 6]) + b"C\0O\0M" + none * 3)


def pnp():
    t = "pnp"
    save(t, "open-rebalance", bytes([2, 0, 2, 10, 6 | 0x80, 3, 4]) + b"abcd" + bytes([11, 50, 1]))
    save(t, "stop-start", bytes([2, 0, 2, 10, 6, 11, 20, 7, 3, 3]) + b"xyz" + bytes([11, 10]))
    save(t, "sleep-wake", bytes([2, 0, 2, 50, 4 | 0x80, 0xFF, 0x01, 8, 2, 11, 30, 9, 11, 10]))
    save(t, "device-wakes", bytes([3, 0, 8, 2, 11, 5, 9 | 0x80, 11, 10]))
    save(t, "surprise-removal", bytes([2, 0, 2, 100, 3, 4]) + b"data" + bytes([10, 3, 1, 2, 1]))
    save(t, "cancel-then-close", bytes([2, 0, 2, 10, 5, 1, 0, 2, 5, 11, 5]))


controls()
internal()
device()
registry()
pnp()
