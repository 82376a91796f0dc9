#!/usr/bin/env python3
"""Opens a page that pilro-log --html wrote in headless Chromium and does what a user does:
reads the table, sorts it by a click on a header, clicks a row and an exchange of its list,
clicks a point of the plot, and a note. Prints what the page showed (and how long it took to
open and to sort, for the benchmarks), one "NAME<TAB>VALUE" line each (line breaks in values
as \\n), for the test that runs it to judge, and saves a screenshot.

Usage: report_browser.py PAGE SCREENSHOT PROFILE ROW_TEXT POINT
  PAGE        the page
  SCREENSHOT  where the PNG goes
  PROFILE     an empty directory for the browser's profile (the caller removes it)
  ROW_TEXT    a part of the kind of the row to click
  POINT       the index of the exchange whose point to click

Prints "skip<TAB>why" alone where Chromium is not installed. The browser is driven over the
DevTools protocol on a pair of pipes (--remote-debugging-pipe): no port, no network. Every
wait is for an event or an answer; the time limits only keep a hung browser from holding the
test for ever.
"""
import base64
import fcntl
import json
import os
import shutil
import subprocess
import sys
import time

page, screenshot, profile, row_text, point = sys.argv[1:6]
chromium = shutil.which("chromium")
if chromium is None:
    print("skip\tChromium is not installed (Debian's package chromium, which scripts/setup "
          "test brings)")
    sys.exit(0)



def high(fd):
    """fd moved above the descriptors the browser is to get."""
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD, 10)
    os.close(fd)
    return moved


# The browser reads commands from its descriptor 3 and writes to 4.
to_browser_read, to_browser = map(high, os.pipe())
from_browser, from_browser_write = map(high, os.pipe())
os.dup2(to_browser_read, 3)
os.dup2(from_browser_write, 4)
browser = subprocess.Popen(
    [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
     "--disable-background-networking", "--disable-component-update", "--disable-sync",
     "--disable-extensions", "--mute-audio", "--remote-debugging-pipe",
     "--user-data-dir=" + profile, "--window-size=1000,900", "about:blank"],
    pass_fds=(3, 4), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
    stderr=subprocess.DEVNULL, start_new_session=True)
for fd in (3, 4, to_browser_read, from_browser_write):
    os.close(fd)
deadline = time.monotonic() + 600
buffered = b""
events = []
next_id = 0


def receive():
    """The browser's next message."""
    global buffered
    while b"\0" not in buffered:
        if time.monotonic() > deadline:
            raise RuntimeError("the browser did not answer in time")
        chunk = os.read(from_browser, 65536)
        if not chunk:
            raise RuntimeError("the browser closed its pipe")
        buffered += chunk
    message, buffered = buffered.split(b"\0", 1)
    return json.loads(message)


def send(method, session=None, **params):
    """Sends a command and returns its result; events that come first are kept."""
    global next_id
    next_id += 1
    message = {"id": next_id, "method": method, "params": params}
    if session:
        message["sessionId"] = session
    os.write(to_browser, json.dumps(message).encode() + b"\0")
    while True:
        answer = receive()
        if answer.get("id") == next_id:
            if "error" in answer:
                raise RuntimeError(method + ": " + json.dumps(answer["error"]))
            return answer.get("result", {})
        events.append(answer)
        if answer.get("method") == "Page.javascriptDialogOpening":
            # A dialog would stop the page; dismiss it, and the test fails on its count.
            send("Page.handleJavaScriptDialog", answer.get("sessionId"), accept=False)


def wait_for(method):
    for event in events:
        if event.get("method") == method:
            return
    while True:
        event = receive()
        events.append(event)
        if event.get("method") == method:
            return


observed = []


def observe(name, value):
    observed.append((name, str(value).replace("\\", "\\\\").replace("\n", "\\n")))


try:
    target = send("Target.createTarget", url="about:blank")["targetId"]
    session = send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
    for domain in ("Page", "Runtime", "Log"):
        send(domain + ".enable", session)
    send("Emulation.setDeviceMetricsOverride", session, width=1000, height=900,
         deviceScaleFactor=1, mobile=False)
    # What a capture's text might make the page do, seen from outside it.
    send("Page.addScriptToEvaluateOnNewDocument", session, source="""
        window.pilroViolations = [];
        document.addEventListener("securitypolicyviolation",
            (e) => window.pilroViolations.push(e.violatedDirective + " " + e.blockedURI));""")
    send("Page.navigate", session, url="file://" + os.path.abspath(page))
    wait_for("Page.loadEventFired")

    def evaluate(expression):
        result = send("Runtime.evaluate", session, expression=expression, returnByValue=True)
        if "exceptionDetails" in result:
            raise RuntimeError("the test's script failed: " + json.dumps(result["exceptionDetails"]))
        return result["result"].get("value")

    def click(expression):
        """A real click in the middle of the element the expression finds, or at its point."""
        where = evaluate("(() => { const e = " + expression + "; if (!e) return null;"
                         " if (e.x !== undefined && !(e instanceof Element)) return e;"
                         " e.scrollIntoView({block: 'center'}); const r = e.getBoundingClientRect();"
                         " return {x: r.left + r.width / 2, y: r.top + r.height / 2}; })()")
        if where is None:
            raise RuntimeError("nothing to click: " + expression)
        for kind in ("mousePressed", "mouseReleased"):
            send("Input.dispatchMouseEvent", session, type=kind, x=where["x"], y=where["y"],
                 button="left", clickCount=1)

    texts = lambda selector: evaluate(
        "[...document.querySelectorAll(" + json.dumps(selector) + ")].map(e => e.textContent)")
    observe("rows", len(texts("#summary tbody tr")))
    observe("total", "|".join(texts("#summary tfoot td")))
    observe("kinds", "|".join(texts("#summary tbody td:first-child")))
    click("document.querySelector('th[data-key=count]')")
    observe("kinds by count", "|".join(texts("#summary tbody td:first-child")))
    click("document.querySelector('th[data-key=count]')")
    observe("kinds by count ascending", "|".join(texts("#summary tbody td:first-child")))
    click("[...document.querySelectorAll('#summary tbody tr')].find(r => r.textContent.includes("
          + json.dumps(row_text) + "))")
    observe("list", "|".join(texts("#list li")))
    click("document.querySelector('#list button')")
    observe("exchange", "|".join(texts("#detail > *")))
    evaluate("window.scrollTo(0, 0)")
    shot = send("Page.captureScreenshot", session, format="png")
    with open(screenshot, "wb") as out:
        out.write(base64.b64decode(shot["data"]))
    click("window.pilroPointOf(" + str(int(point)) + ")")
    observe("point", "|".join(texts("#detail > *")))
    if evaluate("document.querySelector('#marks button') !== null"):
        click("document.querySelector('#marks button')")
        observe("mark", "|".join(texts("#detail > *")))
    # How long the page took to open, and to sort its table again (for the benchmarks).
    observe("load ms", evaluate("Math.round(performance.getEntriesByType('navigation')[0]"
                                ".loadEventEnd)"))
    observe("sort ms", evaluate("(() => { const t = performance.now();"
                                " document.querySelector('th[data-key=total]').click();"
                                " return Math.round(performance.now() - t); })()"))
    observe("title", evaluate("document.title"))
    observe("pwned", evaluate("String(window.pwned)"))
    observe("elements", evaluate("document.querySelectorAll('img, iframe, object, embed, b')"
                                 ".length + document.scripts.length"))
    observe("violations", "|".join(evaluate("window.pilroViolations")))
    observe("dialogs", sum(e.get("method") == "Page.javascriptDialogOpening" for e in events))
    observe("exceptions", sum(e.get("method") == "Runtime.exceptionThrown" for e in events))
    send("Browser.close")
finally:
    try:
        browser.wait(timeout=60)
    except subprocess.TimeoutExpired:
        os.killpg(browser.pid, 9)
        browser.wait()
for name, value in observed:
    print(name + "\t" + value)
