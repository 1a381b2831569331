// Who may use the Modbus server: the optional access settings of the
// configuration file, read after the server's own five, and the small
// bookkeeping the request loop needs to apply them.
//
//   AllowedClients  = ["10.20.0.0/16", "192.168.5.7"];  absent: everyone
//   ReadOnlyClients = ["10.20.9.0/24"];                 absent: nobody
//   ConnectionLimit = "32";                             absent or "0": no limit
//   IdleTimeout     = "60";                             seconds; absent or "0": never
//
// A file without them leaves the server as it is without this unit.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <libconfig.h++>
#include <netinet/in.h>
#include <string>
#include <vector>

using AccessClock = std::chrono::steady_clock;

class ClientAccess {
  public:
    // Reads the four settings from `config`, replacing what an earlier read
    // left. 0; -1 when one is present and wrong, with *error naming the
    // setting and the entry. After -1 nobody is allowed and Valid() is false:
    // a wrong setting never lets everyone in.
    int Read(const libconfig::Config& config, std::string* error);
    // For a file that could not be parsed, whose settings are unknown: -1
    // with *error when its text (comments aside) names one of the four, and
    // then nobody is allowed as after a failed Read; 0 when it names none.
    int ReadUnparsed(const std::string& path, std::string* error);

    // false after a failed read.
    bool Valid() const { return valid_; }
    bool Allowed(in_addr address) const;
    bool ReadOnly(in_addr address) const;
    // Open connections at most; 0: no limit.
    uint32_t ConnectionLimit() const { return limit_; }
    // How long a connection may go without a complete request; 0: forever.
    std::chrono::seconds IdleTimeout() const { return idle_; }
    // Whether the loop has to keep the connections in order of activity.
    bool TracksActivity() const { return limit_ != 0 || idle_.count() != 0; }

  private:
    struct Network {
        uint32_t address;  // host byte order, host bits cleared
        uint32_t mask;
    };
    static bool Matches(const std::vector<Network>& list, in_addr address);

    bool valid_ = true;
    bool restricted_ = false;  // AllowedClients is set
    std::vector<Network> allowed_, readOnly_;
    uint32_t limit_ = 0;
    std::chrono::seconds idle_{0};
};

// At most one report per source address and minute for refused
// connections, in a fixed table: a scan from any number of addresses costs
// no memory and at most one line per minute per slot, plus one for all the
// addresses that find the table full.
class RefusalReports {
  public:
    // true when a refusal from `address` at `now` is to be reported.
    bool Due(in_addr address, AccessClock::time_point now);

  private:
    static constexpr std::chrono::minutes kEvery{1};
    struct Slot {
        uint32_t address = 0;
        bool used = false;
        AccessClock::time_point last;
    };
    std::array<Slot, 64> slots_;
    bool overflowUsed_ = false;
    AccessClock::time_point overflowLast_;
};

// The open connections, by descriptor, in the order of their last activity
// (the accept or the last complete request), oldest first. Every operation
// takes constant time; memory grows with the highest descriptor seen.
class ActivityOrder {
  public:
    // Makes `fd` the most recently active, adding it if needed.
    void Touch(int fd, AccessClock::time_point now);
    // Forgets `fd`; nothing when it is not there.
    void Remove(int fd);
    // The connection idle longest, -1 when there is none.
    int Oldest() const { return oldest_; }
    // When `fd` (which must be there) was last active.
    AccessClock::time_point LastActive(int fd) const { return links_[fd].last; }

  private:
    struct Link {
        int older = -1, newer = -1;
        bool listed = false;
        AccessClock::time_point last;
    };
    std::vector<Link> links_;
    int oldest_ = -1, newest_ = -1;
};
