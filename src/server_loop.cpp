// The request loop: one pass waits for readiness, accepts, reads, frames
// and serves one request per client that has one.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>
#include <utility>

#include "modbus_server.h"
#include "server_loop.h"

using namespace server;

namespace {

std::string PeerName(const sockaddr_in& address) {
    return std::string(inet_ntoa(address.sin_addr)) + ":" + std::to_string(ntohs(address.sin_port));
}

// The process's descriptor limit as an int.
int DescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > static_cast<rlim_t>(INT_MAX))
        return INT_MAX;
    return static_cast<int>(limit.rlim_cur);
}

// Milliseconds from now to `at` (0 once it has passed), the shorter of that
// and `wait` (-1: none yet).
int WaitUntil(int wait, Clock::time_point at) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        std::max(Clock::duration::zero(), at - Clock::now()));
    return wait == -1 ? static_cast<int>(left.count())
                      : std::min(wait, static_cast<int>(left.count()));
}

}  // namespace

int Modbus_Server::WaitAndHandle() {
    int status = 1;
    while (HandlePass(-1, &status) >= 0) {
    }
    close_sigint_mb(status);
}

int Modbus_Server::HandlePass(int timeoutMs, int* status) {
    if (!loop) {
        *status = 1;
        return -1;
    }
    Loop& l = *loop;
    int wait = l.due.empty() ? timeoutMs : 0;
    if (l.acceptPaused) wait = WaitUntil(wait, l.acceptRetryAt);
    if (!l.lingering.empty()) wait = WaitUntil(wait, l.lingering.front().second);
    wait = IdleWait(wait);
    if (l.readiness.Wait(wait, &l.ready) == -1) {
        if (errno == EINTR) return 0;
        // The text operators know from the select() loop this wait replaced.
        std::perror("Server select() failure.");
        *status = 1;
        return -1;
    }

    int handled = 0;
    for (int fd : l.ready) {
        if (fd == shutdownPipe[0]) {
            if (read(fd, status, sizeof *status) == static_cast<ssize_t>(sizeof *status)) return -1;
        } else if (fd == serverSocket) {
            AcceptClient();
        } else {
            ReadClient(fd);
        }
        ++handled;
    }
    const Clock::time_point now = Clock::now();
    if (l.acceptPaused && now >= l.acceptRetryAt) l.ResumeAccepting(serverSocket);
    l.EndLingering(now);

    // One request from every client that has one: none waits behind another's queue.
    l.serving.swap(l.due);
    l.due.clear();
    for (int fd : l.serving) {
        ServeRequest(fd);
        ++handled;
    }
    CloseIdle();
    return handled;
}

void Modbus_Server::AcceptClient() {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    socklen_t size = sizeof address;
    UniqueFd accepted(accept4(serverSocket, reinterpret_cast<sockaddr*>(&address), &size,
                              SOCK_NONBLOCK | SOCK_CLOEXEC));
    const int client = accepted.get();
    if (client == -1) {
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) return;
        if (error != EMFILE && error != ENFILE) {
            std::perror("Server accept() error");
            return;
        }
        // Once per episode: every retry would report it again.
        if (!loop->acceptReported) std::perror("Server accept() error");
        loop->PauseAccepting(serverSocket, logger, std::strerror(error));
        return;
    }
    const int limit = DescriptorLimit();
    if (client >= limit - kDescriptorReserve) {
        // Descriptors are handed out lowest first: every one below it is open.
        accepted.Reset();
        loop->PauseAccepting(serverSocket, logger,
                             std::to_string(client + 1) + " of " + std::to_string(limit) +
                                 " open, the last " + std::to_string(kDescriptorReserve) +
                                 " kept for the board");
        return;
    }
    if (!Admit(address)) return;
    const std::string peer = PeerName(address);
    if (loop->acceptReported) {
        loop->acceptReported = false;
        logger->Log(LOG_INFO, "[MBS] Descriptors available again, accepting connections", false);
    }
    // Each reply goes out in one send, complete: holding it back for an
    // acknowledgement would only delay the next request's reply.
    const int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (loop->readiness.Add(client) != 0) {
        logger->Log(LOG_WARNING,
                    "[MBS] Connection from " + peer + " refused: " + std::strerror(errno), false);
        return;
    }
    if (loop->clients.size() <= static_cast<size_t>(client)) loop->clients.resize(client + 1);
    loop->clients[client] = std::make_unique<Client>();
    loop->clients[client]->socket = std::move(accepted);
    loop->clients[client]->name = peer;
    loop->clients[client]->readOnly = access.ReadOnly(address.sin_addr);
    connections.push_back(modbus_connection{client, address, peer});
    logger->Log(LOG_INFO, "New connection from " + peer, false);
    logger->Log(LOG_INFO, "Active Connections: " + std::to_string(connections.size()), false);
    moduleManager->Set_LED_State(GRUND_CONNECTION_LED, LED_FAST_BLINK);
    MakeRoom(client, peer);
}

void Modbus_Server::ReadClient(int socket) {
    Client* c = loop->Find(socket);
    if (c != nullptr && c->lingering) {
        // Read only to be thrown away; its end or an error ends the lingering.
        const ssize_t n = recv(socket, c->buffer, sizeof c->buffer, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            loop->Forget(socket);
        return;
    }
    if (c == nullptr || c->due) return;
    if (c->begin > 0) {
        std::memmove(c->buffer, c->buffer + c->begin, c->end - c->begin);
        c->end -= c->begin;
        c->begin = 0;
    }
    // Not due: less than a frame is buffered, so there is room.
    const ssize_t n = recv(socket, c->buffer + c->end, sizeof c->buffer - c->end, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
        DropClient(socket, "");
        return;
    }
    c->end += static_cast<size_t>(n);
    QueueRequest(socket);
}

void Modbus_Server::QueueRequest(int socket) {
    Client* c = loop->Find(socket);
    int length = 0;
    std::string why;
    switch (FrontOf(*c, &length, &why)) {
        case Front::Complete:
            c->due = true;
            loop->due.push_back(socket);
            break;
        case Front::Invalid:
            // The replies to the requests before it are still to be read.
            c->lingering = true;
            DropClient(socket, why);
            break;
        case Front::Incomplete:
            c->due = false;
            break;
    }
}

void Modbus_Server::ServeRequest(int socket) {
    Client* c = loop->Find(socket);
    int length = 0;
    std::string why;
    if (c == nullptr || FrontOf(*c, &length, &why) != Front::Complete) return;
    if (access.TracksActivity()) loop->activity.Touch(socket, Clock::now());
    const int error =
        Answer(socket, c->name, c->buffer + c->begin, length, c->readOnly) == 0 ? 0 : errno;
    c->begin += static_cast<size_t>(length);
    if (c->begin == c->end) c->begin = c->end = 0;
    if (error == EAGAIN || error == EWOULDBLOCK || error == EMBBADDATA) {
        // Its reply does not fit in what the peer has left unread: waiting
        // for it would hold every other client.
        DropClient(socket, "it does not read its replies");
    } else if (error != 0) {
        DropClient(socket, "");
    } else {
        QueueRequest(socket);
    }
}

void Modbus_Server::DropClient(int socket, const std::string& why) {
    auto it = std::find_if(connections.begin(), connections.end(),
                           [socket](const modbus_connection& c) { return c.socket == socket; });
    if (it != connections.end()) {
        if (!why.empty()) {
            logger->Log(LOG_WARNING, "[MBS] Closing the connection to " + it->name + ": " + why,
                        false);
        }
        logger->Log(LOG_INFO, "Connection to " + it->name + " closed", false);
        connections.erase(it);
    }
    logger->Log(LOG_INFO, "Active Connections: " + std::to_string(connections.size()), false);
    Client* c = loop->Find(socket);
    if (c != nullptr && c->lingering) {
        loop->Linger(socket);
    } else {
        loop->Forget(socket);
    }
    if (connections.empty()) moduleManager->Set_LED_State(GRUND_CONNECTION_LED, LED_SLOW_BLINK);
    loop->ResumeAccepting(serverSocket);
}
