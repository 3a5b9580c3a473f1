#!/usr/bin/python3
"""An independent WebSocket peer for interop tests, built on Python's `websockets`.

    websocket_peer.py client <port>   connects to ws://127.0.0.1:<port>/ and runs the client script
    websocket_peer.py server          serves one connection on 127.0.0.1, printing "PORT <n>" first

Every byte received is checked; the exit status is 0 only when the whole script held. Each
step has a deadline, so a silent peer fails the run instead of hanging it.
"""

import asyncio
import sys

import websockets

STEP_TIMEOUT = 60
SIZES = [0, 1, 125, 126, 65535, 65536, 1024 * 1024]


def pattern(size, seed):
    return bytes(((i * 31 + seed + (i >> 16)) & 0xFF) for i in range(size))


def text_pattern(size, seed):
    return "".join(chr(0x61 + ((i * 7 + seed) % 26)) for i in range(size))


def check(condition, what):
    if not condition:
        raise AssertionError(what)


async def step(awaitable):
    return await asyncio.wait_for(awaitable, STEP_TIMEOUT)


async def run_client(port):
    # The server under test echoes every message, after greeting with "welcome".
    async with websockets.connect(f"ws://127.0.0.1:{port}/chat", subprotocols=["chat"],
                                  compression=None, max_size=None, ping_interval=None,
                                  open_timeout=STEP_TIMEOUT) as ws:
        check(ws.subprotocol is None, "no subprotocol is negotiated")
        check(await step(ws.recv()) == "welcome", "greeting")
        for size in SIZES:
            binary = pattern(size, size & 0xFF)
            await step(ws.send(binary))
            echoed = await step(ws.recv())
            check(echoed == binary, f"binary echo of {size} bytes")
            text = text_pattern(size, 3)
            await step(ws.send(text))
            echoed = await step(ws.recv())
            check(echoed == text, f"text echo of {size} characters")
        # A fragmented message goes out as three frames and comes back whole.
        await step(ws.send(["frag", "ment", "ed"]))
        check(await step(ws.recv()) == "fragmented", "fragmented echo")
        pong = await step(ws.ping(b"py-ping"))
        await step(pong)
        # Asks the server to ping us; websockets answers with the pong by itself.
        await step(ws.send("ping me"))
        check(await step(ws.recv()) == "ping me", "echo before the server's ping")
        await step(ws.close(code=1000, reason="bye"))
        check(ws.close_code == 1000, f"close code echoed, got {ws.close_code}")
        check(ws.close_reason == "bye", f"close reason echoed, got {ws.close_reason!r}")
    print("CLIENT OK", flush=True)


async def run_server():
    done = asyncio.get_running_loop().create_future()
    received = []

    async def handler(ws, path=None):
        try:
            async for message in ws:
                received.append(message)
                if message == "fragments please":
                    await ws.send(["ab", "cd", "ef"])
                elif message == "ping me":
                    pong = await ws.ping(b"py-server")
                    await step(pong)
                    await ws.send("pinged")
                else:
                    await ws.send(message)
            check(ws.close_code == 1000, f"client's close code, got {ws.close_code}")
            done.set_result(True)
        except Exception as error:  # reported through the exit status
            done.set_exception(error)

    async with websockets.serve(handler, "127.0.0.1", 0, compression=None, max_size=None,
                                ping_interval=None) as server:
        port = server.sockets[0].getsockname()[1]
        print(f"PORT {port}", flush=True)
        await step(done)
    print(f"SERVER OK {len(received)}", flush=True)


def main():
    mode = sys.argv[1]
    try:
        if mode == "client":
            asyncio.run(run_client(int(sys.argv[2])))
        else:
            asyncio.run(run_server())
    except Exception as error:
        print(f"FAILED: {type(error).__name__}: {error}", flush=True)
        sys.exit(1)


if __name__ == "__main__":
    main()
