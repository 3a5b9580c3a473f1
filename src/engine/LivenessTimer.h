#pragma once

#include <algorithm>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <optional>
#include <system_error>

#include "core/ErrorTexts.h"
#include "core/Limits.h"
#include "tidewire/ConnectionOptions.h"

namespace relaymatrix::extensions::tidewire {

// The opt-in deadlines of one connection (opening, closing, keepalive) on one steady timer,
// created only when some deadline is configured and re-armed to the earliest one. Arrivals
// only note the time; the timer looks at it when it fires. Loop thread only.
//
// The same timer gives back a quiet connection's retained message storage.
//
// `Derived` supplies: executor(), keepAlive(), sendKeepalivePing(),
//   livenessExpired(const char* text)   "Handshake timeout", "Close timeout", ...
//   releaseIdleStorage()                the connection has been quiet since storageIdle()
template <class Derived>
class LivenessTimer {
public:
    using Clock = std::chrono::steady_clock;

    // Only the durations are kept: the rest of the options (headers, TLS files, a shared loop)
    // is not the timer's to hold.
    void configureLiveness(const ConnectionOptions& options) {
        settings = {options.keepaliveInterval, options.keepaliveTimeout, options.closeTimeout};
    }

    // Starts the opening deadline (`text` names its expiry); a zero duration clears it.
    void startOpeningDeadline(std::chrono::milliseconds duration, const char* text) {
        opening = deadlineAfter(duration);
        openingText = text;
        rearm();
    }
    void clearOpeningDeadline() { opening.reset(); }

    // The connection is open: keepalive starts watching for silence.
    void startKeepalive() {
        opening.reset();
        if (settings.keepaliveInterval.count() > 0) {
            keepalive = true;
            lastReceived = Clock::now();
            rearm();
        }
    }

    // Our Close is written: the peer has closeTimeout to answer.
    void startClosingDeadline() {
        closing = deadlineAfter(settings.closeTimeout);
        rearm();
    }

    // Bytes arrived. Cheap enough for every read: one flag test when keepalive is off, and
    // the timer moves only when they answer our Ping (the next one is due an interval on).
    void noteReceived() {
        if (keepalive) {
            lastReceived = Clock::now();
            if (pingSentAt) {
                pingSentAt.reset();
                rearm();
            }
        }
    }

    // Keepalive counts every arrival as life.
    bool watchesArrivals() const { return keepalive; }

    // Nothing to read for now while message storage is retained: unless more arrives, the
    // storage goes after idleRelease. Called at every such pause, it
    // only moves the time while a wait is pending.
    void storageIdle() {
        release = Clock::now() + idleRelease;
        rearm();
    }
    // Tests shorten the wait.
    void setIdleRelease(std::chrono::milliseconds wait) { idleRelease = wait; }

    // Destroys the timer; the transport calls it while the loop that owns it still exists
    // (the engine's bases outlive a transport's own members).
    void releaseTimer() { timer.reset(); }

    void stopLiveness() {
        opening.reset();
        closing.reset();
        release.reset();
        keepalive = false;
        if (timer) {
            timer->cancel();
        }
    }

private:
    Derived& derived() { return static_cast<Derived&>(*this); }

    static std::optional<Clock::time_point> deadlineAfter(std::chrono::milliseconds duration) {
        if (duration.count() <= 0) {
            return std::nullopt;
        }
        return Clock::now() + duration;
    }

    std::chrono::milliseconds keepaliveTimeout() const {
        return settings.keepaliveTimeout.count() > 0 ? settings.keepaliveTimeout
                                                     : settings.keepaliveInterval;
    }

    std::optional<Clock::time_point> nextDeadline() const {
        std::optional<Clock::time_point> next;
        auto consider = [&next](std::optional<Clock::time_point> t) {
            if (t && (!next || *t < *next)) {
                next = t;
            }
        };
        consider(opening);
        consider(closing);
        consider(release);
        if (keepalive) {
            consider(pingSentAt ? *pingSentAt + keepaliveTimeout()
                                : lastReceived + settings.keepaliveInterval);
        }
        return next;
    }

    void rearm() {
        const std::optional<Clock::time_point> next = nextDeadline();
        if (!next || (waiting && armedFor <= *next)) {
            return;  // a wait already pending fires first and re-arms then
        }
        if (!timer) {
            timer.emplace(derived().executor());
        }
        armedFor = *next;
        waiting = true;
        timer->expires_at(*next);  // a wait still pending completes as cancelled
        timer->async_wait(
            [this, keep = derived().keepAlive(), wait = ++waits](const std::error_code& ec) {
                if (wait != waits) {
                    return;  // superseded by a later wait
                }
                waiting = false;
                if (!ec) {
                    fired();
                }
            });
    }

    void fired() {
        const Clock::time_point now = Clock::now();
        if (release && now >= *release) {
            release.reset();
            derived().releaseIdleStorage();
        }
        if (opening && now >= *opening) {
            opening.reset();
            derived().livenessExpired(openingText);
            return;
        }
        if (closing && now >= *closing) {
            closing.reset();
            derived().livenessExpired(errorTexts::closeTimeout);
            return;
        }
        if (keepalive) {
            if (pingSentAt && lastReceived > *pingSentAt) {
                pingSentAt.reset();  // the peer spoke after our Ping
            }
            if (pingSentAt && now >= *pingSentAt + keepaliveTimeout()) {
                keepalive = false;
                derived().livenessExpired(errorTexts::keepaliveTimeout);
                return;
            }
            if (!pingSentAt && now >= lastReceived + settings.keepaliveInterval) {
                pingSentAt = now;
                derived().sendKeepalivePing();
            }
        }
        rearm();
    }

    struct Durations {
        std::chrono::milliseconds keepaliveInterval{0};
        std::chrono::milliseconds keepaliveTimeout{0};
        std::chrono::milliseconds closeTimeout{0};
    };
    Durations settings;
    std::optional<asio::steady_timer> timer;   // made on first use
    bool waiting = false;                      // a wait is pending on the timer
    unsigned waits = 0;                        // numbers the waits; only the last one counts
    Clock::time_point armedFor;                // when that wait fires
    std::optional<Clock::time_point> opening;  // connect or handshake deadline
    const char* openingText = "";
    std::optional<Clock::time_point> closing;
    bool keepalive = false;
    Clock::time_point lastReceived;
    std::optional<Clock::time_point> pingSentAt;  // our keepalive Ping awaits any answer
    std::optional<Clock::time_point> release;     // retained storage goes then
    std::chrono::milliseconds idleRelease{limits::idleReleaseMilliseconds};
};

}  // namespace relaymatrix::extensions::tidewire
