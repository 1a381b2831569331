// corvanebs-sim end to end: a child process on a loopback port, driven by a
// libmodbus client and raw Modbus TCP frames, observed through its output,
// journal and exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <ctime>
#include <optional>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "journal.h"
#include "service.h"

using testsupport::Count;
using testsupport::ExitCode;
using testsupport::InOrder;
using testsupport::ReadFile;
using testsupport::Service;
using testsupport::ServiceOptions;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// Far below the 500 ms libmodbus sleeps before some of its refusals.
constexpr auto kNoStall = 250ms;

std::string Name(int socket) {
    sockaddr_in a{};
    socklen_t size = sizeof a;
    getsockname(socket, reinterpret_cast<sockaddr*>(&a), &size);
    return std::string(inet_ntoa(a.sin_addr)) + ":" + std::to_string(ntohs(a.sin_port));
}

// Whether the service closed the connection (within 5 s).
bool Closed(int socket) {
    pollfd p{socket, POLLIN, 0};
    uint8_t byte;
    return poll(&p, 1, 5000) == 1 && recv(socket, &byte, 1, 0) == 0;
}

// Plain sockets, closed with the set: the load tests hold descriptors past
// FD_SETSIZE, which the libmodbus client's select() cannot take.
struct Sockets : std::vector<int> {
    ~Sockets() { Close(); }
    bool Open(int port, int n) {
        while (n-- > 0 && (empty() || back() >= 0)) push_back(testsupport::ConnectLoopback(port));
        return back() >= 0;
    }
    void Close() {
        for (int s : *this) close(s);
        clear();
    }
};

// A frame to unit 1: MBAP header with transaction `tid`, then the PDU.
Bytes Frame(uint16_t tid, const Bytes& pdu) {
    Bytes frame = {uint8_t(tid >> 8), uint8_t(tid), 0, 0, 0, uint8_t(pdu.size() + 1), 1};
    for (uint8_t byte : pdu) frame.push_back(byte);  // insert() draws a false -Warray-bounds at -O3
    return frame;
}

// `n` frames back to back, transaction i carrying pdu(i).
template <typename MakePdu>
Bytes Frames(int n, MakePdu pdu) {
    Bytes bytes;
    for (int i = 0; i < n; ++i)
        for (uint8_t byte : Frame(static_cast<uint16_t>(i), pdu(i))) bytes.push_back(byte);
    return bytes;
}

// The next reply frame on `socket` (within 3 s), empty without one.
Bytes Reply(int socket) {
    uint8_t reply[260];
    const timeval timeout{3, 0};
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (recv(socket, reply, 7, MSG_WAITALL) != 7 || reply[4] != 0 || reply[5] < 2) return {};
    const ssize_t rest = reply[5] - 1;
    return recv(socket, reply + 7, rest, MSG_WAITALL) == rest ? Bytes(reply, reply + 7 + rest)
                                                              : Bytes{};
}

bool Send(int socket, const Bytes& bytes) {
    return send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

// One request on a plain socket; the reply's PDU, empty without one.
Bytes Ask(int socket, const Bytes& pdu) {
    const Bytes reply = Send(socket, Frame(1, pdu)) ? Reply(socket) : Bytes{};
    return reply.empty() ? reply : Bytes(reply.begin() + 7, reply.end());
}

Bytes Pdu(uint8_t function, uint16_t start, uint16_t count, std::optional<Bytes> data = {}) {
    Bytes pdu = {function, uint8_t(start >> 8), uint8_t(start), uint8_t(count >> 8),
                 uint8_t(count)};
    if (data) {
        pdu.push_back(uint8_t(data->size()));
        pdu.insert(pdu.end(), data->begin(), data->end());
    }
    return pdu;
}

// The journal records of `pid` once one holds `until`: "<priority><MESSAGE>" lines.
std::string Journal(const Service& service, const std::string& until) {
    std::string text;
    for (const auto& r : service.Journal(until))
        text += std::to_string(r.priority) + r.message + "\n";
    return text;
}

ServiceOptions Debug(int maxConnections = 64) {
    ServiceOptions o;
    o.args = {"-d"};
    o.config = "Name = \"E2E\";\nIP = \"127.0.0.1\";\nMaxConnections = \"" +
               std::to_string(maxConnections) + "\";\n";
    return o;
}

// SIGINT with `client` (and others) connected.
void ExpectStopOnSigint(Service& service, bool debug, int client) {
    EXPECT_EQ(ExitCode(service.Stop(SIGINT)), 2);
    const std::string journal = Journal(service, "Server stopped and all connections closed");
    const std::string stopped = "5 I |  Server stopped and all connections closed\n";
    EXPECT_TRUE(InOrder(journal, {debug ? "6 I |  Aborting..\n" : "", stopped}));
    EXPECT_EQ(Count(journal, "Aborting"), debug ? 1 : 0) << journal;
    EXPECT_TRUE(Closed(client));
}

// After every client left, a new one is served.
void ExpectServesAfterAllLeft(Service& service) {
    ASSERT_TRUE(service.WaitStdout("Active Connections: 0\n", 30s));
    Sockets late;
    ASSERT_TRUE(late.Open(service.port(), 1));
    EXPECT_EQ(Ask(late[0], Pdu(4, 3, 1)), (Bytes{4, 2, 0, 18}));
}

double CpuSeconds(pid_t pid) {
    clockid_t clock;
    timespec t{};
    clock_getcpuclockid(pid, &clock);
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

TEST(EndToEnd, ServesRefusesAndStopsWithLogAndJournal) {
    Service service(Debug());
    ASSERT_TRUE(service.Start()) << service.Stderr();
    const int port = service.port();

    // Normal use: every request line names its client.
    std::string name;
    {
        const auto c = testsupport::ConnectModbus(port);
        ASSERT_TRUE(c);
        name = Name(modbus_get_socket(c.get()));
        uint16_t regs[12] = {};
        ASSERT_EQ(modbus_read_input_registers(c.get(), 0, 12, regs), 12) << modbus_strerror(errno);
        EXPECT_EQ(std::vector<uint16_t>(regs, regs + 12),
                  (std::vector<uint16_t>{0, 0, 7, 18, 1234, 1234, 1234, 1234, 0, 0, 0, 0}));
        for (uint8_t on : std::initializer_list<uint8_t>{1, 0}) {
            uint8_t bit = 9;
            ASSERT_EQ(modbus_write_bit(c.get(), 0, on), 1) << modbus_strerror(errno);
            ASSERT_EQ(modbus_read_bits(c.get(), 0, 1, &bit), 1) << modbus_strerror(errno);
            EXPECT_EQ(bit, on);
        }
        auto refusal = [](int result) { return result == -1 ? errno : 0; };
        uint8_t bits[10];
        EXPECT_EQ(refusal(modbus_read_bits(c.get(), 75, 10, bits)), EMBXILADD);
        EXPECT_EQ(refusal(modbus_read_registers(c.get(), 150, 9, regs)), EMBXILADD);
        ASSERT_EQ(modbus_write_register(c.get(), 0, 6914), 1) << "lock";
        EXPECT_EQ(refusal(modbus_write_register(c.get(), 16, 1)), EMBXILFUN);
        ASSERT_EQ(modbus_write_register(c.get(), 0, 5281), 1) << "unlock";
    }
    ASSERT_TRUE(service.WaitStdout("Connection to " + name + " closed\nActive Connections: 0\n"));
    std::string out = service.Stdout();
    const std::string accepted = "Request Accepted:  " + name,
                      blocked = "Request Blocked:  " + name +
                                " FC: 6 START: 16 COUNT: 9 -> Illegal function\n";
    // A single write (FC 5) reports the quantity the previous read left.
    EXPECT_TRUE(InOrder(
        out,
        {"[MBS] E2E is up and running :)\n", "New connection from " + name + "\n",
         "Active Connections: 1\n", accepted + " FC: 4 START: 0 COUNT: 12\n", "New Value: 65280\n",
         accepted + " FC: 5 START: 0 COUNT: 12\n", accepted + " FC: 1 START: 0 COUNT: 1\n",
         "New Value: 0\n", accepted + " FC: 5 START: 0 COUNT: 1\n",
         "to many registers requestet \n", "New Value: 6914\n",
         accepted + " FC: 6 START: 0 COUNT: 9\n", blocked, accepted + " FC: 6 START: 0 COUNT: 9\n",
         "Connection to " + name + " closed\n", "Active Connections: 0\n"}));
    // Refused by the decoder, in the library: neither accepted nor blocked.
    EXPECT_EQ(Count(out, "START: 75") + Count(out, "START: 150"), 0);
    const std::string journal = Journal(service, "Connection to " + name + " closed");
    EXPECT_EQ(Count(journal, "6 I |  " + accepted + " FC: 4 START: 0 COUNT: 12\n"), 1) << journal;
    EXPECT_EQ(Count(journal, "6 I |  " + blocked), 1);

    // Illegal quantities and unserved function codes from one client: each
    // refused at once, none delaying a second client.
    const std::string mark = service.Stdout();
    Sockets clients;
    ASSERT_TRUE(clients.Open(port, 2));
    const int bad = clients[0], good = clients[1];
    // Exception code -> requests, one illegal quantity per function code (the
    // decoder's table has the rest). FC 43: read device identification.
    const std::map<int, std::vector<Bytes>> cases = {
        {3,
         {Pdu(1, 0, 0), Pdu(2, 0, 2001), Pdu(3, 0, 126), Pdu(4, 0, 200),
          Pdu(15, 0, 10, Bytes{0xFF}), Pdu(16, 0, 124, Bytes{0x1B, 0x02}), Pdu(5, 0, 0x1234),
          Pdu(5, 0, 0xFFFF), Pdu(5, 0, 0xFF01), Pdu(15, 0, 10, Bytes{0xFF, 3, 0}),
          Pdu(15, 75, 10, Bytes{0xFF})}},
        // A quantity is checked before the address; a single coil's value after it.
        {2, {Pdu(1, 75, 10), Pdu(5, 80, 0x1234)}},
        {1,
         {Bytes{0x2B, 0x0E, 0x01, 0x00}, Bytes{0x07}, Pdu(0, 1, 2),
          Bytes{0x16, 0, 1, 0xFF, 0xFF, 0, 0}}}};
    constexpr int kRounds = 4;
    auto slowest = Clock::duration::zero(), goodSlowest = slowest;
    std::thread flood([&] {
        for (int round = 0; round < kRounds; ++round) {
            for (const auto& [exception, pdus] : cases) {
                for (const Bytes& pdu : pdus) {
                    const auto begin = Clock::now();
                    EXPECT_EQ(Ask(bad, pdu), (Bytes{uint8_t(pdu[0] | 0x80), uint8_t(exception)}))
                        << ::testing::PrintToString(pdu);
                    slowest = std::max(slowest, Clock::now() - begin);
                }
            }
        }
    });
    for (int i = 0; i < 40; ++i) {
        const auto begin = Clock::now();
        EXPECT_EQ(Ask(good, Pdu(4, 4, 1)), (Bytes{4, 2, 0x04, 0xD2}));
        goodSlowest = std::max(goodSlowest, Clock::now() - begin);
    }
    flood.join();
    EXPECT_EQ(Ask(good, Pdu(1, 0, 1)), (Bytes{1, 1, 0})) << "a refused coil value switched";
    EXPECT_LT(goodSlowest, kNoStall) << "a well-formed request waited behind a malformed one";
    EXPECT_LT(slowest, kNoStall) << "a refusal was answered late";
    // Unserved function codes with their usual data (8, 43) and without (7,
    // 17, one of 128 or more): the Blocked line holds what the request record
    // holds (what a frame lacks is left from before). Last, in step: one reply
    // per request.
    const std::vector<std::pair<Bytes, Bytes>> steps = {{{8, 0, 0, 0x12, 0x34}, {0x88, 1}},
                                                        {Pdu(5, 0, 0xFF00), {5, 0, 0, 0xFF, 0}},
                                                        {{0x2B, 0x0E, 1, 0}, {0xAB, 1}},
                                                        {{7}, {0x87, 1}},
                                                        {{17}, {0x91, 1}},
                                                        {{0xBB, 1, 2}, {0xBB, 1}},
                                                        {Pdu(4, 2, 2), {4, 4, 0, 7, 0, 18}}};
    for (const auto& [pdu, reply] : steps) EXPECT_EQ(Ask(bad, pdu), reply);
    ASSERT_TRUE(service.WaitStdout(Name(bad) + " FC: 4 START: 2 COUNT: 2\n"));
    out = service.Stdout().substr(mark.size());
    const std::string unserved = "Request Blocked:  " + Name(bad) + " FC: ";
    EXPECT_TRUE(InOrder(out, {unserved + "8 START: 0 COUNT: 4660 -> ",
                              "Request Accepted:  " + Name(bad) + " FC: 5 START: 0 COUNT: 4660\n",
                              unserved + "43 START: 3585 COUNT: 4660 -> ",
                              unserved + "7 START: 3585 COUNT: 4660 -> ",
                              unserved + "17 START: 3585 COUNT: 4660 -> ",
                              unserved + "187 START: 258 COUNT: 4660 -> "}));
    // Every function code that is not served reaches dispatch and is logged
    // Blocked. Illegal quantities never reach it, so the lock code in the
    // FC 16 frame was not applied.
    EXPECT_EQ(Count(out, "Request Blocked:  " + Name(bad) + " FC: 0 START: 1 COUNT: 2 -> "),
              kRounds)
        << out;
    EXPECT_EQ(Count(out, "Request Blocked:  " + Name(bad) + " FC: 22 START: 1 COUNT: 65535 -> "),
              kRounds);
    EXPECT_EQ(Count(out, "Request Blocked:  "), int(cases.at(1).size()) * kRounds + 5);
    for (const char* absent :
         {"START: 75", "COUNT: 126", "FC: 15 ", "FC: 16 ", "Config has been Locked"})
        EXPECT_EQ(Count(out, absent), 0) << absent;

    // A second instance on the same port cannot listen.
    ServiceOptions second = Debug();
    second.port = port;
    second.waitListening = false;
    Service clash(second);
    ASSERT_TRUE(clash.Start());
    EXPECT_EQ(ExitCode(clash.WaitExit(15s)), 255);
    EXPECT_EQ(clash.Stderr(), "Unable to listen TCP connection: Address already in use\n");
    const std::string clashJournal = Journal(clash, "[VRS] Couldnt Start Corvane Server");
    EXPECT_EQ(Count(clashJournal, "up and running") + Count(clashJournal, "Server stopped"), 0);

    ExpectStopOnSigint(service, true, bad);
}

// A header that no Modbus TCP frame has closes the connection with a line
// saying why; nothing behind it is taken for a request. Requests sent
// together are all answered in order, those before a bad header too.
TEST(EndToEnd, FramesAreTakenApartOrRefused) {
    Service service(Debug());
    ASSERT_TRUE(service.Start()) << service.Stderr();
    for (const auto& [header, why] : std::vector<std::pair<Bytes, std::string>>{
             {{0, 1, 0, 1, 0, 6}, "protocol identifier 1, length 6"},
             {{0, 1, 0, 0, 1, 44}, "protocol identifier 0, length 300"},
             {{0, 1, 0, 0, 0, 1}, "protocol identifier 0, length 1"}}) {
        Sockets c;
        ASSERT_TRUE(c.Open(service.port(), 1));
        Bytes bytes = header;
        for (const Bytes& f : {Bytes{1, 4, 0, 3, 0, 1}, Frame(2, Pdu(4, 3, 1))})
            bytes.insert(bytes.end(), f.begin(), f.end());
        ASSERT_TRUE(Send(c[0], bytes));
        EXPECT_TRUE(Closed(c[0])) << why;
        EXPECT_TRUE(service.WaitStdout("[MBS] Closing the connection to " + Name(c[0]) +
                                       ": not a Modbus TCP frame (" + why + ")\n"));
    }
    EXPECT_EQ(Count(service.Stdout(), "Request Accepted"), 0);

    // A bad header after them, with more bytes than the service reads at
    // once: the replies before it still arrive, then the end.
    Sockets c;
    ASSERT_TRUE(c.Open(service.port(), 1));
    Bytes bytes = Frames(10, [](int i) { return Pdu(4, i == 3 ? 3 : 2, 1); });
    bytes.insert(bytes.end(), {0, 1, 0, 1, 0, 6});
    bytes.resize(bytes.size() + 16384);
    ASSERT_TRUE(Send(c[0], bytes));
    for (uint16_t i = 0; i < 10; ++i)
        EXPECT_EQ(Reply(c[0]), Frame(i, {4, 2, 0, uint8_t(i == 3 ? 18 : 7)}));
    EXPECT_TRUE(Closed(c[0]));
}

// Clients in the middle of a frame hold nobody: each keeps its bytes until
// the rest arrives. A client that sends requests and reads no reply is
// dropped once its replies no longer fit; another is served all along.
TEST(EndToEnd, StalledClientsHoldNobody) {
    Service service(Debug(256));
    ASSERT_TRUE(service.Start()) << service.Stderr();
    Sockets partial, c;
    ASSERT_TRUE(partial.Open(service.port(), 100));
    ASSERT_TRUE(c.Open(service.port(), 2));
    const int other = c[0], flood = c[1];
    const Bytes request = Frame(9, Pdu(4, 3, 1));
    for (size_t i = 0; i < partial.size(); ++i) {
        ASSERT_TRUE(Send(partial[i], Bytes(request.begin(), request.begin() + 1 + i % 11)));
    }
    auto slowest = Clock::duration::zero();
    for (int i = 0; i < 20; ++i) {
        const auto begin = Clock::now();
        EXPECT_EQ(Ask(other, Pdu(4, 3, 1)), (Bytes{4, 2, 0, 18}));
        slowest = std::max(slowest, Clock::now() - begin);
    }
    EXPECT_LT(slowest, kNoStall);
    for (size_t i = 0; i < partial.size(); ++i) {
        ASSERT_TRUE(Send(partial[i], Bytes(request.begin() + 1 + i % 11, request.end())));
        EXPECT_EQ(Reply(partial[i]), Frame(9, {4, 2, 0, 18})) << i;
    }

    fcntl(flood, F_SETFL, O_NONBLOCK);
    const Bytes burst = Frames(100, [](int) { return Pdu(3, 0, 125); });  // 12 bytes for 259
    bool dropped = false;
    int served = 0;
    for (const auto end = Clock::now() + 60s; !dropped && Clock::now() < end;) {
        const ssize_t n = send(flood, burst.data(), burst.size(), MSG_NOSIGNAL);
        dropped = n < 0 && errno != EAGAIN;
        served += Ask(other, Pdu(4, 3, 1)) == Bytes{4, 2, 0, 18};
    }
    EXPECT_TRUE(dropped);
    EXPECT_GT(served, 0);
    EXPECT_TRUE(service.WaitStdout("[MBS] Closing the connection to " + Name(flood) +
                                   ": it does not read its replies\n"));
    EXPECT_EQ(Ask(other, Pdu(4, 3, 1)), (Bytes{4, 2, 0, 18}));
}

TEST(EndToEnd, TwoThousandConnectionsAreAllServed) {
    constexpr int kClients = 2000;
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < 4200) GTEST_SKIP() << "hard descriptor limit " << limit.rlim_max;
    const rlim_t saved = limit.rlim_cur;
    limit.rlim_cur = 4200;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);

    Service service(Debug(2048));  // inherits the raised limit
    ASSERT_TRUE(service.Start()) << service.Stderr();
    Sockets clients;
    ASSERT_TRUE(clients.Open(service.port(), kClients)) << "connection " << clients.size();
    int served = 0;
    for (int s : clients) served += Ask(s, Pdu(4, 2, 1)) == Bytes{4, 2, 0, 7};
    EXPECT_EQ(served, kClients);
    EXPECT_TRUE(service.WaitStdout("Active Connections: 2000\n"));

    clients.Close();
    limit.rlim_cur = saved;
    setrlimit(RLIMIT_NOFILE, &limit);
    ExpectServesAfterAllLeft(service);
    EXPECT_EQ(ExitCode(service.Stop(SIGINT)), 2);
}

// Descriptors for the board come first: clients stop being accepted short of
// the limit, so an already connected client still switches the base output
// and reads the base inputs (a sysfs file opened per access). The loop does
// not spin and the episode is logged once.
TEST(EndToEnd, OutOfDescriptorsTheBoardComesFirst) {
    ServiceOptions options = Debug(256);
    options.openFiles = 64;
    options.board = "inputs = [1, 0, 0, 0, 0, 0, 0, 0, 1];\n";
    Service service(options);
    ASSERT_TRUE(service.Start()) << service.Stderr();
    Sockets clients;
    ASSERT_TRUE(clients.Open(service.port(), 100)) << "connection " << clients.size();
    const std::string condition = "[MBS] Out of file descriptors (";
    ASSERT_TRUE(service.WaitStdout(condition)) << service.Stdout();
    const double before = CpuSeconds(service.pid());
    std::this_thread::sleep_for(2s);
    EXPECT_LT(CpuSeconds(service.pid()) - before, 0.4) << "spins on the listening socket";
    EXPECT_EQ(Ask(clients[0], Pdu(5, 0, 0xFF00)), Pdu(5, 0, 0xFF00));
    EXPECT_EQ(Ask(clients[0], Pdu(2, 0, 9)), (Bytes{2, 2, 1, 1}));
    EXPECT_EQ(Ask(clients[0], Pdu(1, 0, 1)), (Bytes{1, 1, 1}));
    EXPECT_EQ(Count(service.Stdout(), condition), 1);
    EXPECT_LE(Count(service.Stderr(), "Server accept() error"), 1);

    clients.Close();
    ExpectServesAfterAllLeft(service);
    EXPECT_GE(Count(service.Stdout(), "[MBS] Descriptors available again"), 1);
    EXPECT_EQ(ExitCode(service.Stop(SIGINT)), 2);
}

// Connection LED 2 (pin 498) in the GPIO trace corvanebs-sim writes to
// CORVANE_SIM_TRACE. The blinker writes it on every pass (one 500 ms sleep
// each) while clients are connected and on every second pass otherwise;
// counted per pass, this does not depend on the machine's speed.
TEST(EndToEnd, ConnectionLedInTheSimulatorTrace) {
    testsupport::TempDir traceDir;
    const std::string trace = traceDir.path() + "/gpio.trace";
    ServiceOptions options;
    options.env["CORVANE_SIM_TRACE"] = trace;
    Service service(options);
    ASSERT_TRUE(service.Start()) << service.Stderr();

    // The trace once it holds `passes` passes more than `since` (bounded: 20 s).
    auto after = [&](const std::string& since, int passes) {
        std::string text = ReadFile(trace);
        for (int i = 0; i < 200 && Count(text, "sleep ") < Count(since, "sleep ") + passes;
             ++i, text = ReadFile(trace))
            std::this_thread::sleep_for(100ms);
        return text;
    };
    // LED writes per pass over 6 passes, after one in which the state may change.
    auto writesPerPass = [&] {
        const std::string from = after(ReadFile(trace), 1), to = after(from, 6);
        return double(Count(to, "gpio 498 ") - Count(from, "gpio 498 ")) /
               (Count(to, "sleep ") - Count(from, "sleep "));
    };

    // Clients connected -> writes per pass: idle, two, one of two left, the
    // last left, two again after all had left.
    Sockets clients;
    for (auto [n, rate] : {std::pair{0u, 0.5}, {2u, 1.0}, {1u, 1.0}, {0u, 0.5}, {2u, 1.0}}) {
        for (; clients.size() > n; clients.pop_back()) close(clients.back());
        ASSERT_TRUE(clients.size() >= n ||
                    clients.Open(service.port(), static_cast<int>(n - clients.size())));
        EXPECT_NEAR(writesPerPass(), rate, 0.2) << n << " clients";
    }
    ExpectStopOnSigint(service, false, clients[0]);
}
