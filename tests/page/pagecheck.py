#!/usr/bin/python3
"""Checks of the live page's endpoints and of the yield report, for
tests/page/live_page.sh.

  pagecheck.py metrics URL CHECK_JSON   /metrics agrees with --check-record --json
  pagecheck.py hostile URL              hostile clients get errors, the server goes on
  pagecheck.py report DOM CHECK_JSON    the report's counts agree with --check-record
"""
import json
import re
import socket
import sys
import threading
import time
import urllib.error
import urllib.request

from prometheus_client.parser import text_string_to_metric_families


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def expect(condition, message):
    if not condition:
        fail(message)


def record_counts(check):
    """Boards by (slot, outcome) as --check-record counts them."""
    counts = {}
    for slot in check["slots"]:
        for outcome, n in slot["outcomes"].items():
            counts[(slot["slot"], outcome)] = n
    return counts


def metrics(url, check_path):
    check = json.load(open(check_path))
    text = urllib.request.urlopen(url + "metrics", timeout=10).read().decode()
    boards, samples = {}, {}
    for family in text_string_to_metric_families(text):
        for s in family.samples:
            if s.name == "kavro_boards_total":
                boards[(s.labels["slot"], s.labels["outcome"])] = int(s.value)
            else:
                samples[s.name] = s.value
    expect(boards == record_counts(check), f"boards {boards} != record {record_counts(check)}")
    total = sum(boards.values())
    expect(samples["kavro_cycle_seconds_count"] == total, "histogram count != boards")
    stamps = check["stamps"]
    expect(samples["kavro_stamps_reserved_total"] == stamps["reservations"],
           f"reserved {samples['kavro_stamps_reserved_total']} != {stamps['reservations']}")
    expect(samples["kavro_stamps_burnt_total"] == len(stamps["burnt"]),
           f"burnt {samples['kavro_stamps_burnt_total']} != {len(stamps['burnt'])}")
    print(f"metrics: {total} boards by slot and outcome agree with the record")


def exchange(host, port, payload, read=True, timeout=15):
    """Sends payload; returns the status line's code, or None when the server
    closed without one."""
    with socket.create_connection((host, port), timeout=timeout) as s:
        try:
            s.sendall(payload)
        except (BrokenPipeError, ConnectionResetError):
            pass
        if not read:
            return None
        try:
            head = s.recv(64)
        except (ConnectionResetError, socket.timeout):
            return None
    match = re.match(rb"HTTP/1\.[01] (\d{3})", head)
    return int(match.group(1)) if match else None


def still_serving(url):
    with urllib.request.urlopen(url + "state", timeout=15) as reply:
        expect(reply.status == 200, "state did not answer 200")
        json.loads(reply.read())


def hostile(url):
    host, port = re.match(r"http://([^:/]+):(\d+)/", url).groups()
    port = int(port)
    get = lambda target, extra=b"": b"GET " + target + b" HTTP/1.1\r\nHost: x\r\n" + extra + b"\r\n"
    cases = [
        ("malformed request", b"\x00\xffNOT HTTP AT ALL\r\n\r\n", {400, None}),
        ("1 MB header", get(b"/state", b"X-Big: " + b"a" * (1 << 20) + b"\r\n"), {431, 400, None}),
        ("100 kB request line", get(b"/" + b"a" * 100_000), {431, 400, None}),
        ("path with ..", get(b"/../../etc/passwd"), {404}),
        ("path with %00", get(b"/state%00"), {404}),
        ("encoded ..", get(b"/%2e%2e/%2e%2e/etc/passwd"), {404}),
        ("POST", b"POST /state HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\nhi", {405}),
        ("DELETE", b"DELETE / HTTP/1.1\r\nHost: x\r\n\r\n", {405}),
        ("unknown path", get(b"/nothing-here"), {404}),
    ]
    for name, payload, wanted in cases:
        status = exchange(host, port, payload)
        expect(status in wanted, f"{name}: status {status}, wanted one of {wanted}")
        still_serving(url)
        print(f"hostile: {name}: {status or 'closed'}; the page still answers")

    # A client that asks for the biggest file again and again and never reads.
    sluggard = socket.create_connection((host, port))
    sluggard.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    for _ in range(50):
        try:
            sluggard.sendall(get(b"/chart.js"))
        except OSError:
            break
    still_serving(url)
    print("hostile: a client that never reads: the page still answers")

    # Thousands of connections at once, held open without a word.
    held = []
    for _ in range(3000):
        try:
            held.append(socket.create_connection((host, port), timeout=5))
        except OSError:
            break
    expect(len(held) >= 1000, f"only {len(held)} connections opened")
    for s in held:
        s.close()
    sluggard.close()
    deadline = time.time() + 30
    while True:
        try:
            still_serving(url)
            break
        except (urllib.error.URLError, OSError, ConnectionError):
            expect(time.time() < deadline, "the page did not come back after the flood")
            time.sleep(0.5)
    print(f"hostile: {len(held)} connections at once: the page still answers")


def report(dom_path, check_paths):
    dom = open(dom_path, encoding="utf-8").read()
    data = json.loads(re.search(r'<script id="data" type="application/json">(.*?)</script>',
                                dom, re.S).group(1).replace("<\\/", "</"))
    expect('data-canvases="4 of 4"' in dom, "not every chart drew: " +
           (re.search(r'data-canvases="([^"]*)"', dom) or [None, "no mark"])[1])
    wanted, reservations, burnt = {}, 0, 0
    for path in check_paths:
        check = json.load(open(path))
        expect(check["intact"], f"{path} is not intact")
        wanted.update(record_counts(check))
        reservations += check["stamps"]["reservations"]
        burnt += len(check["stamps"]["burnt"])
    got = {(s["slot"], o): n for s in data["slots"] for o, n in s["outcomes"].items()}
    expect(got == wanted, f"report {got} != record {wanted}")
    expect(data["stamps"]["reservations"] == reservations, "stamps reserved disagree")
    expect(len(data["stamps"]["burnt"]) == burnt, "stamps burnt disagree")
    for slot in data["slots"]:
        cells = f"<td>{slot['slot']}</td><td class=\"n\">{slot['succeeded'] + slot['failed']}</td>"
        expect(cells in dom, f"the slots table lacks {cells}")
    expect(all(r["intact"] for r in data["records"]) and "✔ intact" in dom, "no chain verdict")
    print(f"report: {sum(got.values())} boards, {reservations} stamps agree with the record")


if __name__ == "__main__":
    command = sys.argv[1]
    if command == "metrics":
        metrics(sys.argv[2], sys.argv[3])
    elif command == "hostile":
        hostile(sys.argv[2])
    elif command == "report":
        report(sys.argv[2], sys.argv[3:])
    else:
        fail("unknown command " + command)
