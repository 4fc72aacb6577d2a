#!/usr/bin/env python3
"""End-to-end tests of OAuth: the built program as a process against a token
endpoint of the test's own (HTTPS on a loopback port, its certificate from
the test CA, which the program gets with /CAFILE) and the scripted SMTP
server over TLS, which takes only the token the endpoint issued. The
program runs natively, or as mailshot.exe under Wine (its boxes dismissed
as e2e_test.py does), where the browser that the program opens for a sign-in
is a script of the test's own that tells the test the address.

  oauth_test.py --program build/mailshot --server build/tests/support/scripted_server
  oauth_test.py --wine /usr/lib/wine/wine64 --program mailshot.exe --server scripted_server.exe
"""

import argparse
import base64
import hashlib
import http.server
import json
import os
import re
import shutil
import ssl
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
import urllib.request

import e2e_test
from e2e_test import ERROR, INFO, script_steps

USER = "me@x"
CLIENT_SECRET = "cl1ent-s3cret"
DEVICE_CODE = "d3vice-c0de"
DEVICE_ADDRESS_WITH_CODE = "https://microsoft.example/devicelogin?otc=WDJB-MJHT"
AUTH_CODE = "auth-c0de"
# Every token, secret and code that the endpoint or the file hold; no output may show one.
SECRETS = [CLIENT_SECRET, DEVICE_CODE, AUTH_CODE, "acc3ss-", "r3fresh-", "0ld-acc3ss"]
REFRESH_ERROR = "AADSTS70008: The refresh token has expired due to inactivity."

MAIL = ["/B:body.txt", "/T:rcpt.txt", "/F:s@x", "/U:me", "/ENCRYPT:TLS", "/CAFILE:ca.pem", "/LOGIN:" + USER,
        "/OAUTH:token.json", "/LOG:run.log", "/WAIT:20"]
SUCCESS = "Message sended success."


def xoauth2(token):
    return "AUTH XOAUTH2 " + base64.b64encode(("user=%s\x01auth=Bearer %s\x01\x01" % (USER, token)).encode()).decode()


def mail_dialogue(auth):
    """The SMTP dialogue of one message after the login exchanges auth."""
    return ([("EHLO me", "250-hello\r\n250 AUTH XOAUTH2 OAUTHBEARER")] + auth
            + [("RSET", "250 ok"), ("MAIL FROM:<s@x>*", "250 ok"), ("RCPT TO:<a@x>", "250 ok"),
               ("DATA", "354 go ahead"), (".", "250 queued"), ("QUIT", "221 bye")])


class Endpoint:
    """The token endpoint: issues access tokens acc3ss-N, replaces the refresh
    token at each use (r3fresh-N) and refuses one used before, as Microsoft
    does; the device flow answers pending_replies before the tokens; the
    authorization code is redeemed only with the verifier of the challenge
    that the browser's visit carried; the first busy refreshes are answered
    503. Every request is recorded."""

    def __init__(self, certificates, pending_replies=(), delay=0.0, busy=0):
        self.requests, self.lock = [], threading.Lock()
        self.issued, self.refresh, self.pending, self.busy = 0, "r3fresh-1", list(pending_replies), busy
        self.delay, self.challenge = delay, None
        endpoint = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                form = dict(urllib.parse.parse_qsl(self.rfile.read(int(self.headers["Content-Length"])).decode()))
                with endpoint.lock:
                    endpoint.requests.append((self.path, form, dict(self.headers)))
                    status, answer = endpoint.answer(self.path, form)
                time.sleep(endpoint.delay)
                body = json.dumps(answer).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(certificates, "trusted.pem"), os.path.join(certificates, "key.pem"))
        self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def url(self, path):
        return "https://localhost:%d%s" % (self.port, path)

    def tokens(self):
        self.issued += 1
        self.refresh = "r3fresh-%d" % (self.issued + 1)
        return 200, {"access_token": "acc3ss-%d" % self.issued, "token_type": "Bearer", "expires_in": 3600,
                     "refresh_token": self.refresh}

    def answer(self, path, form):
        grant = form.get("grant_type")
        if path == "/device":
            return 200, {"device_code": DEVICE_CODE, "user_code": "WDJB-MJHT", "expires_in": 900, "interval": 1,
                         "verification_uri": "https://microsoft.example/devicelogin",
                         "verification_uri_complete": DEVICE_ADDRESS_WITH_CODE}
        if grant == "refresh_token":
            if self.busy:
                self.busy -= 1
                return 503, {"error": "temporarily_unavailable"}
            if form.get("refresh_token") != self.refresh:
                return 400, {"error": "invalid_grant", "error_description": REFRESH_ERROR}
            return self.tokens()
        if grant == "client_credentials":
            if form.get("client_secret") != CLIENT_SECRET:
                return 401, {"error": "invalid_client"}
            issued = self.tokens()[1]
            del issued["refresh_token"]
            return 200, issued
        if grant == "urn:ietf:params:oauth:grant-type:device_code" and form.get("device_code") == DEVICE_CODE:
            if self.pending:
                return 400, {"error": self.pending.pop(0)}
            return self.tokens()
        if grant == "authorization_code" and form.get("code") == AUTH_CODE:
            digest = hashlib.sha256(form.get("code_verifier", "").encode()).digest()
            if base64.urlsafe_b64encode(digest).rstrip(b"=").decode() != self.challenge:
                return 400, {"error": "invalid_grant", "error_description": "PKCE verification failed"}
            return self.tokens()
        return 400, {"error": "invalid_request"}

    def grants(self):
        return [form.get("grant_type", path) for path, form, _ in self.requests]

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def token_file(endpoint_port, **fields):
    content = {"token_endpoint": "https://localhost:%d/token" % endpoint_port, "client_id": "mailshot-test",
               "scope": "https://outlook.office.com/SMTP.Send offline_access"}
    content.update(fields)
    return content


class OAuthRun(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="mailshot-oauth-")
        for name, content in {"body.txt": b"Hello\r\n", "rcpt.txt": b"a@x\r\n"}.items():
            with open(os.path.join(self.workdir, name), "wb") as f:
                f.write(content)
        shutil.copy(os.path.join(e2e_test.CERTIFICATES, "ca.pem"), self.workdir)
        self.endpoint, self.smtp = None, None

    def tearDown(self):
        if self.endpoint:
            self.endpoint.close()
        if self.smtp and self.smtp.poll() is None:
            self.smtp.kill()
            self.smtp.communicate()
        shutil.rmtree(self.workdir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.workdir, name)

    def write_token_file(self, content):
        with open(self.path("token.json"), "w") as f:
            json.dump(content, f, indent=2)
        os.chmod(self.path("token.json"), 0o644)  # as under umask 022, whatever the tests run under
        return content

    def read_token_file(self):
        """The token file, its tokens opened where the program sealed them (Windows)."""
        with open(self.path("token.json")) as f:
            content = json.load(f)
        for field in ("refresh_token", "access_token"):
            value = content.get(field, "")
            if value.startswith("dpapi:"):
                opened = subprocess.run([e2e_test.ARGS.wine, e2e_test.ARGS.unseal, value[6:]], capture_output=True,
                                        env=dict(e2e_test.WINE_ENV, WINEDEBUG="-all"), timeout=60)
                self.assertEqual(opened.returncode, 0, "sealed for this user")
                content[field] = opened.stdout.decode()
        return content

    def start_smtp(self, dialogue, connections=1, earlier=()):
        """The scripted SMTP server over TLS from the first byte; returns its
        port. earlier: (greeting, dialogue) of connections before the one of
        dialogue, each its own."""
        steps = []
        for greeting, before in earlier:
            steps += script_steps(greeting, before, implicit_tls=True, tls_close=True) + ["next"]
        steps += script_steps("220 ready", dialogue, implicit_tls=True, tls_close=True)
        connections = max(connections, len(earlier) + 1)
        self.received = self.path("received.bin")
        self.smtp = subprocess.Popen(
            [e2e_test.NATIVE_SERVER, "--deadline", "60000", "--connections", str(connections), "--received",
             self.received, "--tls-cert", os.path.join(e2e_test.CERTIFICATES, "trusted.pem"),
             "--tls-key", os.path.join(e2e_test.CERTIFICATES, "key.pem")] + steps,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        return int(self.smtp.stdout.readline())

    def smtp_failures(self):
        _, err = self.smtp.communicate(timeout=70)
        return err.decode(errors="replace")

    def run_program(self, args, name, hidden_station=False):
        """Runs the program once to its end; returns the run with rc, stdout, stderr, captions."""
        run = e2e_test.ProgramRun(e2e_test.Case(name, args, 0, [], hidden_station=hidden_station), self.workdir, None)
        run.run_program(args)
        run.log = ""
        if os.path.exists(self.path("run.log")):
            with open(self.path("run.log"), "rb") as f:
                run.log = f.read().decode("latin-1")
        if e2e_test.ARGS.wine:
            run.texts = [text for text, _ in e2e_test.wine_box_texts(run.stderr.decode(errors="replace"))]
        self.check_no_secret(run)
        return run

    def check_no_secret(self, run):
        shown = [run.stdout.decode("latin-1"), run.stderr.decode("latin-1"), run.log]
        for secret in SECRETS:
            self.assertFalse([text for text in shown if secret in text], "a secret shows: %r" % secret)

    def expect_boxes(self, run, boxes, status=()):
        """status: the status texts that the console shows before the errors."""
        if e2e_test.ARGS.wine:
            self.assertEqual(list(zip(run.captions, run.texts)), boxes)
        else:
            self.assertEqual(run.stdout.decode(), e2e_test.console_text([t for k, t in boxes if k == INFO]))
            self.assertEqual(run.stderr.decode(),
                             e2e_test.console_text(list(status) + [t for k, t in boxes if k == ERROR]))

    def sending_case(self, token_fields, auth, rc=0, boxes=((INFO, SUCCESS),), smtp=True, endpoint_port=None,
                     extra=(), earlier=(), status=()):
        """One send with /OAUTH and the switches extra, the SMTP server's
        earlier connections first; returns the run and the token file before it."""
        self.endpoint = self.endpoint or Endpoint(e2e_test.CERTIFICATES)
        port = self.start_smtp(mail_dialogue(auth), earlier=earlier) if smtp else e2e_test.unused_port()
        before = self.write_token_file(token_file(endpoint_port or self.endpoint.port, **token_fields))
        self.mode_before = os.stat(self.path("token.json")).st_mode
        run = self.run_program(MAIL + ["/SMTP:localhost:%d" % port] + list(extra), self.id())
        self.assertEqual(run.rc, rc, "exit code; stderr: %r" % run.stderr[-2000:])
        self.expect_boxes(run, list(boxes), status)
        if smtp:
            self.assertEqual(self.smtp_failures(), "", "the SMTP server's script")
        return run, before

    # --- /OAUTH --------------------------------------------------------------

    def test_refresh_before_the_send_writes_the_rotated_tokens(self):
        started = int(time.time())
        run, _ = self.sending_case({"access_token": "0ld-acc3ss", "expires_at": started + 200,
                                    "refresh_token": "r3fresh-1"}, [(xoauth2("acc3ss-1"), "235 ok")])
        self.assertEqual(self.endpoint.grants(), ["refresh_token"])
        path, form, headers = self.endpoint.requests[0]
        self.assertEqual((path, form.get("client_id"), form.get("scope")),
                         ("/token", "mailshot-test", "https://outlook.office.com/SMTP.Send offline_access"))
        self.assertEqual(headers.get("Content-Type"), "application/x-www-form-urlencoded")
        after = self.read_token_file()
        self.assertEqual((after["access_token"], after["refresh_token"]), ("acc3ss-1", "r3fresh-2"))
        self.assertTrue(started + 3600 <= after["expires_at"] <= int(time.time()) + 3600)
        self.assertEqual(list(after)[:3], ["token_endpoint", "client_id", "scope"], "the user's fields first, kept")
        self.assertIn("> POST https://localhost:%d/token" % self.endpoint.port, run.log)
        self.assertIn("< HTTP 200", run.log)
        with open(self.path("token.json")) as f:
            self.assertEqual("r3fresh-2" in f.read(), not e2e_test.ARGS.wine, "sealed for the user on Windows")
        if not e2e_test.ARGS.wine:
            self.assertEqual((stat.S_IMODE(self.mode_before), stat.S_IMODE(os.stat(self.path("token.json")).st_mode)),
                             (0o644, 0o600), "readable by all before, the file is its owner's alone once it holds tokens")

    def test_a_cached_token_makes_no_request(self):
        _, before = self.sending_case({"access_token": "0ld-acc3ss", "expires_at": int(time.time()) + 3600,
                                       "refresh_token": "r3fresh-1"}, [(xoauth2("0ld-acc3ss"), "235 ok")])
        self.assertEqual(self.endpoint.requests, [])
        self.assertEqual(self.read_token_file(), before)

    def test_a_refused_token_is_refreshed_and_the_login_made_again(self):
        challenge = "334 " + base64.b64encode(b'{"status":"401","schemes":"Bearer"}').decode()
        self.sending_case({"access_token": "0ld-acc3ss", "expires_at": int(time.time()) + 3600,
                           "refresh_token": "r3fresh-1"},
                          [(xoauth2("0ld-acc3ss"), challenge), ("", "535 5.7.3 token expired"),
                           (xoauth2("acc3ss-1"), "235 ok")])
        self.assertEqual(self.endpoint.grants(), ["refresh_token"])
        self.assertEqual(self.read_token_file()["refresh_token"], "r3fresh-2")

    def test_invalid_grant_is_an_unusable_setting_and_the_file_stays(self):
        # Never tried again: the refresh token would be refused again.
        _, before = self.sending_case(
            {"access_token": "0ld-acc3ss", "expires_at": 0, "refresh_token": "r3fresh-0"}, [], rc=5, smtp=False,
            extra=["/RETRY:2:1"],
            boxes=[(ERROR, "The token endpoint refused the sign-in kept in token.json: invalid_grant \"%s\". Sign in "
                           "again with /OAUTHSETUP:token.json (and check client_id and client_secret)."
                    % REFRESH_ERROR)])
        self.assertEqual(self.read_token_file(), before)
        self.assertEqual(self.endpoint.grants(), ["refresh_token"])

    def test_retries_take_the_token_an_earlier_attempt_kept(self):
        # The first attempt refreshes, then meets a busy server; the second
        # must use the token kept, not spend the new refresh token.
        run, _ = self.sending_case({"access_token": "0ld-acc3ss", "expires_at": 0, "refresh_token": "r3fresh-1"},
                                   [(xoauth2("acc3ss-1"), "235 ok")], extra=["/RETRY:1:1"],
                                   earlier=[("421 busy", [("QUIT", "221 bye")])],
                                   status=["Retry 1 of 1 in 1 s: 421 busy"])
        self.assertEqual(self.endpoint.grants(), ["refresh_token"])
        self.assertIn("Retry 1 of 1 in 1 s: 421 busy", run.log)
        self.assertEqual(self.read_token_file()["refresh_token"], "r3fresh-2")

    def test_a_busy_endpoint_is_tried_again(self):
        self.endpoint = Endpoint(e2e_test.CERTIFICATES, busy=1)
        retry = ("Retry 1 of 1 in 1 s: The token endpoint https://localhost:%d/token answered HTTP 503 "
                 "(temporarily_unavailable); try again later." % self.endpoint.port)
        run, _ = self.sending_case({"access_token": "0ld-acc3ss", "expires_at": 0, "refresh_token": "r3fresh-1"},
                                   [(xoauth2("acc3ss-1"), "235 ok")], extra=["/RETRY:1:1"], status=[retry])
        self.assertEqual(self.endpoint.grants(), ["refresh_token", "refresh_token"])
        self.assertIn(retry, run.log)

    def test_the_endpoint_down_fails_for_now_and_the_file_stays(self):
        port = e2e_test.unused_port()
        _, before = self.sending_case(
            {"access_token": "0ld-acc3ss", "expires_at": 0, "refresh_token": "r3fresh-1"}, [], rc=4, smtp=False,
            endpoint_port=port,
            boxes=[(ERROR, "The exchange with the token endpoint https://localhost:%d/token failed: no connection "
                           "could be made." % port)])
        self.assertEqual(self.read_token_file(), before)

    def test_client_credentials(self):
        self.sending_case({"grant_type": "client_credentials", "client_secret": CLIENT_SECRET},
                          [(xoauth2("acc3ss-1"), "235 ok")])
        self.assertEqual(self.endpoint.grants(), ["client_credentials"])
        self.assertEqual(self.endpoint.requests[0][1]["client_secret"], CLIENT_SECRET)

    def test_two_runs_at_once_spend_the_refresh_token_once(self):
        # The endpoint answers slowly, so that the second run starts while the
        # first waits for it; the second must take what the first wrote.
        self.endpoint = Endpoint(e2e_test.CERTIFICATES, delay=1.5)
        port = self.start_smtp(mail_dialogue([(xoauth2("acc3ss-1"), "235 ok")]), connections=2)
        self.write_token_file(token_file(self.endpoint.port, access_token="0ld-acc3ss", expires_at=0,
                                         refresh_token="r3fresh-1"))
        command = ([e2e_test.ARGS.wine] if e2e_test.ARGS.wine else []) + [e2e_test.ARGS.program]
        env = dict(e2e_test.WINE_ENV, WINEDEBUG="-all") if e2e_test.ARGS.wine else None
        args = MAIL + ["/SMTP:localhost:%d" % port, "/NM", "/NE"]
        runs = []
        for log in ("run1.log", "run2.log"):
            # Files, not pipes, as e2e_test's runs have.
            outputs = tempfile.TemporaryFile(), tempfile.TemporaryFile()
            runs.append((subprocess.Popen(command + [a.replace("run.log", log) for a in args], cwd=self.workdir,
                                          env=env, stdout=outputs[0], stderr=outputs[1]), outputs))
            time.sleep(0.3)
        results = []
        for run, outputs in runs:
            rc = run.wait(timeout=90)
            results.append(tuple(e2e_test.read_and_close(output) for output in outputs) + (rc,))
        self.assertEqual([rc for _, _, rc in results], [0, 0], results)
        self.assertEqual(self.endpoint.grants(), ["refresh_token"])
        self.assertEqual(self.smtp_failures(), "")
        for log in ("run1.log", "run2.log"):
            with open(self.path(log), "rb") as f:
                run = argparse.Namespace(stdout=b"", stderr=b"", log=f.read().decode("latin-1"))
            self.check_no_secret(run)

    def test_tokens_sealed_elsewhere_need_a_sign_in_here(self):
        # A broken seal stands for a file copied from another user or machine.
        self.sending_case(
            {"access_token": "dpapi:AQAAANCMnd8BFdERjHoAwE", "expires_at": int(time.time()) + 3600,
             "refresh_token": "dpapi:AQAAANCMnd8BFdERjHoAwE"}, [], rc=5, smtp=False,
            boxes=[(ERROR, "The token file token.json holds tokens sealed for another user or machine (or broken): "
                           "sign in here with /OAUTHSETUP:token.json.")])
        self.assertEqual(self.endpoint.requests, [])

    # --- /OAUTHSETUP ---------------------------------------------------------

    def test_device_sign_in_through_pending_and_slow_down(self):
        self.endpoint = Endpoint(e2e_test.CERTIFICATES, ["authorization_pending", "slow_down"])
        self.write_token_file(token_file(self.endpoint.port, device_authorization_endpoint=self.endpoint.url("/device")))
        if e2e_test.ARGS.wine and os.path.exists(OPENED_ADDRESS):
            os.remove(OPENED_ADDRESS)
        run = self.run_program(["/OAUTHSETUP:token.json", "/CAFILE:ca.pem", "/LOG:run.log", "/WAIT:20"], self.id())
        self.assertEqual(run.rc, 0, run.stderr[-2000:])
        prompt = ("To sign in, open this address in a browser:\rhttps://microsoft.example/devicelogin\rand enter this "
                  "code:\rWDJB-MJHT\r(valid for 15 minutes). mailshot waits until the sign-in is done.")
        if e2e_test.ARGS.wine:
            # The browser got the address that carries the code; Linux opens none.
            with open(OPENED_ADDRESS) as f:
                self.assertEqual(f.read().strip(), DEVICE_ADDRESS_WITH_CODE)
        self.expect_boxes(run, [(INFO, prompt), (INFO, "Signed in: the token file token.json now holds a refresh "
                                                       "token.")])
        self.assertEqual(self.endpoint.grants(), ["/device"] + ["urn:ietf:params:oauth:grant-type:device_code"] * 3)
        self.assertEqual(self.endpoint.requests[0][1]["scope"], "https://outlook.office.com/SMTP.Send offline_access")
        self.assertEqual(self.read_token_file()["refresh_token"], "r3fresh-2")

    def test_device_sign_in_where_nobody_sees_a_box(self):
        if not e2e_test.ARGS.wine:
            self.skipTest("window stations are Windows'; the console always shows the prompt")
        self.endpoint = Endpoint(e2e_test.CERTIFICATES)
        self.write_token_file(token_file(self.endpoint.port, device_authorization_endpoint=self.endpoint.url("/device")))
        sign_in = ["/OAUTHSETUP:token.json", "/CAFILE:ca.pem", "/WAIT:20"]
        # Without the run log the code could reach nobody: refused before any exchange.
        run = self.run_program(sign_in, self.id(), hidden_station=True)
        self.assertEqual((run.rc, run.captions, self.endpoint.requests), (5, [], []))
        run = self.run_program(sign_in + ["/LOG:run.log"], self.id(), hidden_station=True)
        self.assertEqual((run.rc, run.captions), (0, []), run.stderr[-2000:])
        self.assertIn("sign-in: To sign in, open this address in a browser: | https://microsoft.example/devicelogin | "
                      "and enter this code: | WDJB-MJHT", run.log)
        self.assertEqual(self.read_token_file()["refresh_token"], "r3fresh-2")

    def test_browser_sign_in_with_the_test_as_the_browser(self):
        self.endpoint = Endpoint(e2e_test.CERTIFICATES)
        self.write_token_file(token_file(self.endpoint.port, client_secret=CLIENT_SECRET,
                                         authorization_endpoint="https://accounts.example/auth?access_type=offline"))
        browser = threading.Thread(target=self.act_as_browser, daemon=True)
        browser.start()
        run = self.run_program(["/OAUTHSETUP:token.json", "/CAFILE:ca.pem", "/LOG:run.log", "/WAIT:20"], self.id())
        browser.join(timeout=30)
        self.assertEqual(run.rc, 0, run.stderr[-2000:])
        self.assertEqual(self.browser_saw, "Signed in. mailshot has what it needs; you can close this window.")
        self.assertEqual(self.endpoint.grants(), ["authorization_code"])
        self.assertEqual(self.endpoint.requests[0][1]["client_secret"], CLIENT_SECRET)
        self.assertEqual(self.read_token_file()["access_token"], "acc3ss-1")

    def act_as_browser(self):
        """Takes the address to open (under Wine from the browser the program
        opened, natively from the run log, as a user would from the prompt),
        and comes back to the program's listener with a code."""
        self.browser_saw = None
        source = OPENED_ADDRESS if e2e_test.ARGS.wine else self.path("run.log")
        for _ in range(300):
            try:
                with open(source, "rb") as f:
                    found = re.search(rb"(https://accounts\.example/auth\?\S+)", f.read())
            except FileNotFoundError:
                found = None
            if found:
                break
            time.sleep(0.1)
        query = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(found.group(1).decode()).query))
        self.endpoint.challenge = query["code_challenge"]
        assert query["code_challenge_method"] == "S256" and query["access_type"] == "offline"
        back = "%s?code=%s&state=%s" % (query["redirect_uri"], AUTH_CODE, urllib.parse.quote(query["state"]))
        if e2e_test.ARGS.wine:
            os.remove(OPENED_ADDRESS)
        with urllib.request.urlopen(back, timeout=10) as page:
            self.browser_saw = re.search(r"<p>(.*)</p>", page.read().decode()).group(1)


OPENED_ADDRESS = None  # under Wine: where the test's browser writes the address it was given


def wine_browser(command):
    """Makes the browser that Wine opens for web addresses a script that writes
    its address to OPENED_ADDRESS (command: "add" with the script, "delete")."""
    global OPENED_ADDRESS
    key = ["reg", command, r"HKCU\Software\Wine\WineBrowser", "/v", "Browsers", "/f"]
    if command == "add":
        OPENED_ADDRESS = os.path.join(e2e_test.CERTIFICATES, "opened-address")
        script = os.path.join(e2e_test.CERTIFICATES, "browser.sh")
        with open(script, "w") as f:
            f.write('#!/bin/sh\necho "$1" > "%s"\n' % OPENED_ADDRESS)
        os.chmod(script, 0o755)
        key += ["/d", script]
    subprocess.run([e2e_test.ARGS.wine] + key, env=dict(e2e_test.WINE_ENV, WINEDEBUG="-all"), check=True,
                   capture_output=True, timeout=60)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--wine")
    parser.add_argument("--launcher", help="station_launcher.exe, which starts a program on a hidden window station")
    parser.add_argument("--unseal", help="unseal.exe, which opens a token the program sealed (under Wine)")
    args, rest = parser.parse_known_args()
    args.program, args.server, args.screens = os.path.abspath(args.program), os.path.abspath(args.server), None
    args.launcher = args.launcher and os.path.abspath(args.launcher)
    args.unseal = args.unseal and os.path.abspath(args.unseal)
    e2e_test.ARGS = args
    native = os.environ.get("MAILSHOT_NATIVE_SCRIPTED_SERVER") if args.wine else args.server
    if not native or not os.path.exists(native):
        sys.exit("oauth_test: the native scripted_server (MAILSHOT_NATIVE_SCRIPTED_SERVER under Wine) is missing")
    e2e_test.NATIVE_SERVER = native
    e2e_test.CERTIFICATES = tempfile.mkdtemp(prefix="mailshot-oauth-certs-")
    subprocess.run([native, "--make-certs", e2e_test.CERTIFICATES], check=True, timeout=60)
    e2e_test.WINE_ENV = dict(os.environ)
    display = None
    if args.wine:
        display = e2e_test.Display()
        e2e_test.WINE_ENV["DISPLAY"] = display.name
        wine_browser("add")
    try:
        program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2,
                                testRunner=unittest.TextTestRunner(resultclass=e2e_test.PromptResult, verbosity=2))
    finally:
        if display:
            wine_browser("delete")
            display.close()
        shutil.rmtree(e2e_test.CERTIFICATES, ignore_errors=True)
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
