// corvanebs-sim end to end: a child process on a loopback port, driven by a
// libmodbus client and raw Modbus TCP frames, observed through its output,
// journal and exit status.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <ctime>
#include <optional>
#include <thread>
#include <unistd.h>

#include "journal.h"
#include "service.h"

using testsupport::Closed;
using testsupport::Count;
using testsupport::ExitCode;
using testsupport::InOrder;
using testsupport::ReadFile;
using testsupport::Service;
using testsupport::ServiceOptions;
const auto Name = testsupport::SocketName;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// Far below the 500 ms libmodbus sleeps before some of its refusals.
constexpr auto kNoStall = 250ms;

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

double CpuSeconds(pid_t pid) {
    clockid_t clock;
    timespec t{};
    clock_getcpuclockid(pid, &clock);
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

// Every request line names its client; a refused request is answered at
// once, changes nothing and never reaches dispatch; SIGINT stops in order.
TEST(EndToEnd, ServesRefusesAndStops) {
    Service service(Debug());
    ASSERT_TRUE(service.Start()) << service.Stderr();
    Sockets clients;
    ASSERT_TRUE(clients.Open(service.port(), 1));
    const int c = clients[0];
    const std::string name = Name(c);
    // Locked, a configuration register is refused; FC 5 and 6 report the
    // quantity of the request before. Then unserved codes (FC 43: read device
    // identification): the Blocked line holds what the record holds.
    const std::vector<std::pair<Bytes, Bytes>> steps = {
        {Pdu(4, 2, 2), {4, 4, 0, 7, 0, 18}}, {Pdu(5, 0, 0xFF00), Pdu(5, 0, 0xFF00)},
        {Pdu(1, 0, 1), {1, 1, 1}},           {Pdu(6, 0, 6914), Pdu(6, 0, 6914)},
        {Pdu(6, 16, 1), {0x86, 1}},          {Pdu(6, 0, 5281), Pdu(6, 0, 5281)},
        {{8, 0, 0, 0x12, 0x34}, {0x88, 1}},  {{0x2B, 0x0E, 1, 0}, {0xAB, 1}},
        {{0xBB, 1, 2}, {0xBB, 1}},           {Pdu(5, 0, 0), Pdu(5, 0, 0)},
        {Pdu(4, 3, 1), {4, 2, 0, 18}}};
    for (const auto& [pdu, reply] : steps) EXPECT_EQ(Ask(c, pdu), reply);
    ASSERT_TRUE(service.WaitStdout(name + " FC: 4 START: 3 COUNT: 1\n"));
    const std::string accepted = "Request Accepted:  " + name,
                      blocked = "Request Blocked:  " + name;
    EXPECT_TRUE(InOrder(service.Stdout(),
                        {"[MBS] E2E is up and running :)\n", "New connection from " + name + "\n",
                         accepted + " FC: 4 START: 2 COUNT: 2\n", "New Value: 65280\n",
                         accepted + " FC: 5 START: 0 COUNT: 2\n", "Config has been Locked",
                         blocked + " FC: 6 START: 16 COUNT: 1 -> Illegal function\n",
                         blocked + " FC: 8 START: 0 COUNT: 4660 -> ",
                         blocked + " FC: 43 START: 3585 COUNT: 4660 -> ",
                         blocked + " FC: 187 START: 258 COUNT: 4660 -> "}));
    const std::string journal = Journal(service, name + " FC: 4 START: 3 COUNT: 1");
    EXPECT_EQ(Count(journal, "6 I |  " + accepted + " FC: 4 START: 2 COUNT: 2\n"), 1) << journal;

    // Illegal quantities (one per function code; the decoder's table has the
    // rest), values and addresses, each refused at once. A quantity is
    // checked before the address; a single coil's value after it.
    const std::string mark = service.Stdout();
    const std::map<int, std::vector<Bytes>> cases = {
        {3,
         {Pdu(1, 0, 0), Pdu(2, 0, 2001), Pdu(3, 0, 126), Pdu(4, 0, 200),
          Pdu(15, 0, 10, Bytes{0xFF}), Pdu(16, 0, 124, Bytes{0x1B, 0x02}), Pdu(5, 0, 0x1234),
          Pdu(5, 0, 0xFFFF), Pdu(5, 0, 0xFF01), Pdu(15, 0, 10, Bytes{0xFF, 3, 0}),
          Pdu(15, 75, 10, Bytes{0xFF})}},
        {2, {Pdu(1, 75, 10), Pdu(5, 80, 0x1234), Pdu(3, 150, 9)}},
        {1, {Bytes{0x07}, Pdu(0, 1, 2), Bytes{0x16, 0, 1, 0xFF, 0xFF, 0, 0}}}};
    for (const auto& [exception, pdus] : cases) {
        for (const Bytes& pdu : pdus) {
            const auto begin = Clock::now();
            EXPECT_EQ(Ask(c, pdu), (Bytes{uint8_t(pdu[0] | 0x80), uint8_t(exception)}))
                << ::testing::PrintToString(pdu);
            EXPECT_LT(Clock::now() - begin, kNoStall) << ::testing::PrintToString(pdu);
        }
    }
    EXPECT_EQ(Ask(c, Pdu(1, 0, 1)), (Bytes{1, 1, 0})) << "a refused coil value switched";
    // Illegal quantities never reach dispatch: the lock code in FC 16 was not applied.
    const std::string out = service.Stdout().substr(mark.size());
    for (const char* absent : {"FC: 15 ", "FC: 16 ", "Config has been"})
        EXPECT_EQ(Count(out, absent), 0) << absent;

    ExpectStopOnSigint(service, true, c);
}

// A header that no Modbus TCP frame has closes the connection with a line
// saying why; nothing behind it is taken for a request. Requests sent
// together are all answered in order, those before a bad header too.
TEST(EndToEnd, FramesAreTakenApartOrRefused) {
    Service service(Debug());
    ASSERT_TRUE(service.Start()) << service.Stderr();
    for (const auto& [header, why] : std::vector<std::pair<Bytes, std::string>>{
             {{0, 1, 0, 1, 0, 6}, "protocol identifier 1, length 6"},
             {{0, 1, 0, 0, 1, 44}, "protocol identifier 0, length 300"}}) {
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

    // Requests sent together with nothing after them are all answered.
    Sockets c;
    ASSERT_TRUE(c.Open(service.port(), 1));
    ASSERT_TRUE(Send(c[0], Frames(3, [](int) { return Pdu(4, 3, 1); })));
    for (uint16_t i = 0; i < 3; ++i) EXPECT_EQ(Reply(c[0]), Frame(i, {4, 2, 0, 18}));
    // A bad header after them, with more bytes than the service reads at
    // once: the replies before it still arrive, then the end.
    Bytes bytes = Frames(10, [](int i) { return Pdu(4, i == 3 ? 3 : 2, 1); });
    bytes.insert(bytes.end(), {0, 1, 0, 1, 0, 6});
    bytes.resize(bytes.size() + 16384);
    ASSERT_TRUE(Send(c[0], bytes));
    for (uint16_t i = 0; i < 10; ++i)
        EXPECT_EQ(Reply(c[0]), Frame(i, {4, 2, 0, uint8_t(i == 3 ? 18 : 7)}));
    EXPECT_TRUE(Closed(c[0]));
}

// A client that reads no reply is dropped once its replies no longer fit;
// another is served all along. (Clients in the middle of a frame: the fuzz
// harness sends frames in pieces, bench/drip.sh measures the wait.)
TEST(EndToEnd, ClientThatReadsNoReplyIsDropped) {
    Service service(Debug());
    ASSERT_TRUE(service.Start()) << service.Stderr();
    Sockets c;
    ASSERT_TRUE(c.Open(service.port(), 2));
    const int other = c[0], flood = c[1];
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
    ASSERT_TRUE(service.WaitStdout("Active Connections: 0\n", 30s));
    ASSERT_TRUE(clients.Open(service.port(), 1));
    EXPECT_EQ(Ask(clients[0], Pdu(4, 3, 1)), (Bytes{4, 2, 0, 18}));
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
