'use strict';
// The conversation of the interop tests, shared by every JavaScript peer: node `ws` as client
// and as server, and the browser page (this file is evaluated there as it is). The C++ side
// mirrors it in Conversation.h; both must make the same bytes.
//
// Connection "conversation" (path /conversation):
//   server -> client  "welcome", then binary(size, 100 + i) and text(size, 110 + i) per size;
//                     node ws as server adds the two fragmented messages of the client extras
//   client -> server  binary(size, i) and text(size, 10 + i) per size, each echoed by the server
//   client -> server  (extras: node ws and our client) "frag-" "ment-" "ed" as three
//                     fragments (node ws pings between them), and binary(1 MiB, 120) in
//                     64 KiB fragments, both echoed whole
//   client -> server  "ping me": the server pings with "srv-ping", then echoes it
//   client -> server  (extras) a ping "cli-ping", answered by a pong with the same payload
//   client            Close 1000 with CLIENT_CLOSE_REASON, echoed by the server
// Connection "server-closes" (path /server-closes):
//   server -> client  the same opening messages
//   client -> server  "close me": the server sends Close 1000 with SERVER_CLOSE_REASON
(function (exports) {
    const SIZES = [0, 1, 125, 126, 65535, 65536, 1024 * 1024];
    const STEP_TIMEOUT_MS = 30000;
    const CLIENT_CLOSE_REASON = 'done: client closes \u00e9';
    const SERVER_CLOSE_REASON = 'done: server closes';
    const FRAGMENTS = ['frag-', 'ment-', 'ed'];
    const FRAGMENTED_BINARY_PIECE = 64 * 1024;

    function binaryPattern(size, seed) {
        const bytes = new Uint8Array(size);
        for (let i = 0; i < size; ++i) {
            bytes[i] = (i * 31 + seed + (i >>> 16)) & 0xff;
        }
        return bytes;
    }

    // Valid UTF-8 of exactly `size` bytes: letters with two-, three- and four-byte characters
    // mixed in (a wide character that does not fit the rest becomes a letter).
    function textPattern(size, seed) {
        const wide = [['\u00e9', 2], ['\u20ac', 3], ['\u{1f600}', 4]];
        const parts = [];
        let bytes = 0;
        for (let i = 0; bytes < size; ++i) {
            const k = (i * 7 + seed) % 32;
            if (k >= 29 && wide[k - 29][1] <= size - bytes) {
                parts.push(wide[k - 29][0]);
                bytes += wide[k - 29][1];
            } else {
                parts.push(String.fromCharCode(0x61 + (k % 26)));
                bytes += 1;
            }
        }
        return parts.join('');
    }

    // [data, isText] pairs the server sends right after the opening handshake.
    function serverOpening() {
        const messages = [['welcome', true]];
        SIZES.forEach((size, i) => {
            messages.push([binaryPattern(size, 100 + i), false]);
            messages.push([textPattern(size, 110 + i), true]);
        });
        return messages;
    }

    function describe(data) {
        if (typeof data === 'string') {
            return `text of ${data.length} UTF-16 units "${data.slice(0, 20)}"`;
        }
        return `binary of ${data.length} bytes`;
    }

    function toBytes(data) {
        if (data instanceof Uint8Array) {
            return data;
        }
        if (data instanceof ArrayBuffer) {
            return new Uint8Array(data);
        }
        if (ArrayBuffer.isView(data)) {
            return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
        }
        return null;
    }

    // Throws unless `received` (string or bytes) is exactly `expected` with the same kind.
    function checkMessage(received, expected, isText, what) {
        if (isText) {
            if (typeof received !== 'string' || received !== expected) {
                throw new Error(`${what}: expected ${describe(expected)}, got ${describe(received)}`);
            }
            return;
        }
        const bytes = toBytes(received);
        if (bytes === null) {
            throw new Error(`${what}: expected ${describe(expected)}, got ${describe(received)}`);
        }
        if (bytes.length !== expected.length) {
            throw new Error(`${what}: expected ${expected.length} bytes, got ${bytes.length}`);
        }
        for (let i = 0; i < bytes.length; ++i) {
            if (bytes[i] !== expected[i]) {
                throw new Error(`${what}: byte ${i} is ${bytes[i]}, expected ${expected[i]}`);
            }
        }
    }

    function withTimeout(promise, what) {
        let timer;
        const expiry = new Promise((_, reject) => {
            timer = setTimeout(() => reject(new Error(`timed out: ${what}`)), STEP_TIMEOUT_MS);
        });
        return Promise.race([promise, expiry]).finally(() => clearTimeout(timer));
    }

    // A W3C-style WebSocket (the browser's, or node ws through the same interface) with its
    // messages and its end collected for awaiting in order.
    class Peer {
        constructor(socket) {
            this.socket = socket;
            this.messages = [];
            this.waiters = [];
            this.failure = null;
            socket.binaryType = 'arraybuffer';
            this.opened = new Promise((resolve, reject) => {
                socket.onopen = () => resolve();
                socket.onerror = () => reject(new Error('error before open'));
            });
            this.closed = new Promise((resolve) => {
                socket.onclose = (event) => {
                    this.failure = new Error(`closed with ${event.code} "${event.reason}"`);
                    this.wake();
                    resolve({code: event.code, reason: event.reason, wasClean: event.wasClean});
                };
            });
            socket.onmessage = (event) => {
                this.messages.push(event.data);
                this.wake();
            };
        }

        wake() {
            const waiters = this.waiters;
            this.waiters = [];
            waiters.forEach((wake) => wake());
        }

        async next(what) {
            const arrived = () => this.messages.length > 0 || this.failure !== null;
            while (!arrived()) {
                await withTimeout(new Promise((resolve) => this.waiters.push(resolve)), what);
            }
            if (this.messages.length === 0) {
                throw new Error(`${what}: ${this.failure.message}`);
            }
            return this.messages.shift();
        }

        async expect(data, isText, what) {
            checkMessage(await this.next(what), data, isText, what);
        }

        async expectClose(code, reason, what) {
            const end = await withTimeout(this.closed, what);
            if (end.code !== code || end.reason !== reason || !end.wasClean) {
                throw new Error(`${what}: closed with ${end.code} "${end.reason}", clean ${
                    end.wasClean}, expected ${code} "${reason}"`);
            }
            if (this.messages.length !== 0) {
                throw new Error(`${what}: ${this.messages.length} messages left unread`);
            }
        }
    }

    async function receiveOpening(peer) {
        for (const [index, [data, isText]] of serverOpening().entries()) {
            await peer.expect(data, isText, `server's opening message ${index}`);
        }
    }

    // Runs both connections against the server at `base` (e.g. "ws://127.0.0.1:8080").
    // `open(url)` makes a W3C-style socket. `extras(peer)` (node only) sends the fragmented
    // messages and returns an async function that runs the client's ping step.
    async function runClient(base, open, extras) {
        const peer = new Peer(open(base + '/conversation'));
        await withTimeout(peer.opened, 'open /conversation');
        // Our server answers no subprotocol and no extension, whatever the client offered.
        if (peer.socket.protocol !== '' || peer.socket.extensions !== '') {
            throw new Error(`negotiated protocol "${peer.socket.protocol}", extensions "${
                peer.socket.extensions}"`);
        }
        await receiveOpening(peer);
        for (const [i, size] of SIZES.entries()) {
            const binary = binaryPattern(size, i);
            peer.socket.send(binary);
            await peer.expect(binary, false, `echo of binary(${size})`);
            const text = textPattern(size, 10 + i);
            peer.socket.send(text);
            await peer.expect(text, true, `echo of text(${size})`);
        }
        let clientPing = null;
        if (extras) {
            clientPing = await extras(peer);
        }
        peer.socket.send('ping me');
        await peer.expect('ping me', true, 'echo of "ping me"');
        if (clientPing) {
            await clientPing();
        }
        peer.socket.close(1000, CLIENT_CLOSE_REASON);
        await peer.expectClose(1000, CLIENT_CLOSE_REASON, 'close started by the client');

        const second = new Peer(open(base + '/server-closes'));
        await withTimeout(second.opened, 'open /server-closes');
        await receiveOpening(second);
        second.socket.send('close me');
        await second.expectClose(1000, SERVER_CLOSE_REASON, 'close started by the server');
    }

    Object.assign(exports, {
        SIZES,
        STEP_TIMEOUT_MS,
        CLIENT_CLOSE_REASON,
        SERVER_CLOSE_REASON,
        FRAGMENTS,
        FRAGMENTED_BINARY_PIECE,
        binaryPattern,
        textPattern,
        serverOpening,
        checkMessage,
        withTimeout,
        runClient,
    });
})(typeof module !== 'undefined' ? module.exports : (globalThis.Conversation = {}));
