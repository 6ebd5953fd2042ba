#!/usr/bin/python3
"""A local SMTP server for the mail tests, on 127.0.0.1 and a free port, which
it prints as "PORT <n>". Each connection gets wire-<n>.log in --dir: every
byte the client sent, as it came. Each accepted message is msg-<n>.eml, its
DATA as the server took it (transparency dots removed). --multiline answers
HELO in three lines, the last after a pause; a client that sends during the
pause gets "EARLY" in its wire log. --silent accepts and never answers;
--trickle greets one byte at a time and never ends the line.
After the DATA command: --close-after-data hangs up, --silent-after-data
never answers, --close-after-354 answers 354 and hangs up; --slow-read takes
the message 16 KiB every 0.1 s. --size N announces SIZE N in EHLO.
With --cert and --key: --starttls offers STARTTLS and takes nothing else
before it, --tls speaks TLS from the first byte (the wire log holds what came
inside TLS). --auth LOGIN:PASSWORD asks for AUTH before MAIL; --login-only
offers AUTH LOGIN without PLAIN.
--refuse-first N refuses the first N messages for good (550 after their
data). While a file "away" exists in --dir, every connection is greeted with
421 (not now) and closed: a server that is away.
"""
import argparse
import asyncio
import os
import signal
import time
import socket
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult

args = None
counter = {"conn": 0, "msg": 0, "refused": 0}


def wire_file():
    counter["conn"] += 1
    return open(os.path.join(args.dir, "wire-%d.log" % counter["conn"]), "wb", buffering=0)


class Handler:
    async def handle_HELO(self, server, session, envelope, hostname):
        session.host_name = hostname
        if not args.multiline:
            return "250 sink.test"
        await server.push("250-sink.test greets " + hostname)
        await server.push("250-the last line follows")
        server.replying = True
        await asyncio.sleep(0.3)
        server.replying = False
        return "250 ok"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in args.reject_rcpt:
            return "550 5.1.1 no such user"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if args.reject_message:
            return "554 5.6.0 message refused"
        if counter["refused"] < args.refuse_first:
            counter["refused"] += 1
            return "550 5.7.1 message refused for good"
        counter["msg"] += 1
        name = os.path.join(args.dir, "msg-%d.eml" % counter["msg"])
        with open(name + ".tmp", "wb") as f:
            f.write(envelope.original_content)
        os.replace(name + ".tmp", name)
        return "250 OK queued"


class LoggingSMTP(SMTP):
    replying = False

    wire = None

    def connection_made(self, transport):
        # Made again by STARTTLS: the same connection, the same log.
        if self.wire is None:
            self.wire = wire_file()
        super().connection_made(transport)

    reading_slowly = False

    def data_received(self, data):
        if self.replying:
            self.wire.write(b"EARLY\r\n")
        self.wire.write(data)
        super().data_received(data)
        if self.reading_slowly:
            # Pausing the transport is not enough: the stream reader resumes
            # it as soon as its buffer drains. Holding the loop is certain,
            # and this sink serves one client.
            time.sleep(0.1)

    async def smtp_DATA(self, arg):
        if self.envelope.rcpt_tos:
            if args.reject_data:
                await self.push("554 5.7.1 no DATA today")
                return
            if args.close_after_data:
                self.transport.close()
                return
            if args.silent_after_data:
                return
            if args.close_after_354:
                await self.push("354 End data with <CR><LF>.<CR><LF>")
                self.transport.close()
                return
            self.reading_slowly = args.slow_read
        await super().smtp_DATA(arg)


def authenticator(server, session, envelope, mechanism, auth_data):
    login, password = args.auth.split(":", 1)
    ok = auth_data.login == login.encode() and auth_data.password == password.encode()
    return AuthResult(success=ok, handled=False)


class Trickle(asyncio.Protocol):
    def connection_made(self, transport):
        self.wire = wire_file()
        self.transport = transport
        asyncio.get_running_loop().create_task(self.drip())

    async def drip(self):
        while not self.transport.is_closing():
            self.transport.write(b"2")
            await asyncio.sleep(0.2)

    def data_received(self, data):
        self.wire.write(data)


class Away(asyncio.Protocol):
    def connection_made(self, transport):
        self.wire = wire_file()
        transport.write(b"421 4.3.2 sink.test is away, try later\r\n")
        transport.close()


class Silent(asyncio.Protocol):
    def connection_made(self, transport):
        self.wire = wire_file()
        self.transport = transport

    def data_received(self, data):
        self.wire.write(data)


async def main():
    loop = asyncio.get_running_loop()
    context = None
    if args.cert:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)
    if args.silent:
        factory = Silent
    elif args.trickle:
        factory = Trickle
    else:
        handler = Handler()
        options = {}
        if args.starttls:
            options.update(tls_context=context, require_starttls=True)
        if args.auth:
            # Implicit TLS is encryption the server does not see as STARTTLS.
            options.update(auth_required=True, authenticator=authenticator,
                           auth_require_tls=args.starttls)
        if args.login_only:
            options.update(auth_exclude_mechanism=["PLAIN"])

        if args.size is not None:
            options.update(data_size_limit=args.size)

        def factory():
            if os.path.exists(os.path.join(args.dir, "away")):
                return Away()
            return LoggingSMTP(handler, hostname="sink.test", ident="sink", loop=loop, **options)

    # A small receive buffer makes a slow reader slow at once.
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if args.slow_read:
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
    listener.bind(("127.0.0.1", 0))
    server = await loop.create_server(factory, sock=listener, ssl=context if args.tls else None)
    print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    server.close()


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("--dir", required=True)
    p.add_argument("--reject-rcpt", action="append", default=[])
    p.add_argument("--reject-data", action="store_true")
    p.add_argument("--reject-message", action="store_true")
    p.add_argument("--multiline", action="store_true")
    p.add_argument("--silent", action="store_true")
    p.add_argument("--trickle", action="store_true")
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--starttls", action="store_true")
    p.add_argument("--tls", action="store_true")
    p.add_argument("--auth")
    p.add_argument("--login-only", action="store_true")
    p.add_argument("--close-after-data", action="store_true")
    p.add_argument("--silent-after-data", action="store_true")
    p.add_argument("--close-after-354", action="store_true")
    p.add_argument("--slow-read", action="store_true")
    p.add_argument("--size", type=int)
    p.add_argument("--refuse-first", type=int, default=0)
    args = p.parse_args()
    asyncio.run(main())
    sys.exit(0)
