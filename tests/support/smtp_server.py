#!/usr/bin/python3
"""The SMTP server of the tests and the demo, on loopback. Plain asyncio, so
that it can misbehave byte by byte where a server library would not. Told
nothing, it is a strict submission server that stores what it accepts.

    smtp_server.py --dir DIR [--user U --password P] [--tls-dir T]
                   [--address A] [--mailbox FILE] [--lifetime S]

Listens on A (127.0.0.1; ::1 for IPv6) and prints "port N". Each line on
standard input is a JSON object, the behaviour of the connections accepted
after it (answer "ok"), or "accepted" (answer "accepted N": the connections
accepted so far, with those waiting to be). A message it accepts is stored
before the reply to its data, as DIR/N-M.msg (the M-th message of connection N;
line 1 the envelope sender, line 2 the recipients joined by TAB, then the data
as sent, dots unstuffed) and,
with --mailbox, appended to FILE with its header as a mail reader decodes
it. When a connection ends it writes DIR/N.wire (every byte the client
sent), DIR/N.clear (the bytes that came before TLS started: all of them when
it never did), DIR/N.sni (the name the client asked for in TLS), DIR/N.groups
(how many MAIL commands arrived together with their DATA) and DIR/N.quit ("1":
a QUIT answered; as aiosmtpd, none that came with the client's close), then
prints "end N", or "end N orderly" when the client closed its side itself.
It ends when standard input closes or after --lifetime seconds.

Told nothing it offers AUTH LOGIN PLAIN and, given a user, requires the
login; it takes no command line over 512 bytes and no line of data over
1000 (RFC 5321), and no command before its reply to the one before.

Behaviour keys, all optional:
  auth        the mechanisms after AUTH in the EHLO reply ("LOGIN PLAIN");
              "" offers no AUTH, and then no login is required
  pipelining  advertise PIPELINING (false). Without it, a command that arrives
              before the reply to the one before gets "554 5.5.0 Error: SMTP
              protocol synchronization" and the connection is closed, as
              Postfix does with smtpd_forbid_unauth_pipelining = yes.
  reply       {step: "NNN text"}: this reply instead of the usual one (a
              lone surrogate "\\udcNN" in it goes as the byte NN)
  delay       {step: seconds}: wait before replying (less when the client
              leaves first)
  stall       step: stop replying there for stall_seconds (3), then close;
              at HANDSHAKE, BODY and CLOSE stop reading too. A stalled reply
              ends early when the client leaves.
  garbage     step: send bytes that are no SMTP reply instead of the reply
  drop        step: close the connection instead of replying
  reset       step: close it with a reset (RST) instead of replying
  hold        seconds to keep the connection open once the client has closed
              its side after QUIT, before the server closes (0)
  starttls    offer STARTTLS and require it before AUTH and MAIL (false)
  tls         TLS from the first byte (false)
  cert        the certificate shown, T/NAME.pem with T/server.key ("good")
  size        advertise SIZE with this limit, and refuse a MAIL whose SIZE=
              is larger (552)
  smtputf8    advertise SMTPUTF8 (false); without the MAIL parameter a
              non-ASCII address is refused (553 5.6.7)
  idle        seconds without a command after which the server closes the
              connection without a word
  idle_reply  with idle: say this first ("421 4.4.2 Error: timeout exceeded"),
              then close at once, as Postfix does (the client's next bytes get a reset)
  from_message  reply, delay, stall, garbage, drop and reset apply only from
              this transaction (MAIL) of a connection on (1: all of them)
Steps: greeting, EHLO, STARTTLS, HANDSHAKE (stall only: after the 220 to
STARTTLS or before an implicit TLS), AUTH, USER, PASSWORD, MAIL, RCPT (every
recipient) or "RCPT addr" (one), DATA, BODY (while the data arrive), END (the
reply to the end of the data), CLOSE (stall only: after the reply to the end of
the data, read nothing, QUIT and the TLS close_notify included), QUIT.
"""
import argparse
import asyncio
import base64
import functools
import json
import os
import select
import socket
import ssl
import struct
import sys

SYNC_WAIT = 0.005     # how long a reply waits to see whether the client ran ahead
GREET_PAUSE = 0.02    # the same before the greeting
COMMAND_LIMIT = 512   # bytes of a command line with its CR LF
DATA_LINE_LIMIT = 1000  # of a line of data, unstuffed, with its CR LF
QUIT_CLOSE_WAIT = 5   # how long the server waits for the client's close after QUIT
FAULTS = ("reply", "delay", "stall", "garbage", "drop", "reset")


def bare(text):
    """A command line without its line end."""
    return text.rstrip(b"\r\n") if text.endswith(b"\r\n") else text.rstrip(b"\n")


class Connection:
    def __init__(self, server, number, reader, writer):
        self.server, self.number = server, number
        self.reader, self.writer = reader, writer
        self.behaviour = server.behaviour
        self.wire = bytearray()
        self.buffer = bytearray()
        self.eof = False
        self.orderly = False  # the client closed its side
        self.reset = False    # the server ends with RST
        self.authenticated = False
        self.sender = None
        self.recipients = []
        self.clear = None  # the bytes before TLS, once it started
        self.sni = None
        self.utf8 = False
        self.transactions = 0  # MAIL commands so far
        self.stored = 0
        self.groups = 0  # MAIL commands that came with their DATA
        self.quit = False  # a QUIT answered

    def rule(self, key, step):
        if key in FAULTS and self.transactions < self.behaviour.get("from_message", 0):
            return None
        value = self.behaviour.get(key)
        if isinstance(value, dict):
            return value.get(step)
        return value == step

    def ends_at(self, step):
        """Whether the server closes at this step instead of answering."""
        self.reset = bool(self.rule("reset", step))
        return self.reset or bool(self.rule("drop", step))

    async def fill(self, timeout=None):
        """Reads what arrives (within timeout, if given); False at the end."""
        try:
            chunk = await asyncio.wait_for(self.reader.read(65536), timeout)
        except asyncio.TimeoutError:
            return True
        except ConnectionError:
            chunk = None
        if not chunk:
            self.eof = True
            self.orderly = chunk is not None
            return False
        self.wire += chunk
        self.buffer += chunk
        return True

    async def wait(self, seconds):
        """Waits, reading what arrives; False as soon as the client has left."""
        end = asyncio.get_running_loop().time() + seconds
        while not self.eof:
            left = end - asyncio.get_running_loop().time()
            if left <= 0:
                return True
            await self.fill(left)
        return False

    async def line(self, end=b"\n"):
        """The next line with its end; None when the client closed first."""
        while end not in self.buffer:
            if self.eof or not await self.fill():
                return None
        at = self.buffer.index(end) + len(end)
        text = bytes(self.buffer[:at])
        del self.buffer[:at]
        return text

    async def respond(self, step, usual, keys=()):
        """Sends the reply for this step; False when the conversation ends here."""
        for key in (step,) + tuple(keys):
            if self.rule("stall", key):
                await self.wait(self.behaviour.get("stall_seconds", 3))
                return False
            if self.ends_at(key):
                return False
            if self.rule("garbage", key):
                self.writer.write(b"\x00\xffHELLO? this is not SMTP\r\n")
                await self.writer.drain()
                await self.fill(2)
                return False
        if not self.behaviour.get("pipelining") or step == "greeting":
            if not self.buffer and not self.eof:
                await self.fill(GREET_PAUSE if step == "greeting" else SYNC_WAIT)
            if self.buffer:
                self.writer.write(b"554 5.5.0 Error: SMTP protocol synchronization\r\n")
                await self.writer.drain()
                return False
        for key in keys + (step,):
            delay = self.rule("delay", key)
            if delay:
                if not await self.wait(delay):
                    return False
                break
        reply = usual
        for key in keys + (step,):
            if self.rule("reply", key):
                reply = self.rule("reply", key)
                break
        self.writer.write(reply.encode("utf-8", "surrogateescape") + b"\r\n")
        await self.writer.drain()
        return True

    async def start_tls(self):
        """The handshake as the server; False when stalled there."""
        if self.rule("stall", "HANDSHAKE"):
            await asyncio.sleep(self.behaviour.get("stall_seconds", 3))
            return False
        self.clear = bytes(self.wire)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        name = os.path.join(self.server.tls_dir, self.behaviour.get("cert", "good"))
        context.load_cert_chain(name + ".pem", os.path.join(self.server.tls_dir, "server.key"))

        def remember(sslobject, server_name, context):
            self.sni = server_name

        context.sni_callback = remember
        await self.writer.start_tls(context)
        return True

    async def run(self):
        auth = self.behaviour.get("auth", "LOGIN PLAIN")
        login_needed = bool(auth) and self.server.user is not None
        starttls = self.behaviour.get("starttls")
        if self.behaviour.get("tls") and not await self.start_tls():
            return
        if not await self.respond("greeting", "220 scripted.test ESMTP"):
            return
        while True:
            try:
                text = await asyncio.wait_for(self.line(), self.behaviour.get("idle"))
            except asyncio.TimeoutError:
                if self.behaviour.get("idle_reply"):
                    self.writer.write(self.behaviour["idle_reply"].encode() + b"\r\n")
                    await self.writer.drain()
                    self.writer.transport.abort()
                return
            if text is None:
                return
            line = bare(text)
            verb = line[:4].upper()
            secure = self.clear is not None
            if len(text) > COMMAND_LIMIT:
                if not await self.respond("other", "500 5.5.2 Error: line too long"):
                    return
            elif starttls and not secure and verb in (b"AUTH", b"MAIL"):
                if not await self.respond(verb.decode(), "530 5.7.0 Must issue a STARTTLS command first"):
                    return
            elif starttls and not secure and line.upper() == b"STARTTLS":
                if not await self.respond("STARTTLS", "220 2.0.0 Ready to start TLS"):
                    return
                if self.rule("reply", "STARTTLS") and not self.rule("reply", "STARTTLS").startswith("220"):
                    continue
                if not await self.start_tls():
                    return
                self.sender, self.recipients = None, []
            elif verb in (b"EHLO", b"HELO"):
                features = ["scripted.test"]
                features += ["STARTTLS"] if starttls and not secure else []
                features += ["AUTH " + auth] if auth and (secure or not starttls) else []
                features += ["PIPELINING"] if self.behaviour.get("pipelining") else []
                features += ["SIZE %d" % self.behaviour["size"]] if "size" in self.behaviour else []
                features += ["SMTPUTF8"] if self.behaviour.get("smtputf8") else []
                features += ["8BITMIME"]
                reply = "\r\n".join("250-" + f for f in features[:-1]) + "\r\n250 " + features[-1]
                if not await self.respond("EHLO", reply):
                    return
            elif line.upper() == b"AUTH LOGIN" and auth:
                if not await self.respond("AUTH", "334 VXNlcm5hbWU6"):
                    return
                user = await self.line()
                if user is None or not await self.respond("USER", "334 UGFzc3dvcmQ6"):
                    return
                password = await self.line()
                if password is None:
                    return
                try:
                    ok = (base64.b64decode(bare(user), validate=True) == self.server.user and
                          base64.b64decode(bare(password), validate=True) == self.server.password)
                except ValueError:
                    ok = False
                self.authenticated = ok
                usual = "235 2.7.0 Authentication successful" if ok else \
                    "535 5.7.8 Authentication credentials invalid"
                if not await self.respond("PASSWORD", usual):
                    return
            elif verb == b"AUTH":
                if not await self.respond("AUTH", "504 5.5.4 Unrecognized authentication type"):
                    return
            elif verb == b"MAIL":
                self.transactions += 1
                if self.behaviour.get("pipelining") and b"DATA\r\n" in self.buffer:
                    self.groups += 1
                path, _, parameters = line[10:].partition(b">")
                parameters = parameters.upper().split()
                size = [int(p[5:]) for p in parameters if p.startswith(b"SIZE=") and p[5:].isdigit()]
                if login_needed and not self.authenticated:
                    usual = "530 5.7.0 Authentication required"
                elif size and "size" in self.behaviour and size[0] > self.behaviour["size"]:
                    usual = "552 5.3.4 Message size exceeds fixed limit"
                elif max(path, default=0) > 0x7f and b"SMTPUTF8" not in parameters:
                    usual = "553 5.6.7 Non-ASCII address without SMTPUTF8"
                else:
                    self.sender = path.strip(b"<")
                    self.recipients = []
                    self.utf8 = b"SMTPUTF8" in parameters
                    usual = "250 2.1.0 Ok"
                if not await self.respond("MAIL", usual):
                    return
            elif verb == b"RCPT":
                address = line[8:].strip(b"<>")
                usual = "250 2.1.5 Ok" if self.sender is not None else "503 5.5.1 Need MAIL first"
                if usual.startswith("250") and max(address, default=0) > 0x7f and not self.utf8:
                    usual = "553 5.6.7 Non-ASCII address without SMTPUTF8"
                if not await self.respond("RCPT", usual, ("RCPT " + address.decode("latin-1"),)):
                    return
                if usual.startswith("250") and not self.refused_recipient(address):
                    self.recipients.append(address)
            elif verb == b"DATA":
                if not self.recipients:
                    if not await self.respond("DATA", "554 5.5.1 No valid recipients"):
                        return
                    continue
                if not await self.respond("DATA", "354 End data with <CR><LF>.<CR><LF>"):
                    return
                if self.rule("reply", "DATA") and not self.rule("reply", "DATA").startswith("354"):
                    continue
                if not await self.receive_data():
                    return
                if self.rule("stall", "CLOSE"):
                    self.writer.transport.pause_reading()
                    await asyncio.sleep(self.behaviour.get("stall_seconds", 3))
                    return
            elif verb == b"QUIT":
                if not self.buffer and not self.eof:
                    await self.fill(SYNC_WAIT)
                if self.eof:
                    return  # the close came with it: the QUIT is lost
                self.quit = True
                if await self.respond("QUIT", "221 2.0.0 Bye"):
                    # The client closes its side next; the server closes after it.
                    await self.wait(QUIT_CLOSE_WAIT)
                    await asyncio.sleep(self.behaviour.get("hold", 0))
                return
            elif verb in (b"RSET", b"NOOP"):
                self.sender, self.recipients = (None, []) if verb == b"RSET" else \
                    (self.sender, self.recipients)
                if not await self.respond(verb.decode(), "250 2.0.0 Ok"):
                    return
            else:
                if not await self.respond("other", "500 5.5.2 Error: command not recognized"):
                    return

    def refused_recipient(self, address):
        reply = self.rule("reply", "RCPT " + address.decode("latin-1")) or self.rule("reply", "RCPT")
        return bool(reply) and not reply.startswith("2")

    async def receive_data(self):
        if self.rule("stall", "BODY"):
            await asyncio.sleep(self.behaviour.get("stall_seconds", 3))
            return False
        data = bytearray()
        too_long = False
        while True:
            if data and self.ends_at("BODY"):
                return False
            line = await self.line(b"\r\n")
            if line is None:
                return False
            if line == b".\r\n":
                break
            line = line[1:] if line.startswith(b".") else line
            too_long = too_long or len(line) > DATA_LINE_LIMIT
            data += line
        usual = "500 5.5.2 Error: line too long" if too_long else "250 2.0.0 Ok: queued"
        end = self.rule("reply", "END") or usual
        # A server queues the message before it replies: a reply that comes
        # late or never does not unqueue it.
        if end.startswith("2") and not any(self.rule(k, "END") for k in ("drop", "reset", "garbage")):
            self.store(bytes(data))
        return await self.respond("END", end)

    def store(self, data):
        self.stored += 1
        name = os.path.join(self.server.dir, "%04d-%03d.msg" % (self.number, self.stored))
        with open(name + ".tmp", "wb") as out:
            out.write(self.sender + b"\n" + b"\t".join(self.recipients) + b"\n" + data)
        os.rename(name + ".tmp", name)
        if self.server.mailbox:
            self.server.file_in_mailbox(self, data)


class Server:
    def __init__(self, options, say):
        self.dir = options.dir
        self.tls_dir = options.tls_dir
        self.mailbox = options.mailbox
        self.user = options.user.encode() if options.user is not None else None
        self.password = options.password.encode() if options.password is not None else b""
        self.say = say
        self.behaviour = {}
        self.count = 0
        self.filed = 0
        self.tasks = set()

    def accept(self, listener):
        # Numbered here, in the order of arrival, so that "accepted" counts
        # every connection the kernel has handed over.
        while True:
            try:
                sock, _ = listener.accept()
            except BlockingIOError:
                return
            self.count += 1
            # A server-side stream, which start_tls needs.
            protocol = asyncio.StreamReaderProtocol(
                asyncio.StreamReader(), functools.partial(self.handle, self.count))
            task = asyncio.ensure_future(
                asyncio.get_running_loop().connect_accepted_socket(lambda made=protocol: made, sock))
            self.tasks.add(task)
            task.add_done_callback(self.tasks.discard)

    async def handle(self, number, reader, writer):
        connection = Connection(self, number, reader, writer)
        try:
            await connection.run()
        except (ConnectionError, asyncio.CancelledError, ssl.SSLError, OSError):
            pass
        finally:
            if connection.reset:
                writer.get_extra_info("socket").setsockopt(
                    socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            writer.close()
            name = os.path.join(self.dir, "%04d" % number)
            with open(name + ".wire", "wb") as out:
                out.write(connection.wire)
            with open(name + ".clear", "wb") as out:
                out.write(connection.wire if connection.clear is None else connection.clear)
            with open(name + ".sni", "w") as out:
                out.write(connection.sni or "")
            with open(name + ".groups", "w") as out:
                out.write(str(connection.groups))
            with open(name + ".quit", "w") as out:
                out.write("1" if connection.quit else "")
            self.say("end %d%s" % (number, " orderly" if connection.orderly else ""))

    def file_in_mailbox(self, connection, data):
        """Appends the message as the demo shows it: envelope, data, and the
        header as a mail reader decodes it."""
        import email
        import email.policy
        self.filed += 1
        message = email.message_from_bytes(data, policy=email.policy.default)
        with open(self.mailbox, "ab") as out:
            out.write(b"----- message %d: MAIL FROM:<%s> RCPT TO:<%s> (authenticated as %s, %s)\n" % (
                self.filed, connection.sender, b",".join(connection.recipients),
                self.user if connection.authenticated else b"-",
                b"over TLS" if connection.clear is not None else b"in plain text"))
            out.write(data.rstrip(b"\r\n") + b"\n")
            for name in ("Subject", "From", "To", "Date", "Message-ID"):
                out.write(("  read as %s: %s\n" % (name, message[name])).encode())


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--user")
    parser.add_argument("--password")
    parser.add_argument("--tls-dir")
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--mailbox")
    parser.add_argument("--lifetime", type=float, default=600.0)
    options = parser.parse_args()
    loop = asyncio.get_running_loop()
    # Through the loop: a reader that is slow to take the lines must not
    # stop the server. A file is never full.
    try:
        write = (await loop.connect_write_pipe(asyncio.Protocol, sys.stdout))[0].write
    except ValueError:
        def write(data):
            sys.stdout.buffer.write(data)
            sys.stdout.flush()
    server = Server(options, lambda text: write(text.encode() + b"\n"))

    family = socket.AF_INET6 if ":" in options.address else socket.AF_INET
    listener = socket.socket(family, socket.SOCK_STREAM)
    # A small receive buffer, so that a server that stops reading soon
    # stops taking the client's data.
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
    listener.bind((options.address, 0))
    listener.listen(64)
    listener.setblocking(False)
    loop.add_reader(listener.fileno(), server.accept, listener)
    server.say("port %d" % listener.getsockname()[1])

    stop = loop.create_future()
    pending = bytearray()

    def on_input():
        chunk = os.read(sys.stdin.fileno(), 65536)
        if not chunk:
            if not stop.done():
                stop.set_result(None)
            return
        pending.extend(chunk)
        while b"\n" in pending:
            end = pending.index(b"\n")
            line = bytes(pending[:end])
            del pending[:end + 1]
            if line == b"accepted":
                waiting = select.select([listener], [], [], 0)[0]
                server.say("accepted %d" % (server.count + len(waiting)))
            else:
                server.behaviour = json.loads(line or b"{}")
                server.say("ok")

    loop.add_reader(sys.stdin.fileno(), on_input)
    loop.call_later(options.lifetime, lambda: stop.done() or stop.set_result(None))
    await stop
    loop.remove_reader(listener.fileno())
    listener.close()


if __name__ == "__main__":
    asyncio.run(main())
