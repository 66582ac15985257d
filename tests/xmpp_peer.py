#!/usr/bin/python3
"""A remote person for the tests and the benchmark: signs in to an XMPP account over plain
loopback (or encrypted, with --ca-file), says "ready" each time its session has started (it connects again whenever the
connection is lost), prints every chat message it receives as "recv FROM HEX" (the body's UTF-8
bytes in hexadecimal), and does what it reads on standard input: "send TO HEX" a chat message,
"raw HEX" the bytes as they stand, "add JID" / "remove JID" a roster entry, "unsubscribe JID"
the end of a subscription, "quit" the end."""
import argparse
import asyncio
import logging
import os
import sys

# slixmpp says at every start that a faster string preparation exists; nothing to act on.
logging.getLogger("slixmpp.stringprep").setLevel(logging.ERROR)
import slixmpp  # noqa: E402


class Peer(slixmpp.ClientXMPP):
    def __init__(self, jid, password, port, ca_file=None):
        super().__init__(jid, password)
        self.port = port
        self.tls = ca_file is not None
        if self.tls:
            self.ca_certs = ca_file
        self.add_event_handler("session_start", self.start)
        self.add_event_handler("message", self.message)
        self.add_event_handler("disconnected", self.lost)
        self.add_event_handler("connection_failed", self.lost)
        self.pending = b""
        self.reading = False
        self.finishing = False
        self.done = asyncio.get_event_loop().create_future()

    def open(self):
        self.connect(("127.0.0.1", self.port), disable_starttls=not self.tls)

    def lost(self, _event):
        if self.finishing:
            if not self.done.done():
                self.done.set_result(True)
            return
        asyncio.get_event_loop().call_later(0.3, self.open)

    async def start(self, _event):
        self.send_presence()
        await self.get_roster()
        print("ready", flush=True)
        if not self.reading:
            self.reading = True
            asyncio.get_event_loop().add_reader(sys.stdin.fileno(), self.command)

    def message(self, msg):
        if msg["type"] in ("chat", "normal") and msg["body"]:
            print("recv", msg["from"].bare, msg["body"].encode("utf-8").hex(), flush=True)

    def command(self):
        # Read raw, not through sys.stdin's buffer: a line left in a buffer never wakes the loop.
        chunk = os.read(sys.stdin.fileno(), 65536)
        if not chunk:
            self.finish()
            return
        self.pending += chunk
        while b"\n" in self.pending:
            line, self.pending = self.pending.split(b"\n", 1)
            words = line.decode("ascii").split()
            if not words:
                continue
            if words[0] == "quit":
                self.finish()
                return
            if words[0] == "send" and len(words) == 3:
                body = bytes.fromhex(words[2]).decode("utf-8")
                self.send_message(mto=words[1], mbody=body, mtype="chat")
            elif words[0] == "raw" and len(words) == 2:
                self.send_raw(bytes.fromhex(words[1]).decode("utf-8"))
            elif words[0] == "add" and len(words) == 2:
                asyncio.ensure_future(self.add(words[1]))
            elif words[0] == "remove" and len(words) == 2:
                asyncio.ensure_future(self.remove(words[1]))
            elif words[0] == "unsubscribe" and len(words) == 2:
                self.send_presence(pto=words[1], ptype="unsubscribe")
                print("unsubscribed", words[1], flush=True)

    def finish(self):
        self.finishing = True
        asyncio.get_event_loop().remove_reader(sys.stdin.fileno())
        self.disconnect()

    async def add(self, jid):
        await self.update_roster(jid, name=jid.split("@")[0])
        print("added", jid, flush=True)

    async def remove(self, jid):
        await self.del_roster_item(jid)
        print("removed", jid, flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--jid", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--ca-file", help="encrypt (STARTTLS), trusting the certificates in it")
    args = parser.parse_args()
    peer = Peer(args.jid, args.password, args.port, args.ca_file)
    peer["feature_mechanisms"].unencrypted_plain = True
    peer.open()
    asyncio.get_event_loop().run_until_complete(peer.done)


if __name__ == "__main__":
    main()
