#!/usr/bin/env python3
"""Checks of the reader simulator from the host's side, with a cipher of its own.

Run: /usr/bin/python3 simulators/reader/selftest.py [-v]
Each check starts its own simulator, opens its pseudo-terminal raw like the host does and
speaks frames to it; the expected values come from the `cryptography` package.
"""
import json
import os
import select
import subprocess
import sys
import termios
import time
import tty
import unittest

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

HERE = os.path.dirname(os.path.abspath(__file__))
KEY_A = bytes.fromhex("3B7E15A2C409F16D")
KEY_B = bytes.fromhex("924FD0386BE51A77")
KEY_C = bytes.fromhex("0EC953B8277A9D41")
OK = b"\x90\x00"


def crypt(algorithm, mode, data, encrypt):
    c = Cipher(algorithm, mode)
    op = c.encryptor() if encrypt else c.decryptor()
    return op.update(data) + op.finalize()


def tdes(key, data, encrypt):
    return crypt(algorithms.TripleDES(key), modes.ECB(), data, encrypt)


def des_cbc(key, data, encrypt):
    return crypt(algorithms.TripleDES(key), modes.CBC(bytes(8)), data, encrypt)


def xor(data):
    x = 0
    for b in data:
        x ^= b
    return x


def frame(ftype, body):
    head = bytes([ftype, len(body) >> 8, len(body) & 0xFF]) + body
    return head + bytes([xor(head)])


def instruction(ftype, ins, p1=0, p2=0, data=None):
    body = bytes([0x00, ins, p1, p2])
    if data is not None:
        body += bytes([len(data)]) + data
    return frame(ftype, body)


def felica_read(idm, block=0):
    return bytes([0x06]) + idm + bytes([0x01, 0x00, 0x00, 0x01, 0x80, block])


class Sim:
    def __init__(self, *options):
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "reader_sim.py"), *options],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        first = self.proc.stdout.readline().strip()
        assert first.startswith("DEVICE "), first
        self.device = first[7:]
        self.fd = None
        self.open()

    def open(self):
        self.fd = os.open(self.device, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        termios.tcflush(self.fd, termios.TCIOFLUSH)

    def close_port(self):
        os.close(self.fd)
        self.fd = None

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
        self.proc.stdin.close()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()

    def command(self, **cmd):
        self.proc.stdin.write(json.dumps(cmd) + "\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def read_frame(self, timeout=2.0):
        """Reads one reply frame by its length field; b"" when nothing comes in time."""
        data = b""
        deadline = time.monotonic() + timeout
        while True:
            need = 4 if len(data) < 3 else ((data[1] << 8) | data[2]) + 4
            if len(data) >= need:
                return data
            left = deadline - time.monotonic()
            if left <= 0:
                return data
            ready, _, _ = select.select([self.fd], [], [], left)
            if ready:
                data += os.read(self.fd, 256)

    def exchange(self, raw, timeout=2.0):
        os.write(self.fd, raw)
        return self.read_frame(timeout)


class SimTest(unittest.TestCase):
    options = ()

    def setUp(self):
        self.sim = Sim(*self.options)

    def tearDown(self):
        self.sim.close()

    def body(self, reply):
        self.assertEqual(xor(reply), 0, "reply check byte")
        self.assertEqual(len(reply), ((reply[1] << 8) | reply[2]) + 4)
        return reply[3:-1]

    def ask(self, ftype, ins, p1=0, p2=0, data=None):
        reply = self.sim.exchange(instruction(ftype, ins, p1, p2, data))
        self.assertEqual(reply[0], ftype)
        return self.body(reply)

    def authenticate(self, host_random=b"\x11\x22\x33\x44\x55\x66\x77\x08"):
        body = self.ask(0x28, 0x81)
        self.assertEqual(len(body), 10)
        self.assertEqual(body[8:], OK)
        challenge = body[:8]
        response = tdes(KEY_B + KEY_C + KEY_B, tdes(KEY_A + KEY_B + KEY_A, challenge, False),
                        True)
        host_challenge = tdes(KEY_B * 3, host_random, True)
        body = self.ask(0x28, 0x83, data=response + host_challenge)
        self.assertEqual(body, tdes(KEY_C + KEY_A + KEY_C, host_challenge, True) + OK)
        return bytes(a ^ b for a, b in zip(challenge, host_challenge))

    def wrap(self, key, seq, inner, ftype=0x2C):
        n = len(inner)
        p = ((n + 12) // 8) * 8
        block = bytearray(p)
        block[0:4] = bytes([seq >> 8, seq & 0xFF, n >> 8, n & 0xFF])
        block[4:4 + n] = inner
        block[p - 1] = xor(block[:p - 1])
        return frame(ftype, des_cbc(key, bytes(block), True))

    def unwrap(self, key, reply):
        body = self.body(reply)
        self.assertEqual(len(body) % 8, 0, body.hex())
        plain = des_cbc(key, body, False)
        self.assertEqual(xor(plain), 0, "inner check byte")
        n = (plain[2] << 8) | plain[3]
        self.assertEqual(len(plain), ((n + 12) // 8) * 8)
        return (plain[0] << 8) | plain[1], plain[4:4 + n]


class FrameTest(SimTest):
    def test_device_commands(self):
        self.assertEqual(self.ask(0x08, 0x01, data=b"\x00"), b"\x00" + OK)
        info = self.ask(0x08, 0x05)
        self.assertEqual(len(info), 22)
        self.assertEqual(info[20:], OK)
        self.assertEqual(self.ask(0x08, 0x05), info, "reader information is fixed")
        self.assertEqual(self.sim.exchange(bytes.fromhex("08 0009 000B 0300 0400FA00FA 0D")),
                         bytes.fromhex("08 0002 9000 9A"))
        self.assertEqual(self.ask(0x28, 0x7F), b"\x6D\x00", "unknown instruction")

    def test_bad_check_byte_is_answered_6a80(self):
        raw = bytearray(instruction(0x28, 0x81))
        raw[-1] ^= 0x01
        self.assertEqual(self.body(self.sim.exchange(bytes(raw))), b"\x6A\x80")
        self.assertFalse(self.sim.command(cmd="state")["authenticated"])

    def test_garbage_is_skipped(self):
        cases = [
            ("bytes that start no frame", b"\x00\xff\x13"),
            ("a length too long for the reader", b"\x28\x01\x00"),
            ("a frame head that never completes", b"\x28\x00\x30\x00\x81"),
        ]
        for name, garbage in cases:
            with self.subTest(name):
                os.write(self.sim.fd, garbage)
                if name.startswith("a frame head"):
                    self.assertEqual(self.sim.read_frame(0.1), b"", "waits for the rest first")
                self.assertEqual(self.ask(0x28, 0x87), b"\x00\x00\x00" + OK)

    def test_pieces_make_one_frame(self):
        raw = instruction(0x28, 0x87)
        os.write(self.sim.fd, raw[:2])
        time.sleep(0.05)
        os.write(self.sim.fd, raw[2:])
        self.assertEqual(self.body(self.sim.read_frame()), b"\x00\x00\x00" + OK)

    def test_port_reopens_many_times(self):
        for _ in range(20):
            self.sim.close_port()
            self.sim.open()
            self.assertEqual(self.ask(0x28, 0x11, 0x01), OK)
        self.assertTrue(self.sim.command(cmd="state")["field"])

    def test_log_and_clear(self):
        self.ask(0x08, 0x0B, 0x03, data=b"\x00\x64\x00\x64")
        log = self.sim.command(cmd="log")["log"]
        self.assertEqual([(e["dir"], e["type"], e["ins"]) for e in log],
                         [("rx", 0x08, 0x0B), ("tx", 0x08, -1)])
        self.assertEqual(log[0]["hex"], instruction(0x08, 0x0B, 0x03,
                                                    data=b"\x00\x64\x00\x64").hex())
        self.assertLessEqual(log[0]["t"], log[1]["t"])
        self.assertEqual(self.sim.command(cmd="clear_log"), {"ok": True})
        self.assertEqual(self.sim.command(cmd="log")["log"], [])

    def test_bad_commands_are_refused_and_the_simulator_goes_on(self):
        for cmd in ({"cmd": "nonsense"}, {"cmd": "card", "kind": "A", "uid": "0102"},
                    {"cmd": "card", "kind": "Z"}, {"cmd": "fault", "mode": "odd"},
                    {"cmd": "card", "kind": "F", "idm": "01"}):
            with self.subTest(cmd):
                answer = self.sim.command(**cmd)
                self.assertFalse(answer["ok"])
                self.assertIn("error", answer)
        self.sim.proc.stdin.write("not json\n")
        self.sim.proc.stdin.flush()
        self.assertFalse(json.loads(self.sim.proc.stdout.readline())["ok"])
        self.assertTrue(self.sim.command(cmd="state")["ok"])

    def test_exits_when_stdin_closes(self):
        self.sim.proc.stdin.close()
        self.assertEqual(self.sim.proc.wait(5), 0)


class SilentTest(SimTest):
    options = ("--silent",)

    def test_never_answers_but_logs(self):
        self.assertEqual(self.sim.exchange(instruction(0x28, 0x81), timeout=0.3), b"")
        self.assertEqual(len(self.sim.command(cmd="log")["log"]), 1)


class CardTest(SimTest):
    def test_no_card_or_field_off(self):
        self.sim.command(cmd="card", kind="A", uid="01020304")
        self.assertEqual(self.ask(0x28, 0x41, 0x26), b"\x6A\x82", "field is off")
        self.ask(0x28, 0x11, 0x01)
        self.sim.command(cmd="remove")
        for ins in (0x41, 0x31, 0x51, 0x43):
            with self.subTest(ins=ins):
                self.assertEqual(self.ask(0x28, ins, 0x26 if ins == 0x41 else 0x93),
                                 b"\x6A\x82")

    def test_type_a_cascade(self):
        cases = [
            ("01020304", ["01020304"], [0x08]),
            ("04a1b2c3d4e5f6", ["8804a1b2", "c3d4e5f6"], [0x24, 0x08]),
            ("0102030405060708090a", ["88010203", "88040506", "0708090a"], [0x24, 0x24, 0x08]),
        ]
        self.ask(0x28, 0x11, 0x01)
        for uid, parts, saks in cases:
            with self.subTest(uid=uid):
                self.sim.command(cmd="card", kind="A", uid=uid)
                atqa = self.ask(0x28, 0x41, 0x26)
                self.assertEqual(len(atqa), 4)
                self.assertEqual(atqa[2:], OK)
                for sel, part, sak in zip((0x93, 0x95, 0x97), parts, saks):
                    self.assertEqual(self.ask(0x28, 0x43, sel), bytes.fromhex(part) + OK)
                    self.assertEqual(self.ask(0x28, 0x45, sel, data=bytes.fromhex(part)),
                                     bytes([sak]) + OK)
                if len(parts) < 3:
                    self.assertEqual(self.ask(0x28, 0x43, 0x97), b"\x6A\x82", "no such level")
                self.assertEqual(self.ask(0x28, 0x45, 0x93, data=b"\xde\xad\xbe\xef"),
                                 b"\x6A\x82", "select of a part that is not the card's")

    def test_type_a_that_cannot_be_read(self):
        self.ask(0x28, 0x11, 0x01)
        self.sim.command(cmd="card", kind="A", uid="01020304", sak_always_incomplete=True)
        for sel in (0x93, 0x95, 0x97):
            part = self.ask(0x28, 0x43, sel)[:4]
            self.assertEqual(self.ask(0x28, 0x45, sel, data=part)[0] & 0x04, 0x04)
        self.sim.command(cmd="card", kind="A", uid="01020304", unreadable=True)
        self.assertEqual(self.ask(0x28, 0x41, 0x26)[2:], OK, "it answers the poll")
        self.assertEqual(self.ask(0x28, 0x43, 0x93), b"\x6A\x82")

    def test_type_b_and_felica_polls(self):
        self.ask(0x28, 0x11, 0x01)
        data = bytes(range(0x50, 0x5D))
        self.sim.command(cmd="card", kind="B", data=data.hex())
        self.assertEqual(self.ask(0x28, 0x31), data + OK)
        self.assertEqual(self.ask(0x28, 0x51), b"\x6A\x82", "a Type B card is no FeliCa card")
        idm = bytes.fromhex("0102030405060708")
        for prefix in ("0001", "0002"):
            with self.subTest(prefix=prefix):
                self.sim.command(cmd="card", kind="F", idm=idm.hex(), poll_prefix=prefix)
                body = self.ask(0x28, 0x51)
                self.assertEqual(len(body), 20)
                self.assertEqual(body[:10], bytes.fromhex(prefix) + idm)
                self.assertEqual(body[18:], OK)

    def test_card_appears_after_its_delay(self):
        self.ask(0x28, 0x11, 0x01)
        self.sim.command(cmd="card", kind="B", data="00" * 13, delay=0.3)
        self.assertEqual(self.ask(0x28, 0x31), b"\x6A\x82")
        time.sleep(0.35)
        self.assertEqual(self.ask(0x28, 0x31)[-2:], OK)

    def test_plain_felica_read(self):
        self.ask(0x28, 0x11, 0x01)
        idm = bytes.fromhex("0011223344556677")
        block = bytes(range(16))
        cases = [
            (False, b"\x07" + idm + b"\x00\x00\x01" + block),
            (True, b"\x07" + idm + b"\x01\xA1"),
        ]
        for fails, expected in cases:
            with self.subTest(block_fails=fails):
                self.sim.command(cmd="card", kind="F", idm=idm.hex(), block=block.hex(),
                                 block_fails=fails)
                reply = self.sim.exchange(frame(0x2C, felica_read(idm)))
                self.assertEqual(self.body(reply), expected, "no status word on card frames")
        other = bytes(8)
        self.assertEqual(self.body(self.sim.exchange(frame(0x2A, felica_read(other)))), b"\x00",
                         "another card's IDm gets no card response")


class AuthTest(SimTest):
    def test_mutual_authentication(self):
        key = self.authenticate()
        state = self.sim.command(cmd="state")
        self.assertTrue(state["authenticated"])
        self.assertEqual(state["session_key"], key.hex())
        self.assertEqual((state["expect_seq"], state["next_reply_seq"]), (1, 1))

    def test_wrong_response_is_refused(self):
        cases = [("wrong response", lambda c: bytes(8)),
                 ("keys in the wrong order",
                  lambda c: tdes(KEY_A + KEY_B + KEY_A, tdes(KEY_B + KEY_C + KEY_B, c, False),
                                 True))]
        for name, respond in cases:
            with self.subTest(name):
                challenge = self.ask(0x28, 0x81)[:8]
                body = self.ask(0x28, 0x83, data=respond(challenge) + bytes(8))
                self.assertEqual(body, b"\x63\x00")
                self.assertFalse(self.sim.command(cmd="state")["authenticated"])

    def test_security_setting(self):
        self.assertEqual(self.ask(0x28, 0x87), b"\x00\x00\x00" + OK)
        self.assertEqual(self.ask(0x28, 0x85, 0x00, 0x02, b"\x05\x11\x07"), OK)
        self.assertEqual(self.ask(0x28, 0x87), b"\x05\x11\x07" + OK)
        self.assertTrue(self.sim.command(cmd="state")["secure"])


class SecureTest(SimTest):
    options = ("--secure-on",)
    idm = bytes.fromhex("0102030405060708")
    block = bytes.fromhex("00112233445566778899aabbccddeeff")

    def setUp(self):
        super().setUp()
        self.assertEqual(self.ask(0x28, 0x87), b"\x00\x11\x00" + OK)
        self.ask(0x28, 0x11, 0x01)
        self.sim.command(cmd="card", kind="F", idm=self.idm.hex(), block=self.block.hex())

    def read(self, key, seq):
        return self.sim.exchange(self.wrap(key, seq, felica_read(self.idm)))

    def test_wrapped_reads_follow_the_numbers(self):
        key = self.authenticate()
        expected = b"\x07" + self.idm + b"\x00\x00\x01" + self.block
        seq = 1
        for reply_seq in (1, 3, 5):
            reply = self.read(key, seq)
            self.assertEqual(len(reply), 44, "28-byte response in a 40-byte block")
            self.assertEqual(self.unwrap(key, reply), (reply_seq, expected))
            seq = reply_seq + 1
        log = self.sim.command(cmd="log")["log"]
        card = [e for e in log if e["type"] == 0x2C]
        self.assertEqual(card[-2]["plain_hex"], frame(0x2C, felica_read(self.idm)).hex())
        self.assertEqual(card[-1]["plain_hex"], frame(0x2C, expected).hex())
        self.assertEqual(self.sim.command(cmd="state")["expect_seq"], 6)

    def test_faulty_wrapping_is_refused(self):
        key = self.authenticate()
        good = self.wrap(key, 1, felica_read(self.idm))
        bad_inner = bytearray(good)
        bad_inner[5] ^= 0x01  # still a well-formed frame once its check byte is redone
        bad_inner = frame(0x2C, bytes(bad_inner[3:-1]))
        cases = [
            ("wrong sequence number", self.wrap(key, 2, felica_read(self.idm))),
            ("wrong session key", self.wrap(bytes(8), 1, felica_read(self.idm))),
            ("damaged block", bad_inner),
            ("not whole blocks", frame(0x2C, good[3:-2])),
            ("plain command", frame(0x2C, felica_read(self.idm))),
        ]
        for name, raw in cases:
            with self.subTest(name):
                self.assertEqual(self.sim.exchange(raw), frame(0x2C, b"\x69\x88"))
        self.assertEqual(self.unwrap(key, self.read(key, 1))[0], 1, "the numbers did not move")

    def test_unauthenticated_wrapped_frame_is_refused(self):
        self.assertEqual(self.read(bytes(8), 1), frame(0x2C, b"\x69\x88"))

    def test_device_and_reader_commands_stay_plain(self):
        self.authenticate()
        self.assertEqual(self.ask(0x28, 0x51)[:2], b"\x00\x01")


class SequenceEndTest(SimTest):
    options = ("--secure-on", "--sequence-start", "0xFFFD")

    def test_numbers_wrap_and_restart_after_authentication(self):
        idm = bytes.fromhex("0102030405060708")
        self.ask(0x28, 0x11, 0x01)
        self.sim.command(cmd="card", kind="F", idm=idm.hex())
        key = self.authenticate()
        seq = 1
        for reply_seq in (0xFFFD, 0xFFFF):
            got, _ = self.unwrap(key, self.sim.exchange(self.wrap(key, seq, felica_read(idm))))
            self.assertEqual(got, reply_seq)
            seq = (got + 1) & 0xFFFF
        self.assertEqual(self.sim.command(cmd="state")["expect_seq"], 0)
        key = self.authenticate(b"\x01" * 8)
        got, _ = self.unwrap(key, self.sim.exchange(self.wrap(key, 1, felica_read(idm))))
        self.assertEqual(got, 0xFFFD)


class FaultTest(SimTest):
    def test_fault_modes(self):
        cases = [
            ("status", {"sw": "6a86"}, b"\x6A\x86"),
            ("short", {}, b"\x90"),
        ]
        for mode, extra, body in cases:
            with self.subTest(mode):
                self.sim.command(cmd="fault", mode=mode, **extra)
                self.assertEqual(self.ask(0x28, 0x87), body)
                self.assertEqual(self.ask(0x28, 0x87), b"\x00\x00\x00" + OK, "one reply only")
        self.sim.command(cmd="fault", mode="corrupt")
        reply = self.sim.exchange(instruction(0x28, 0x87))
        self.assertEqual(xor(reply), 0x5A)
        self.sim.command(cmd="fault", mode="silent")
        self.assertEqual(self.sim.exchange(instruction(0x28, 0x87), timeout=0.3), b"")

    def test_status_fault_leaves_the_command_undone(self):
        self.sim.command(cmd="fault", mode="status", sw="6a86", ins=0x85)
        self.assertEqual(self.ask(0x28, 0x85, 0, 2, b"\x00\x11\x00"), b"\x6A\x86")
        self.assertFalse(self.sim.command(cmd="state")["secure"])

    def test_instruction_and_count_select_replies(self):
        for ins in (0x81, "81"):
            with self.subTest(ins=ins):
                self.sim.command(cmd="fault", mode="status", sw="6982", ins=ins, count=2)
                self.assertEqual(self.ask(0x28, 0x87)[-2:], OK, "other instructions untouched")
                self.assertEqual(self.ask(0x28, 0x81), b"\x69\x82")
                self.assertEqual(self.ask(0x28, 0x81), b"\x69\x82")
                self.assertEqual(self.ask(0x28, 0x81)[-2:], OK)


if __name__ == "__main__":
    unittest.main()
