// corvane-loadgen: closed-loop Modbus TCP load. Each connection has its own thread and keeps
// exactly one request in flight, so the figures show what a server does per request rather
// than how deep it can queue.
//
//   corvane-loadgen --host 127.0.0.1 --port P --connections N --seconds S
//                   [--address A] [--count C] [--requests R] [--churn K]
//
// --requests: stop once R requests have been made in all (the seconds still
// bound the run). --churn: each connection is closed and a new one opened
// after every K requests.
//
// Last line of output, for scripts:
//   rps=<requests/s> p50_us=<median latency> p99_us=<99th percentile> errors=<n> connected=<n>

#include <modbus/modbus.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string host = "127.0.0.1";
    int port = -1;
    int connections = 1;
    double seconds = 5.0;
    int address = 10;
    int count = 10;
    long long requests = 0;  // 0: as many as the seconds allow
    int churn = 0;           // 0: one connection for the whole run
};

// Connects burst in at once; a listen queue that overflows makes some of them fail, which is
// a property of the moment, not of the server, so each gets a few more attempts.
constexpr int kConnectAttempts = 5;
constexpr auto kConnectPause = std::chrono::milliseconds(50);
// A broken connection is re-established a few times at most, so a dead server ends the run
// instead of spinning.
constexpr int kReconnects = 3;

struct Worker {
    std::vector<uint32_t> latenciesUs;
    uint64_t errors = 0;
    bool connected = false;
    uint64_t connects = 0;
    Clock::time_point started;
    Clock::time_point finished;
};

// Every thread connects first; the clock starts once all of them are ready, so connection
// setup is not part of the measured window.
class StartGate {
  public:
    explicit StartGate(int parties) : waiting_(parties) {}
    // Returns the common start time.
    Clock::time_point ArriveAndWait() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (--waiting_ == 0) {
            start_ = Clock::now();
            open_ = true;
            cv_.notify_all();
        } else {
            cv_.wait(lock, [this] { return open_; });
        }
        return start_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int waiting_;
    bool open_ = false;
    Clock::time_point start_;
};

modbus_t* Connect(const Options& opt) {
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        modbus_t* ctx = modbus_new_tcp(opt.host.c_str(), opt.port);
        if (ctx == nullptr) return nullptr;
        modbus_set_response_timeout(ctx, 2, 0);
        if (modbus_connect(ctx) == 0) return ctx;
        modbus_free(ctx);
        std::this_thread::sleep_for(kConnectPause * (attempt + 1));
    }
    return nullptr;
}

void Release(modbus_t* ctx) {
    if (ctx == nullptr) return;
    modbus_close(ctx);
    modbus_free(ctx);
}

void Run(const Options& opt, StartGate& gate, std::atomic<long long>& left, Worker& w) {
    modbus_t* ctx = Connect(opt);
    w.connected = ctx != nullptr;
    w.connects = w.connected ? 1 : 0;
    if (!w.connected) ++w.errors;
    w.started = gate.ArriveAndWait();
    const Clock::time_point deadline = w.started + std::chrono::duration_cast<Clock::duration>(
                                                       std::chrono::duration<double>(opt.seconds));
    std::vector<uint16_t> values(static_cast<size_t>(opt.count));
    int reconnects = 0;
    int onConnection = 0;
    while (ctx != nullptr) {
        const Clock::time_point before = Clock::now();
        if (before >= deadline || (opt.requests > 0 && left.fetch_sub(1) <= 0)) break;
        const int rc = modbus_read_registers(ctx, opt.address, opt.count, values.data());
        const int error = errno;
        const Clock::time_point after = Clock::now();
        if (rc == opt.count) {
            const auto us = std::chrono::duration_cast<std::chrono::microseconds>(after - before);
            w.latenciesUs.push_back(static_cast<uint32_t>(us.count()));
            if (opt.churn > 0 && ++onConnection == opt.churn) {
                onConnection = 0;
                Release(ctx);
                ctx = Connect(opt);
                if (ctx == nullptr) ++w.errors;
                ++w.connects;
            }
            continue;
        }
        ++w.errors;
        // A Modbus exception leaves the connection usable; anything else may have left
        // half a reply in the socket, so start over on a fresh connection.
        if (rc < 0 && error > MODBUS_ENOBASE && error <= EMBXGTAR) continue;
        Release(ctx);
        ctx = nullptr;
        if (reconnects++ < kReconnects && Clock::now() < deadline) ctx = Connect(opt);
    }
    w.finished = Clock::now();
    Release(ctx);
}

uint32_t Percentile(std::vector<uint32_t>& sorted, double p) {
    if (sorted.empty()) return 0;
    size_t index = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

void Usage() {
    std::fprintf(stderr,
                 "usage: corvane-loadgen --host H --port P --connections N --seconds S "
                 "[--address A] [--count C] [--requests R] [--churn K]\n");
}

bool ParseArgs(int argc, char** argv, Options* opt) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        char* end = nullptr;
        errno = 0;
        if (arg == "--host") {
            opt->host = value;
            continue;
        }
        if (arg == "--seconds") {
            opt->seconds = std::strtod(value, &end);
            if (errno != 0 || *end != '\0' || !(opt->seconds > 0 && opt->seconds <= 3600))
                return false;
            continue;
        }
        const long long v = std::strtoll(value, &end, 10);
        if (errno != 0 || end == value || *end != '\0') return false;
        if (arg == "--port" && v >= 1 && v <= 65535) {
            opt->port = static_cast<int>(v);
        } else if (arg == "--connections" && v >= 1 && v <= 1000) {
            opt->connections = static_cast<int>(v);
        } else if (arg == "--address" && v >= 0 && v <= 65535) {
            opt->address = static_cast<int>(v);
        } else if (arg == "--count" && v >= 1 && v <= MODBUS_MAX_READ_REGISTERS) {
            opt->count = static_cast<int>(v);
        } else if (arg == "--requests" && v >= 1) {
            opt->requests = v;
        } else if (arg == "--churn" && v >= 1 && v <= 1000000) {
            opt->churn = static_cast<int>(v);
        } else {
            return false;
        }
    }
    return opt->port > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!ParseArgs(argc, argv, &opt)) {
        Usage();
        return 2;
    }

    std::vector<Worker> workers(static_cast<size_t>(opt.connections));
    StartGate gate(opt.connections);
    std::atomic<long long> left(opt.requests);
    {
        std::vector<std::thread> threads;
        threads.reserve(workers.size());
        for (Worker& w : workers) {
            threads.emplace_back([&opt, &gate, &left, &w] { Run(opt, gate, left, w); });
        }
        for (std::thread& t : threads) t.join();
    }

    std::vector<uint32_t> all;
    uint64_t errors = 0, connects = 0;
    int connected = 0;
    const Clock::time_point start = workers.front().started;
    Clock::time_point end = start;
    for (const Worker& w : workers) {
        all.insert(all.end(), w.latenciesUs.begin(), w.latenciesUs.end());
        errors += w.errors;
        connects += w.connects;
        connected += w.connected ? 1 : 0;
        end = std::max(end, w.finished);
    }
    std::sort(all.begin(), all.end());
    // The last reply may arrive after the deadline, so the window is measured, not assumed.
    const double window = std::max(std::chrono::duration<double>(end - start).count(), 1e-6);
    const double rps = static_cast<double>(all.size()) / window;
    const uint32_t p50 = Percentile(all, 0.50);
    const uint32_t p99 = Percentile(all, 0.99);

    std::printf("target       %s:%d, %d connection(s), %.1f s, FC3 %d registers at %d\n",
                opt.host.c_str(), opt.port, opt.connections, opt.seconds, opt.count, opt.address);
    std::printf("requests     %zu (%.1f/s)\n", all.size(), rps);
    std::printf("latency      p50 %u us, p99 %u us, max %u us\n", p50, p99,
                all.empty() ? 0u : all.back());
    std::printf("errors       %llu, connected %d of %d, %llu connections opened\n",
                static_cast<unsigned long long>(errors), connected, opt.connections,
                static_cast<unsigned long long>(connects));
    std::printf("rps=%.1f p50_us=%u p99_us=%u errors=%llu connected=%d\n", rps, p50, p99,
                static_cast<unsigned long long>(errors), connected);
    return connected == opt.connections && errors == 0 ? 0 : 1;
}
