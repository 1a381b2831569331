// The access settings end to end: clients from 127.0.0.2, 127.0.0.3 ...
// (bound before connecting) against corvanebs-sim.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "service.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

ServiceOptions Settings(const std::string& settings) {
    ServiceOptions o;
    o.args = {"-d"};
    o.config = "Name = \"E2E\";\nIP = \"127.0.0.1\";\n" + settings + "\n";
    return o;
}

// The client's end, as the service names it.
std::string Name(modbus_t* c) {
    sockaddr_in a{};
    socklen_t size = sizeof a;
    getsockname(modbus_get_socket(c), reinterpret_cast<sockaddr*>(&a), &size);
    return std::string(inet_ntoa(a.sin_addr)) + ":" + std::to_string(ntohs(a.sin_port));
}

// Whether the service has closed the connection, waiting up to `ms`.
bool Closed(modbus_t* c, int ms = 5000) {
    pollfd p{modbus_get_socket(c), POLLIN, 0};
    uint8_t byte;
    return poll(&p, 1, ms) == 1 && recv(p.fd, &byte, 1, 0) <= 0;
}

bool Reads(modbus_t* c) {
    uint16_t value = 0;
    return modbus_read_input_registers(c, 3, 1, &value) == 1 && value == 18;
}

}  // namespace

TEST(Access, OnlyAllowedClientsAreServed) {
    Service service(Settings("AllowedClients = [\"127.0.0.2\", \"127.0.0.8/30\"];"));
    ASSERT_TRUE(service.Start()) << service.Stderr();
    std::string last;
    for (const char* from : {"127.0.0.2", "127.0.0.11"}) {
        const auto c = ConnectModbus(service.port(), from);
        ASSERT_TRUE(c) << from;
        EXPECT_TRUE(Reads(c.get())) << from;
        last = Name(c.get());
    }
    // Closed before their request is read; one line per address.
    for (const char* from : {"127.0.0.3", "127.0.0.12", "127.0.0.3", "127.0.0.12"}) {
        const auto c = ConnectModbus(service.port(), from);
        ASSERT_TRUE(c) << from;
        EXPECT_FALSE(Reads(c.get())) << from;
        EXPECT_TRUE(Closed(c.get())) << from;
    }
    ASSERT_TRUE(service.WaitStdout("Connection to " + last + " closed\n"));
    const std::string out = service.Stdout();
    for (const char* from : {"127.0.0.3", "127.0.0.12"})
        EXPECT_EQ(Count(out, std::string("[MBS] Refused connection from ") + from +
                                 ": not an allowed client\n"),
                  1)
            << out;
    EXPECT_EQ(Count(out, "New connection from "), 2);
    EXPECT_EQ(Count(out, "Active Connections: "), 4);
    EXPECT_EQ(Count(out, "Request Accepted:  "), 2);
}

// A write of each kind from a read-only client; the lock code 6914 in
// register 0 would lock the configuration if it reached the base module.
TEST(Access, ReadOnlyClientsReadButNeverWrite) {
    Service service(Settings("ReadOnlyClients = [\"127.0.0.3\"];"));
    ASSERT_TRUE(service.Start()) << service.Stderr();
    const auto reader = ConnectModbus(service.port(), "127.0.0.3");
    const auto writer = ConnectModbus(service.port(), "127.0.0.2");
    ASSERT_TRUE(reader && writer);
    modbus_t* r = reader.get();
    EXPECT_TRUE(Reads(r));
    const uint8_t on[] = {1};
    const uint16_t lock[] = {6914};
    auto refusal = [](int result) { return result == -1 ? errno : 0; };
    for (int error :
         {refusal(modbus_write_bit(r, 0, 1)), refusal(modbus_write_register(r, 0, 6914)),
          refusal(modbus_write_bits(r, 0, 1, on)), refusal(modbus_write_registers(r, 0, 1, lock))})
        EXPECT_EQ(error, EMBXILFUN);
    uint8_t bit = 9;
    ASSERT_EQ(modbus_read_bits(r, 0, 1, &bit), 1);
    EXPECT_EQ(bit, 0);
    EXPECT_EQ(modbus_write_bit(writer.get(), 0, 1), 1);
    ASSERT_TRUE(service.WaitStdout("Accepted:  " + Name(writer.get()) + " FC: 5 "));
    const std::string out = service.Stdout(), blocked = "Request Blocked:  " + Name(r) + " FC: ",
                      why = " -> Illegal function (read-only client)\n";
    EXPECT_TRUE(InOrder(
        out, {blocked + "5 START: 0 ", why, blocked + "6 START: 0 ", why,
              blocked + "15 START: 0 COUNT: 1" + why, blocked + "16 START: 0 COUNT: 1" + why}));
    EXPECT_EQ(Count(out, why), 4);
    EXPECT_EQ(Count(out, "Config has been Locked"), 0);
}

// The second client was accepted after the first, but the first has sent
// a request since: the second has gone longest without one.
TEST(Access, TheLimitClosesTheConnectionIdleLongest) {
    Service service(Settings("ConnectionLimit = \"2\";"));
    ASSERT_TRUE(service.Start()) << service.Stderr();
    const auto first = ConnectModbus(service.port(), "127.0.0.2");
    const auto second = ConnectModbus(service.port(), "127.0.0.3");
    ASSERT_TRUE(first && second && service.WaitStdout("Active Connections: 2\n"));
    EXPECT_TRUE(Reads(first.get()));
    const auto third = ConnectModbus(service.port(), "127.0.0.4");
    ASSERT_TRUE(third);
    EXPECT_TRUE(Closed(second.get()));
    EXPECT_TRUE(Reads(first.get()));
    EXPECT_TRUE(Reads(third.get()));
    EXPECT_TRUE(service.WaitStdout("[MBS] Closing the connection to " + Name(second.get()) +
                                   ": connection limit of 2 reached, admitting " +
                                   Name(third.get()) + "\n"));
}

TEST(Access, IdleConnectionsAreClosedBusyOnesKept) {
    Service service(Settings("IdleTimeout = \"2\";"));
    ASSERT_TRUE(service.Start()) << service.Stderr();
    const auto idle = ConnectModbus(service.port(), "127.0.0.2");
    const auto busy = ConnectModbus(service.port(), "127.0.0.3");
    ASSERT_TRUE(idle && busy);
    EXPECT_TRUE(Reads(idle.get()));
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(Closed(idle.get(), 0)) << "closed at once";
    for (int i = 0; i < 12; ++i) {  // 3.6 s
        EXPECT_TRUE(Reads(busy.get()));
        std::this_thread::sleep_for(300ms);
    }
    EXPECT_TRUE(Closed(idle.get()));
    EXPECT_TRUE(Reads(busy.get()));
    EXPECT_TRUE(service.WaitStdout("[MBS] Closing the connection to " + Name(idle.get()) +
                                   ": no request for 2 s\n"));
    EXPECT_EQ(Count(service.Stdout(), "Closing the connection to " + Name(busy.get())), 0);
}

TEST(Access, AWrongSettingStopsTheStart) {
    const std::string bad = "[MBS] Bad '";
    for (const auto& [setting, line] : std::vector<std::pair<std::string, std::string>>{
             {"AllowedClients = [\"127.0.0.300\"];",
              "AllowedClients' setting: \"127.0.0.300\" is not an IPv4 address or network"},
             {"AllowedClients = [\"10.0.0.0/33\"];", "AllowedClients' setting: \"10.0.0.0/33\" is"},
             {"AllowedClients = (\"127.0.0.2\", 3);", "AllowedClients' setting: entry 2 is not"},
             {"ReadOnlyClients = \"127.0.0.3\";",
              "ReadOnlyClients' setting: not a list of strings"},
             {"ConnectionLimit = \"ten\";", "ConnectionLimit' setting: \"ten\" is not a number"},
             {"IdleTimeout = 60;", "IdleTimeout' setting: not a number written as a string"},
             {"# IdleTimeout = 6\nAllowedClients = [\"127.0.0.2\"",
              "AllowedClients' setting: the configuration file cannot be parsed"}}) {
        ServiceOptions options = Settings(setting);
        options.waitListening = false;
        Service service(options);
        ASSERT_TRUE(service.Start());
        EXPECT_EQ(ExitCode(service.WaitExit(10s)), 255) << setting;
        EXPECT_TRUE(
            InOrder(service.Stdout(), {bad + line, "[VRS] Couldnt Start Corvane Server\n"}));
        EXPECT_EQ(Count(service.Stdout(), "is up and running"), 0) << setting;
    }
}
