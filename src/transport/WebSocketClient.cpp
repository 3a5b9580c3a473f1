#include "tidewire/WebSocketClient.h"

#include <asio.hpp>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/ClientTarget.h"
#include "core/DeflateNegotiation.h"
#include "core/EndpointText.h"
#include "core/ErrorTexts.h"
#include "core/FrameHeader.h"
#include "core/HandshakeText.h"
#include "core/HeaderFieldCheck.h"
#include "core/Limits.h"
#include "core/StrictFrameRules.h"
#include "engine/ConnectionEngine.h"
#include "engine/HostGate.h"
#include "tidewire/Handshake.h"
#include "tidewire/URL.h"
#include "transport/EventLoopAccess.h"
#include "transport/EventLoopThread.h"
#include "transport/TlsSetup.h"
#include "transport/TlsStream.h"

namespace relaymatrix::extensions::tidewire {

namespace {

using asio::ip::tcp;

// Configured completely before any stream is made from it, so the verify mode is in force on
// every connection object.
asio::ssl::context makeClientContext(const TLSOptions& tls) {
    asio::ssl::context context(asio::ssl::context::tlsv12_client);
    applyTLSOptions(context, tls, TlsRole::client);
    SSL_CTX_set_mode(context.native_handle(), SSL_MODE_RELEASE_BUFFERS);  // idle: no buffers
    return context;
}

// The options as the connection keeps them: without the shared loop, which the client holds
// instead (a connection that held its own loop would keep it alive from the loop's queue).
ConnectionOptions withoutLoop(ConnectionOptions options) {
    options.eventLoop.reset();
    return options;
}

// A client's own, or on a shared loop the one its other clients with the same settings use:
// the system's CA store is then loaded once per loop, not once per client. Nothing in it is
// per connection (the host name is checked per connection), and the loop's thread is the one
// that uses it.
std::shared_ptr<asio::ssl::context> clientContext(const ConnectionOptions& options) {
    const auto make = [&options] {
        return std::make_shared<asio::ssl::context>(makeClientContext(options.tls));
    };
    if (!options.eventLoop) {
        return make();
    }
    const TLSOptions& tls = options.tls;
    const std::string key = "client TLS\n" + tls.caFile + "\n" + tls.caDirectory + "\n" +
                            tls.certificateFile + "\n" + tls.privateKeyFile + "\n" +
                            (tls.allowTLS13 ? "1.3" : "1.2");
    return std::static_pointer_cast<asio::ssl::context>(
        EventLoopAccess::shared(*options.eventLoop, key, make));
}

// "[::1]" names the address "::1": the brackets belong to the URL and the Host header only.
std::string withoutBrackets(const std::string& host) {
    const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    return bracketed ? host.substr(1, host.size() - 2) : host;
}

}  // namespace

struct WebSocketClient::Internals : ConnectionEngine<WebSocketClient::Internals>,
                                    std::enable_shared_from_this<WebSocketClient::Internals> {
    Internals(WebSocketClient& owner, const std::string& url,
              const std::vector<std::string>& protocols, const ConnectionOptions& options)
        : owner(owner),
          options(withoutLoop(options)),
          ownLoop(options.eventLoop
                      ? nullptr
                      : std::make_unique<EventLoopThread>(
                            "[WebSocketClient] " + std::string(errorTexts::workerException))),
          context(ownLoop ? ownLoop->context() : EventLoopAccess::context(*options.eventLoop)),
          resolver(context),
          socket(context),
          protocols(protocols) {
        const ClientTarget target = clientTarget(URL::parse(url));
        host = target.host;
        address = withoutBrackets(host);
        std::error_code notAnAddress;
        asio::ip::make_address(address, notAnAddress);
        hostIsAddress = !notAnAddress;
        useSSL = target.useTLS;
        port = target.port;
        path = target.target;
        targetProblem = target.problem;
        if (useSSL) {
            // Only here: loading the system's CA store takes 100 ms and more, time a plain
            // client would spend for nothing.
            sslContext = clientContext(options);
            tls.emplace(socket, *sslContext);
        }
        for (const HttpHeaders::Field& field : options.requestHeaders.fields()) {
            const std::string problem = headerFieldProblem(field.first, field.second);
            if (!problem.empty()) {
                throw std::invalid_argument("Request header refused: " + problem);
            }
        }
        const std::string compressionProblem = compressionOptionsProblem(options.compression);
        if (!compressionProblem.empty()) {
            throw std::invalid_argument(compressionProblem);
        }
        known.target = path;
        configure(this->options);
    }

    // Its timer must go before the loop does: the own loop is stopped already, and a shared
    // one destroys the connection's last handlers before itself.
    ~Internals() { releaseTimer(); }

    // ---- What the connection engine asks of the client --------------------------------------

    static constexpr bool maskOutgoing = true;
    static const char* logPrefix() { return "[WebSocketClient] "; }

    asio::io_context::executor_type executor() { return context.get_executor(); }

    // On its own loop the destructor stops and joins the loop before anything is freed, so
    // handlers need nothing beyond `this`; on a shared loop the connection outlives the client
    // by what its handlers hold.
    std::shared_ptr<Internals> keepAlive() { return ownLoop ? nullptr : shared_from_this(); }
    HostGate::Entry enterHost() { return ownLoop ? HostGate::unguarded() : hostGate.enter(); }

    template <class F>
    void withStream(F&& f) {
        if (tls) {
            f(*tls);
        } else {
            f(socket);
        }
    }

    tcp::socket& tcpSocket() { return socket; }
    template <class F>
    void updateIdentity(F&& f) {
        std::lock_guard<std::mutex> lock(knownMutex);
        f(known);
    }
    WebSocketSession& session() { return owner; }
    void connectionClosed() {
        resolver.cancel();
        Log::debug("Connection closed");
    }

    // ---- Lifecycle --------------------------------------------------------------------------

    void start() {
        if (ownLoop) {
            connect();
            ownLoop->start();
            return;
        }
        asio::post(context, [keep = keepAlive()] { keep->connect(); });
    }

    // The host lets go: no handler runs from now on and the connection ends without a
    // Close, on its loop. Its own loop simply stops.
    void abandon() {
        if (ownLoop) {
            ownLoop->stop();
            return;
        }
        hostGate.shutFor(context.get_executor().running_in_this_thread());
        asio::post(context, [keep = keepAlive()] {
            if (!keep->isClosed()) {
                keep->close();
            }
        });
    }

    // ---- Resolve, connect, TLS --------------------------------------------------------------

    void connect() {
        startOpeningDeadline(options.connectTimeout, errorTexts::connectTimeout);
        if (targetProblem != ClientTarget::Problem::none) {
            // What a resolver says of such a name or service, at the moment it would say it.
            const std::error_code ec = targetProblem == ClientTarget::Problem::emptyHost
                                           ? std::error_code(asio::error::host_not_found)
                                           : std::error_code(asio::error::service_not_found);
            asio::post(context, [this, keep = keepAlive(), ec] { reportConnectError(ec); });
            return;
        }
        resolver.async_resolve(address, port,
                               [this, keep = keepAlive()](const std::error_code& ec,
                                                          tcp::resolver::results_type endpoints) {
                                   if (ec) {
                                       reportConnectError(ec);
                                       return;
                                   }
                                   asio::async_connect(
                                       socket, endpoints,
                                       [this, keep](const std::error_code& ec,
                                                    const tcp::endpoint&) { onConnected(ec); });
                               });
    }

    void reportConnectError(const std::error_code& ec) {
        if (isClosed()) {
            return;  // a timeout closed it and has been reported
        }
        const std::string message = ec.message();
        Log::error(errorTexts::connectError, message);
        invokeHandler([this, &message] { owner.onErrorHandler(message); });
    }

    void onConnected(const std::error_code& ec) {
        if (ec) {
            reportConnectError(ec);
            return;
        }
        std::error_code endpointError;
        const tcp::endpoint remote = socket.remote_endpoint(endpointError);
        if (endpointError) {
            // Reset before we got to it: as good as a failed connect.
            reportConnectError(endpointError);
            std::error_code ignored;
            socket.close(ignored);
            return;
        }
        rememberPeer(endpointText(remote));
        {
            std::lock_guard<std::mutex> lock(knownMutex);
            known.peerAddress = addressText(remote.address());
            known.peerPort = remote.port();
        }
        Log::info("Connect: ", endpointText(remote));
        startOpeningDeadline(options.handshakeTimeout, errorTexts::handshakeTimeout);
        // The write queue coalesces frames already; Nagle would only hold a message's last
        // segment back until the peer's delayed ACK.
        std::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        if (!useSSL) {
            handshake();
            return;
        }
        // An address is checked against the certificate's IP entries, a name against its DNS
        // entries; a mismatch fails verification like an untrusted chain.
        SSL* ssl = tls->native_handle();
        if (hostIsAddress) {
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), address.c_str());
        } else {
            SSL_set_tlsext_host_name(ssl, host.c_str());  // RFC 6066: never an IP literal
            SSL_set1_host(ssl, address.c_str());
        }
        tls->async_handshake(
            asio::ssl::stream_base::client,
            [this, keep = keepAlive()](const std::error_code& ec) { onTlsHandshake(ec); });
    }

    void onTlsHandshake(const std::error_code& ec) {
        if (ec) {
            failOpening(errorTexts::sslHandshakeError,
                        tlsHandshakeFailureText(ec, tls->native_handle(), address));
            return;
        }
        Log::debug("SSL handshake successful");
        handshake();
    }

    // ---- Opening handshake ------------------------------------------------------------------

    void handshake() {
        // One generator per loop thread, seeded once: its 5 KB are not repeated for every
        // client sharing the loop.
        thread_local std::mt19937 rng(std::random_device{}());
        key = generateNonce(rng);
        HttpHeaders headers = options.requestHeaders;
        // The host's header values are often credentials: the log names them only.
        HttpHeaders logged;
        for (const HttpHeaders::Field& field : options.requestHeaders.fields()) {
            logged.add(field.first, "(not logged)");
        }
        const std::string offer = compressionOffer();
        if (!offer.empty()) {
            headers.add("Sec-WebSocket-Extensions", offer);
            logged.add("Sec-WebSocket-Extensions", offer);
        }
        std::string request = buildClientHandshakeRequest(path, host, key, protocols, headers);
        Log::trace("Handshake request: ",
                   options.requestHeaders.empty()
                       ? request
                       : buildClientHandshakeRequest(path, host, key, protocols, logged));
        writeHandshake(std::move(request));
    }

    void onHandshakeWritten(const std::error_code& ec) {
        if (ec) {
            failOpening(errorTexts::handshakeRequestError, ec);
            return;
        }
        readHandshakeBlock();
    }

    void onHandshakeBlock(const std::error_code& ec, const std::string& headerBlock) {
        if (ec) {
            failOpening(errorTexts::handshakeResponseErrorPrefix, ec);
            return;
        }
        ServerResponseCheck check =
            checkServerHandshakeResponse(headerBlock, generateAcceptKey(key));
        const HttpHeaders responseHeaders = readHeaderFields(headerBlock);
        if (check.accepted) {
            const DeflateAgreement agreement =
                acceptCompression(responseHeaders.all("Sec-WebSocket-Extensions"));
            check.accepted = agreement.failure.empty();
            check.failure = agreement.failure;
            std::lock_guard<std::mutex> lock(knownMutex);
            known.extensions = agreement.agreed ? agreement.header : std::string();
        }
        for (const std::string& protocol : check.protocols) {
            negotiatedProtocol = protocol;
            Log::debug("Negotiated protocol: ", negotiatedProtocol);
        }
        {
            std::lock_guard<std::mutex> lock(knownMutex);
            known.subprotocol = negotiatedProtocol;
            known.headers = responseHeaders;
        }
        if (check.accepted && options.strict) {
            if (const char* problem = strictResponseProblem(
                    protocols, negotiatedProtocol, options.compression.enabled,
                    responseHeaders.all("Sec-WebSocket-Extensions"))) {
                check.accepted = false;
                check.failure = std::string(errorTexts::handshakeValidation) + problem;
            }
        }
        if (!check.accepted) {
            Log::error(check.failure);
            invokeHandler([this, &check] { owner.onErrorHandler(check.failure); });
            close();
            return;
        }
        Log::debug("Handshake successful");
        open();
    }

    // A failure before the connection opened: its own error line, the bare error text to
    // the host, then close.
    void failOpening(const char* what, const std::error_code& ec) {
        failOpening(what, ec.message());
    }
    void failOpening(const char* what, const std::string& message) {
        if (isClosed()) {
            return;  // a timeout closed it and has been reported
        }
        Log::error(what, message);
        invokeHandler([this, &message] { owner.onErrorHandler(message); });
        close();
    }

    WebSocketClient& owner;
    const ConnectionOptions options;

    // Transport. The TLS stream refers to the socket and the context above it.
    const std::unique_ptr<EventLoopThread> ownLoop;  // null on a shared loop
    asio::io_context& context;                       // the own loop's or the shared one's
    HostGate hostGate;                               // shared loop: shut when the host lets go
    tcp::resolver resolver;
    tcp::socket socket;
    std::shared_ptr<asio::ssl::context> sslContext;  // set when useSSL
    std::optional<TlsStream> tls;                    // engaged when useSSL

    // Where to connect, from the URL.
    bool useSSL = false;         // scheme "wss" or "https", any letter case
    std::string host;            // as in the URL (IPv6 in brackets): SNI and Host header
    std::string address;         // host without brackets: resolution and certificate check
    bool hostIsAddress = false;  // an IP literal, never sent as the TLS server name
    std::string port;            // service text for the resolver
    std::string path;            // request target: path (or "/") and "?query"
    ClientTarget::Problem targetProblem = ClientTarget::Problem::none;  // fails the lookup

    // Opening handshake.
    std::vector<std::string> protocols;  // offered, in order
    std::string negotiatedProtocol;      // named by the server; empty when none
    std::string key;                     // Sec-WebSocket-Key of the handshake in progress

    // What identity() tells; written on the loop thread, read from any.
    mutable std::mutex knownMutex;
    SessionIdentity known;
};

WebSocketClient::WebSocketClient(const std::string& url, const std::vector<std::string>& protocols)
    : WebSocketClient(url, protocols, Handlers(), ConnectionOptions()) {}

WebSocketClient::WebSocketClient(const std::string& url, const std::vector<std::string>& protocols,
                                 Handlers handlers)
    : WebSocketClient(url, protocols, std::move(handlers), ConnectionOptions()) {}

WebSocketClient::WebSocketClient(const std::string& url, const std::vector<std::string>& protocols,
                                 Handlers handlers, const ConnectionOptions& options) {
    onOpenHandler = std::move(handlers.onOpen);
    onCloseHandler = std::move(handlers.onClose);
    onMessageHandler = std::move(handlers.onMessage);
    onOwnedMessageHandler = std::move(handlers.onOwnedMessage);
    onErrorHandler = std::move(handlers.onError);
    onPongHandler = std::move(handlers.onPong);
    onDrainHandler = std::move(handlers.onDrain);
    sharedLoop = options.eventLoop;
    internals = std::make_shared<Internals>(*this, url, protocols, options);
    internals->start();
}

WebSocketClient::~WebSocketClient() {
    stop();
    internals.reset();  // before the shared loop, which may go with it
}

void WebSocketClient::send(const std::vector<uint8_t>& data, bool isText, size_t maxFrameSize) {
    internals->sendMessage(data, isText ? opcodes::Text : opcodes::Binary, maxFrameSize);
}

void WebSocketClient::send(std::vector<uint8_t>&& data, bool isText, size_t maxFrameSize) {
    internals->sendMessage(std::move(data), isText ? opcodes::Text : opcodes::Binary, maxFrameSize);
}

void WebSocketClient::ping(const std::vector<uint8_t>& payload) {
    internals->sendPing(payload);
}

void WebSocketClient::close(const std::vector<uint8_t>& payload) {
    internals->sendClose(payload);
}

size_t WebSocketClient::bufferedAmount() const {
    return internals->bufferedAmount();
}

SessionIdentity WebSocketClient::identity() const {
    std::lock_guard<std::mutex> lock(internals->knownMutex);
    return internals->known;
}

void WebSocketClient::setMaxMessageSize(uint64_t bytes) {
    internals->setMaxMessageSize(bytes);
}

void WebSocketClient::stop() {
    internals->abandon();
}

}  // namespace relaymatrix::extensions::tidewire
