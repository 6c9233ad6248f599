#!/usr/bin/env python3
"""A small SMTP server for the mailer's tests and benchmark (aiosmtpd).

Listens on 127.0.0.1 (the given port, or a free one) and prints "PORT <n>" on standard
output once it accepts connections. Each message it accepts is read back as a mail client
would (Python's email parser) and stored in the folder as msg-NNNN.json (envelope, every
header, the text body, the attachments' names and types) with each attachment's bytes in
msg-NNNN-K.bin; with --discard it only counts them, reading the data in large blocks so
that the server costs little next to the senders a benchmark measures.

The file control.json in the folder, read at every command, makes it misbehave for given
recipients:
  {"temporary": ["a@x"]}   answer RCPT TO with 421
  {"permanent": ["a@x"]}   answer RCPT TO with 550
  {"drop": ["a@x"]}        close the connection in the middle of the message's data
  {"hold": ["a@x"]}        store the message, then wait a minute before answering 250
  {"trickle": ["a@x"]}     store the message, then answer with an endless reply: "250-"
                           and one more byte every 0.2 s, never ending the line
With --user and --password it requires authentication (plain connection: loopback only).
"""
import argparse
import asyncio
import email
import email.policy
import json
import os
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


def control(folder):
    try:
        with open(os.path.join(folder, "control.json"), encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


def write_atomically(path, data):
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.rename(path + ".tmp", path)


class Handler:
    def __init__(self, folder, discard):
        self.folder = folder
        self.discard = discard
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        wanted = control(self.folder)
        if address in wanted.get("temporary", []):
            return "421 4.7.0 Try again later"
        if address in wanted.get("permanent", []):
            return "550 5.1.1 No such user here"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        if not self.discard:
            self.store(self.count, envelope)
        wanted = control(self.folder)
        if set(envelope.rcpt_tos) & set(wanted.get("hold", [])):
            await asyncio.sleep(60)
        if set(envelope.rcpt_tos) & set(wanted.get("trickle", [])):
            server._writer.write(b"250-Stored")
            while not server._writer.is_closing():
                await asyncio.sleep(0.2)
                server._writer.write(b".")
        return "250 2.0.0 Stored"

    def store(self, number, envelope):
        message = email.message_from_bytes(envelope.original_content, policy=email.policy.default)
        base = os.path.join(self.folder, "msg-%04d" % number)
        body = message.get_body(preferencelist=("plain",))
        record = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "headers": {k: [str(v) for v in message.get_all(k)] for k in set(message.keys())},
            "body": body.get_content() if body is not None else None,
            "attachments": [],
        }
        for index, part in enumerate(message.iter_attachments()):
            name = "%s-%d.bin" % (base, index)
            write_atomically(name, part.get_content())
            record["attachments"].append({"filename": part.get_filename(),
                                          "content_type": part.get_content_type(),
                                          "file": name})
        write_atomically(base + ".json", json.dumps(record, indent=1).encode())


class TestSMTP(SMTP):
    async def smtp_DATA(self, arg):
        if set(self.envelope.rcpt_tos) & set(control(self.handler_folder).get("drop", [])):
            await self.push("354 End data with <CR><LF>.<CR><LF>")
            await self._reader.readuntil(b"\r\n")  # the first line of the message, then gone
            self.transport.abort()
            return
        if self.discarding and self.envelope.rcpt_tos and not arg:
            await self.push("354 End data with <CR><LF>.<CR><LF>")
            if await self.skip_data():
                await self._call_handler_hook("DATA")
                self._set_post_data_state()
                await self.push("250 2.0.0 Counted")
            return
        await super().smtp_DATA(arg)

    async def skip_data(self):
        """Reads up to the end of the data in large blocks; False when the client went away."""
        tail = b"\r\n"  # the DATA line's own line end
        while True:
            block = await self._reader.read(1 << 20)
            if not block:
                return False
            window = tail + block
            end = window.find(b"\r\n.\r\n")
            if end >= 0:
                rest = window[end + 5:]
                if rest:  # the next command, already read
                    self._reader._buffer[0:0] = rest
                return True
            tail = window[-4:]


async def serve(args):
    handler = Handler(args.folder, args.discard)

    def authenticate(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword) and auth_data.login.decode() == args.user
              and auth_data.password.decode() == args.password)
        return AuthResult(success=ok)

    def factory():
        options = {}
        if args.user:
            options = dict(auth_required=True, auth_require_tls=False, authenticator=authenticate)
        protocol = TestSMTP(handler, data_size_limit=None, **options)
        protocol.handler_folder = args.folder
        protocol.discarding = args.discard
        return protocol

    loop = asyncio.get_running_loop()
    server = await loop.create_server(factory, "127.0.0.1", args.port)
    print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)
    await server.serve_forever()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--discard", action="store_true")
    parser.add_argument("--user")
    parser.add_argument("--password")
    args = parser.parse_args()
    try:
        asyncio.run(serve(args))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
