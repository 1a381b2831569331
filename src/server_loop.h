// The request loop's state: the readiness wait, the clients and their
// receive buffers. Internal to the server unit (server_*.cpp).
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <utility>
#include <vector>

#include "modbus_server.h"
#include "platform.h"
#include "server_frames.h"

namespace server {

using Clock = std::chrono::steady_clock;

// The request loop's readiness wait: the descriptors it serves and, per
// pass, those with something to read (a hang-up or an error counts: reading
// reports it). This is the only place that knows the mechanism, epoll: one
// call per pass whatever the number of connections, for descriptors of any
// number.
class Readiness {
  public:
    Readiness() : epoll_(epoll_create1(EPOLL_CLOEXEC)) {}

    // false when the wait could not be set up.
    bool Ok() const { return epoll_.get() != -1; }
    // Watches `fd`: 0, or -1 with errno when it cannot be watched.
    int Add(int fd) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        return epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event);
    }
    // Stops watching `fd`, which stays open. Closing it is enough otherwise.
    void Remove(int fd) { epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr); }
    // Waits up to `timeoutMs` (-1: no limit) and puts the ready descriptors
    // in *ready: their number, or -1 with errno.
    int Wait(int timeoutMs, std::vector<int>* ready) {
        const int n =
            epoll_wait(epoll_.get(), events_.data(), static_cast<int>(events_.size()), timeoutMs);
        ready->clear();
        for (int i = 0; i < n; ++i) ready->push_back(events_[i].data.fd);
        return n;
    }

  private:
    UniqueFd epoll_;
    // Level-triggered: what does not fit comes back in the next pass.
    std::array<epoll_event, 256> events_;
};

// Room for a few frames: requests sent back to back come in with one recv.
constexpr size_t kReceiveBuffer = 4 * MODBUS_TCP_MAX_ADU_LENGTH;

struct Client {
    UniqueFd socket;  // closed when the client is forgotten
    std::string name;
    // The bytes received and not yet served are buffer[begin, end).
    size_t begin = 0, end = 0;
    // Holds a complete request and is queued to serve it; nothing more is
    // read until it has been served.
    bool due = false;
    bool readOnly = false;  // its writes are refused
    // Dropped, but its replies may still be on their way: the sending side
    // is shut, what it sends is read and discarded until it closes or until
    // lingerUntil. Closing at once with unread bytes would send a reset,
    // which makes the peer throw away replies it has not read yet.
    bool lingering = false;
    Clock::time_point lingerUntil;
    uint8_t buffer[kReceiveBuffer];
};

enum class Front { Incomplete, Complete, Invalid };

// What the front of a client's bytes is: a complete frame of *length bytes,
// the start of one, or bytes that cannot start a Modbus TCP frame (*why).
inline Front FrontOf(const Client& c, int* length, std::string* why) {
    const size_t have = c.end - c.begin;
    if (have < kBytesBeforeLengthEnd) return Front::Incomplete;
    const uint8_t* frame = c.buffer + c.begin;
    const int protocol = Be16(frame + kProtocolOffset);
    const int announced = Be16(frame + kLengthOffset);
    if (protocol != 0 || announced < kShortestLength || announced > kLongestLength) {
        *why = "not a Modbus TCP frame (protocol identifier " + std::to_string(protocol) +
               ", length " + std::to_string(announced) + ")";
        return Front::Invalid;
    }
    *length = kBytesBeforeLengthEnd + announced;
    return have >= static_cast<size_t>(*length) ? Front::Complete : Front::Incomplete;
}

// Out of descriptors, the listening socket stays readable while accept keeps
// failing; it leaves the wait until a connection closes, or for at most
// this long.
constexpr std::chrono::seconds kAcceptRetry{1};

// Descriptors kept free below the process's limit for the board: the base
// module opens a sysfs file per pin access (the request loop and the LED
// thread at once), the drivers their devices, the journal its socket. A
// client whose descriptor would fall into them is closed at once.
constexpr int kDescriptorReserve = 16;

// How long a dropped client's replies get to reach it.
constexpr std::chrono::seconds kLinger{2};

}  // namespace server

struct Modbus_Server::Loop {
    server::Readiness readiness;
    std::vector<std::unique_ptr<server::Client>> clients;  // by descriptor; each owns its socket
    std::vector<int> due;      // clients with a complete request, in the order they got it
    std::vector<int> serving;  // the ones served in this pass
    std::vector<int> ready;
    modbus_request request{};  // zeroed once, reused for every request
    RefusalReports refusals;
    ActivityOrder activity;  // kept only when the access settings need it
    // Lingering clients with their deadlines, in the order they were dropped.
    std::deque<std::pair<int, server::Clock::time_point>> lingering;

    bool acceptPaused = false;
    bool acceptReported = false;  // the episode has been logged
    server::Clock::time_point acceptRetryAt;

    // The client on `socket`, or null. Borrowed: valid until Forget(socket).
    server::Client* Find(int socket) {
        return socket >= 0 && static_cast<size_t>(socket) < clients.size() ? clients[socket].get()
                                                                           : nullptr;
    }
    // Closes a client's socket, which also takes it out of the wait.
    void Forget(int socket) {
        clients[socket].reset();
        activity.Remove(socket);
        due.erase(std::remove(due.begin(), due.end(), socket), due.end());
    }
    // Shuts the sending side of a dropped client and lets it linger.
    void Linger(int socket) {
        server::Client& c = *clients[socket];
        shutdown(socket, SHUT_WR);
        activity.Remove(socket);  // no longer a connection: never idle, never evicted
        c.lingering = true;
        c.due = false;
        c.begin = c.end = 0;
        due.erase(std::remove(due.begin(), due.end(), socket), due.end());
        c.lingerUntil = server::Clock::now() + server::kLinger;
        lingering.emplace_back(socket, c.lingerUntil);
    }
    // Closes the lingering clients whose time is up.
    void EndLingering(server::Clock::time_point now) {
        while (!lingering.empty() && lingering.front().second <= now) {
            const auto [socket, until] = lingering.front();
            lingering.pop_front();
            const server::Client* c = Find(socket);
            // Its descriptor may since belong to another client.
            if (c != nullptr && c->lingering && c->lingerUntil == until) Forget(socket);
        }
    }
    // Stops accepting until a client leaves or the retry time has come. The
    // episode is logged once, at its start.
    void PauseAccepting(int listening, CorvaneLogger* log, const std::string& why) {
        acceptPaused = true;
        acceptRetryAt = server::Clock::now() + server::kAcceptRetry;
        readiness.Remove(listening);
        if (acceptReported) return;
        acceptReported = true;
        log->Log(
            LOG_WARNING,
            "[MBS] Out of file descriptors (" + why + "): new connections wait until one closes",
            false);
    }
    void ResumeAccepting(int listening) {
        if (!acceptPaused) return;
        acceptPaused = false;
        readiness.Add(listening);
    }
};
