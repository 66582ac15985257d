#!/usr/bin/python3
"""A remote person for the tests and the benchmark: signs in to an XMPP account over plain
loopback, says "ready" once its session has started, prints every chat message it receives as
"recv FROM HEX" (the body's UTF-8 bytes in hexadecimal), and sends what it reads on standard
input: "send TO HEX" a chat message, "add JID" a roster entry, "quit" the end."""
import argparse
import asyncio
import os
import sys

import slixmpp


class Peer(slixmpp.ClientXMPP):
    def __init__(self, jid, password):
        super().__init__(jid, password)
        self.add_event_handler("session_start", self.start)
        self.add_event_handler("message", self.message)
        self.pending = b""

    async def start(self, _event):
        self.send_presence()
        await self.get_roster()
        print("ready", flush=True)
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
            elif words[0] == "add" and len(words) == 2:
                asyncio.ensure_future(self.add(words[1]))

    def finish(self):
        asyncio.get_event_loop().remove_reader(sys.stdin.fileno())
        self.disconnect()

    async def add(self, jid):
        await self.update_roster(jid, name=jid.split("@")[0])
        print("added", jid, flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--jid", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--port", type=int, required=True)
    args = parser.parse_args()
    peer = Peer(args.jid, args.password)
    peer["feature_mechanisms"].unencrypted_plain = True
    peer.connect(("127.0.0.1", args.port), disable_starttls=True)
    asyncio.get_event_loop().run_until_complete(peer.disconnected)


if __name__ == "__main__":
    main()
