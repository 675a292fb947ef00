#!/usr/bin/python3
"""A loopback SMTP server for the mail tests, built on aiosmtpd.

Requires AUTH LOGIN with the given credentials and stores each accepted
message as DIR/NNNN.msg:
    line 1: the envelope sender
    line 2: the envelope recipients, joined by TAB
    then:   the message data as received (dots already unstuffed)
Prints the port on standard output once it listens. Ends when standard input
closes or after --lifetime seconds, whichever comes first.

--tls starttls: a submission server as on port 587, offering STARTTLS and
requiring it before AUTH; --tls tls: TLS from the first byte, as on port 465;
both with the certificate --cert and its key --key. Without: plain text.
"""
import argparse
import asyncio
import logging
import os
import ssl
import sys
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--lifetime", type=float, default=300.0)
    parser.add_argument("--tls", choices=["none", "starttls", "tls"], default="none")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    options = parser.parse_args()
    warnings.simplefilter("ignore")
    logging.disable(logging.CRITICAL)

    user = options.user.encode()
    password = options.password.encode()
    counter = [0]

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (mechanism == "LOGIN" and isinstance(auth_data, LoginPassword)
              and auth_data.login == user and auth_data.password == password)
        # handled=False: aiosmtpd then sends its 535 itself (the default
        # would leave the client without a reply).
        return AuthResult(success=ok, handled=False)

    class Store:
        async def handle_DATA(self, server, session, envelope):
            counter[0] += 1
            name = os.path.join(options.dir, "%04d.msg" % counter[0])
            with open(name + ".tmp", "wb") as out:
                out.write((envelope.mail_from or "").encode("utf-8", "surrogateescape") + b"\n")
                out.write("\t".join(envelope.rcpt_tos).encode("utf-8", "surrogateescape") + b"\n")
                out.write(envelope.original_content or envelope.content)
            os.rename(name + ".tmp", name)
            return "250 Message accepted for delivery"

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    handler = Store()

    context = None
    if options.tls != "none":
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(options.cert, options.key)

    def factory():
        if options.tls == "starttls":
            return SMTP(handler, hostname="sink.test", authenticator=authenticator,
                        auth_required=True, tls_context=context, require_starttls=True,
                        auth_require_tls=True, loop=loop)
        return SMTP(handler, hostname="sink.test", authenticator=authenticator,
                    auth_required=True, auth_require_tls=False, loop=loop)

    server = loop.run_until_complete(loop.create_server(
        factory, "127.0.0.1", 0, ssl=context if options.tls == "tls" else None))
    port = server.sockets[0].getsockname()[1]
    sys.stdout.write("%d\n" % port)
    sys.stdout.flush()

    stop = loop.create_future()
    loop.add_reader(sys.stdin.fileno(),
                    lambda: sys.stdin.buffer.raw.read(4096) or stop.done() or stop.set_result(None))
    loop.call_later(options.lifetime, lambda: stop.done() or stop.set_result(None))
    loop.run_until_complete(stop)
    server.close()
    loop.run_until_complete(server.wait_closed())


if __name__ == "__main__":
    main()
