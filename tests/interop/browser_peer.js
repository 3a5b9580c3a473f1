'use strict';
// A real browser as an independent client of the interop tests: headless Chromium, driven
// through playwright-core, runs conversation.js in a page against our server.
//
//   node browser_peer.js <ws://host:port> [<wss://host:port> ...]
//
// The page is served from a loopback HTTP origin (an opaque about:blank origin may be
// refused access to local addresses). Prints "BROWSER OK <base>" per server and exits 0 only
// when every connection held; a failure prints a line starting "FAILED: ". The browser
// trusts the server's test certificate through --ignore-certificate-errors.
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');
const {chromium} = require('playwright-core');

const RUN_TIMEOUT_MS = 150000;
const CHROMIUM = '/usr/bin/chromium';

function fail(error) {
    console.log(`FAILED: ${error && error.stack ? error.stack : error}`);
    process.exit(1);
}

async function servePage() {
    const server = http.createServer((request, response) => {
        response.writeHead(200, {'Content-Type': 'text/html; charset=utf-8'});
        response.end('<!doctype html><title>interop</title>');
    });
    await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
    return server;
}

async function main() {
    const bases = process.argv.slice(2);
    const source = fs.readFileSync(path.join(__dirname, 'conversation.js'), 'utf8');
    const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'tidewire-chromium-'));
    const pageServer = await servePage();
    let context = null;
    try {
        context = await chromium.launchPersistentContext(profile, {
            executablePath: CHROMIUM,
            headless: true,
            ignoreHTTPSErrors: true,
            timeout: 60000,
            args: [
                '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                '--disable-background-networking', '--disable-component-update', '--disable-sync',
                '--ignore-certificate-errors'
            ],
        });
        const page = context.pages()[0] || (await context.newPage());
        page.on('console', (message) => console.log(`page: ${message.text()}`));
        page.on('pageerror', (error) => console.log(`page error: ${error}`));
        await page.goto(`http://127.0.0.1:${pageServer.address().port}/`);
        await page.evaluate(source);
        for (const base of bases) {
            const failure = await page.evaluate(async (base) => {
                try {
                    await Conversation.runClient(base, (url) => new WebSocket(url), null);
                    return null;
                } catch (error) {
                    return String(error && error.stack ? error.stack : error);
                }
            }, base);
            if (failure !== null) {
                throw new Error(`${base}: ${failure}`);
            }
            console.log(`BROWSER OK ${base}`);
        }
    } finally {
        if (context !== null) {
            await context.close();
        }
        pageServer.close();
        fs.rmSync(profile, {recursive: true, force: true});
    }
}

setTimeout(() => fail(new Error('run timed out')), RUN_TIMEOUT_MS).unref();
main().then(() => process.exit(0), fail);
