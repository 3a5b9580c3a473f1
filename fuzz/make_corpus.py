#!/usr/bin/env python3
"""Writes the seed corpora of the connection fuzz targets into fuzz/corpus/<target>/.

Every seed is two setup bytes (see Setup in EngineHarness.h) followed by the peer's bytes.
Run it again after changing a seed; it rewrites the four folders it owns and nothing else.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# Setup byte 0.
CHUNK = {"all": 0, "1": 1, "2": 2, "3": 3, "7": 4, "16": 5, "300": 6, "5000": 7}
CLOSE_AT_OPEN = 0x08
ECHO = 0x10
WRITE_FAILURE = 0x20
BOUND = {"default": 0x00, "0": 0x40, "7": 0x80, "1000": 0xC0}
# Setup byte 1.
SEND_BEFORE_OPEN = 0x80

KEY = b"dGhlIHNhbXBsZSBub25jZQ=="
ACCEPT = b"s3pPLMBiTxaQ9kYGzzhZRbK+xOo="


def setup(chunk="all", flags=0, bound="default", seed=1, early=False):
    return bytes([CHUNK[chunk] | flags | BOUND[bound], (seed & 0x7F) | (SEND_BEFORE_OPEN if early else 0)])


def frame(opcode, payload=b"", fin=True, mask=None, length_form=None, rsv=0):
    """One frame; `mask` is a 4-byte key or None, `length_form` forces 16 or 64 bit lengths."""
    out = bytearray([(0x80 if fin else 0) | (rsv << 4) | opcode])
    m = 0x80 if mask is not None else 0
    n = len(payload)
    if length_form == 64 or (length_form is None and n > 0xFFFF):
        out += bytes([127 | m]) + struct.pack(">Q", n)
    elif length_form == 16 or (length_form is None and n > 125):
        out += bytes([126 | m]) + struct.pack(">H", n)
    else:
        out += bytes([n | m])
    if mask is not None:
        out += mask
        payload = bytes(b ^ mask[i & 3] for i, b in enumerate(payload))
    return bytes(out) + payload


def frame_seeds(mask):
    """Conversations of a peer whose frames carry `mask` (a key, or None)."""
    def f(*args, **kwargs):
        kwargs.setdefault("mask", mask)
        return frame(*args, **kwargs)

    close1000 = f(0x8, b"\x03\xe8bye")
    big20k = bytes((i * 7) & 0xFF for i in range(20000))
    big70k = bytes((i * 13) & 0xFF for i in range(70000))
    return {
        "text_then_close": setup() + f(0x1, b"hi") + close1000,
        "binary_then_eof": setup() + f(0x2, b"\x00\x01\x02"),
        "fragments_around_ping": setup("1")
        + f(0x1, b"a", fin=False)
        + f(0x9, b"pp")
        + f(0x0, b"b", fin=False)
        + f(0x0, b"c")
        + close1000,
        "binary_fragments_echoed": setup("2", ECHO, seed=5)
        + f(0x2, b"0123", fin=False)
        + f(0x0, b"4567")
        + f(0x1, b"hello")
        + close1000,
        "ping_pong_close": setup("3") + f(0x9, b"ping") + f(0xA, b"pong") + f(0x8, b""),
        "empty_ping_then_text": setup("7") + frame(0x9, b"", mask=b"\x01\x02\x03\x04") + f(0x1, b"x"),
        "empty_text": setup() + f(0x1, b"") + close1000,
        "stray_continuation": setup() + f(0x0, b"zz", fin=False) + f(0x1, b"never"),
        "final_continuation_alone": setup() + f(0x0, b"lone") + close1000,
        "reserved_bits_and_opcodes": setup("16")
        + f(0x1, b"r", rsv=7)
        + f(0x3, b"three")
        + f(0xB, b"eleven")
        + f(0x7, b"x", fin=False),
        "non_final_control": setup() + f(0x9, b"p", fin=False) + f(0x8, b"\x03\xe8", fin=False),
        "length16_300": setup("300") + f(0x2, bytes(range(256)) + bytes(44)) + close1000,
        "length16_zero": setup() + f(0x1, b"", length_form=16) + f(0x1, b"ok") + close1000,
        "length64_small": setup() + f(0x1, b"sixty-four", length_form=64) + close1000,
        "length64_huge": setup() + frame(0x2, b"", mask=mask)[:1] + bytes([127 | (0x80 if mask else 0)])
        + struct.pack(">Q", 0x7FFFFFFFFFFFFFFF) + (mask or b"") + b"tail",
        "payload_in_place_20k": setup("5000") + f(0x2, big20k) + close1000,
        "payload_in_place_70k": setup("all", ECHO, seed=9) + f(0x1, big70k[:5], fin=False)
        + f(0x0, big70k) + close1000,
        "bound7_fragments_too_big": setup("all", 0, "7") + f(0x1, b"12345", fin=False)
        + f(0x0, b"678"),
        "bound7_final_other_opcode": setup("all", 0, "7") + f(0x1, b"12345", fin=False)
        + f(0x2, b"67890"),
        "bound0_empty_ok": setup("1", 0, "0") + f(0x1, b"") + f(0x2, b"x"),
        "bound1000_ping_too_big": setup("all", 0, "1000") + f(0x9, bytes(1001)),
        "host_close_then_peer_close": setup("all", CLOSE_AT_OPEN) + f(0x1, b"late") + close1000,
        "host_close_then_too_big": setup("2", CLOSE_AT_OPEN, "7") + f(0x2, bytes(8)),
        "echo_split_frames": setup("all", ECHO, seed=3) + f(0x1, b"split me into pieces")
        + f(0x9, b"between") + f(0x2, b"\xff" * 130) + close1000,
        "write_failure_echo": setup("1", ECHO | WRITE_FAILURE, seed=11) + f(0x1, b"abcdef" * 20)
        + f(0x9, b"ping") + f(0x1, b"more"),
        "send_before_open": setup("all", ECHO, seed=17, early=True) + f(0x9, b"") + f(0x1, b"hey")
        + close1000,
        "cut_in_length": setup() + f(0x1, b"ok") + bytes([0x82, 0x7E | (0x80 if mask else 0), 0x01]),
        "cut_in_payload": setup("3") + f(0x2, b"0123456789")[:-4],
    }


def request(lines, target=b"/chat"):
    return b"GET " + target + b" HTTP/1.1\r\n" + b"".join(l + b"\r\n" for l in lines) + b"\r\n"


def server_handshake_seeds():
    mask = b"\x37\xfa\x21\x3d"
    standard = [b"Host: server.example.com", b"Upgrade: websocket", b"Connection: Upgrade",
                b"Sec-WebSocket-Key: " + KEY, b"Sec-WebSocket-Version: 13"]
    text = frame(0x1, b"Hello", mask=mask)
    close = frame(0x8, b"\x03\xe8", mask=mask)
    filler = b"X-Filler: " + b"f" * 16300
    return {
        "standard_then_frames": setup() + request(standard) + text + close,
        "standard_byte_by_byte": setup("1") + request(standard) + text,
        "lower_case_key": setup("7") + request([b"sec-websocket-key: " + KEY]) + close,
        "two_keys": setup() + request([b"Sec-WebSocket-Key: first", b"Sec-WebSocket-Key: " + KEY]),
        "key_without_blank": setup() + request([b"Sec-WebSocket-Key:" + KEY]),
        "key_trailing_blanks": setup() + request([b"Sec-WebSocket-Key: " + KEY + b"  "]),
        "no_key": setup() + request([b"Host: h"]) + text,
        "key_on_request_line": setup() + b"GET /Sec-WebSocket-Key: x HTTP/1.1\r\n\r\n",
        "key_inside_other_header": setup() + request([b"X-Note: Sec-WebSocket-Key: " + KEY]),
        "protocols": setup("3") + request(standard + [b"Sec-WebSocket-Protocol: chat, superchat",
                                                       b"sec-websocket-protocol: v2"]) + close,
        "bare_lf_lines": setup() + b"GET / HTTP/1.1\nSec-WebSocket-Key: k\n\r\n\r\n",
        "empty_request": setup() + b"\r\n\r\n",
        "ends_before_empty_line": setup("16") + b"GET / HTTP/1.1\r\nHost: h\r\n",
        "over_the_cap": setup("5000") + b"GET / HTTP/1.1\r\n" + filler + b"ffffffffff\r\n\r\n",
        "exactly_the_cap": setup("5000") + (lambda head: head + b"x" * (16384 - len(head) - 4)
                                            + b"\r\n\r\n")(b"GET / HTTP/1.1\r\nX: ") + text,
        "response_write_fails": setup("all", WRITE_FAILURE, seed=2) + request(standard),
        "close_at_open": setup("2", CLOSE_AT_OPEN) + request(standard) + close,
    }


def response(lines, status=b"HTTP/1.1 101 Switching Protocols"):
    return status + b"\r\n" + b"".join(l + b"\r\n" for l in lines) + b"\r\n"


def client_handshake_seeds():
    standard = [b"Upgrade: websocket", b"Connection: Upgrade", b"Sec-WebSocket-Accept: " + ACCEPT]
    text = frame(0x1, b"Hello")
    close = frame(0x8, b"\x03\xe8")
    return {
        "standard_then_frames": setup() + response(standard) + text + close,
        "standard_byte_by_byte": setup("1") + response(standard) + text,
        "lower_case_names": setup("7") + response([b"sec-websocket-accept: " + ACCEPT]) + close,
        "http10": setup() + response(standard, b"HTTP/1.0 101 Switching Protocols") + text,
        "status_200": setup() + response(standard, b"HTTP/1.1 200 OK"),
        "status_101x": setup() + response(standard, b"HTTP/1.1 101x Switching"),
        "version_too_short": setup() + response(standard, b"HTTP 101 Switching"),
        "no_status": setup() + b"HTTP/1.1\r\n\r\n",
        "accept_twice": setup() + response([b"Sec-WebSocket-Accept: wrong",
                                            b"Sec-WebSocket-Accept: " + ACCEPT]) + close,
        "accept_two_blanks": setup() + response([b"Sec-WebSocket-Accept:  " + ACCEPT]),
        "accept_empty": setup() + response([b"Sec-WebSocket-Accept: "]),
        "accept_wrong": setup() + response([b"Sec-WebSocket-Accept: AAAAAAAAAAAAAAAAAAAAAAAAAAA="]),
        "accept_inside_other_header": setup() + response([b"X-Note: Sec-WebSocket-Accept: " + ACCEPT]),
        "protocols": setup("3") + response(standard + [b"Sec-WebSocket-Protocol: chat",
                                                        b"sec-websocket-protocol: other"]) + text,
        "frame_with_response": setup("all") + response(standard) + frame(0x9, b"p") + text + close,
        "ends_before_empty_line": setup("16") + b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: w",
        "over_the_cap": setup("5000") + b"HTTP/1.1 101 OK\r\nX-Filler: " + b"f" * 16400 + b"\r\n\r\n",
        "request_write_fails": setup("all", WRITE_FAILURE, seed=4) + response(standard),
        "close_at_open": setup("2", CLOSE_AT_OPEN) + response(standard) + close,
    }


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name))
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    # Each side mostly meets frames masked the way its peer masks them, and a few the other way.
    client_seeds = frame_seeds(None)
    client_seeds.update({"masked_" + k: v for k, v in frame_seeds(b"\x0a\x0b\x0c\x0d").items()
                         if k in ("text_then_close", "fragments_around_ping")})
    write("client_frames_fuzz", client_seeds)
    server_seeds = frame_seeds(b"\x12\x34\x56\x78")
    server_seeds.update({"unmasked_" + k: v for k, v in frame_seeds(None).items()
                         if k in ("text_then_close", "fragments_around_ping")})
    write("server_frames_fuzz", server_seeds)
    write("server_handshake_fuzz", server_handshake_seeds())
    write("client_handshake_fuzz", client_handshake_seeds())
