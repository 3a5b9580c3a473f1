// Independent peers for the interop tests, one conversation for all of them:
//   node peer.js client <url> [caFile [certFile keyFile]]
//                                          node `ws` drives the conversation against our server
//   node peer.js browser <url>...          headless Chromium drives it against our server from a
//                                          page of http://allowed.test, and fails to connect
//                                          from a page of http://foreign.test
// Clients offer the subprotocols "x" and "chat" and expect the server to choose "chat".
//   node peer.js server [certFile keyFile] node `ws` echoes for our client; prints its port
// A first argument --deflate (context takeover) or --deflate-reset (none, both ways) makes `ws`
// use permessage-deflate for every message, and a driver require it agreed; without it, none
// (the browser always offers it).
// The driver sends every size as text and binary (the text ones in fragments where the peer
// can), checks each echo byte for byte, then closes with 1000.
'use strict';
const deflate = (process.argv[2] || '').startsWith('--deflate') ? process.argv[2] : null;
const [mode, ...args] = process.argv.slice(deflate ? 3 : 2);
const reset = deflate === '--deflate-reset';
const perMessageDeflate = deflate ? {threshold: 0, serverNoContextTakeover: reset, clientNoContextTakeover: reset} : false;
const SIZES = [0, 1, 125, 126, 65535, 65536, 1 << 20];

async function converse(ws, fragments, deflate) {
    ws.binaryType = 'arraybuffer';
    const queue = [];
    let wake = null, closed = null;
    ws.onmessage = (event) => { queue.push(event.data); if (wake) wake(); };
    ws.onclose = (event) => { closed = event.code; if (wake) wake(); };
    await new Promise((resolve, reject) => { ws.onopen = resolve; ws.onerror = () => reject(new Error('socket error')); });
    if (ws.protocol !== 'chat') throw new Error(`subprotocol '${ws.protocol}'`);
    if (!ws.extensions.startsWith('permessage-deflate') === !!deflate) throw new Error(`extensions '${ws.extensions}'`);
    const next = async () => {
        while (queue.length === 0) {
            if (closed !== null) throw new Error(`closed ${closed} while waiting`);
            await new Promise((resolve) => (wake = resolve));
        }
        return queue.shift();
    };
    for (const size of SIZES) {
        const bytes = new Uint8Array(size).map((_, i) => (i * 31 + size) & 0xff);
        const text = Array.from({length: size}, (_, i) => String.fromCharCode(97 + ((i + size) % 26))).join('');
        if (fragments && size > 3) {
            ws.send(text.slice(0, 3), {fin: false});
            ws.send(text.slice(3), {fin: true});
        } else {
            ws.send(text);
        }
        ws.send(bytes);
        if ((await next()) !== text) throw new Error(`text ${size} differs`);
        const echo = new Uint8Array(await next());
        if (echo.length !== size || echo.some((b, i) => b !== bytes[i])) throw new Error(`binary ${size} differs`);
    }
    ws.close(1000, 'done');
    while (closed === null) await new Promise((resolve) => (wake = resolve));
    if (closed !== 1000) throw new Error(`closed with ${closed}`);
}

async function main() {
    const fs = require('fs');
    const WebSocket = require('ws');
    if (mode === 'client') {
        const file = (i) => (args[i] ? fs.readFileSync(args[i]) : undefined);
        const ws = new WebSocket(args[0], ['x', 'chat'], {ca: file(1), cert: file(2), key: file(3), perMessageDeflate});
        const pong = new Promise((resolve) => ws.on('pong', (data) => resolve(data.toString())));
        ws.on('open', () => ws.ping('are you there'));
        await converse(ws, true, deflate);
        if ((await pong) !== 'are you there') throw new Error('pong differs');
    } else if (mode === 'server') {
        const options = args[0] ? {cert: fs.readFileSync(args[0]), key: fs.readFileSync(args[1])} : {};
        const server = (args[0] ? require('https') : require('http')).createServer(options);
        const wss = new WebSocket.Server({server, perMessageDeflate});
        wss.on('connection', (ws) => {
            ws.on('message', (data, isBinary) => ws.send(data, {binary: isBinary}));
            ws.on('close', () => process.exit(0));
        });
        server.listen(0, '127.0.0.1', () => console.log(server.address().port));
    } else if (mode === 'browser') {
        const {chromium} = require('playwright-core');
        const browser = await chromium.launch({
            executablePath: '/usr/bin/chromium',
            args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
                   '--disable-component-update', '--disable-sync', '--ignore-certificate-errors',
                   '--disable-features=LocalNetworkAccessChecks,BlockInsecurePrivateNetworkRequests'],
        });
        try {
            const page = await (await browser.newContext({ignoreHTTPSErrors: true})).newPage();
            await page.route(/\.test\/$/, (route) => route.fulfill({body: '<html></html>', contentType: 'text/html'}));
            await page.goto('http://foreign.test/');
            for (const url of args) {
                const opened = await page.evaluate((url) => new Promise((resolve) => {
                    const ws = new WebSocket(url, ['x', 'chat']);
                    ws.onopen = () => resolve(true);
                    ws.onerror = () => resolve(false);
                }), url);
                if (opened) throw new Error('a foreign origin was served');
            }
            await page.goto('http://allowed.test/');
            await page.evaluate(`const SIZES = ${JSON.stringify(SIZES)}; ${converse.toString()}`);
            for (const url of args) await page.evaluate(([url, deflate]) => converse(new WebSocket(url, ['x', 'chat']), false, deflate), [url, deflate]);
        } finally {
            await browser.close();
        }
    }
}

main().then(() => mode !== 'server' && process.exit(0), (error) => {
    console.error(`peer: ${error.message}`);
    process.exit(1);
});
