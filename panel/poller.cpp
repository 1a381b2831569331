#include "poller.h"

#include <algorithm>

namespace panel {

namespace {

// The lock register's codes (holding register 0 of the base module).
constexpr uint16_t kUnlockCode = 5281;
constexpr uint16_t kLockCode = 6914;
// LED 0 and LED 1 both in mode 3, which the base module refuses with
// exception 3 while the configuration is unlocked; locked, the dispatcher
// refuses it first with exception 1. Either way nothing changes.
constexpr uint16_t kLockProbe = 0x33;
constexpr std::chrono::milliseconds kMaxBackoff{5000};

}  // namespace

Poller::Poller(const std::string& host, int port, std::chrono::milliseconds interval,
               bool probe_lock)
    : interval_(interval), probe_lock_(probe_lock), link_(host, port) {
    state_.modbus = host + ":" + std::to_string(port);
    state_.since_ms = NowMs();
}

Poller::~Poller() {
    Stop();
}

void Poller::Start() {
    thread_ = std::thread(&Poller::Run, this);
}

void Poller::Stop() {
    {
        std::lock_guard<std::mutex> lock(wake_mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

State Poller::Snapshot() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return state_;
}

void Poller::Run() {
    std::chrono::milliseconds backoff = interval_;
    for (;;) {
        const auto start = std::chrono::steady_clock::now();
        bool up;
        {
            std::lock_guard<std::mutex> lock(io_);
            up = Connect() && Poll();
        }
        // A service that is away is asked again less and less often.
        backoff = up ? interval_ : std::min(std::max(backoff * 2, interval_), kMaxBackoff);
        std::unique_lock<std::mutex> lock(wake_mutex_);
        wake_.wait_until(lock, start + (up ? interval_ : backoff), [this] { return stop_; });
        if (stop_) return;
    }
}

bool Poller::Connect() {
    if (link_.connected()) return true;
    std::string error;
    if (!link_.Connect(&error)) {
        LinkFailed(error);
        return false;
    }
    // What is fitted does not change while the service runs; a restarted
    // service is a new connection and is asked again.
    plan_ = Plan();
    identification_ = Values();
    std::vector<uint16_t> words(kIdentification.count);
    const int rc = link_.Read(kIdentification.table, kIdentification.address, kIdentification.count,
                              words.data(), &error);
    Count(rc);
    if (rc == -1) {
        LinkFailed(error);
        return false;
    }
    for (int i = 0; rc == 0 && i < kIdentification.count; ++i)
        identification_.Set(kIdentification.table, kIdentification.address + i, words[i]);
    TakeFitted(identification_, &plan_);

    Lock lock = Lock::Unknown;
    if (probe_lock_) {
        const int probe = link_.Write(Table::Holding, 1, kLockProbe, &error);
        if (probe == -1) {
            LinkFailed(error);
            return false;
        }
        lock = probe == 3 ? Lock::Unlocked : probe == 1 ? Lock::Locked : Lock::Unknown;
    }
    std::lock_guard<std::mutex> guard(state_mutex_);
    state_.lock = lock;
    state_.lock_ms = NowMs();
    return true;
}

bool Poller::Poll() {
    const auto start = std::chrono::steady_clock::now();
    Values values = identification_;
    // Holding registers first: they carry the analog channels' functions,
    // which decide what the other tables are asked for.
    if (!ReadRanges(PollRanges(Table::Holding, plan_), &values)) return false;
    if (TakeFunctions(values, &plan_)) {
        values = identification_;
        if (!ReadRanges(PollRanges(Table::Holding, plan_), &values)) return false;
    }
    for (Table table : {Table::Input, Table::DiscreteInput, Table::Coil}) {
        if (!ReadRanges(PollRanges(table, plan_), &values)) return false;
    }
    DeriveRelayCoils(plan_, &values);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;

    std::lock_guard<std::mutex> lock(state_mutex_);
    if (!state_.connected) state_.since_ms = NowMs();
    state_.connected = true;
    state_.error.clear();
    state_.plan = plan_;
    state_.values = std::move(values);
    state_.time_ms = NowMs();
    state_.poll_seconds = took.count();
    ++state_.polls;
    return true;
}

bool Poller::ReadRanges(const std::vector<Range>& ranges, Values* values) {
    std::vector<uint16_t> words;
    for (const Range& r : ranges) {
        words.assign(r.count, 0);
        std::string error;
        const int rc = link_.Read(r.table, r.address, r.count, words.data(), &error);
        Count(rc);
        if (rc == -1) {
            LinkFailed(error);
            return false;
        }
        // A refused request leaves its addresses without a value; the
        // addresses a range only spans are not shown.
        for (int i = 0; rc == 0 && i < r.count; ++i) {
            if (Wanted(r.table, r.address + i, plan_))
                values->Set(r.table, r.address + i, words[i]);
        }
    }
    return true;
}

int Poller::Write(Table table, int address, uint16_t value, std::string* error) {
    std::lock_guard<std::mutex> lock(io_);
    if (!link_.connected()) {
        *error = "not connected to the service";
        return -1;
    }
    const int rc = link_.Write(table, address, value, error);
    Count(rc);
    if (rc == -1) {
        LinkFailed(*error);
        return rc;
    }
    LearnLock(table, address, value, rc);
    // The next poll asks for what the new analog functions serve.
    const Channel& c = ChannelAt(table, address);
    if (rc == 0 && table == Table::Holding && c.channel == 0 && Modules()[c.module].kind == "AIO")
        plan_.SetFunctions(c.module, value);
    // Whoever wrote sees the outcome in the next snapshot they fetch.
    Poll();
    return rc;
}

void Poller::LinkFailed(const std::string& error) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (state_.connected) state_.since_ms = NowMs();
    state_.connected = false;
    state_.error = error;
}

void Poller::Count(int rc) {
    if (rc == 0) return;
    std::lock_guard<std::mutex> lock(state_mutex_);
    ++state_.errors[rc == -1 ? "link" : std::to_string(rc)];
}

void Poller::LearnLock(Table table, int address, uint16_t value, int rc) {
    const Channel& c = ChannelAt(table, address);
    if (!c.config || !plan_.Fitted(c.module) || c.meaning == nullptr) return;
    Lock learnt = Lock::Unknown;
    if (table == Table::Holding && address == 0) {
        if (rc == 0 && value == kUnlockCode) learnt = Lock::Unlocked;
        if (rc == 0 && value == kLockCode) learnt = Lock::Locked;
    } else if (std::string(c.meaning->text).rfind("reserved", 0) != 0) {
        // A fitted module's configuration entry is refused with exception 1
        // only while the lock is set.
        if (rc == 0) learnt = Lock::Unlocked;
        if (rc == 1) learnt = Lock::Locked;
    }
    if (learnt == Lock::Unknown) return;
    std::lock_guard<std::mutex> lock(state_mutex_);
    state_.lock = learnt;
    state_.lock_ms = NowMs();
}

int64_t Poller::NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace panel
