#!/usr/bin/env python3
"""Opens the built documentation in headless Chromium, as a reader would.

    python3 tools/docs_browser.py build/docs/html [--screenshots DIR]

Serves the folder from a local HTTP server on 127.0.0.1, loads the landing
page and a reference page, and fails if either logs a console error, throws,
or fails to load a file it asks for; then loads the search page with a query
and fails unless the search index loads and finds the query. Screenshots of
the two pages are saved as DIR/screenshot-index.png and
DIR/screenshot-reference.png. Chromium is driven through its DevTools
protocol.
"""

import argparse
import base64
import functools
import http.server
import itertools
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

import websocket

PAGES = {"index": "index.html", "reference": "reference/problem.html"}
SEARCH = ("search.html?q=set_problem_scaling", "set_problem_scaling")
TIMEOUT = 30.0


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format, *args):
        pass


def serve(root):
    handler = functools.partial(QuietHandler, directory=str(root))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


class Page:
    """One tab, spoken to over the DevTools protocol; events are kept."""

    def __init__(self, ws_url):
        self.ws = websocket.create_connection(ws_url, timeout=TIMEOUT, suppress_origin=True)
        self.ids = itertools.count(1)
        self.events = []

    def call(self, method, **params):
        call_id = next(self.ids)
        self.ws.send(json.dumps({"id": call_id, "method": method, "params": params}))
        while True:
            message = json.loads(self.ws.recv())
            if message.get("id") == call_id:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message.get("result", {})
            self.events.append(message)

    def wait_for(self, method, timeout=TIMEOUT):
        deadline = time.monotonic() + timeout
        seen = len(self.events)
        while time.monotonic() < deadline:
            for event in self.events[seen:]:
                if event.get("method") == method:
                    return event
            seen = len(self.events)
            self.ws.settimeout(max(0.1, deadline - time.monotonic()))
            try:
                self.events.append(json.loads(self.ws.recv()))
            except websocket.WebSocketTimeoutException:
                break
        raise TimeoutError(f"no {method} within {timeout:.0f} s")

    def settle(self, seconds):
        """Collects the events of the next few seconds (late errors)."""
        deadline = time.monotonic() + seconds
        while (left := deadline - time.monotonic()) > 0:
            self.ws.settimeout(left)
            try:
                self.events.append(json.loads(self.ws.recv()))
            except websocket.WebSocketTimeoutException:
                break

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        return result["result"].get("value")

    def open(self, url):
        self.events.clear()
        self.call("Page.navigate", url=url)
        self.wait_for("Page.loadEventFired")
        self.settle(1.0)


def errors(events):
    """The console errors, exceptions and failed loads among the events."""
    found = []
    for event in events:
        method, params = event.get("method"), event.get("params", {})
        if method == "Runtime.exceptionThrown":
            details = params["exceptionDetails"]
            text = details.get("exception", {}).get("description") or details.get("text")
            found.append(f"exception: {text}")
        elif method == "Runtime.consoleAPICalled" and params.get("type") == "error":
            args = " ".join(str(a.get("value", a.get("description", ""))) for a in params["args"])
            found.append(f"console.error: {args}")
        elif method == "Log.entryAdded" and params["entry"]["level"] == "error":
            entry = params["entry"]
            found.append(f"{entry['source']}: {entry['text']} {entry.get('url', '')}".strip())
        elif method == "Network.loadingFailed" and not params.get("canceled"):
            found.append(f"failed to load: {params.get('errorText')}")
        elif method == "Network.responseReceived" and params["response"]["status"] >= 400:
            response = params["response"]
            found.append(f"HTTP {response['status']}: {response['url']}")
    return found


def start_chromium(profile):
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        sys.exit("docs_browser: no chromium on the PATH (apt-get install chromium)")
    args = [
        chromium,
        "--headless=new",
        "--disable-gpu",
        "--no-first-run",
        "--no-default-browser-check",
        "--hide-scrollbars",
        "--remote-debugging-port=0",
        f"--user-data-dir={profile}",
        "--window-size=1280,900",
        "about:blank",
    ]
    if os.geteuid() == 0:
        # Chromium's sandbox does not run as root.
        args.insert(1, "--no-sandbox")
    process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    port_file = Path(profile) / "DevToolsActivePort"
    deadline = time.monotonic() + TIMEOUT
    while not port_file.exists() or not port_file.read_text().strip():
        if process.poll() is not None or time.monotonic() > deadline:
            process.kill()
            sys.exit("docs_browser: chromium did not start its DevTools endpoint")
        time.sleep(0.1)
    port = int(port_file.read_text().split()[0])
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=TIMEOUT) as answer:
        targets = json.load(answer)
    page = next(t for t in targets if t["type"] == "page")
    return process, page["webSocketDebuggerUrl"]


def check(root, shots):
    server = serve(root)
    base = f"http://127.0.0.1:{server.server_address[1]}/"
    failures = []
    with tempfile.TemporaryDirectory() as profile:
        process, ws_url = start_chromium(profile)
        try:
            page = Page(ws_url)
            for domain in ("Page", "Runtime", "Log", "Network"):
                page.call(f"{domain}.enable")
            for name, path in PAGES.items():
                page.open(base + path)
                title = page.evaluate("document.title")
                found = errors(page.events)
                failures += [f"{path}: {e}" for e in found]
                shot = base64.b64decode(page.call("Page.captureScreenshot", format="png")["data"])
                target = shots / f"screenshot-{name}.png"
                target.write_bytes(shot)
                print(f"docs_browser: {path}: {title!r}, {len(found)} error(s), {target}")
            path, query = SEARCH
            page.open(base + path)
            deadline = time.monotonic() + TIMEOUT
            hits = 0
            while time.monotonic() < deadline:
                hits = page.evaluate(
                    "document.querySelectorAll('#search-results li').length"
                    " + (Search._index === null ? -1000 : 0)"
                )
                if hits and hits > 0:
                    break
                page.settle(0.25)
            failures += [f"{path}: {e}" for e in errors(page.events)]
            if not hits or hits <= 0:
                failures.append(f"{path}: the search index did not load or found no {query!r}")
            print(f"docs_browser: search for {query!r}: {max(hits or 0, 0)} result(s)")
        finally:
            process.terminate()
            process.wait(timeout=TIMEOUT)
            server.shutdown()
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("html", type=Path, help="the built site (build/docs/html)")
    parser.add_argument("--screenshots", type=Path, default=None, help="folder for screenshots")
    args = parser.parse_args()
    shots = args.screenshots or args.html.parent
    shots.mkdir(parents=True, exist_ok=True)
    failures = check(args.html.resolve(), shots)
    for failure in failures:
        print(f"docs_browser: {failure}", file=sys.stderr)
    if failures:
        sys.exit(1)
    print("docs_browser: no console errors; the search index loads")


if __name__ == "__main__":
    main()
