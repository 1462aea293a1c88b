"""The whole system against the built-in simulators, through the command-line host.

Usage: demo.py BUILD_DIR [--windows WINDOWS_BUILD_DIR]. Starts the appliance simulator, calls
every TarnWebCom export through `tarn`, then starts the reader simulator, names it in a registry
file, lays a card on it shortly after the dialog opens and reads it through TarnIccr.

With --windows the appliance part runs the Windows build's tarn.exe and TarnWebCom.dll under
Wine, in the prefix named by WINEPREFIX; the card part stays on Linux until the Windows card
reader exists.
"""
import json
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = "/usr/bin/python3"


class Simulator:
    def __init__(self, script, *options):
        self.process = subprocess.Popen([PYTHON, os.path.join(ROOT, "simulators", script), *options],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.where = self.process.stdout.readline().split()[1]

    def command(self, **cmd):
        self.process.stdin.write(json.dumps(cmd) + "\n")
        self.process.stdin.flush()
        return json.loads(self.process.stdout.readline())

    def stop(self):
        self.process.stdin.close()
        self.process.wait(timeout=10)


WINE = "/usr/lib/wine/wine64"


class Host:
    """How to start the command-line host: its name in the transcript and its command."""

    def __init__(self, name, command, extra_env=None):
        self.name = name
        self.command = command
        self.extra_env = extra_env or {}


def run(host, *args, env=None):
    shown = " ".join(a if " " not in a else repr(a) for a in args)
    print("\n$ %s %s" % (host.name, shown), flush=True)
    result = subprocess.run([*host.command, *args], env=dict(env or os.environ, **host.extra_env),
                            text=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            timeout=60)
    if result.stdout:
        # tarn.exe ends its lines as Windows text does.
        print(result.stdout.replace("\r\n", "\n").rstrip())
    print("  -> exit status %d" % result.returncode, flush=True)
    return result


def main():
    build = sys.argv[1]
    tarn = Host("tarn", [os.path.join(build, "host", "tarn")])
    web_host = tarn
    windows = sys.argv[3] if len(sys.argv) > 3 and sys.argv[2] == "--windows" else None
    if windows:
        # Wine reads the arguments in the locale's character set; the demo's are UTF-8.
        web_host = Host("tarn.exe", [WINE, os.path.join(windows, "host", "tarn.exe")],
                        {"WINEDEBUG": "-all", "LC_ALL": "C.UTF-8"})
    work = tempfile.mkdtemp(prefix="tarn-demo-")
    env = dict(os.environ, TEMP=work, TARN_PASSWORD="secret")
    for name in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"):
        env.pop(name, None)

    if windows:
        print("== TarnWebCom.dll under Wine (prefix %s) against the appliance simulator"
              % os.environ.get("WINEPREFIX", "~/.wine"))
        print("   Linux paths reach it through drive Z:; its dump file is in the prefix's TEMP,"
              " which Wine does not take from Linux.")
    else:
        print("== TarnWebCom against the appliance simulator")
    appliance = Simulator("appliance/appliance_sim.py")
    host = "127.0.0.1:%s" % appliance.where
    try:
        run(web_host, "status", host, env=env)
        run(web_host, "digest", "--user", "admin", env=env)
        run(web_host, "utf8-count", "h\u00e9llo \u3042", env=env)
        log = os.path.join(work, "joblog.txt")
        if run(web_host, "joblog", host, log, "--user", "admin", env=env).returncode == 0:
            print(open(log, encoding="utf-8").read().rstrip())
        users = os.path.join(work, "users.csv")
        if run(web_host, "users", "get", host, users, "--user", "admin", env=env).returncode == 0:
            print(open(users).read().rstrip())
        run(web_host, "users", "set", host, users, "--user", "admin", env=env)
        print("  the appliance stored %d bytes"
              % (len(appliance.command(cmd="upload", path="/cgi-bin/mainte/userimport.cgi")["data_hex"]) // 2))
        proxy = os.path.join(work, "proxy.txt")
        run(web_host, "proxy", "get", host, proxy, "--user", "admin", env=env)
        run(web_host, "proxy", "set", host, proxy, "--user", "admin", env=env)
        run(web_host, "users", "get", host, users, "--user", "logger", "--password", "logpass", env=env)
        run(web_host, "joblog", host, log, "--user", "admin", "--password", "wrong", env=env)
        appliance.command(cmd="config", set={"mchiman": 0})
        run(web_host, "joblog", host, log, "--no-login", env=env)
        appliance.command(cmd="config", set={"responses": {"/script/_userlogin/zc_auth.shp": {"status": 404}}})
        run(web_host, "status", host, env=env)
        run(web_host, "status", "127.0.0.1:1", env=env)
    finally:
        appliance.stop()

    print("\n== TarnIccr against the reader simulator" + (" (the Linux build)" if windows else ""))
    reader = Simulator("reader/reader_sim.py")
    registry = os.path.join(work, "registry.reg")
    with open(registry, "w", newline="") as f:
        f.write("Windows Registry Editor Version 5.00\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000]\r\n"
                "\"FriendlyName\"=\"DENSO WAVE Active USB-COM Port (%s) Connected\"\r\n" % reader.where)
    card_env = dict(env, TARN_REGISTRY_FILE=registry)
    # The reader's set-up takes about two seconds; the card comes two seconds into the countdown.
    reader.command(cmd="card", kind="A", uid="04A1B2C3D4E5F6", delay=4)
    try:
        print("\n$ tarn card --title 'Tarn demo'  (a card is laid on the reader in a few seconds)",
              flush=True)
        result = subprocess.run([*tarn.command, "card", "--title", "Tarn demo"], env=card_env,
                                timeout=60, text=True, stdout=subprocess.PIPE)
        print(result.stdout.rstrip())
        print("  -> exit status %d" % result.returncode)
    finally:
        reader.stop()
    print("\nDemo finished; files are in %s" % work)


if __name__ == "__main__":
    main()
