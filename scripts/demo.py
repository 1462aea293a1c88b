"""The whole system against the built-in simulators, through the command-line host.

Usage: demo.py BUILD_DIR [--windows WINDOWS_BUILD_DIR]. Starts the appliance simulator, calls
every TarnWebCom export through `tarn`, then starts the reader simulator, names it in a registry
file, lays a card on it shortly after the dialog opens and reads it through TarnIccr.

With --windows both parts run the Windows build's tarn.exe (with TarnWebCom.dll and
TarnIccr.dll) under Wine, in the prefix named by WINEPREFIX: the reader simulator's
pseudo-terminal becomes the prefix's COM3, its registry values are written with Wine's reg tool,
and the dialog shows on an Xvfb screen of its own.
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


READER_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000"
READER_NAME = "DENSO WAVE Active USB-COM Port (%s) Connected"


def card_command(host, env, title):
    # The reader's set-up takes about two seconds; the card comes two seconds into the countdown.
    print("\n$ %s card --title %r  (a card is laid on the reader in a few seconds)"
          % (host.name, title), flush=True)
    result = subprocess.run([*host.command, "card", "--title", title],
                            env=dict(env, **host.extra_env), timeout=60, text=True,
                            stdout=subprocess.PIPE)
    print(result.stdout.replace("\r\n", "\n").rstrip())
    print("  -> exit status %d" % result.returncode)


def read_card(tarn, env, work):
    print("\n== TarnIccr against the reader simulator")
    reader = Simulator("reader/reader_sim.py")
    registry = os.path.join(work, "registry.reg")
    with open(registry, "w", newline="") as f:
        f.write("Windows Registry Editor Version 5.00\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000]\r\n"
                "\"FriendlyName\"=\"%s\"\r\n" % (READER_NAME % reader.where))
    reader.command(cmd="card", kind="A", uid="04A1B2C3D4E5F6", delay=4)
    try:
        card_command(tarn, dict(env, TARN_REGISTRY_FILE=registry), "Tarn demo")
    finally:
        reader.stop()


def wine_reg(*args, display):
    subprocess.run([WINE, "reg", *args], env=dict(os.environ, WINEDEBUG="-all", DISPLAY=display),
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


class Screen:
    """The screen for the Windows programs: DISPLAY as demo.sh sets it, else an Xvfb of our own."""

    def __init__(self):
        self.process = None
        self.display = os.environ.get("DISPLAY", "")
        if not self.display:
            self.process = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0",
                                             "1024x768x24", "-nolisten", "tcp"],
                                            stdout=subprocess.PIPE, text=True)
            self.display = ":" + self.process.stdout.readline().strip()
        # Without a window manager Wine's managed windows wait two seconds for one each time
        # they hide; unmanaged ones close at once.
        wine_reg("add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed", "/t", "REG_SZ",
                 "/d", "N", "/f", display=self.display)

    def stop(self):
        if self.process:
            self.process.terminate()
            self.process.wait(timeout=10)


def read_card_under_wine(windows, env, display):
    prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
    reader = Simulator("reader/reader_sim.py")
    link = os.path.join(prefix, "dosdevices", "com3")
    print("\n== TarnIccr.dll under Wine against the reader simulator")
    print("   the simulator's %s is the prefix's COM3; the dialog shows on the Xvfb screen %s"
          % (reader.where, display))
    try:
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(reader.where, link)
        print("\n$ wine64 reg add %s /v FriendlyName /d %r" % (READER_KEY, READER_NAME % "COM3"),
              flush=True)
        wine_reg("add", READER_KEY, "/v", "FriendlyName", "/t", "REG_SZ", "/d",
                 READER_NAME % "COM3", "/f", display=display)
        reader.command(cmd="card", kind="A", uid="04A1B2C3D4E5F6", delay=4)
        host = Host("tarn.exe", [WINE, os.path.join(windows, "host", "tarn.exe")],
                    {"WINEDEBUG": "-all", "LC_ALL": "C.UTF-8", "DISPLAY": display})
        card_command(host, env, "Tarn demo")
    finally:
        reader.stop()
        if os.path.islink(link):
            os.unlink(link)


def main():
    build = sys.argv[1]
    tarn = Host("tarn", [os.path.join(build, "host", "tarn")])
    web_host = tarn
    windows = sys.argv[3] if len(sys.argv) > 3 and sys.argv[2] == "--windows" else None
    screen = None
    if windows:
        # Every Windows program gets the screen: the prefix's desktop takes the display of the
        # program that starts it, and a desktop started without one shows no dialog later.
        screen = Screen()
        # Wine reads the arguments in the locale's character set; the demo's are UTF-8.
        web_host = Host("tarn.exe", [WINE, os.path.join(windows, "host", "tarn.exe")],
                        {"WINEDEBUG": "-all", "LC_ALL": "C.UTF-8", "DISPLAY": screen.display})
    try:
        demo(tarn, web_host, windows, screen)
    finally:
        if screen:
            screen.stop()


def demo(tarn, web_host, windows, screen):
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

    if windows:
        read_card_under_wine(windows, env, screen.display)
    else:
        read_card(tarn, env, work)
    print("\nDemo finished; files are in %s" % work)


if __name__ == "__main__":
    main()
