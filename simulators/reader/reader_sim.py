#!/usr/bin/env python3
"""DENSO WAVE contactless reader simulator on a pseudo-terminal, for tests and the demo.

Prints "DEVICE <path>" on its first stdout line, then serves the reader's frames on that
pseudo-terminal and reads one JSON command per stdin line, answering each with one JSON
line. Exits when stdin closes or on SIGTERM.

Options:
  --secure-on          the security setting starts with secure messaging on (byte 1 = 0x11)
  --sequence-start N   the reader's first reply number after each authentication (default 1;
                       e.g. 0xFFFD to reach the end of the numbers soon)
  --silent             never answer anything
  --seed N             seeds the randomness of the faults below (default 1), so that a run
                       can be repeated byte for byte
  --keys A,B,C         the reader's three authentication keys, 8 bytes each in hex (default: the
                       library's); other keys make the reader refuse the host's response

Commands:
  {"cmd": "card", "kind": "A", "uid": "01020304"}          4, 7 or 10-byte UID
      optional "sak_always_incomplete": true (SAK bit 0x04 at every level),
               "unreadable": true (anticollision answers 6A 82)
  {"cmd": "card", "kind": "B", "data": "<13 bytes hex>"}
  {"cmd": "card", "kind": "F", "idm": "<8 bytes>", "block": "<16 bytes>",
      "block_fails": bool, "poll_prefix": "0001"}
  any card: optional "delay": seconds before it lies on the reader
  {"cmd": "remove"}
  {"cmd": "fault", "mode": "corrupt" | "status" | "short" | "silent", "sw": "6a82",
      "ins": 0x81, "count": 1}                  the next `count` replies (to `ins` only)
      further modes: "random" | "partial" | "bad_check" | "mute" | "unplug" | "flood";
      optional "type" (frame type), "skip": N (let the first N matching frames pass),
      "count": -1 (every matching reply from then on), "rate": 0.5 (bad_check),
      "rest_after": seconds (partial), "head": true (mute)
  {"cmd": "unplug"}  closes the pseudo-terminal now
  {"cmd": "log"}   -> {"log": [{"t", "dir", "hex", "plain_hex", "type", "ins"}]}
  {"cmd": "clear_log"}
  {"cmd": "state"} -> {"session_key", "secure", "expect_seq", "next_reply_seq", "field",
                       "authenticated", "fired": {fault mode: frames it took}}

The reader's side of the protocol: frames are type | length (2, big-endian) | body | XOR
check byte. 0x08 and 0x28 commands are answered with a frame of the same type whose body ends
in a status word (90 00 success). Card frames (0x2C, 0x2A) carry FeliCa commands, wrapped in
DES-CBC secure messaging while the security setting has byte 1 = 0x11. A frame with a bad
check byte is answered with a frame of its type whose body is 6A 80. A wrapped card frame
that fails its checks (block, inner check byte, sequence number) is answered with a plain
frame of its type whose body is 69 88. Bytes that cannot start a frame (unknown type, length
above 60) are dropped, and so is the head of a frame that stays incomplete for 0.2 s; each
drop is told on standard error.

Faults: "status" answers the status word alone, and the command takes no effect; "corrupt"
flips the reply's first body byte (XOR 0x5A) and keeps its check byte; "short" answers the
one-byte body 90; "silent" answers nothing. A fault applies to replies of any frame type
unless "ins" (a number, or hex text) restricts it to 0x08/0x28 commands with that
instruction byte, or "type" to frames of that type.

Staged breakdowns, their randomness drawn from --seed: "random" answers 1 to 128 random
bytes instead of the reply; "partial" sends a random head of the reply and drops the rest, or
with "rest_after" sends the rest that many seconds later; "bad_check" spoils the reply's check
byte with probability "rate"; "mute" answers nothing to this frame and to every later one
(with "head": true it first sends a random head of this reply); "unplug" closes both ends of
the pseudo-terminal, as if the reader were pulled out; "flood" stops answering and writes
random bytes without pause for as long as the simulator runs.
"""
import argparse
import json
import os
import random
import select
import signal
import sys
import termios
import threading
import time
import tty

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

KEY_A = bytes.fromhex("3B7E15A2C409F16D")
KEY_B = bytes.fromhex("924FD0386BE51A77")
KEY_C = bytes.fromhex("0EC953B8277A9D41")
READER_INFO = bytes.fromhex("44454e534f2d53494d2d52454144455201020304")
START = time.monotonic()


def tdes(key, data, encrypt):
    cipher = Cipher(algorithms.TripleDES(key), modes.ECB())
    op = cipher.encryptor() if encrypt else cipher.decryptor()
    return op.update(data) + op.finalize()


def des_cbc(key, data, encrypt):
    cipher = Cipher(algorithms.TripleDES(key), modes.CBC(bytes(8)))  # 8-byte key: single DES
    op = cipher.encryptor() if encrypt else cipher.decryptor()
    return op.update(data) + op.finalize()


def log(text):
    print("reader_sim: %s" % text, file=sys.stderr, flush=True)


def xor(data):
    x = 0
    for b in data:
        x ^= b
    return x


def frame(ftype, body):
    head = bytes([ftype, len(body) >> 8, len(body) & 0xFF]) + body
    return head + bytes([xor(head)])


class Reader:
    def __init__(self, args):
        self.args = args
        self.lock = threading.Lock()
        self.log = []
        self.setting = bytearray([0x00, 0x11 if args.secure_on else 0x00, 0x00])
        self.session_key = None
        self.challenge = None
        self.expect_seq = 1
        self.next_reply_seq = args.sequence_start
        self.field = False
        self.card = None
        self.card_at = 0.0
        self.faults = []
        self.rng = random.Random(args.seed)
        self.muted = False  # a mute or flood fault fired: no more replies
        self.flooding = False
        self.unplugged = False
        self.fired = {}  # fault mode -> how many frames it took
        self.keys = args.keys

    # --- commands from stdin ------------------------------------------------------------

    def command(self, cmd):
        name = cmd.get("cmd")
        with self.lock:
            if name == "card":
                card = dict(cmd)
                self.check_card(card)
                self.card = card
                self.card_at = time.monotonic() + float(cmd.get("delay", 0))
                return {"ok": True}
            if name == "remove":
                self.card = None
                return {"ok": True}
            if name == "fault":
                mode = cmd.get("mode")
                if mode not in FAULT_MODES:
                    return {"ok": False, "error": "unknown fault mode %r" % mode}
                sw = bytes.fromhex(cmd.get("sw", "6a82"))
                if len(sw) != 2:
                    return {"ok": False, "error": "sw must be 2 bytes"}
                self.faults.append({"mode": mode, "sw": sw, "ins": byte_value(cmd.get("ins")),
                                    "type": byte_value(cmd.get("type")),
                                    "count": int(cmd.get("count", 1)),
                                    "skip": int(cmd.get("skip", 0)),
                                    "rate": float(cmd.get("rate", 0.5)),
                                    "rest_after": cmd.get("rest_after"),
                                    "head": bool(cmd.get("head", False))})
                return {"ok": True}
            if name == "unplug":
                self.unplugged = True
                return {"ok": True}
            if name == "log":
                return {"ok": True, "log": list(self.log)}
            if name == "clear_log":
                self.log = []
                return {"ok": True}
            if name == "state":
                return {"ok": True, "session_key": (self.session_key or b"").hex(),
                        "secure": self.secure(), "expect_seq": self.expect_seq,
                        "next_reply_seq": self.next_reply_seq, "field": self.field,
                        "authenticated": self.session_key is not None,
                        "fired": dict(self.fired)}
        return {"ok": False, "error": "unknown command %r" % name}

    @staticmethod
    def check_card(card):
        """Refuses a card the reader could not present, before it lies on the reader."""
        kind = card.get("kind")
        if kind == "A":
            if len(bytes.fromhex(card["uid"])) not in (4, 7, 10):
                raise ValueError("a Type A UID has 4, 7 or 10 bytes")
        elif kind == "B":
            if len(bytes.fromhex(card["data"])) != 13:
                raise ValueError("Type B data have 13 bytes")
        elif kind == "F":
            if len(bytes.fromhex(card["idm"])) != 8:
                raise ValueError("an IDm has 8 bytes")
            if len(bytes.fromhex(card.get("block", "00" * 16))) != 16:
                raise ValueError("a block has 16 bytes")
            if len(bytes.fromhex(card.get("poll_prefix", "0001"))) != 2:
                raise ValueError("poll_prefix has 2 bytes")
        else:
            raise ValueError("kind must be A, B or F")
        float(card.get("delay", 0))

    def secure(self):
        return self.setting[1] == 0x11

    def present(self, kind):
        return (self.card is not None and self.card.get("kind") == kind and self.field
                and time.monotonic() >= self.card_at)

    def record(self, direction, data, plain=b"", ins=-1):
        self.log.append({"t": round(time.monotonic() - START, 4), "dir": direction,
                         "hex": data.hex(), "plain_hex": plain.hex(), "type": data[0],
                         "ins": ins})

    # --- frames from the host -----------------------------------------------------------

    def handle(self, data):
        """The reply to one received frame, as pieces (seconds to wait first, bytes); None for
        no reply."""
        with self.lock:
            ftype = data[0]
            ins = data[4] if ftype in (0x08, 0x28) and len(data) > 5 else -1
            self.record("rx", data, ins=ins)
            rx_entry = self.log[-1]
            if self.args.silent or self.muted or self.unplugged:
                return None
            fault = self.take_fault(ftype, ins)
            if fault:
                log("fault %s on frame %s" % (fault["mode"], data.hex()))
            if fault and fault["mode"] == "silent":
                return None
            if fault and fault["mode"] in ("unplug", "flood"):
                self.unplugged = fault["mode"] == "unplug"
                self.flooding = self.muted = fault["mode"] == "flood"
                return None
            plain = b""
            if xor(data) != 0:
                log("bad check byte in %s" % data.hex())
                reply = frame(ftype, b"\x6A\x80")
            elif fault and fault["mode"] == "status":
                # The reader refused: the command takes no effect.
                reply = frame(ftype, fault["sw"])
            elif ftype in (0x2A, 0x2C):
                reply, plain, inner = self.card_frame(ftype, data[3:-1])
                if inner:
                    rx_entry["plain_hex"] = inner.hex()
            else:
                reply = frame(ftype, self.instruction(data[3:-1]))
            pieces = [(0.0, reply)]
            if fault:
                pieces = self.apply_fault(fault, ftype, reply)
            for _, piece in pieces:
                if piece:
                    self.record("tx", piece, plain)
            return pieces

    def take_fault(self, ftype, ins):
        """The first fault that this frame fires, its count and skip brought up to date."""
        fault = None
        for f in self.faults:
            if f["ins"] is not None and f["ins"] != ins:
                continue
            if f["type"] is not None and f["type"] != ftype:
                continue
            if f["skip"] > 0:
                f["skip"] -= 1
                continue
            fault = f
            self.fired[f["mode"]] = self.fired.get(f["mode"], 0) + 1
            if f["count"] > 0:
                f["count"] -= 1
            break
        self.faults = [f for f in self.faults if f["count"] != 0]
        return fault

    def head(self, reply):
        return reply[:self.rng.randint(1, len(reply) - 1)]

    def apply_fault(self, fault, ftype, reply):
        """The pieces to write for a faulty reply: (seconds to wait first, bytes)."""
        mode = fault["mode"]
        if mode == "corrupt" and len(reply) > 4:
            reply = bytearray(reply)
            reply[3] ^= 0x5A  # the check byte is left as it was
            return [(0.0, bytes(reply))]
        if mode == "short":
            return [(0.0, frame(ftype, b"\x90"))]
        if mode == "random":
            return [(0.0, self.rng.randbytes(self.rng.randint(1, 128)))]
        if mode == "partial":
            head = self.head(reply)
            if fault["rest_after"] is None:
                return [(0.0, head)]
            return [(0.0, head), (float(fault["rest_after"]), reply[len(head):])]
        if mode == "bad_check":
            if self.rng.random() < fault["rate"]:
                reply = bytearray(reply)
                reply[-1] ^= self.rng.randint(1, 255)
                reply = bytes(reply)
            return [(0.0, reply)]
        if mode == "mute":
            self.muted = True
            return [(0.0, self.head(reply))] if fault["head"] else []
        return [(0.0, reply)]

    def instruction(self, body):
        if len(body) < 4:
            return b"\x67\x00"
        ins, p1 = body[1], body[2]
        data = body[5:5 + body[4]] if len(body) > 4 else b""
        ok = b"\x90\x00"
        none = b"\x6A\x82"
        if ins == 0x01:
            return b"\x00" + ok
        if ins == 0x05:
            return READER_INFO + ok
        if ins == 0x0B:
            return ok
        if ins == 0x11:
            self.field = p1 == 0x01
            return ok
        if ins == 0x81:
            self.challenge = os.urandom(8)
            return self.challenge + ok
        if ins == 0x83:
            return self.mutual_authentication(data)
        if ins == 0x87:
            return bytes(self.setting) + ok
        if ins == 0x85:
            if len(data) == 3:
                self.setting[:] = data
            return ok
        if ins == 0x41:
            return (b"\x44\x00" + ok) if self.present("A") else none
        if ins == 0x43:
            part = self.uid_part(p1)
            return (part + ok) if part is not None else none
        if ins == 0x45:
            part = self.uid_part(p1)
            if part is None or data != part:
                return none
            levels = self.uid_levels()
            last = {0x93: 0, 0x95: 1, 0x97: 2}[p1] == len(levels) - 1
            incomplete = self.card.get("sak_always_incomplete") or not last
            return (b"\x24" if incomplete else b"\x08") + ok
        if ins == 0x31:
            if not self.present("B"):
                return none
            return bytes.fromhex(self.card["data"]) + ok
        if ins == 0x51:
            if not self.present("F"):
                return none
            prefix = bytes.fromhex(self.card.get("poll_prefix", "0001"))
            return prefix + bytes.fromhex(self.card["idm"]) + bytes(8) + ok
        return b"\x6D\x00"

    def uid_levels(self):
        uid = bytes.fromhex(self.card["uid"])
        if len(uid) == 4:
            return [uid]
        if len(uid) == 7:
            return [b"\x88" + uid[:3], uid[3:]]
        return [b"\x88" + uid[:3], b"\x88" + uid[3:6], uid[6:]]

    def uid_part(self, sel):
        if not self.present("A") or self.card.get("unreadable"):
            return None
        level = {0x93: 0, 0x95: 1, 0x97: 2}.get(sel)
        levels = self.uid_levels()
        if self.card.get("sak_always_incomplete"):
            levels = (levels + [levels[-1]] * 3)[:3]
        if level is None or level >= len(levels):
            return None
        return levels[level]

    def mutual_authentication(self, data):
        if self.challenge is None or len(data) != 16:
            return b"\x69\x85"
        response, host_challenge = data[:8], data[8:]
        a, b, c = self.keys
        expected = tdes(b + c + b, tdes(a + b + a, self.challenge, False), True)
        if response != expected:
            return b"\x63\x00"
        self.session_key = bytes(a ^ b for a, b in zip(self.challenge, host_challenge))
        self.expect_seq = 1
        self.next_reply_seq = self.args.sequence_start
        return tdes(c + a + c, host_challenge, True) + b"\x90\x00"

    def card_frame(self, ftype, body):
        """Returns (reply frame, unwrapped reply frame, unwrapped command frame)."""
        refused = frame(ftype, b"\x69\x88")
        if self.secure():
            if self.session_key is None or len(body) == 0 or len(body) % 8:
                log("wrapped frame refused: not authenticated or bad length")
                return refused, b"", b""
            plain = des_cbc(self.session_key, body, False)
            seq = (plain[0] << 8) | plain[1]
            n = (plain[2] << 8) | plain[3]
            if xor(plain) != 0 or n > len(plain) - 5 or ((n + 12) // 8) * 8 != len(plain):
                log("wrapped frame refused: bad block %s" % plain.hex())
                return refused, b"", b""
            inner_frame = frame(ftype, plain[4:4 + n])
            if seq != self.expect_seq:
                log("wrapped frame refused: sequence %d, expected %d" % (seq, self.expect_seq))
                return refused, b"", inner_frame
            inner = plain[4:4 + n]
        else:
            inner = body
            inner_frame = b""
        answer = self.felica(inner)
        if not self.secure():
            return frame(ftype, answer), b"", b""
        r = self.next_reply_seq
        self.expect_seq = (r + 1) & 0xFFFF
        self.next_reply_seq = (r + 2) & 0xFFFF
        n = len(answer)
        p = ((n + 12) // 8) * 8
        block = bytearray(p)
        block[0:2] = bytes([r >> 8, r & 0xFF])
        block[2:4] = bytes([n >> 8, n & 0xFF])
        block[4:4 + n] = answer
        block[p - 1] = xor(block[:p - 1])
        wrapped = frame(ftype, des_cbc(self.session_key, bytes(block), True))
        return wrapped, frame(ftype, answer), inner_frame

    def felica(self, command):
        """The card's answer to a FeliCa command; 1 byte 00 when no card answers it."""
        if not self.present("F"):
            return b"\x00"
        idm = bytes.fromhex(self.card["idm"])
        # Read Without Encryption of one block: 06 IDm 01 svc(2) 01 80 blk
        if (len(command) != 15 or command[0] != 0x06 or command[1:9] != idm
                or command[9] != 0x01 or command[12] != 0x01 or command[13] != 0x80):
            log("FeliCa command not understood: %s" % command.hex())
            return b"\x00"
        if self.card.get("block_fails"):
            return b"\x07" + idm + b"\x01\xA1"
        return b"\x07" + idm + b"\x00\x00\x01" + bytes.fromhex(self.card.get("block", "00" * 16))


FAULT_MODES = ("corrupt", "status", "short", "silent", "random", "partial", "bad_check", "mute",
               "unplug", "flood")


def byte_value(value):
    """None, a number, or hex text ("81" is read as hex, 0x81 as a number)."""
    if isinstance(value, str):
        return int(value, 16)
    return value


FRAME_TYPES = (0x08, 0x28, 0x2A, 0x2C)
MAX_BODY = 60  # a frame fits the reader's 64-byte buffer
STALL_SECONDS = 0.2  # a frame begun and not finished by then was garbage


def serve(master, slave, reader):
    buffer = b""
    last_byte = time.monotonic()
    while True:
        if reader.unplugged:
            # Both ends: the host's side hangs up, as when the reader's cable is pulled.
            os.close(master)
            os.close(slave)
            log("unplugged")
            return
        writable = [master] if reader.flooding else []
        ready, can_write, _ = select.select([master], writable, [], 0.05)
        if can_write:
            # Small pieces: a full terminal queue must not hold this loop for long.
            os.write(master, reader.rng.randbytes(64))
        if ready:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                time.sleep(0.01)
                continue
            buffer += chunk
            last_byte = time.monotonic()
        buffer = take_frames(master, reader, buffer)
        # Whatever still waits after a quiet spell is no frame: the host writes each one at once.
        # Drop a byte at a time so that a frame behind the garbage is still found.
        while buffer and time.monotonic() - last_byte > STALL_SECONDS:
            log("dropped %s: frame never completed" % buffer[:1].hex())
            buffer = take_frames(master, reader, buffer[1:])


def take_frames(master, reader, buffer):
    """Answers every complete frame at the head of the buffer; returns what is left."""
    while len(buffer) >= 4:
        length = (buffer[1] << 8) | buffer[2]
        if buffer[0] not in FRAME_TYPES or length > MAX_BODY:
            skip = 1
            while skip < len(buffer) and buffer[skip] not in FRAME_TYPES:
                skip += 1
            log("dropped %s: no frame starts there" % buffer[:skip].hex())
            buffer = buffer[skip:]
            continue
        if len(buffer) < length + 4:
            break
        data, buffer = buffer[:length + 4], buffer[length + 4:]
        for delay, piece in reader.handle(data) or []:
            if delay > 0:
                time.sleep(delay)
            while piece:
                written = os.write(master, piece)
                piece = piece[written:]
    return buffer


def parse_keys(text):
    keys = tuple(bytes.fromhex(part) for part in text.split(","))
    if len(keys) != 3 or any(len(k) != 8 for k in keys):
        raise argparse.ArgumentTypeError("three keys of 8 bytes each")
    return keys


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--secure-on", action="store_true")
    parser.add_argument("--sequence-start", type=lambda s: int(s, 0), default=1)
    parser.add_argument("--silent", action="store_true")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--keys", type=parse_keys, default=(KEY_A, KEY_B, KEY_C))
    args = parser.parse_args()
    master, slave = os.openpty()
    tty.setraw(slave)
    attrs = termios.tcgetattr(slave)
    attrs[3] &= ~termios.ECHO
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    tty.setraw(master)
    reader = Reader(args)
    signal.signal(signal.SIGTERM, lambda *a: os._exit(0))
    threading.Thread(target=serve, args=(master, slave, reader), daemon=True).start()
    print("DEVICE %s" % os.ttyname(slave), flush=True)
    for line in sys.stdin:
        if not line.strip():
            continue
        try:
            answer = reader.command(json.loads(line))
        except Exception as e:  # a bad command must not stop the simulator
            answer = {"ok": False, "error": str(e)}
        print(json.dumps(answer), flush=True)
    os._exit(0)


if __name__ == "__main__":
    main()
