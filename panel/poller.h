// Poller: the panel's view of a running corvanebs. It keeps one Modbus link,
// reads the fitted modules every interval on a thread of its own, publishes
// what it read as a State, and carries out writes between two polls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "board.h"
#include "link.h"

namespace panel {

// The configuration lock cannot be read over Modbus; the panel learns it
// from the service's answers to writes.
enum class Lock { Unknown, Unlocked, Locked };

// What the panel shows: a copy, consistent in itself.
struct State {
    std::string modbus;  // HOST:PORT of the service
    bool connected = false;
    int64_t since_ms = 0;  // Unix time in ms when `connected` last changed
    std::string error;     // why the link is down
    int64_t time_ms = 0;   // end of the last complete poll
    double poll_seconds = 0;
    uint64_t polls = 0;
    Lock lock = Lock::Unknown;
    int64_t lock_ms = 0;  // when the lock state was learnt
    Plan plan;
    Values values;  // of the last complete poll; identification from connecting
    // Failed Modbus requests, by exception code ("1".."255") or "link"
    // for a request the connection failed on.
    std::map<std::string, uint64_t> errors;
};

class Poller {
  public:
    // `probe_lock`: on connecting, learn the lock state by an LED write
    // that the service refuses whatever the state (never in read-only use).
    Poller(const std::string& host, int port, std::chrono::milliseconds interval, bool probe_lock);
    ~Poller();  // stops and joins the thread
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    void Start();
    void Stop();
    State Snapshot() const;

    // Writes one coil (value 0 or 1) or holding register; the address must
    // be inside the table. Returns 0, the service's exception code, or -1
    // with `error` set when the link is down or failed. A poll follows before
    // it returns, so the next Snapshot shows the outcome.
    int Write(Table table, int address, uint16_t value, std::string* error);

  private:
    void Run();
    bool Connect();
    bool Poll();
    bool ReadRanges(const std::vector<Range>& ranges, Values* values);
    void LinkFailed(const std::string& error);
    void Count(int rc);
    void LearnLock(Table table, int address, uint16_t value, int rc);
    static int64_t NowMs();

    const std::chrono::milliseconds interval_;
    const bool probe_lock_;

    std::mutex io_;  // the link and the plan: one request at a time
    ModbusLink link_;
    Plan plan_;
    Values identification_;

    mutable std::mutex state_mutex_;
    State state_;

    std::mutex wake_mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace panel
