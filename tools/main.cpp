// tidewire: try and debug WebSocket and UDP peers from a shell with the library.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Commands.h"

namespace {

using namespace relaymatrix::extensions::tidewire::tool;

const char usage[] = R"(usage:
  tidewire connect URL [options]
      Sends each line of standard input as a text message and prints every message
      received, one per line; closes with 1000 when standard input ends.
      --binary               send lines as binary messages
      --raw                  print binary messages as they are (default: lowercase hex)
      --protocol P           offer subprotocol P (repeatable, in order of preference)
      --header "Name: value" add a request header (repeatable)
      --ca FILE              trust the CAs in FILE instead of the system's
      --cert FILE --key FILE present a client certificate
      --tls13                allow TLS 1.3 as well as 1.2
      --ping-interval MS     ping after MS milliseconds (not seconds) of silence from
                             the server
      --print-ping-rtts      with --ping-interval: also ping at the open and every
                             interval, and print each round trip on standard error
      --timeout MS           bound the connect and the handshake to MS milliseconds
                             (10000 unless given; 0: wait as long as the system lets it)
      --verbose              log at debug level, show the chosen subprotocol
  tidewire serve PORT [options]
      Echoes every message to its sender; prints "listening on PORT" (the bound port,
      so 0 picks a free one) and runs until SIGINT or SIGTERM.
      --broadcast            send every message to every open session instead
      --cert FILE --key FILE serve TLS with this certificate chain and key
      --origin ORIGIN        admit browsers from ORIGIN only (repeatable; "*" for any)
      --protocol P           subprotocols to choose from (repeatable, preferred first)
      --bind ADDRESS         listen on one IPv4 or IPv6 address ("::" for both)
      --max-sessions N       refuse clients beyond N open sessions
      --stdin-stop           also stop when standard input ends
      --verbose              log at debug level, show sessions opening and ending
  tidewire udp send HOST PORT
      Sends each line of standard input as one datagram to HOST (numeric address),
      and exits once every one has been handed to the system.
  tidewire udp listen PORT [--from] [--bind ADDRESS] [--stdin-stop]
      Prints "listening on PORT", then each datagram received as one line, whole.
      --from                 begin each line with "from ADDRESS:PORT, SIZE bytes: "
      --bind ADDRESS         listen on one IPv4 or IPv6 address ("::" for both)
  tidewire --help | --version

Exit status: 0 done (connect: the server closed with 1000 or 1001), 1 connection failed
or lost (reason on standard error), 2 bad arguments, 3 connect: the server closed with
another code. connect prints the server's close code and reason on standard error.
)";

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> words(argv + 1, argv + argc);
    if (!words.empty() && (words[0] == "--help" || words[0] == "-h" || words[0] == "help")) {
        std::fputs(usage, stdout);
        return exitDone;
    }
    if (!words.empty() && words[0] == "--version") {
        std::printf("tidewire %s\n", TIDEWIRE_VERSION);
        return exitDone;
    }
    try {
        const std::vector<std::string> rest(words.empty() ? words.end() : words.begin() + 1,
                                            words.end());
        const std::string command = words.empty() ? "" : words[0];
        if (command == "connect") {
            return runConnect(rest);
        }
        if (command == "serve") {
            return runServe(rest);
        }
        if (command == "udp") {
            return runUdp(rest);
        }
        throw UsageError(command.empty() ? "no command" : "unknown command '" + command + "'");
    } catch (const UsageError& e) {
        std::fprintf(stderr, "tidewire: %s\nRun 'tidewire --help' for usage.\n", e.what());
        return exitUsage;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tidewire: %s\n", e.what());
        return exitFailed;
    }
}
