#!/usr/bin/env python3
"""Zephyrcastle appliance simulator: a real HTTP/1.1 server on 127.0.0.1 for tests and the demo.

Usage: appliance_sim.py [--port N] [--config JSON-or-file] [--verbose]

Prints "PORT <n>" as its first stdout line, then reads one JSON command per stdin line and
answers each with exactly one JSON line ({"ok": true, ...} or {"ok": false, "error": ...}).
Nothing else goes to stdout; diagnostics go to stderr (--verbose logs every request there).
Exits when stdin closes or on SIGTERM.

Commands:
  {"cmd": "config", "set": {...}}   merge configuration keys (see below); answers {"ok": true}
  {"cmd": "get_config"}             -> {"config": the current configuration}
  {"cmd": "reset"}                  back to the start-up configuration (defaults merged with
                                    --config); sessions, stored uploads and records cleared
  {"cmd": "requests"}               -> {"requests": [{"method", "target", "path", "headers":
                                    [[name, value], ...], "body_hex", "body_size", "proxied"}]}
                                    "target" is the request target as received; "path" equals it,
                                    except for a request in absolute form ("GET http://h:p/x?q"),
                                    as a client sends it to a proxy: then "path" is "/x?q" and
                                    "proxied" is true. Headers in order, names as sent. The body
                                    is the raw request body (chunked bodies decoded).
                                    Optional "max_body": N cuts each body_hex to N bytes.
  {"cmd": "clear_requests"}
  {"cmd": "request_body", "index": I, "offset": O, "length": N}
                                    -> {"data_hex": bytes O..O+N of record I's body, "size"}
                                    (offset and length optional: the whole body);
                                    with "to_file": F the bytes are written to the file F
                                    instead of data_hex (answer {"size", "written"})
  {"cmd": "upload", "path": P}      -> {"data_hex": file bytes the last parsed import to P
                                    stored ("" when none), "size", "present": bool}; optional
                                    "offset", "length" and "to_file" as for request_body
  {"cmd": "sessions"}               -> {"sessions": {cookie id: signed-in account or null}}
  {"cmd": "ping"}                   -> {"ok": true}

Configuration keys ("set" merges: top-level keys are replaced, except "responses",
"login_page", "status" and "headers", which merge per entry; an entry set to null is removed):
  mchiman        int, or null for no mchiman line in the status answer; default 1. When 1, every
                 transfer needs a signed-in session holding its right (job log: "LOG" in the
                 account's target; exports and imports: "ADMIN"); otherwise the transfer answers
                 200 with an HTML page saying "login required".
  status         {key: int} further status lines after mchiman; default authcpy=0, authdli=1,
                 authfle=0, authprt=1, iccard_operation=0
  status_body    text or null; when set, replaces the whole status answer (no rights lines)
  line_end       line ending of the status answer and the login page; default "\\r\\n"
  accounts       {name: {"password": p, "target": rights}} (replaced whole). Defaults:
                 admin/secret "ADMIN,JOB,LOG", logger/logpass "LOG", nobody/nopass "" (signs in,
                 no rights). A signed-in session's status answer adds "user=<name>" and
                 "target=<rights>".
  login_page     staged faults of the login page, any of:
                   "omit_auth_time": true  no authTime tag (the session's time stamp is then "")
                   "name_first": true      tags written <input name="..." type="hidden" value=...>
                   "uppercase": true       tags written <INPUT TYPE="HIDDEN" NAME="..." VALUE=...>
                   "long_field": N         an extra hidden field before the real ones, name and
                                           value N characters long each
                   "challenge": text       fixed challenge instead of fresh random hex
                   "auth_time": text       fixed time stamp instead of the current time
  job_log_hex    the job log's bytes in hex; default a few UTF-8 lines with non-ASCII text
  user_list      text of the user export (user_list_hex, when set, wins)
  proxy_settings text of the proxy export (proxy_settings_hex, when set, wins)
  import_reject  true: an import answers a page holding "Zephyrcastle NG" (the upload is still
                 stored)
  headers        {name: value} extra header lines on every answer, overrides included (for
                 example {"Cache-Control": "public, max-age=3600"}); default none
  responses      {path: override} answers the path (query ignored; any method) instead of the
                 normal handling. Override keys:
                   "status": code (default 200), "reason": text (default: the usual phrase)
                   "body": text | "body_hex": hex | "kind": "html" (small HTML page),
                     "empty", "exact1024" ("0123456789abcdef" 64 times, no line feed),
                     "large" with "size": N (N bytes of printable 64-byte lines, streamed,
                     never held in memory; "tail": text follows them, inside the body)
                   "hang": true   read the request, never answer, keep the socket open until
                                  the client closes it or the simulator stops
                   "raw_hex": hex these bytes instead of an answer (status line, headers and
                                  all, as given), then the connection closes
                   "stall_after": K  announce the whole body's Content-Length, send its first
                                  K bytes, then stay silent as "hang" does
                   "location": text  a Location header (with "status": 302, a redirect)
                   "header_size": N  one extra header line of N bytes ("X-Filler: xxx...")
                   "delay_ms": N  wait before answering
                   "cut_after": K  announce the whole body's Content-Length, send its first K
                                  bytes, then close the connection
                   "trickle_ms": N send the body one byte at a time, N ms apart (with a
                                  Content-Length), a slow answer that still moves
                   "chunked": true send the body with chunked transfer coding
                   "close": true  no Content-Length; the body ends when the connection closes
                   "content_type": text (default text/html for "html", else text/plain)
                   "skip": K      the first K matching requests get the normal handling
                   "times": N     the override is used N times, then dropped
                 Without body, body_hex and kind the body is a small HTML page for the status.
Unknown paths answer 404. The session cookie is "ZCSESSION"; a request without a known one gets a
fresh session and a Set-Cookie header.

Login (POST /cgi-bin/userlogin/login.cgi, fields authUser, authTime, authMD5out, Zephyrcastle,
execute): accepted when authMD5out == md5hex(C + ":" + T + ":" + md5hex(user + ":qm4vr7:" +
password)) for the session's latest challenge C and time stamp T. Imports parse the exact body
"--fromZCcomUtil\\r\\n" "Content-Disposition: form-data; name=\\"userinfo\\"\\r\\n"
"Content-Type: application/octet-stream\\r\\n\\r\\n" <file> "\\r\\n--fromZCcomUtil\\r\\n"; anything
else answers 400.
"""
import argparse
import copy
import hashlib
import http.server
import json
import os
import secrets
import signal
import socket
import socketserver
import sys
import threading
import time
import urllib.parse

SALT = "qm4vr7"
BOUNDARY = "fromZCcomUtil"
MULTIPART_HEAD = (b"--fromZCcomUtil\r\n"
                  b"Content-Disposition: form-data; name=\"userinfo\"\r\n"
                  b"Content-Type: application/octet-stream\r\n\r\n")
MULTIPART_TAIL = b"\r\n--fromZCcomUtil\r\n"
SESSION_COOKIE = "ZCSESSION"
# 64 printable bytes per line: large answers stay text without any answer marker in them.
PATTERN_LINE = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-\n"
STREAM_CHUNK = PATTERN_LINE * 16384  # 1 MiB: few system calls, so a gigabyte goes out fast
MERGED_KEYS = ("responses", "login_page", "status", "headers")

DEFAULT_CONFIG = {
    "mchiman": 1,
    "status": {"authcpy": 0, "authdli": 1, "authfle": 0, "authprt": 1, "iccard_operation": 0},
    "status_body": None,
    "line_end": "\r\n",
    "accounts": {
        "admin": {"password": "secret", "target": "ADMIN,JOB,LOG"},
        "logger": {"password": "logpass", "target": "LOG"},
        "nobody": {"password": "nopass", "target": ""},
    },
    "responses": {},
    "login_page": {},
    "job_log_hex": ("2023-01-05 10:00 print job.pdf user=admin pages=3\n"
                    "2023-01-05 10:05 copy \u00e9t\u00e9 \u3042\u3044 user=M\u00fcller pages=1\n"
                    "2023-01-05 10:07 scan \u20ac \U0001F5A8 pages=2\n").encode().hex(),
    "user_list": "user,name,card\r\nadmin,Administrator,01020304\r\n",
    "user_list_hex": None,
    "proxy_settings": "proxy=10.0.0.1\r\nport=8080\r\n",
    "proxy_settings_hex": None,
    "import_reject": False,
    "headers": {},
}

RIGHT_OF_PATH = {
    "/cgi-bin/log/jobLog.cgi": "LOG",
    "/cgi-bin/mainte/userexport.cgi": "ADMIN",
    "/cgi-bin/mainte/proxyexport.cgi": "ADMIN",
    "/cgi-bin/mainte/userimport.cgi": "ADMIN",
    "/cgi-bin/mainte/proxyimport.cgi": "ADMIN",
}

VERBOSE = False
STOP = threading.Event()


def log(text):
    if VERBOSE:
        print(text, file=sys.stderr, flush=True)


def md5hex(data):
    if isinstance(data, str):
        data = data.encode("utf-8", "surrogateescape")
    return hashlib.md5(data).hexdigest()


def merge(target, patch):
    for key, value in patch.items():
        if key in MERGED_KEYS and isinstance(value, dict):
            entries = target.get(key)
            if not isinstance(entries, dict):
                entries = target[key] = {}
            for name, entry in value.items():
                if entry is None:
                    entries.pop(name, None)
                else:
                    entries[name] = copy.deepcopy(entry)
        else:
            target[key] = copy.deepcopy(value)


class State:
    def __init__(self):
        self.lock = threading.Lock()
        self.startup = copy.deepcopy(DEFAULT_CONFIG)
        self.reset()

    def reset(self):
        self.config = copy.deepcopy(self.startup)
        self.sessions = {}  # cookie id -> {"challenge", "time", "user"}
        self.uploads = {}   # path -> bytes
        self.requests = []  # records with the raw body as bytes
        self.override_hits = {}  # path -> matching requests seen


STATE = State()


def page(title, text):
    return ("<html>\r\n<head><title>%s</title></head>\r\n<body>\r\n<p>%s</p>\r\n</body>\r\n"
            "</html>\r\n" % (title, text)).encode()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "Zephyrcastle"
    sys_version = ""
    # Headers and body go out in separate writes; with Nagle on, each answer on a kept-alive
    # connection would wait for the client's delayed acknowledgement.
    disable_nagle_algorithm = True

    def version_string(self):
        return self.server_version

    def log_message(self, fmt, *args):
        log("%s %s" % (self.address_string(), fmt % args))

    def do_GET(self):
        self.handle_any()

    def do_POST(self):
        self.handle_any()

    def do_PUT(self):
        self.handle_any()

    def do_HEAD(self):
        self.handle_any()

    # --- plumbing ---------------------------------------------------------------------

    def read_body(self):
        if "chunked" in (self.headers.get("Transfer-Encoding") or "").lower():
            parts = []
            while True:
                size_line = self.rfile.readline(1024)
                if not size_line:
                    break
                size = int(size_line.split(b";", 1)[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline(1024) not in (b"\r\n", b"\n", b""):
                        pass  # trailers
                    break
                parts.append(self.rfile.read(size))
                self.rfile.readline(1024)
            return b"".join(parts)
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length > 0 else b""

    def handle_any(self):
        try:
            body = self.read_body()
        except ValueError:
            self.close_connection = True
            return self.reply(400, page("Bad Request", "Unreadable body."), None)
        target = self.path
        path = target
        proxied = False
        if not target.startswith("/") and "://" in target:
            proxied = True
            parts = urllib.parse.urlsplit(target)
            path = (parts.path or "/") + ("?" + parts.query if parts.query else "")
        with STATE.lock:
            STATE.requests.append({
                "method": self.command, "target": target, "path": path,
                "headers": [[k, v] for k, v in self.headers.items()],
                "body": body, "proxied": proxied,
            })
            config = copy.deepcopy(STATE.config)
        self.extra_headers = config.get("headers") or {}
        self.override_headers = {}
        route_path = path.split("?", 1)[0]
        session_id, new_cookie = self.session_id()
        override = self.take_override(route_path, config)
        if override is not None:
            return self.send_override(override, new_cookie)
        route = {
            "/script/_userlogin/zc_auth.shp": self.status_answer,
            "/script/_userlogin/userlogin_zc.shp": self.login_page,
            "/cgi-bin/userlogin/login.cgi": self.login,
            "/cgi-bin/userlogin/logout.cgi": self.logout,
            "/cgi-bin/log/jobLog.cgi": self.job_log,
            "/cgi-bin/mainte/userexport.cgi": self.user_export,
            "/cgi-bin/mainte/proxyexport.cgi": self.proxy_export,
            "/cgi-bin/mainte/userimport.cgi": self.import_file,
            "/cgi-bin/mainte/proxyimport.cgi": self.import_file,
        }.get(route_path)
        if route is None:
            return self.reply(404, page("Not Found", "No such page."), new_cookie)
        right = RIGHT_OF_PATH.get(route_path)
        if right and config["mchiman"] == 1 and not self.has_right(session_id, right, config):
            return self.reply(200, page("Login", "login required"), new_cookie)
        status, data = route(session_id, body, config, route_path)
        self.reply(status, data, new_cookie)

    def take_override(self, path, config):
        override = config["responses"].get(path)
        if override is None:
            return None
        with STATE.lock:
            seen = STATE.override_hits.get(path, 0)
            STATE.override_hits[path] = seen + 1
            skip = int(override.get("skip", 0))
            if seen < skip:
                return None
            times = override.get("times")
            if times is not None and seen + 1 - skip >= int(times):
                # Used up: later requests get the normal handling.
                STATE.config["responses"].pop(path, None)
                STATE.override_hits.pop(path, None)
        return override

    def session_id(self):
        cookie = self.headers.get("Cookie") or ""
        with STATE.lock:
            for part in cookie.split(";"):
                name, _, value = part.strip().partition("=")
                if name == SESSION_COOKIE and value in STATE.sessions:
                    return value, None
            value = secrets.token_hex(8)
            STATE.sessions[value] = {"challenge": None, "time": None, "user": None}
        return value, value

    def has_right(self, session_id, right, config):
        with STATE.lock:
            user = STATE.sessions.get(session_id, {}).get("user")
        if user is None or user not in config["accounts"]:
            return False
        return right in (config["accounts"][user].get("target") or "")

    def start_answer(self, status, reason, content_type, new_cookie, chunked, close, length):
        """Status line and headers; the body is framed by length, chunks, or the close."""
        self.send_response(status, reason)
        self.send_header("Content-Type", content_type)
        if new_cookie:
            self.send_header("Set-Cookie", "%s=%s; Path=/" % (SESSION_COOKIE, new_cookie))
        for name, value in getattr(self, "extra_headers", {}).items():
            self.send_header(name, str(value))
        for name, value in getattr(self, "override_headers", {}).items():
            self.send_header(name, str(value))
        if close:
            self.send_header("Connection", "close")
            self.close_connection = True
        elif chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(length))
        self.end_headers()

    def reply(self, status, data, new_cookie, content_type="text/html; charset=utf-8", reason=None,
              chunked=False, close=False):
        self.start_answer(status, reason, content_type, new_cookie, chunked, close, len(data))
        if self.command == "HEAD":
            return
        if chunked and not close:
            for i in range(0, len(data), 65536):
                piece = data[i:i + 65536]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.write(b"0\r\n\r\n")
        else:
            self.wfile.write(data)

    def hang(self):
        # Keep the connection open without a byte until the client gives up.
        self.close_connection = True
        self.connection.settimeout(0.2)
        while not STOP.is_set():
            try:
                if self.connection.recv(65536) == b"":
                    return
            except socket.timeout:
                continue
            except OSError:
                return

    def send_override(self, override, new_cookie):
        if override.get("delay_ms"):
            STOP.wait(int(override["delay_ms"]) / 1000.0)
        if override.get("hang"):
            return self.hang()
        if "raw_hex" in override:
            self.close_connection = True
            self.wfile.write(bytes.fromhex(override["raw_hex"]))
            self.wfile.flush()
            return
        if "location" in override:
            self.override_headers["Location"] = override["location"]
        if override.get("header_size"):
            self.override_headers["X-Filler"] = "x" * int(override["header_size"])
        status = int(override.get("status", 200))
        reason = override.get("reason")
        chunked = bool(override.get("chunked"))
        close = bool(override.get("close"))
        kind = override.get("kind")
        content_type = override.get("content_type")
        if kind == "large":
            tail = override.get("tail", "").encode("utf-8", "surrogateescape")
            return self.send_large(status, reason, int(override.get("size", 0)), tail,
                                   new_cookie, content_type or "text/plain", chunked, close)
        if "body_hex" in override:
            data = bytes.fromhex(override["body_hex"])
        elif "body" in override:
            data = override["body"].encode("utf-8", "surrogateescape")
        elif kind == "html":
            data = page("Page", "A web page.")
            content_type = content_type or "text/html"
        elif kind == "empty":
            data = b""
        elif kind == "exact1024":
            data = b"0123456789abcdef" * 64
        elif kind is not None:
            raise ValueError("unknown kind %r" % kind)
        else:
            phrase = self.responses.get(status, ("Status",))[0]
            data = page("%d %s" % (status, phrase), phrase)
            content_type = content_type or "text/html"
        if "stall_after" in override:
            self.start_answer(status, reason, content_type or "text/plain", new_cookie, False,
                              False, len(data))
            self.wfile.write(data[:int(override["stall_after"])])
            self.wfile.flush()
            return self.hang()
        if "cut_after" in override:
            self.start_answer(status, reason, content_type or "text/plain", new_cookie, False,
                              False, len(data))
            self.wfile.write(data[:int(override["cut_after"])])
            self.wfile.flush()
            self.close_connection = True
            return
        if override.get("trickle_ms"):
            return self.send_trickle(status, reason, data, new_cookie,
                                     content_type or "text/plain", int(override["trickle_ms"]))
        self.reply(status, data, new_cookie, content_type or "text/plain", reason, chunked, close)

    def send_trickle(self, status, reason, data, new_cookie, content_type, gap_ms):
        self.start_answer(status, reason, content_type, new_cookie, False, False, len(data))
        self.wfile.flush()
        for i in range(len(data)):
            if STOP.wait(gap_ms / 1000.0):
                return
            self.wfile.write(data[i:i + 1])
            self.wfile.flush()

    def send_large(self, status, reason, size, tail, new_cookie, content_type, chunked, close):
        self.start_answer(status, reason, content_type, new_cookie, chunked, close,
                          size + len(tail))
        left = size
        while left > 0 and not STOP.is_set():
            piece = STREAM_CHUNK if left >= len(STREAM_CHUNK) else STREAM_CHUNK[:left]
            if chunked and not close:
                self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
            else:
                self.wfile.write(piece)
            left -= len(piece)
        if tail and not STOP.is_set():
            if chunked and not close:
                self.wfile.write(b"%x\r\n" % len(tail) + tail + b"\r\n")
            else:
                self.wfile.write(tail)
        if chunked and not close:
            self.wfile.write(b"0\r\n\r\n")

    # --- routes -----------------------------------------------------------------------

    def status_answer(self, session_id, body, config, path):
        if config["status_body"] is not None:
            return 200, config["status_body"].encode("utf-8", "surrogateescape")
        lines = []
        if config["mchiman"] is not None:
            lines.append("mchiman=%d" % int(config["mchiman"]))
        lines += ["%s=%d" % (key, int(value)) for key, value in config["status"].items()]
        with STATE.lock:
            user = STATE.sessions.get(session_id, {}).get("user")
        if user is not None and user in config["accounts"]:
            lines.append("user=%s" % user)
            lines.append("target=%s" % (config["accounts"][user].get("target") or ""))
        end = config["line_end"]
        return 200, (end.join(lines) + end).encode("utf-8", "surrogateescape")

    def login_page(self, session_id, body, config, path):
        options = config["login_page"]
        challenge = options.get("challenge") or secrets.token_hex(16)
        stamp = options.get("auth_time")
        if stamp is None:
            stamp = time.strftime("%Y%m%d%H%M%S")
        if options.get("omit_auth_time"):
            stamp = ""  # what a client can know of it
        with STATE.lock:
            STATE.sessions[session_id].update(challenge=challenge, time=stamp)

        def tag(name, value):
            if options.get("uppercase"):
                return '<INPUT TYPE="HIDDEN" NAME="%s" VALUE="%s">' % (name, value)
            if options.get("name_first"):
                return '<input name="%s" type="hidden" value="%s">' % (name, value)
            return '<input type="hidden" name="%s" value="%s">' % (name, value)

        lines = ["<html>", "<head><title>Login</title></head>", "<body>",
                 '<form method="post" action="/cgi-bin/userlogin/login.cgi">']
        if options.get("long_field"):
            n = int(options["long_field"])
            lines.append(tag("n" * n, "v" * n))
        lines.append(tag("authMD5in", challenge))
        if not options.get("omit_auth_time"):
            lines.append(tag("authTime", stamp))
        lines += ['User <input type="text" name="authUser" value="">',
                  'Password <input type="password" name="authPass" value="">',
                  '<input type="submit" name="execute" value="Login">',
                  "</form>", "</body>", "</html>"]
        end = config["line_end"]
        return 200, (end.join(lines) + end).encode("utf-8", "surrogateescape")

    def login(self, session_id, body, config, path):
        fields = {}
        for pair in body.split(b"&"):
            name, _, value = pair.partition(b"=")
            key = name.decode("latin-1")
            if key not in fields:
                fields[key] = urllib.parse.unquote_to_bytes(value.replace(b"+", b" "))
        user_bytes = fields.get("authUser", b"")
        user = user_bytes.decode("utf-8", "surrogateescape")
        answer = fields.get("authMD5out", b"").decode("latin-1")
        with STATE.lock:
            session = STATE.sessions[session_id]
            account = config["accounts"].get(user)
            ok = False
            if account is not None and session["challenge"] is not None:
                password = (account.get("password") or "").encode("utf-8", "surrogateescape")
                credentials = md5hex(user_bytes + b":" + SALT.encode() + b":" + password)
                expected = md5hex("%s:%s:%s" % (session["challenge"], session["time"], credentials))
                ok = answer == expected
            session["user"] = user if ok else None
        log("login %r %s" % (user, "accepted" if ok else "refused"))
        return 200, page("Login", "Welcome." if ok else "Login failed.")

    def logout(self, session_id, body, config, path):
        with STATE.lock:
            STATE.sessions[session_id]["user"] = None
        return 200, page("Logout", "Bye.")

    def job_log(self, session_id, body, config, path):
        return 200, bytes.fromhex(config["job_log_hex"] or "")

    def user_export(self, session_id, body, config, path):
        if config.get("user_list_hex") is not None:
            return 200, bytes.fromhex(config["user_list_hex"])
        return 200, config["user_list"].encode("utf-8", "surrogateescape")

    def proxy_export(self, session_id, body, config, path):
        if config.get("proxy_settings_hex") is not None:
            return 200, bytes.fromhex(config["proxy_settings_hex"])
        return 200, config["proxy_settings"].encode("utf-8", "surrogateescape")

    def import_file(self, session_id, body, config, path):
        content_type = self.headers.get("Content-Type", "")
        if (self.command != "POST" or not content_type.startswith("multipart/form-data")
                or ("boundary=" + BOUNDARY) not in content_type):
            return 400, page("Bad Request", "not a multipart form")
        if (len(body) < len(MULTIPART_HEAD) + len(MULTIPART_TAIL)
                or not body.startswith(MULTIPART_HEAD) or not body.endswith(MULTIPART_TAIL)):
            return 400, page("Bad Request", "malformed multipart body")
        data = body[len(MULTIPART_HEAD):len(body) - len(MULTIPART_TAIL)]
        with STATE.lock:
            STATE.uploads[path] = data
        if config["import_reject"]:
            return 200, page("Import", "Zephyrcastle NG: import rejected")
        return 200, page("Import", "Zephyrcastle OK")


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def handle_error(self, request, client_address):
        error = sys.exc_info()[1]
        if isinstance(error, (ConnectionError, socket.timeout)):
            return  # the client went away mid-answer; nothing to report
        super().handle_error(request, client_address)


def window(data, cmd):
    offset = int(cmd.get("offset", 0))
    length = cmd.get("length")
    return data[offset:] if length is None else data[offset:offset + int(length)]


def deliver(data, cmd):
    """Hands out (a window of) stored bytes as hex, or written to a file for large ones."""
    part = window(data, cmd)
    if cmd.get("to_file"):
        with open(cmd["to_file"], "wb") as f:
            f.write(part)
        return {"ok": True, "size": len(data), "written": len(part)}
    return {"ok": True, "data_hex": part.hex(), "size": len(data)}


def command(line):
    try:
        cmd = json.loads(line)
        name = cmd.get("cmd")
        with STATE.lock:
            if name == "config":
                patch = cmd.get("set", {})
                if not isinstance(patch, dict):
                    raise ValueError("set must be an object")
                merge(STATE.config, patch)
                for path in (patch.get("responses") or {}):
                    STATE.override_hits.pop(path, None)  # counts start anew
                return {"ok": True}
            if name == "get_config":
                return {"ok": True, "config": STATE.config}
            if name == "reset":
                STATE.reset()
                return {"ok": True}
            if name == "requests":
                limit = cmd.get("max_body")
                records = []
                for r in STATE.requests:
                    body = r["body"] if limit is None else r["body"][:int(limit)]
                    records.append({"method": r["method"], "target": r["target"],
                                    "path": r["path"], "headers": r["headers"],
                                    "body_hex": body.hex(), "body_size": len(r["body"]),
                                    "proxied": r["proxied"]})
                return {"ok": True, "requests": records}
            if name == "clear_requests":
                STATE.requests = []
                return {"ok": True}
            if name == "upload":
                data = STATE.uploads.get(cmd.get("path"))
                answer = deliver(data or b"", cmd)
                answer["present"] = data is not None
                return answer
            if name == "request_body":
                return deliver(STATE.requests[int(cmd["index"])]["body"], cmd)
            if name == "sessions":
                return {"ok": True, "sessions": {k: v["user"] for k, v in STATE.sessions.items()}}
            if name == "ping":
                return {"ok": True}
        return {"ok": False, "error": "unknown command %r" % name}
    except Exception as e:  # a bad command must not stop the simulator
        return {"ok": False, "error": "%s: %s" % (type(e).__name__, e)}


def main():
    global VERBOSE
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, default=0, help="TCP port (0: any free one)")
    parser.add_argument("--config", help="JSON text, or a file holding it, merged into the "
                                         "defaults; it becomes the start-up configuration")
    parser.add_argument("--verbose", action="store_true", help="log requests to stderr")
    args = parser.parse_args()
    VERBOSE = args.verbose
    if args.config:
        text = args.config
        if not text.lstrip().startswith("{") and os.path.exists(text):
            with open(text, encoding="utf-8") as f:
                text = f.read()
        merge(STATE.startup, json.loads(text))
        STATE.reset()
    server = Server(("127.0.0.1", args.port), Handler)

    def on_term(*_):
        # No locks here: the main thread may hold one (STOP's) when the signal lands.
        os._exit(0)

    signal.signal(signal.SIGTERM, on_term)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print("PORT %d" % server.server_address[1], flush=True)
    for line in sys.stdin:
        if line.strip():
            print(json.dumps(command(line)), flush=True)
    STOP.set()
    server.shutdown()
    server.server_close()


if __name__ == "__main__":
    main()
