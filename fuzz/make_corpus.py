#!/usr/bin/env python3
"""Writes the seed corpora (fuzz/corpus/<target>/) from the unit tests' own cases.

The reader targets take their bytes through libFuzzer's FuzzedDataProvider: bytes from the
front, numbers and choices from the back. Input below builds such inputs."""
import hashlib
import pathlib
import shutil
import sys

ROOT = pathlib.Path(__file__).resolve().parent / "corpus"


def write(target, cases):
    folder = ROOT / target
    if folder.exists():
        shutil.rmtree(folder)
    folder.mkdir(parents=True)
    for data in cases:
        data = data.encode("utf-8", "surrogateescape") if isinstance(data, str) else bytes(data)
        (folder / hashlib.sha1(data).hexdigest()[:16]).write_bytes(data)


class Input:
    """The front and back halves of a FuzzedDataProvider input, in the order they are taken."""

    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()

    def number(self, value, low, high):
        span = high - low
        value -= low
        taken = []
        offset = 0
        while offset < 64 and (span >> offset) > 0:
            taken.append(0)
            offset += 8
        for i in range(len(taken)):  # the first byte taken is the most significant
            taken[i] = (value >> (8 * (len(taken) - 1 - i))) & 0xFF
        self.back += bytes(taken)

    def flag(self, value):
        self.number(1 if value else 0, 0, 255)

    def raw(self, data):
        self.front += bytes(data)

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))


def with_check(frame):
    x = 0
    for b in frame:
        x ^= b
    return bytes(frame) + bytes([x])


def session(i, secure, sequence=0x0010, key=bytes(range(8))):
    i.flag(secure)
    i.number(sequence, 0, 0xFFFF)
    for b in key:
        i.number(b, 0, 255)


def reply(i, kind, body, frame_type=0x2C, plain_check=True):
    """kind 0: as given; 1: check byte made right (the body gets one more byte); 2: sealed."""
    i.number(kind, 0, 2)
    i.number(len(body), 0, 72)
    i.raw(body)
    if kind == 2:
        i.flag(plain_check)
        i.number(frame_type, 0, 255)


KINDS = (0x08, 0x28, 0x2A, 0x2C)


def frame_case(secure, ctype, body, room, replies):
    i = Input()
    session(i, secure)
    i.flag(True)
    i.number(KINDS.index(ctype), 0, 3)
    i.number(len(body), 0, 60)
    i.raw(body)
    i.flag(False)
    i.number(room, 0, 64)
    for r in replies:
        reply(i, *r)
    return i.bytes()


def uid_case(secure, room, replies):
    i = Input()
    session(i, secure)
    i.number(1, 0, 15)
    i.number(room, 0, 12)
    for r in replies:
        reply(i, *r)
    return i.bytes()


def uid_levels(uid):
    if len(uid) == 4:
        return [uid]
    if len(uid) == 7:
        return [b"\x88" + uid[:3], uid[3:]]
    return [b"\x88" + uid[:3], b"\x88" + uid[3:6], uid[6:]]


def uid_replies(uid, always_incomplete=False):
    levels = uid_levels(uid)
    out = []
    for k, part in enumerate(levels):
        last = k == len(levels) - 1
        sak = b"\x24" if always_incomplete or not last else b"\x08"
        out.append((1, b"\x28" + len(part + b"\x90\x00").to_bytes(2, "big") + part + b"\x90\x00"))
        out.append((1, b"\x28\x00\x03" + sak + b"\x90\x00"))
    return out


def url_cases():
    k = lambda n, c="h": c * n
    return [
        "http://10.0.0.5/cgi-bin/userlogin/login.cgi", "http://srv:8080/cgi-bin/mainte/userimport.cgi",
        "http://srv:/x", "http://srv:70000/x", "http://[fe80::1]:8080/x", "http://[fe80::1]/x",
        "http://srv/a?b=1", "http://srv/a#frag", "http://srv?q", "HTTP://srv/x", "http://srv",
        "https://srv/x", "socks://srv", "gopher://srv:9/x", "news://srv:119/x",
        "file:///etc/hosts?x", "mailto:someone@example", "zz://srv/x", "http:/just/a/path?q",
        "http://u:p@srv:81/x", "ftp://u@srv/x", "http://" + k(256) + "/x",
        "http://" + k(128, "u") + ":" + k(128, "p") + "@srv/", "srv/x", "srv",
        "http://" + k(257) + "/x", "http://:pw@srv/", "http://:@srv/x", "http://a@b@srv/",
        "http://a:b@c:d@e/", "mailto://x", "http:///script/_userlogin/zc_auth.shp", "http://srv:",
    ]


def line_cases():
    return [
        "mchiman=1", "authcpy= -42", "authdli=+7tail", "iccard_operation=2147483648", "=1", "k=",
        "user=ADMIN", "target= LOG ADMIN JOB", "user=" + " " * 300 + "ADMIN", "k" * 256 + "=1",
        '<input type="hidden" name="authTime" value="12345">',
        '\t<INPUT  type=hidden name="authMD5in" id="q" value="ab cd" />',
        '<input type="hidden" name="a b"" value=x=y"',
        "<input type=\"hidden\" name=\"" + "n" * 256 + "\" value=\"1\"",
        "mchiman=" + "9" * 30 + "\r",
    ]


def marker_cases():
    return [
        "<html>", "x<ht", "ml>", "Zephyrcastle NG", "Zephyrcastle", " NG", "hidden",
        "b" * 9 + "Zephyrcastle NG" + "b" * 9, "<HTML>", "\xe3\x81\x82<html>\r",
        '<input type="hidden" name="authTime" value="1">',
        "<html>\nx\nZephyrcastle NG", "Zephyrcastle NG\n\n<html>x", "Zephyrcastle NG<html>\n",
        "<html>Zephyrcastle N\nG", "<ht\nml>\n<html>", "ok\r\nZephyrcastle NG\r\n<html>\r\n",
    ]


def utf8_cases():
    return [
        b"", "a\u00e9\u3042\U0001F600".encode(), b"a\x80\xbfb", b"\xc3a", b"\xe3\x81a",
        b"\xf0\x9f\x98", b"\xc0\xaf", b"\xc1\xbf", b"\xe0\x80\xaf", b"\xf0\x80\x80\xaf",
        b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xf5\xf8\xfc\xfe\xff", b"ab\0cd", b"\xe3\x81\0x",
        "2024/01/02,user,\u5370\u5237,3\r\n".encode("utf-8"),
        "a\u3042\n\U0001F600\n".encode() * 8, b"\xe3\x81\n\xf0\x9f\n\xc3", b"\xf0\x9f\x98\x80\0\xe3",
    ]


SYSTEM = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\"


def reg_text(sections):
    lines = ["Windows Registry Editor Version 5.00", ""]
    for key, values in sections:
        lines.append("[" + key + "]")
        lines.extend(values)
        lines.append("")
    return "\r\n".join(lines) + "\r\n"


def registry_cases():
    ports = SYSTEM + "Enum\\Root\\PORTS\\0000"
    service = SYSTEM + "services\\PCD_SERV\\Enum"
    device = SYSTEM + "Enum\\TARNTEST\\VID_1234&PID_5678\\5&2b&0&1\\Device Parameters"
    connected = reg_text([(ports, ['"FriendlyName"="DENSO WAVE Active USB-COM Port (COM3) Connected"'])])
    by_service = reg_text([
        (ports, ['"FriendlyName"="DENSO WAVE Active USB-COM Port (COM3)"']),
        (service, ['"Count"=dword:00000001', '"0"="TARNTEST\\\\VID_1234&PID_5678\\\\5&2b&0&1"']),
        (device, ['"PortName"="COM7"']),
    ])
    return [
        connected.encode(),
        by_service.encode(),
        b"\xef\xbb\xbf" + connected.replace("\r\n", "\n").encode(),
        b"\xff\xfe" + connected.encode("utf-16-le"),
        b"\xff\xfe" + by_service.encode("utf-16-le"),
        reg_text([(ports, ['"FriendlyName"=dword:3', '@="x"', '"Other"="a\\"b\\\\c"'])]).encode(),
        reg_text([(service, ['"Count"=dword:0', '"0"=dword:00000001'])]).encode(),
        b"[HKEY_LOCAL_MACHINE\\\\SYSTEM]\n\"x\"=\"1\n[bad\n;comment\n\"y\"=dword:123456789\n",
    ]


def frame_cases():
    ok = (1, b"\x28\x00\x02\x90\x00")
    return [
        frame_case(False, 0x28, b"\x00\x81\x00\x00", 14, [(0, with_check(b"\x28\x00\x02\x90\x00"))]),
        frame_case(False, 0x28, b"\x00\x81\x00\x00", 14, [(1, b"\x28\x00\x02\x6A\x82")]),
        frame_case(False, 0x28, b"\x00\x81\x00\x00", 14, [(1, b"\x28\x00\x01\x90")]),
        frame_case(False, 0x28, b"\x00\x81\x00\x00", 14, [(1, b"\x28\x00\x10\x90\x00")]),
        frame_case(False, 0x28, b"\x00\x81\x00\x00", 14, [(1, b"\x28\xff\xff\x90\x00")]),
        frame_case(False, 0x28, b"\x00\x81\x00\x00", 6, [(1, b"\x28\x00\x06\x01\x02\x03\x04\x90\x00")]),
        frame_case(False, 0x08, b"\x00\x0b\x03\x00\x04\x00\xfa\x00\xfa", 6, [(1, b"\x08\x00\x02\x90\x00")]),
        frame_case(False, 0x28, b"\x00\x81\x00\x00", 14, []),
        frame_case(True, 0x2C, b"\x06\x01", 64, [(2, b"\x00\x10\x00\x03\xa1\xa2\xa3")]),
        frame_case(True, 0x2C, b"\x06\x01", 64, [(2, b"\x12\x34\x00\x0f" + b"\x77" * 15 + b"\x00" * 4)]),
        frame_case(True, 0x2C, b"\x06\x01", 64, [(2, b"\x00\x10\x00\x04\xa1\xa2\xa3")]),
        frame_case(True, 0x2C, b"\x06\x01", 64, [(2, b"\x00\x10\x00\x03\xa1\xa2\xa3", 0x2C, False)]),
        frame_case(True, 0x2C, b"\x06\x01", 64, [(1, b"\x2c\x00\x0c" + b"\x5a" * 12)]),
        frame_case(True, 0x2C, b"\x06\x01", 64, [(1, b"\x2c\x00\x00")]),
        frame_case(True, 0x2C, b"\x06\x01", 64, [(1, b"\x2c\x00\x02\x69\x88")]),
        # The reader's last number: a fresh authentication runs inside the exchange.
        frame_case(True, 0x2C, b"\x06\x01", 64,
                   [(2, b"\xff\xff\x00\x03\xa1\xa2\xa3"), (1, b"\x28\x00\x02\x6a\x82"), ok]),
        frame_case(True, 0x28, b"\x00\x11\x01\x00", 6, [ok]),
    ]


def uid_cases():
    u4, u7, u10 = bytes.fromhex("01020304"), bytes.fromhex("04a1b2c3d4e5f6"), bytes(range(1, 11))
    return [
        uid_case(False, 10, uid_replies(u4)),
        uid_case(False, 10, uid_replies(u7)),
        uid_case(True, 10, uid_replies(u10)),
        uid_case(False, 10, uid_replies(u4, always_incomplete=True) * 3),
        uid_case(False, 6, uid_replies(u10)),
        uid_case(False, 10, uid_replies(u7)[:3]),
        uid_case(False, 10, [(1, b"\x28\x00\x02\x6a\x82")]),
    ]


def main():
    write("url_split", url_cases())
    write("answer_lines", line_cases())
    write("answer_marker", marker_cases())
    write("joblog_utf8", utf8_cases())
    write("registry_file", registry_cases())
    write("reader_frame", frame_cases())
    write("typea_uid", uid_cases())
    return 0


if __name__ == "__main__":
    sys.exit(main())
