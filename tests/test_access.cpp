// The access settings end to end: clients from 127.0.0.2, 127.0.0.3 ...
// (bound before connecting) against corvanebs-sim. Bad settings: test_service.cpp.
#include <gtest/gtest.h>

#include <cerrno>
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

std::string Name(modbus_t* c) {
    return SocketName(modbus_get_socket(c));
}

bool Closed(modbus_t* c, int ms = 5000) {
    return testsupport::Closed(modbus_get_socket(c), ms);
}

bool Reads(modbus_t* c) {
    uint16_t value = 0;
    return modbus_read_input_registers(c, 3, 1, &value) == 1 && value == 18;
}

}  // namespace

// Refused clients are closed before their request is read, one line per
// address; a network's host bits are ignored. A write of each kind from a
// read-only client is refused; the lock code 6914 in register 0 would lock
// the configuration if it reached the base.
TEST(Access, AllowListAndReadOnlyClients) {
    Service service(
        Settings("AllowedClients = [\"127.0.0.2\", \"127.0.0.9/30\"];\n"
                 "ReadOnlyClients = [\"127.0.0.11\"];"));
    ASSERT_TRUE(service.Start()) << service.Stderr();
    for (const char* from : {"127.0.0.3", "127.0.0.12", "127.0.0.3", "127.0.0.12"}) {
        const auto c = ConnectModbus(service.port(), from);
        ASSERT_TRUE(c) << from;
        EXPECT_FALSE(Reads(c.get())) << from;
        EXPECT_TRUE(Closed(c.get())) << from;
    }
    const auto reader = ConnectModbus(service.port(), "127.0.0.11");
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
    const std::string out = service.Stdout();
    EXPECT_TRUE(InOrder(out, {"Request Blocked:  " + Name(r) + " FC: 16 START: 0 COUNT: 1 -> " +
                              "Illegal function (read-only client)\n"}));
    for (const char* from : {"127.0.0.3", "127.0.0.12"})
        EXPECT_EQ(Count(out, std::string("[MBS] Refused connection from ") + from +
                                 ": not an allowed client\n"),
                  1);
    EXPECT_EQ(Count(out, "New connection from "), 2);
    EXPECT_EQ(Count(out, "Config has been Locked"), 0);
}

// The limit closes the connection idle longest: the second client was
// accepted after the first, but the first has sent a request since. Then the
// idle timeout closes the third, which sends nothing, and keeps the first
// until it falls silent too.
TEST(Access, ConnectionLimitAndIdleTimeout) {
    Service service(Settings("ConnectionLimit = \"2\";\nIdleTimeout = \"2\";"));
    ASSERT_TRUE(service.Start()) << service.Stderr();
    const auto first = ConnectModbus(service.port(), "127.0.0.2");
    const auto second = ConnectModbus(service.port(), "127.0.0.3");
    ASSERT_TRUE(first && second && service.WaitStdout("Active Connections: 2\n"));
    EXPECT_TRUE(Reads(first.get()));
    const auto third = ConnectModbus(service.port(), "127.0.0.4");
    ASSERT_TRUE(third);
    EXPECT_TRUE(Closed(second.get()));
    EXPECT_TRUE(Reads(third.get()));
    EXPECT_TRUE(service.WaitStdout("[MBS] Closing the connection to " + Name(second.get()) +
                                   ": connection limit of 2 reached, admitting " +
                                   Name(third.get()) + "\n"));
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(Closed(third.get(), 0)) << "closed at once";
    for (int i = 0; i < 12; ++i) {  // 3.6 s
        EXPECT_TRUE(Reads(first.get()));
        std::this_thread::sleep_for(300ms);
    }
    EXPECT_TRUE(Closed(third.get()));
    EXPECT_EQ(Count(service.Stdout(), "Closing the connection to " + Name(first.get())), 0);
    // With nothing else to wake the service, the first goes on its own timeout.
    EXPECT_TRUE(Closed(first.get()));
    EXPECT_TRUE(service.WaitStdout("[MBS] Closing the connection to " + Name(third.get()) +
                                   ": no request for 2 s\n"));
}
