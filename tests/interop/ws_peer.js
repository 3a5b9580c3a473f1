'use strict';
// node `ws` as an independent peer of the interop tests (the conversation is in
// conversation.js):
//
//   node ws_peer.js client <ws://host:port | wss://host:port> [<CA file>]
//       runs both connections against that server; prints "CLIENT OK"
//   node ws_peer.js server [<certificate file> <key file>]
//       serves on 127.0.0.1 (TLS with the files), prints "PORT <n>" first, then
//       "SERVER OK" once one connection of each kind has ended as it should
//
// The exit status is 0 only when every byte and every close held; a failure prints a line
// starting "FAILED: ". The whole run has a deadline, so a silent peer cannot hang a test.
const fs = require('fs');
const http = require('http');
const https = require('https');
const WebSocket = require('ws');
const C = require('./conversation');

const RUN_TIMEOUT_MS = 150000;

function fail(error) {
    console.log(`FAILED: ${error && error.stack ? error.stack : error}`);
    process.exit(1);
}

function expectEqual(actual, expected, what) {
    const a = JSON.stringify(actual);
    const e = JSON.stringify(expected);
    if (a !== e) {
        throw new Error(`${what}: got ${a}, expected ${e}`);
    }
}

function fragmentedBinary() {
    return C.binaryPattern(1024 * 1024, 120);
}

// Sends `bytes` as one binary message of FRAGMENTED_BINARY_PIECE-sized fragments.
function sendInFragments(socket, bytes) {
    for (let offset = 0; offset < bytes.length; offset += C.FRAGMENTED_BINARY_PIECE) {
        const end = Math.min(bytes.length, offset + C.FRAGMENTED_BINARY_PIECE);
        socket.send(bytes.subarray(offset, end), {binary: true, fin: end === bytes.length});
    }
}

// Text fragments with a ping between the first two, then a fragmented binary message.
function sendFragmentedMessages(socket) {
    socket.send(C.FRAGMENTS[0], {fin: false});
    socket.ping('between');
    socket.send(C.FRAGMENTS[1], {fin: false});
    socket.send(C.FRAGMENTS[2], {fin: true});
    sendInFragments(socket, fragmentedBinary());
}

// Collects the payloads of one kind of control frame ('ping' or 'pong') as text.
function record(socket, event) {
    const seen = [];
    socket.on(event, (data) => seen.push(data.toString()));
    return seen;
}

async function runClient(base, caFile) {
    const options = caFile ? {ca: fs.readFileSync(caFile)} : {};
    const open = (url) => new WebSocket(url, options);
    const extras = async (peer) => {
        const socket = peer.socket;
        const pings = record(socket, 'ping');
        const pongs = record(socket, 'pong');
        sendFragmentedMessages(socket);
        await peer.expect(C.FRAGMENTS.join(''), true, 'echo of the text fragments');
        await peer.expect(fragmentedBinary(), false, 'echo of the binary fragments');
        expectEqual(pongs, ['between'], 'pongs before the fragments came back');
        return async () => {
            expectEqual(pings, ['srv-ping'], 'pings from the server before the echo');
            const pong = new Promise((resolve) => socket.once('pong', resolve));
            socket.ping('cli-ping');
            await C.withTimeout(pong, 'pong to "cli-ping"');
            expectEqual(pongs, ['between', 'cli-ping'], 'pongs');
        };
    };
    await C.runClient(base, open, extras);
    console.log('CLIENT OK');
}

// What one connection to the server must receive, as [data, isText], in order.
function expectedFromClient(path) {
    if (path === '/server-closes') {
        return [['close me', true]];
    }
    const messages = [];
    C.SIZES.forEach((size, i) => {
        messages.push([C.binaryPattern(size, i), false]);
        messages.push([C.textPattern(size, 10 + i), true]);
    });
    messages.push([C.FRAGMENTS.join(''), true]);
    messages.push([fragmentedBinary(), false]);
    messages.push(['ping me', true]);
    return messages;
}

function serveConnection(socket, request) {
    const path = request.url;
    if (path !== '/conversation' && path !== '/server-closes') {
        throw new Error(`unexpected request target ${path}`);
    }
    expectEqual(request.headers['sec-websocket-protocol'], 'chat, superchat',
                'offered subprotocols');
    expectEqual(socket.protocol, 'chat', 'chosen subprotocol');
    const expected = expectedFromClient(path);
    let received = 0;
    const pings = record(socket, 'ping');
    const pongs = record(socket, 'pong');
    return new Promise((resolve, reject) => {
        const guard = (step) => (...args) => {
            try {
                step(...args);
            } catch (error) {
                reject(error);
            }
        };
        socket.on('message', guard((data, isBinary) => {
            const what = `${path} message ${received}`;
            if (received >= expected.length) {
                throw new Error(`${what}: more messages than expected`);
            }
            const [bytes, isText] = expected[received++];
            C.checkMessage(isBinary ? data : data.toString(), bytes, isText, what);
            if (path === '/server-closes') {
                socket.close(1000, C.SERVER_CLOSE_REASON);
                return;
            }
            if (isText && bytes === 'ping me') {
                socket.ping('srv-ping');
            }
            socket.send(data, {binary: isBinary});
        }));
        socket.on('close', guard((code, reason) => {
            const expectedReason =
                path === '/server-closes' ? C.SERVER_CLOSE_REASON : C.CLIENT_CLOSE_REASON;
            expectEqual([code, reason.toString()], [1000, expectedReason], `${path} close`);
            expectEqual(received, expected.length, `${path} messages received`);
            if (path === '/conversation') {
                expectEqual(pings, ['cli-ping'], 'pings from the client');
                expectEqual(pongs, ['between', 'srv-ping'], 'pongs from the client');
            }
            resolve(path);
        }));
        socket.on('error', reject);

        for (const [data, isText] of C.serverOpening()) {
            socket.send(data, {binary: !isText});
        }
        if (path === '/conversation') {
            sendFragmentedMessages(socket);
        }
    });
}

async function runServer(certFile, keyFile) {
    const httpServer = certFile
        ? https.createServer({cert: fs.readFileSync(certFile), key: fs.readFileSync(keyFile)})
        : http.createServer();
    const server = new WebSocket.Server({server: httpServer});
    const ended = [];
    const done = new Promise((resolve, reject) => {
        server.on('connection', (socket, request) => {
            let finished;
            try {
                finished = serveConnection(socket, request);
            } catch (error) {
                reject(error);
                return;
            }
            finished.then((path) => {
                ended.push(path);
                if (ended.length === 2) {
                    resolve();
                }
            }, reject);
        });
        server.on('error', reject);
    });
    await new Promise((resolve) => httpServer.listen(0, '127.0.0.1', resolve));
    console.log(`PORT ${httpServer.address().port}`);
    await done;
    expectEqual(ended.sort(), ['/conversation', '/server-closes'], 'connections served');
    console.log('SERVER OK');
    server.close();
    httpServer.close();
}

function main() {
    const [mode, ...rest] = process.argv.slice(2);
    setTimeout(() => fail(new Error('run timed out')), RUN_TIMEOUT_MS).unref();
    const run = mode === 'client' ? runClient(rest[0], rest[1]) : runServer(rest[0], rest[1]);
    run.then(() => process.exit(0), fail);
}

main();
