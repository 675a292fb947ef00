#!/usr/bin/python3
"""A loopback SMTP server for the demo, like a submission server on port
587: STARTTLS with the given certificate, required before AUTH LOGIN; every
received message appended to a mailbox file (with its header as a mail reader
decodes it), recipients nobody@... refused as unknown. Prints "ready" once
listening."""
import argparse
import email
import email.policy
import logging
import signal
import ssl
import threading
import warnings

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


class Mailbox:
    def __init__(self, path):
        self.path = path
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        # One mailbox that does not exist, to show a refused recipient.
        if address.startswith("nobody@"):
            return "550 5.1.1 <%s>: Recipient address rejected: User unknown" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        with open(self.path, "ab") as out:
            out.write(b"----- message %d: MAIL FROM:<%s> RCPT TO:<%s> (authenticated as %s, %s)\n" % (
                self.count, envelope.mail_from.encode(), ",".join(envelope.rcpt_tos).encode(),
                (session.auth_data.login if session.authenticated else b"-"),
                b"over TLS" if session.ssl else b"in plain text"))
            out.write(envelope.original_content.rstrip(b"\r\n") + b"\n")
            # The header as a mail reader decodes it.
            message = email.message_from_bytes(envelope.original_content,
                                               policy=email.policy.default)
            for name in ("Subject", "From", "To", "Date", "Message-ID"):
                out.write(("  read as %s: %s\n" % (name, message[name])).encode())
        return "250 Message accepted for delivery"


def main():
    warnings.simplefilter("ignore")
    logging.getLogger("mail.log").setLevel(logging.ERROR)
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--mailbox", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    options = parser.parse_args()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(options.cert, options.key)

    def authenticate(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword)
              and auth_data.login == options.user.encode()
              and auth_data.password == options.password.encode())
        return AuthResult(success=ok, handled=False, auth_data=auth_data if ok else None)

    controller = Controller(Mailbox(options.mailbox), hostname="127.0.0.1", port=options.port,
                            authenticator=authenticate, auth_required=True,
                            tls_context=context, require_starttls=True, auth_require_tls=True)
    controller.start()
    print("ready", flush=True)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    stop.wait()
    controller.stop()


if __name__ == "__main__":
    main()
