#!/usr/bin/python3
"""A small OAuth2 provider on loopback for Quorvex's tests (standard library only).

Usage: /usr/bin/python3 oauth_provider.py [--host 127.0.0.1] [--port 0] [--client-id ID]
                                          [--client-secret SECRET] [--user NAME]
                                          [--expires-in SECONDS] [--interval SECONDS]
                                          [--device-expires-in SECONDS] [--rotate-refresh]

Listens on a free loopback port (or --port), prints that port number alone on one line of
standard output once it accepts connections, and serves plain HTTP until it is killed. Every
answer is a JSON object unless a scripted raw answer (see /control/script) says otherwise.

Endpoints (form bodies are application/x-www-form-urlencoded):

  POST /device        the device authorization endpoint: takes client_id (and scope); answers
                      device_code, user_code, verification_uri, verification_uri_complete,
                      expires_in (--device-expires-in, default 600) and interval (--interval,
                      default 5).
  POST /token         the token endpoint, three grants:
                      - urn:ietf:params:oauth:grant-type:device_code with device_code: each
                        poll takes the next step of the device script (default ["approve"];
                        the last step repeats): "pending" answers 400 authorization_pending,
                        "slow_down" 400 slow_down, "deny" 400 access_denied, "expire" 400
                        expired_token, "approve" the tokens. A device code that was answered
                        with tokens, a denial or an expiry is spent: invalid_grant after.
                        "decline" answers 400 authorization_declined, as Microsoft names a
                        denial.
                      - authorization_code with code, redirect_uri and code_verifier: the
                        code is used once; the verifier must hash (S256) to the challenge the
                        authorize endpoint was given, the redirect_uri must be the same.
                      - refresh_token with refresh_token: a new access token; the refresh
                        token stays unless --rotate-refresh. A revoked one: invalid_grant.
                      With --client-secret every grant needs client_secret (in the form or
                      by HTTP Basic); a wrong or missing one answers 401 invalid_client.
                      A wrong client_id answers 400 invalid_client.
                      Tokens answer {"access_token", "token_type": "Bearer", "expires_in",
                      "refresh_token", "scope"}.
  GET  /authorize     the authorization endpoint: takes response_type=code, client_id,
                      redirect_uri (http on 127.0.0.1 or localhost only), state,
                      code_challenge and code_challenge_method=S256; answers 302 to the
                      redirect_uri with code and state (or error=access_denied when the
                      script says "authorize": "deny"), so a test follows the redirect with
                      a plain HTTP GET instead of a browser.
  /introspect         token introspection as Dovecot's oauth2 password database asks for it:
                      POST with token=... (introspection_mode = post), GET with
                      ?token=... or ?access_token=... or /introspect/TOKEN appended
                      (introspection_mode = get), or an "Authorization: Bearer TOKEN" header
                      (introspection_mode = auth). Answers {"active": true, "username": USER,
                      "email": USER, "client_id", "scope", "exp"} for a live access token,
                      {"active": false} for an unknown, expired or revoked one.

Control endpoints for the tests (JSON bodies and answers):

  POST /control/issue    {"user": NAME (optional)}: tokens without a grant, as /token
                         would answer them.
  POST /control/expire   {"token": ACCESS_TOKEN or "all"}: the access token(s) expire now.
  POST /control/revoke   {"token": ACCESS_OR_REFRESH_TOKEN or "all"}: the token and the
                         grant it belongs to (its access and refresh tokens) are revoked.
  POST /control/script   any of {"device": [steps], "authorize": "approve"|"deny",
                         "authorize_state": STATE (answered instead of the client's),
                         "expires_in": SECONDS (for tokens issued from now on),
                         "raw": [{"status": N, "headers": {...}, "body": TEXT,
                                  "path": "/token" (default)}, ...]}
                         "raw" queues answers given once each, in order, instead of the
                         real answer of that path.
  GET  /control/log      every request so far: [{"time": SECONDS (monotonic), "method",
                         "path", "form": {...}, "authorization": bool}, ...]; secrets
                         appear as sent (this is a test fixture).
  GET  /control/tokens   {"access": {TOKEN: {"user", "expires_at", "revoked"}},
                         "refresh": {TOKEN: {"user", "revoked"}}}
"""

import argparse
import base64
import hashlib
import json
import secrets
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

DEVICE_GRANT = "urn:ietf:params:oauth:grant-type:device_code"
MAX_BODY = 1 << 20


class Provider:
    """The provider's state, shared by the request threads under one lock."""

    def __init__(self, options):
        self.options = options
        self.lock = threading.Lock()
        self.access = {}     # token -> {"user", "expires_at", "revoked", "grant"}
        self.refresh = {}    # token -> {"user", "revoked", "grant"}
        self.devices = {}    # device_code -> {"user_code", "expires_at", "spent"}
        self.codes = {}      # code -> {"challenge", "redirect_uri", "client_id"}
        self.device_script = ["approve"]
        self.authorize = "approve"
        self.authorize_state = None
        self.expires_in = options.expires_in
        self.raw = []
        self.log = []

    def issue(self, user, grant=None):
        """New tokens for a grant (a new grant when None); the lock is held."""
        grant = grant or secrets.token_hex(8)
        access = "at-" + secrets.token_urlsafe(24)
        self.access[access] = {"user": user, "expires_at": time.time() + self.expires_in,
                               "revoked": False, "grant": grant}
        refresh = None
        for token, record in self.refresh.items():
            if record["grant"] == grant and not record["revoked"]:
                refresh = token
        if refresh is None or self.options.rotate_refresh:
            if refresh is not None:
                self.refresh[refresh]["revoked"] = True
            refresh = "rt-" + secrets.token_urlsafe(24)
            self.refresh[refresh] = {"user": user, "revoked": False, "grant": grant}
        return {"access_token": access, "token_type": "Bearer", "expires_in": self.expires_in,
                "refresh_token": refresh, "scope": "mail"}

    def revoke(self, token):
        grants = set()
        for table in (self.access, self.refresh):
            for key, record in table.items():
                if token in ("all", key):
                    grants.add(record["grant"])
        for table in (self.access, self.refresh):
            for record in table.values():
                if record["grant"] in grants:
                    record["revoked"] = True
        return len(grants)


def s256(verifier):
    digest = hashlib.sha256(verifier.encode("ascii")).digest()
    return base64.urlsafe_b64encode(digest).decode("ascii").rstrip("=")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "FakeProvider/1"

    def log_message(self, format, *args):  # noqa: A002 - quiet: the tests read /control/log
        pass

    @property
    def provider(self):
        return self.server.provider

    # --- plumbing -------------------------------------------------------------------------

    def read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        if length < 0 or length > MAX_BODY:
            raise ValueError("body too large")
        return self.rfile.read(length) if length else b""

    def answer(self, status, body, headers=None):
        data = body if isinstance(body, bytes) else (
            body.encode("utf-8") if isinstance(body, str) else json.dumps(body).encode("utf-8"))
        self.send_response(status)
        headers = dict(headers or {})
        if not any(k.lower() == "content-type" for k in headers):
            headers["Content-Type"] = "application/json"
        headers.setdefault("Cache-Control", "no-store")
        for key, value in headers.items():
            self.send_header(key, value)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def error(self, status, code, description=None):
        body = {"error": code}
        if description:
            body["error_description"] = description
        self.answer(status, body)

    def scripted_raw(self, path):
        """The next queued raw answer for this path, or None."""
        with self.provider.lock:
            for index, raw in enumerate(self.provider.raw):
                if raw.get("path", "/token") == path:
                    return self.provider.raw.pop(index)
        return None

    def handle_any(self, method):
        url = urllib.parse.urlsplit(self.path)
        try:
            body = self.read_body() if method == "POST" else b""
        except ValueError:
            self.error(413, "invalid_request", "body too large")
            return
        content_type = (self.headers.get("Content-Type") or "").split(";")[0].strip()
        form = {}
        control = None
        if url.path.startswith("/control/"):
            try:
                control = json.loads(body.decode("utf-8")) if body else {}
            except ValueError:
                self.error(400, "invalid_request", "control body is not JSON")
                return
        elif content_type == "application/x-www-form-urlencoded" or method == "GET":
            source = body.decode("utf-8", "replace") if method == "POST" else url.query
            form = dict(urllib.parse.parse_qsl(source, keep_blank_values=True))
        with self.provider.lock:
            self.provider.log.append({"time": time.monotonic(), "method": method, "path": url.path,
                                      "form": form,
                                      "authorization": "Authorization" in self.headers})
        raw = self.scripted_raw(url.path)
        if raw is not None:
            self.answer(raw.get("status", 200), raw.get("body", ""), raw.get("headers"))
            return
        route = {
            ("POST", "/device"): self.device,
            ("POST", "/token"): self.token,
            ("GET", "/authorize"): self.authorize,
            ("POST", "/control/issue"): self.control_issue,
            ("POST", "/control/expire"): self.control_expire,
            ("POST", "/control/revoke"): self.control_revoke,
            ("POST", "/control/script"): self.control_script,
            ("GET", "/control/log"): self.control_log,
            ("GET", "/control/tokens"): self.control_tokens,
        }.get((method, url.path))
        if url.path == "/introspect" or url.path.startswith("/introspect/"):
            self.introspect(url, form)
        elif route is None:
            self.error(404, "not_found")
        elif control is not None:
            route(control)
        else:
            route(form)

    def do_GET(self):  # noqa: N802 - the handler's name
        self.handle_any("GET")

    def do_POST(self):  # noqa: N802 - the handler's name
        self.handle_any("POST")

    # --- client authentication ------------------------------------------------------------

    def client_ok(self, form):
        """Checks client_id and (with --client-secret) the secret; answers the error itself."""
        options = self.provider.options
        client_id, secret = form.get("client_id"), form.get("client_secret")
        basic = self.headers.get("Authorization", "")
        if basic.startswith("Basic "):
            try:
                user, _, password = base64.b64decode(basic[6:]).decode("utf-8").partition(":")
                client_id = urllib.parse.unquote_plus(user)
                secret = urllib.parse.unquote_plus(password)
            except ValueError:
                self.error(401, "invalid_client", "bad Basic credentials")
                return False
        if client_id != options.client_id:
            self.error(400, "invalid_client", "unknown client_id")
            return False
        if options.client_secret is not None and secret != options.client_secret:
            self.error(401, "invalid_client", "client authentication failed")
            return False
        return True

    # --- the provider's endpoints ---------------------------------------------------------

    def device(self, form):
        if form.get("client_id") != self.provider.options.client_id:
            self.error(400, "invalid_client", "unknown client_id")
            return
        code = "dc-" + secrets.token_urlsafe(16)
        user_code = "%04d-%04d" % (secrets.randbelow(10000), secrets.randbelow(10000))
        options = self.provider.options
        with self.provider.lock:
            self.provider.devices[code] = {"user_code": user_code, "spent": False,
                                           "expires_at": time.time() + options.device_expires_in}
        host = "http://%s:%d" % self.server.server_address[:2]
        self.answer(200, {"device_code": code, "user_code": user_code,
                          "verification_uri": host + "/device-login",
                          "verification_uri_complete": host + "/device-login?code=" + user_code,
                          "expires_in": options.device_expires_in,
                          "interval": options.interval})

    def token(self, form):
        if not self.client_ok(form):
            return
        grant = form.get("grant_type")
        if grant == DEVICE_GRANT:
            self.device_token(form)
        elif grant == "authorization_code":
            self.code_token(form)
        elif grant == "refresh_token":
            self.refresh_token(form)
        else:
            self.error(400, "unsupported_grant_type")

    def device_token(self, form):
        p = self.provider
        with p.lock:
            device = p.devices.get(form.get("device_code", ""))
            if device is None or device["spent"]:
                step = "invalid"
            elif time.time() > device["expires_at"]:
                step = "expire"
            else:
                step = p.device_script.pop(0) if len(p.device_script) > 1 else p.device_script[0]
            if step in ("approve", "deny", "decline", "expire") and device is not None:
                device["spent"] = True
            tokens = p.issue(p.options.user) if step == "approve" else None
        errors = {"pending": "authorization_pending", "slow_down": "slow_down",
                  "deny": "access_denied", "decline": "authorization_declined",
                  "expire": "expired_token", "invalid": "invalid_grant"}
        if tokens is not None:
            self.answer(200, tokens)
        else:
            self.error(400, errors.get(step, "invalid_grant"))

    def code_token(self, form):
        p = self.provider
        with p.lock:
            record = p.codes.pop(form.get("code", ""), None)
            if record is None:
                problem = "unknown or used code"
            elif record["redirect_uri"] != form.get("redirect_uri"):
                problem = "redirect_uri differs"
            elif s256(form.get("code_verifier", "")) != record["challenge"]:
                problem = "code_verifier does not match"
            else:
                problem = None
            tokens = p.issue(p.options.user) if problem is None else None
        if tokens is None:
            self.error(400, "invalid_grant", problem)
        else:
            self.answer(200, tokens)

    def refresh_token(self, form):
        p = self.provider
        with p.lock:
            record = p.refresh.get(form.get("refresh_token", ""))
            tokens = None
            if record is not None and not record["revoked"]:
                tokens = p.issue(record["user"], record["grant"])
        if tokens is None:
            self.error(400, "invalid_grant", "refresh token unknown or revoked")
        else:
            self.answer(200, tokens)

    def authorize(self, form):
        p = self.provider
        redirect = form.get("redirect_uri", "")
        target = urllib.parse.urlsplit(redirect)
        if target.scheme != "http" or target.hostname not in ("127.0.0.1", "localhost"):
            self.error(400, "invalid_request", "redirect_uri must be a loopback address")
            return
        if form.get("client_id") != p.options.client_id:
            self.error(400, "invalid_client", "unknown client_id")
            return
        if form.get("response_type") != "code" or form.get("code_challenge_method") != "S256" \
                or not form.get("code_challenge"):
            query = {"error": "invalid_request", "state": form.get("state", "")}
        elif p.authorize == "deny":
            query = {"error": "access_denied", "state": form.get("state", "")}
        else:
            code = "ac-" + secrets.token_urlsafe(16)
            with p.lock:
                p.codes[code] = {"challenge": form["code_challenge"], "redirect_uri": redirect,
                                 "client_id": form.get("client_id")}
            query = {"code": code, "state": form.get("state", "")}
        if p.authorize_state is not None:
            query["state"] = p.authorize_state
        separator = "&" if target.query else "?"
        self.answer(302, b"", {"Location": redirect + separator + urllib.parse.urlencode(query),
                               "Content-Type": "text/plain"})

    def introspect(self, url, form):
        token = form.get("token") or form.get("access_token")
        if not token and url.path.startswith("/introspect/"):
            token = urllib.parse.unquote(url.path[len("/introspect/"):])
        bearer = self.headers.get("Authorization", "")
        if not token and bearer.startswith("Bearer "):
            token = bearer[7:].strip()
        p = self.provider
        with p.lock:
            record = p.access.get(token or "")
            live = record is not None and not record["revoked"] and time.time() < record["expires_at"]
            answer = {"active": False}
            if live:
                answer = {"active": True, "username": record["user"], "email": record["user"],
                          "client_id": p.options.client_id, "scope": "mail",
                          "exp": int(record["expires_at"])}
        self.answer(200, answer)

    # --- control ----------------------------------------------------------------------------

    def control_issue(self, body):
        p = self.provider
        with p.lock:
            tokens = p.issue(body.get("user") or p.options.user)
        self.answer(200, tokens)

    def control_expire(self, body):
        p = self.provider
        count = 0
        with p.lock:
            for token, record in p.access.items():
                if body.get("token") in ("all", token):
                    record["expires_at"] = time.time() - 1
                    count += 1
        self.answer(200, {"expired": count})

    def control_revoke(self, body):
        with self.provider.lock:
            grants = self.provider.revoke(body.get("token", ""))
        self.answer(200, {"revoked_grants": grants})

    def control_script(self, body):
        p = self.provider
        with p.lock:
            if "device" in body:
                steps = list(body["device"]) or ["approve"]
                p.device_script = steps
            if "authorize" in body:
                p.authorize = body["authorize"]
            if "authorize_state" in body:
                p.authorize_state = body["authorize_state"]
            if "expires_in" in body:
                p.expires_in = body["expires_in"]
            if "raw" in body:
                p.raw.extend(body["raw"])
        self.answer(200, {"ok": True})

    def control_log(self, _body):
        with self.provider.lock:
            log = list(self.provider.log)
        self.answer(200, log)

    def control_tokens(self, _body):
        p = self.provider
        with p.lock:
            answer = {"access": {k: {"user": v["user"], "expires_at": v["expires_at"],
                                     "revoked": v["revoked"]} for k, v in p.access.items()},
                      "refresh": {k: {"user": v["user"], "revoked": v["revoked"]}
                                  for k, v in p.refresh.items()}}
        self.answer(200, answer)


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that stops reading (a size cap reached) is expected; others are printed.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--client-id", default="quorvex-test")
    parser.add_argument("--client-secret", default=None)
    parser.add_argument("--user", default="quorvex@example.test")
    parser.add_argument("--expires-in", type=int, default=3600)
    parser.add_argument("--interval", type=int, default=5)
    parser.add_argument("--device-expires-in", type=int, default=600)
    parser.add_argument("--rotate-refresh", action="store_true")
    options = parser.parse_args()
    server = Server((options.host, options.port), Handler)
    server.provider = Provider(options)
    print(server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
