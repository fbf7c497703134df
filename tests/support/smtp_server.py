#!/usr/bin/python3
"""SMTP server for the tests, built on Debian's python3-aiosmtpd.

Listens on loopback, prints "PORT <n>" on stdout once it accepts connections and
writes every accepted message into --maildir as one JSON file (msg-00001.json, ...):
  {"session": <connection number>, "mail_from": "...", "rcpt_tos": [...], "tls": bool,
   "login": "user or null", "data": "<base64 of the raw DATA bytes>"}
The file is complete before the final 250 reply goes out, so a client that got its
250 can read the file at once. The server ends when its standard input closes
(the test process went away) or on SIGTERM.
"""

import argparse
import asyncio
import base64
import json
import logging
import os
import signal
import ssl
import sys
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class MaildirHandler:
    def __init__(self, maildir, refused):
        self.maildir = maildir
        self.refused = {r.lower() for r in refused}
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower() in self.refused:
            return "550 5.1.1 Recipient refused"
        envelope.rcpt_tos.append(address)
        envelope.rcpt_options.extend(rcpt_options)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        transport = server.transport
        tls = session.ssl is not None or (
            transport is not None and transport.get_extra_info("ssl_object") is not None)
        login = None
        if session.authenticated and isinstance(session.auth_data, LoginPassword):
            login = session.auth_data.login.decode("utf-8", "replace")
        record = {
            "session": getattr(server, "connection_number", 0),
            "mail_from": envelope.mail_from,
            "rcpt_tos": list(envelope.rcpt_tos),
            "tls": tls,
            "login": login,
            "data": base64.b64encode(envelope.original_content or b"").decode("ascii"),
        }
        name = os.path.join(self.maildir, "msg-%05d.json" % self.count)
        with open(name + ".tmp", "w", encoding="utf-8") as f:
            json.dump(record, f)
        os.replace(name + ".tmp", name)
        return "250 OK queued"


def make_authenticator(user, password):
    def authenticate(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword)
              and auth_data.login == user.encode("utf-8")
              and auth_data.password == password.encode("utf-8"))
        return AuthResult(success=ok, handled=False, auth_data=auth_data if ok else None)
    return authenticate


def main():
    # Plain-text AUTH is what the tests exercise; the library's warnings about it are noise.
    warnings.simplefilter("ignore")
    logging.getLogger("mail.log").setLevel(logging.ERROR)

    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--maildir", required=True)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--tls", choices=["none", "starttls", "implicit"], default="none")
    parser.add_argument("--auth-user")
    parser.add_argument("--auth-password", default="")
    parser.add_argument("--refuse", action="append", default=[],
                        help="recipient address answered with 550 (repeatable)")
    args = parser.parse_args()

    if args.host not in ("127.0.0.1", "::1", "localhost"):
        parser.error("the test server listens on loopback only")

    context = None
    if args.tls != "none":
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)

    handler = MaildirHandler(args.maildir, args.refuse)
    sessions = [0]

    def factory():
        kwargs = dict(hostname="smtp.test", decode_data=False, auth_require_tls=False)
        if args.tls == "starttls":
            kwargs["tls_context"] = context
        if args.auth_user is not None:
            kwargs["authenticator"] = make_authenticator(args.auth_user, args.auth_password)
            kwargs["auth_required"] = True
        smtp = SMTP(handler, **kwargs)
        # One protocol object per connection; STARTTLS renews the session but not this.
        sessions[0] += 1
        smtp.connection_number = sessions[0]
        return smtp

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server = loop.run_until_complete(loop.create_server(
        factory, host=args.host, port=args.port,
        ssl=context if args.tls == "implicit" else None))
    port = server.sockets[0].getsockname()[1]

    stop = loop.create_future()

    def request_stop(*_):
        if not stop.done():
            stop.set_result(None)

    loop.add_signal_handler(signal.SIGTERM, request_stop)

    def stdin_readable():
        if not os.read(sys.stdin.fileno(), 4096):
            loop.remove_reader(sys.stdin.fileno())
            request_stop()
    loop.add_reader(sys.stdin.fileno(), stdin_readable)

    sys.stdout.write("PORT %d\n" % port)
    sys.stdout.flush()
    loop.run_until_complete(stop)
    server.close()
    loop.run_until_complete(server.wait_closed())
    loop.close()


if __name__ == "__main__":
    main()
