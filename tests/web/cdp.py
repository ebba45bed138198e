#!/usr/bin/python3
"""A small Chrome DevTools Protocol driver for a headless Chromium.

It starts Debian's `chromium` headless with a throw-away profile, attaches
to its page and offers what the browser tests need: navigate, evaluate
JavaScript (promises awaited, results by value), wait for a JavaScript
condition, mouse and key events at page coordinates, files picked for an
upload, screenshots to PNG files, downloads into a folder, and two plain-socket probes (an HTTP GET and
a WebSocket handshake with chosen headers) for what a page may not do.

Used as a library (`with Browser() as b: ...`) or as a command server for
tests written in another language:

    cdp.py serve [--window WxH] [--chromium PATH]

reads one JSON object per line on standard input, {"cmd": NAME, ...arguments},
and answers each with one line {"ok": true, "value": ...} or
{"ok": false, "error": TEXT}. End of input (or SIGTERM) closes the browser.
Chromium is always killed when the driver ends, also when it fails.
"""

import argparse
import base64
import ctypes
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

import websocket

PR_SET_PDEATHSIG = 1


class CdpError(Exception):
    pass


def _die_with_parent():
    # Chromium goes when its driver goes, however the driver ends.
    try:
        ctypes.CDLL("libc.so.6", use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    except OSError:
        pass


class Browser:
    def __init__(self, chromium="chromium", window=(1280, 1024), start_timeout=30.0):
        self.profile = tempfile.mkdtemp(prefix="qv-chromium.")
        self.log_path = os.path.join(self.profile, "chromium.log")
        self.proc = None
        self.ws = None
        self.session = None
        self.events = []
        self.console = []  # the page's console messages and uncaught exceptions
        self._next_id = 0
        self._downloads = {}  # guid -> {"name", "state"}
        self.download_dir = None
        try:
            self._start(chromium, window, start_timeout)
        except BaseException:
            self.close()
            raise

    # ---- start and end ------------------------------------------------------

    def _start(self, chromium, window, timeout):
        args = [chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--remote-debugging-port=0",
                "--user-data-dir=" + self.profile, "--no-first-run", "--no-default-browser-check",
                "--disable-extensions", "--disable-background-networking", "--disable-sync",
                "--disable-component-update", "--disable-default-apps", "--password-store=basic",
                "--window-size=%d,%d" % window, "about:blank"]
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                         start_new_session=True, preexec_fn=_die_with_parent)
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        deadline = time.monotonic() + timeout
        lines = []
        while len(lines) < 2:
            if self.proc.poll() is not None:
                raise CdpError("chromium ended (status %s) before it listened: %s" %
                               (self.proc.returncode, self._log_tail()))
            if time.monotonic() > deadline:
                raise CdpError("chromium did not listen within %.0f s: %s" % (timeout, self._log_tail()))
            time.sleep(0.05)
            try:
                with open(port_file) as f:
                    lines = f.read().split()
            except OSError:
                lines = []
        port, path = int(lines[0]), lines[1]
        # Without an Origin header: Chromium refuses DevTools connections from other origins.
        self.ws = websocket.create_connection("ws://127.0.0.1:%d%s" % (port, path), timeout=timeout,
                                              suppress_origin=True)
        targets = self.call("Target.getTargets", session=False)["targetInfos"]
        pages = [t for t in targets if t["type"] == "page"]
        if pages:
            target = pages[0]["targetId"]
        else:
            target = self.call("Target.createTarget", {"url": "about:blank"}, session=False)["targetId"]
        self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True},
                                 session=False)["sessionId"]
        for domain in ("Page", "Runtime"):
            self.call(domain + ".enable")

    def _log_tail(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read()[-2000:].decode("utf-8", "replace")
        except OSError:
            return ""

    def close(self):
        if self.ws is not None:
            try:
                self.ws.settimeout(2)
                self._send("Browser.close", {}, session=False)
            except Exception:
                pass
            try:
                self.ws.close()
            except Exception:
                pass
            self.ws = None
        if self.proc is not None:
            for sig, wait in ((signal.SIGTERM, 3), (signal.SIGKILL, 5)):
                try:
                    os.killpg(self.proc.pid, sig)  # the browser and all its helpers
                except OSError:
                    pass
                try:
                    self.proc.wait(wait)
                    break
                except subprocess.TimeoutExpired:
                    continue
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)  # helpers that outlived the browser
            except OSError:
                pass
            self.proc = None
        if self.profile:
            shutil.rmtree(self.profile, ignore_errors=True)
            self.profile = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # ---- the protocol -------------------------------------------------------

    def _send(self, method, params, session):
        self._next_id += 1
        msg = {"id": self._next_id, "method": method, "params": params or {}}
        if session and self.session:
            msg["sessionId"] = self.session
        self.ws.send(json.dumps(msg))
        return self._next_id

    def _note(self, msg):
        method = msg.get("method", "")
        p = msg.get("params", {})
        if method == "Runtime.consoleAPICalled":
            text = " ".join(str(a.get("value", a.get("description", ""))) for a in p.get("args", []))
            self.console.append("console.%s: %s" % (p.get("type"), text))
        elif method == "Runtime.exceptionThrown":
            d = p.get("exceptionDetails", {})
            self.console.append("exception: %s" % d.get("exception", {}).get("description", d.get("text")))
        elif method == "Browser.downloadWillBegin":
            self._downloads[p["guid"]] = {"name": p.get("suggestedFilename", ""), "state": "inProgress"}
        elif method == "Browser.downloadProgress":
            self._downloads.setdefault(p["guid"], {"name": ""})["state"] = p.get("state")
        else:
            self.events.append(msg)
            del self.events[:-200]

    def _pump(self, deadline):
        """Reads one message (or none before the deadline) and returns it."""
        left = deadline - time.monotonic()
        if left <= 0:
            return None
        self.ws.settimeout(left)
        try:
            msg = json.loads(self.ws.recv())
        except websocket.WebSocketTimeoutException:
            return None
        if "method" in msg:
            self._note(msg)
        return msg

    def call(self, method, params=None, session=True, timeout=30.0):
        mid = self._send(method, params, session)
        deadline = time.monotonic() + timeout
        while True:
            msg = self._pump(deadline)
            if msg is None:
                raise CdpError("%s: no answer within %.0f s" % (method, timeout))
            if msg.get("id") == mid:
                if "error" in msg:
                    raise CdpError("%s: %s" % (method, msg["error"].get("message")))
                return msg.get("result", {})

    # ---- what the tests use -------------------------------------------------

    def eval(self, expr, timeout=30.0):
        """The value of a JavaScript expression (a promise is awaited)."""
        r = self.call("Runtime.evaluate", {"expression": expr, "awaitPromise": True, "returnByValue": True,
                                           "userGesture": True}, timeout=timeout)
        if "exceptionDetails" in r:
            d = r["exceptionDetails"]
            raise CdpError("JavaScript failed: %s" % d.get("exception", {}).get("description", d.get("text")))
        return r.get("result", {}).get("value")

    def wait(self, expr, timeout=20.0, interval=0.1):
        """Waits until the expression is truthy and returns its value."""
        deadline = time.monotonic() + timeout
        value = None
        while True:
            try:
                value = self.eval(expr, timeout=max(1.0, deadline - time.monotonic()))
            except CdpError as e:
                value = "(%s)" % e
            else:
                if value:
                    return value
            if time.monotonic() > deadline:
                raise CdpError("not true within %.0f s: %s (last value: %r)" % (timeout, expr, value))
            self._pump(time.monotonic() + interval)  # events keep flowing while waiting

    def navigate(self, url, timeout=30.0):
        r = self.call("Page.navigate", {"url": url}, timeout=timeout)
        if r.get("errorText"):
            raise CdpError("cannot load %s: %s" % (url, r["errorText"]))
        self.wait("document.readyState === 'complete' && location.href !== 'about:blank'", timeout)

    def mouse(self, type, x, y, button="none", clicks=0, buttons=0):
        self.call("Input.dispatchMouseEvent", {"type": type, "x": x, "y": y, "button": button,
                                               "clickCount": clicks, "buttons": buttons})

    def click(self, x, y, button="left"):
        mask = {"left": 1, "right": 2, "middle": 4}[button]
        self.mouse("mouseMoved", x, y)
        self.mouse("mousePressed", x, y, button, 1, mask)
        self.mouse("mouseReleased", x, y, button, 1, 0)

    def key(self, key, code, vk, text="", modifiers=0):
        """Presses and releases one key; text is what it types (none for keys that type nothing)."""
        down = {"type": "keyDown" if text else "rawKeyDown", "key": key, "code": code,
                "windowsVirtualKeyCode": vk, "nativeVirtualKeyCode": vk, "modifiers": modifiers}
        if text:
            down["text"] = down["unmodifiedText"] = text
        self.call("Input.dispatchKeyEvent", down)
        self.call("Input.dispatchKeyEvent", {"type": "keyUp", "key": key, "code": code,
                                             "windowsVirtualKeyCode": vk, "nativeVirtualKeyCode": vk,
                                             "modifiers": modifiers})

    def insert_text(self, text):
        self.call("Input.insertText", {"text": text})

    def choose_file(self, selector, path):
        """Puts a local file into an <input type=file>, as the user picking it would."""
        root = self.call("DOM.getDocument", {"depth": 0})["root"]["nodeId"]
        node = self.call("DOM.querySelector", {"nodeId": root, "selector": selector})["nodeId"]
        if not node:
            raise CdpError("no element %s" % selector)
        self.call("DOM.setFileInputFiles", {"nodeId": node, "files": [os.path.abspath(path)]})

    def screenshot(self, path):
        # The whole page, not only the window's part of it: the sections
        # below the view (files) are in the picture too.
        size = self.call("Page.getLayoutMetrics").get("cssContentSize", {})
        params = {"format": "png"}
        if size.get("width") and size.get("height"):
            params["captureBeyondViewport"] = True
            params["clip"] = {"x": 0, "y": 0, "width": size["width"], "height": size["height"], "scale": 1}
        data = self.call("Page.captureScreenshot", params)["data"]
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))
        return path

    def downloads(self, folder):
        """Downloads from now on land in the folder, under their suggested names."""
        os.makedirs(folder, exist_ok=True)
        self.download_dir = os.path.abspath(folder)
        self.call("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": self.download_dir,
                                                  "eventsEnabled": True}, session=False)

    def wait_download(self, name=None, timeout=30.0):
        """Waits for a download (of this suggested name, if given) to complete; its path."""
        deadline = time.monotonic() + timeout
        while True:
            for d in self._downloads.values():
                if name is None or d["name"] == name:
                    if d["state"] == "completed":
                        d["state"] = "taken"
                        return os.path.join(self.download_dir, d["name"])
                    if d["state"] == "canceled":
                        raise CdpError("the download of %s was cancelled" % d["name"])
            if time.monotonic() > deadline:
                raise CdpError("no download%s completed within %.0f s (seen: %r)" %
                               (" of " + name if name else "", timeout, list(self._downloads.values())))
            self._pump(min(deadline, time.monotonic() + 0.2))

    def take_console(self):
        out, self.console = self.console, []
        return out


def http_get(url, headers=None, timeout=10.0):
    """Status and (at most 4 KiB of) body of a plain GET, without any browser state."""
    req = urllib.request.Request(url, headers=headers or {})
    try:
        with urllib.request.urlopen(req, timeout=timeout) as r:
            return {"status": r.status, "body": r.read(4096).decode("utf-8", "replace")}
    except urllib.error.HTTPError as e:
        return {"status": e.code, "body": e.read(4096).decode("utf-8", "replace")}


def ws_handshake(url, origin=None, host=None, timeout=10.0):
    """The HTTP status a WebSocket handshake gets (101 when the socket opened)."""
    options = {"timeout": timeout}
    if origin is None:
        options["suppress_origin"] = True
    else:
        options["origin"] = origin
    if host is not None:
        options["host"] = host
    try:
        ws = websocket.create_connection(url, **options)
    except websocket.WebSocketBadStatusException as e:
        return e.status_code
    ws.close()
    return 101


def serve(args):
    browser = Browser(chromium=args.chromium, window=tuple(int(v) for v in args.window.split("x")))

    def stop(*_):
        browser.close()
        sys.exit(1)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    commands = {
        "navigate": browser.navigate, "eval": browser.eval, "wait": browser.wait, "mouse": browser.mouse,
        "click": browser.click, "key": browser.key, "insert_text": browser.insert_text,
        "choose_file": browser.choose_file,
        "screenshot": browser.screenshot, "downloads": browser.downloads, "wait_download": browser.wait_download,
        "console": browser.take_console, "http_get": http_get, "ws_handshake": ws_handshake,
    }
    try:
        print(json.dumps({"ok": True, "value": "ready"}), flush=True)
        for line in sys.stdin:
            if not line.strip():
                continue
            try:
                req = json.loads(line)
                fn = commands[req.pop("cmd")]
                answer = {"ok": True, "value": fn(**req)}
            except (CdpError, KeyError, TypeError, ValueError, OSError, websocket.WebSocketException) as e:
                answer = {"ok": False, "error": "%s: %s" % (type(e).__name__, e)}
            print(json.dumps(answer), flush=True)
    finally:
        browser.close()


def main():
    p = argparse.ArgumentParser(description="Headless Chromium driven over the DevTools protocol.")
    sub = p.add_subparsers(dest="mode", required=True)
    s = sub.add_parser("serve", help="answer JSON commands on standard input, one per line")
    s.add_argument("--window", default="1280x1024", help="the window size, WxH (default 1280x1024)")
    s.add_argument("--chromium", default="chromium", help="the browser to start (default chromium)")
    args = p.parse_args()
    if args.mode == "serve":
        try:
            serve(args)
        except CdpError as e:
            print(json.dumps({"ok": False, "error": str(e)}), flush=True)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
