#!/usr/bin/env python3
"""Zephyrcastle appliance simulator: a real HTTP/1.1 server on 127.0.0.1 for tests and the demo.

Prints "PORT <n>" on its first stdout line, then reads one JSON command per stdin line and
answers each with one JSON line. Exits when stdin closes or on SIGTERM.

Commands:
  {"cmd": "config", "set": {...}}   merge configuration keys (below)
  {"cmd": "reset"}                  start-up configuration; sessions, uploads, records cleared
  {"cmd": "requests"}               -> {"requests": [{"method", "path", "headers": [[n, v]...],
                                        "body_hex", "proxied"}]}
  {"cmd": "clear_requests"}
  {"cmd": "upload", "path": P}      -> {"data_hex": what the last import to P stored}
  {"cmd": "sessions"}               -> {"sessions": {id: signed-in user or null}}

Configuration keys:
  mchiman         int or null (null: the status answer has no mchiman line); default 1
  status_body     text or null; non-null replaces the whole status answer
  accounts        {name: {"password": p, "target": rights}}; defaults admin/secret
                  "ADMIN,JOB,LOG", logger/logpass "LOG", nobody/nopass ""
  responses       {path: {"status": n, "body": text, "body_hex": hex, "kind": "html" | "empty" |
                  "exact1024" | "large", "size": n, "hang": bool}} overrides any path
  login_page      {"omit_auth_time": bool, "name_first": bool, "uppercase": bool,
                  "long_field": n}
  job_log_hex     the job log's raw bytes
  user_list, proxy_settings   texts the exports download
  import_reject   imports answer a page holding "Zephyrcastle NG"

A request in absolute form ("GET http://host:port/path"), as a client sends it to a proxy, is
answered as if it came directly and recorded with "proxied": true.
"""
import argparse
import copy
import hashlib
import http.server
import json
import os
import secrets
import signal
import socketserver
import sys
import threading
import time
import urllib.parse

SALT = "qm4vr7"
BOUNDARY = b"fromZCcomUtil"
MULTIPART_HEAD = (b"--fromZCcomUtil\r\n"
                  b"Content-Disposition: form-data; name=\"userinfo\"\r\n"
                  b"Content-Type: application/octet-stream\r\n\r\n")
MULTIPART_TAIL = b"\r\n--fromZCcomUtil\r\n"

DEFAULT_CONFIG = {
    "mchiman": 1,
    "status_body": None,
    "accounts": {
        "admin": {"password": "secret", "target": "ADMIN,JOB,LOG"},
        "logger": {"password": "logpass", "target": "LOG"},
        "nobody": {"password": "nopass", "target": ""},
    },
    "responses": {},
    "login_page": {},
    "job_log_hex": "2023-01-05 10:00 print job.pdf user=admin pages=3\n"
                   "2023-01-05 10:05 copy \u00e9t\u00e9 \u3042 pages=1\n".encode().hex(),
    "user_list": "user,name,card\r\nadmin,Administrator,01020304\r\n",
    "proxy_settings": "proxy=10.0.0.1\r\nport=8080\r\n",
    "import_reject": False,
}

RIGHT_OF_PATH = {
    "/cgi-bin/log/jobLog.cgi": "LOG",
    "/cgi-bin/mainte/userexport.cgi": "ADMIN",
    "/cgi-bin/mainte/proxyexport.cgi": "ADMIN",
    "/cgi-bin/mainte/userimport.cgi": "ADMIN",
    "/cgi-bin/mainte/proxyimport.cgi": "ADMIN",
}


def md5hex(text):
    return hashlib.md5(text.encode("utf-8", "surrogateescape")).hexdigest()


class State:
    def __init__(self):
        self.lock = threading.Lock()
        self.reset()

    def reset(self):
        self.config = copy.deepcopy(DEFAULT_CONFIG)
        self.sessions = {}  # id -> {"challenge", "time", "user"}
        self.uploads = {}
        self.requests = []


STATE = State()


def page(title, text):
    return ("<html>\r\n<head><title>%s</title></head>\r\n<body>\r\n<p>%s</p>\r\n</body>\r\n</html>\r\n"
            % (title, text)).encode()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "Zephyrcastle"
    sys_version = ""

    def log_message(self, fmt, *args):
        pass

    def do_GET(self):
        self.handle_any()

    def do_POST(self):
        self.handle_any()

    # --- plumbing ---------------------------------------------------------------------

    def handle_any(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        target = self.path
        proxied = False
        if target.startswith("http://") or target.startswith("https://"):
            proxied = True
            target = urllib.parse.urlsplit(target).path or "/"
            query = urllib.parse.urlsplit(self.path).query
            if query:
                target += "?" + query
        with STATE.lock:
            STATE.requests.append({
                "method": self.command, "path": target,
                "headers": [[k, v] for k, v in self.headers.items()],
                "body_hex": body.hex(), "proxied": proxied,
            })
            config = copy.deepcopy(STATE.config)
        path = target.split("?", 1)[0]
        session_id, new_cookie = self.session_id()
        override = config["responses"].get(path)
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
        }.get(path)
        if route is None:
            return self.reply(404, page("Not Found", "No such page."), new_cookie)
        right = RIGHT_OF_PATH.get(path)
        if right and config["mchiman"] == 1 and not self.has_right(session_id, right, config):
            return self.reply(200, page("Login", "login required"), new_cookie)
        status, data = route(session_id, body, config, path)
        self.reply(status, data, new_cookie)

    def session_id(self):
        cookie = self.headers.get("Cookie") or ""
        for part in cookie.split(";"):
            name, _, value = part.strip().partition("=")
            if name == "ZCSESSION" and value:
                with STATE.lock:
                    STATE.sessions.setdefault(value, {"challenge": "", "time": "", "user": None})
                return value, None
        value = secrets.token_hex(8)
        with STATE.lock:
            STATE.sessions[value] = {"challenge": "", "time": "", "user": None}
        return value, value

    def has_right(self, session_id, right, config):
        with STATE.lock:
            user = STATE.sessions.get(session_id, {}).get("user")
        if user is None or user not in config["accounts"]:
            return False
        return right in config["accounts"][user].get("target", "")

    def reply(self, status, data, new_cookie, content_type="text/html"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        if new_cookie:
            self.send_header("Set-Cookie", "ZCSESSION=%s; Path=/" % new_cookie)
        self.end_headers()
        self.wfile.write(data)

    def send_override(self, override, new_cookie):
        if override.get("hang"):
            # Keep the connection open without a byte until the client gives up.
            deadline = time.monotonic() + 120
            while time.monotonic() < deadline and not STOP.is_set():
                try:
                    self.connection.settimeout(0.5)
                    if self.connection.recv(1) == b"":
                        break
                except OSError:
                    continue
            self.close_connection = True
            return
        status = override.get("status", 200)
        kind = override.get("kind")
        if kind == "large":
            size = int(override.get("size", 0))
            self.send_response(status)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            chunk = bytes(range(256)) * 256
            left = size
            while left > 0:
                piece = chunk[:min(left, len(chunk))]
                self.wfile.write(piece)
                left -= len(piece)
            return
        if kind == "html":
            data = page("Page", "A web page.")
        elif kind == "empty":
            data = b""
        elif kind == "exact1024":
            data = (b"0123456789abcdef" * 64)
        elif "body_hex" in override:
            data = bytes.fromhex(override["body_hex"])
        else:
            data = override.get("body", "").encode()
        self.reply(status, data, new_cookie, "text/plain")

    # --- routes -----------------------------------------------------------------------

    def status_answer(self, session_id, body, config, path):
        if config["status_body"] is not None:
            return 200, config["status_body"].encode()
        lines = []
        if config["mchiman"] is not None:
            lines.append("mchiman=%d" % config["mchiman"])
        lines += ["authcpy=0", "authdli=1", "authfle=0", "authprt=1", "iccard_operation=0"]
        with STATE.lock:
            user = STATE.sessions.get(session_id, {}).get("user")
        if user is not None and user in config["accounts"]:
            lines.append("user=%s" % user)
            lines.append("target=%s" % config["accounts"][user].get("target", ""))
        return 200, ("\r\n".join(lines) + "\r\n").encode()

    def login_page(self, session_id, body, config, path):
        options = config["login_page"]
        challenge = secrets.token_hex(16)
        stamp = time.strftime("%Y%m%d%H%M%S")
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
            lines.append(tag("x" * n, "v" * n))
        lines.append(tag("authMD5in", challenge))
        if not options.get("omit_auth_time"):
            lines.append(tag("authTime", stamp))
        lines += ['<input type="text" name="authUser" value="">', "</form>", "</body>", "</html>"]
        return 200, ("\r\n".join(lines) + "\r\n").encode()

    def login(self, session_id, body, config, path):
        form = urllib.parse.parse_qs(body.decode("latin-1"), keep_blank_values=True)
        user = form.get("authUser", [""])[0]
        user = user.encode("latin-1").decode("utf-8", "surrogateescape")
        answer = form.get("authMD5out", [""])[0]
        with STATE.lock:
            session = STATE.sessions[session_id]
            account = config["accounts"].get(user)
            ok = False
            if account is not None:
                credentials = md5hex("%s:%s:%s" % (user, SALT, account["password"]))
                expected = md5hex("%s:%s:%s" % (session["challenge"], session["time"], credentials))
                ok = answer == expected
            session["user"] = user if ok else None
        return 200, page("Login", "Welcome." if ok else "Login failed.")

    def logout(self, session_id, body, config, path):
        with STATE.lock:
            STATE.sessions[session_id]["user"] = None
        return 200, page("Logout", "Bye.")

    def job_log(self, session_id, body, config, path):
        return 200, bytes.fromhex(config["job_log_hex"])

    def user_export(self, session_id, body, config, path):
        return 200, config["user_list"].encode()

    def proxy_export(self, session_id, body, config, path):
        return 200, config["proxy_settings"].encode()

    def import_file(self, session_id, body, config, path):
        content_type = self.headers.get("Content-Type", "")
        if ("boundary=" + BOUNDARY.decode()) not in content_type:
            return 400, page("Bad Request", "not multipart")
        if not (body.startswith(MULTIPART_HEAD) and body.endswith(MULTIPART_TAIL)):
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


STOP = threading.Event()


def merge(target, patch):
    for key, value in patch.items():
        if isinstance(value, dict) and isinstance(target.get(key), dict) and key != "accounts":
            merge(target[key], value)
        else:
            target[key] = value


def command(line):
    try:
        cmd = json.loads(line)
        name = cmd.get("cmd")
        with STATE.lock:
            if name == "config":
                merge(STATE.config, cmd.get("set", {}))
                return {"ok": True}
            if name == "reset":
                STATE.reset()
                return {"ok": True}
            if name == "requests":
                return {"ok": True, "requests": list(STATE.requests)}
            if name == "clear_requests":
                STATE.requests = []
                return {"ok": True}
            if name == "upload":
                return {"ok": True, "data_hex": STATE.uploads.get(cmd.get("path"), b"").hex()}
            if name == "sessions":
                return {"ok": True, "sessions": {k: v["user"] for k, v in STATE.sessions.items()}}
        return {"ok": False, "error": "unknown command %r" % name}
    except Exception as e:  # a bad command must not stop the simulator
        return {"ok": False, "error": str(e)}


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--config", help="JSON text or file merged into the configuration")
    args = parser.parse_args()
    if args.config:
        text = open(args.config).read() if os.path.exists(args.config) else args.config
        merge(STATE.config, json.loads(text))
        DEFAULT_CONFIG.update(copy.deepcopy(STATE.config))
    server = Server(("127.0.0.1", args.port), Handler)
    signal.signal(signal.SIGTERM, lambda *a: (STOP.set(), os._exit(0)))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print("PORT %d" % server.server_address[1], flush=True)
    for line in sys.stdin:
        if line.strip():
            print(json.dumps(command(line)), flush=True)
    STOP.set()
    server.shutdown()


if __name__ == "__main__":
    main()
