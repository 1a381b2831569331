// The access settings applied in the request loop: refused sources, the
// connection limit and the idle timeout. Read-only clients are refused in
// Answer, where requests are taken apart.
#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <cstdint>
#include <syslog.h>

#include "modbus_server.h"
#include "server_loop.h"

using namespace server;

bool Modbus_Server::Admit(const sockaddr_in& address) {
    if (access.Allowed(address.sin_addr)) return true;
    if (loop->refusals.Due(address.sin_addr, Clock::now())) {
        logger->Log(LOG_WARNING,
                    std::string("[MBS] Refused connection from ") + inet_ntoa(address.sin_addr) +
                        ": not an allowed client",
                    false);
    }
    return false;
}

void Modbus_Server::MakeRoom(int client, const std::string& peer) {
    if (!access.TracksActivity()) return;
    loop->activity.Touch(client, Clock::now());
    const uint32_t limit = access.ConnectionLimit();
    if (limit == 0 || connections.size() <= limit) return;
    // The new connection is the most recently active, so never the one
    // closed: a master that reconnects always gets in.
    DropClient(loop->activity.Oldest(),
               "connection limit of " + std::to_string(limit) + " reached, admitting " + peer);
}

int Modbus_Server::IdleWait(int waitMs) const {
    const auto idle = access.IdleTimeout();
    const int oldest = loop->activity.Oldest();
    if (idle.count() == 0 || oldest == -1) return waitMs;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        loop->activity.LastActive(oldest) + idle - Clock::now());
    const int ms = static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX));
    return waitMs == -1 ? ms : std::min(waitMs, ms);
}

void Modbus_Server::CloseIdle() {
    const auto idle = access.IdleTimeout();
    if (idle.count() == 0) return;
    const auto now = Clock::now();
    for (int fd = loop->activity.Oldest(); fd != -1 && now - loop->activity.LastActive(fd) >= idle;
         fd = loop->activity.Oldest()) {
        DropClient(fd, "no request for " + std::to_string(idle.count()) + " s");
    }
}
