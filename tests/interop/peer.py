"""Python `websockets` as an independent peer.

    peer.py client <url>   drives the echo conversation against our server, offering the
                           subprotocols "x" and "chat" and expecting "chat"
    peer.py server         echoes for our client on 127.0.0.1; prints its port first
A first argument --deflate (context takeover) or --deflate-reset (none, both ways) makes the
peer use permessage-deflate (the client then requires it agreed); without it, none.
"""
import asyncio
import sys

import websockets
from websockets.extensions.permessage_deflate import (ClientPerMessageDeflateFactory,
                                                      ServerPerMessageDeflateFactory)

SIZES = [0, 1, 125, 126, 65535, 65536, 1 << 20]
DEFLATE = sys.argv[1] if sys.argv[1].startswith("--deflate") else None
ARGS = sys.argv[2:] if DEFLATE else sys.argv[1:]


def compression(factory):
    """The library's defaults with --deflate, both sides without context takeover with
    --deflate-reset, nothing without a flag."""
    if DEFLATE == "--deflate":
        return {"compression": "deflate"}
    reset = factory(server_no_context_takeover=True, client_no_context_takeover=True)
    return {"compression": None, "extensions": [reset] if DEFLATE else []}


async def client(url):
    async with websockets.connect(url, max_size=None, subprotocols=["x", "chat"],
                                  **compression(ClientPerMessageDeflateFactory)) as ws:
        assert ws.subprotocol == "chat", ws.subprotocol
        assert len(ws.extensions) == (1 if DEFLATE else 0), ws.extensions
        await asyncio.wait_for(await ws.ping(b"py"), 20)
        for size in SIZES:
            text = "".join(chr(97 + (i + size) % 26) for i in range(size))
            data = bytes((i * 31 + size) & 0xFF for i in range(size))
            await ws.send(text)
            await ws.send(data)
            assert await asyncio.wait_for(ws.recv(), 20) == text, f"text {size}"
            assert await asyncio.wait_for(ws.recv(), 20) == data, f"binary {size}"
        await ws.close(1000, "done")
        assert ws.close_code == 1000, ws.close_code


async def server():
    async def echo(ws, *_):
        async for message in ws:
            await ws.send(message)
        done.set_result(None)

    done = asyncio.get_running_loop().create_future()
    async with websockets.serve(echo, "127.0.0.1", 0, max_size=None, ping_interval=None,
                                **compression(ServerPerMessageDeflateFactory)) as running:
        print(running.sockets[0].getsockname()[1], flush=True)
        await asyncio.wait_for(done, 60)


asyncio.run(client(ARGS[1]) if ARGS[0] == "client" else server())
