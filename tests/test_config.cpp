// The configuration reader on real files: defaults, the warnings for absent
// settings (read back from the real journal), the number conversions, and
// files that cannot be read or parsed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "journal.h"
#include "modbus_server.h"
#include "service.h"

using testsupport::JournalMark;
using testsupport::JournalSince;
using testsupport::Messages;

namespace {

class ConfigTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(testsupport::EnsureJournald()) << "no systemd-journald"; }

    // Writes the file and points the reader at it.
    std::string Use(const std::string& text) {
        const std::string path = dir.path() + "/corvane.conf";
        std::ofstream(path, std::ios::trunc) << text;
        setenv("CORVANE_CONFIG", path.c_str(), 1);
        return path;
    }

    struct Run {
        int result;
        std::string out, err;
    };
    // ReadCfg on a fresh server; what it printed on both streams.
    Run Read(Modbus_Server* server) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        Run r;
        r.result = server->ReadCfg();
        r.out = testing::internal::GetCapturedStdout();
        r.err = testing::internal::GetCapturedStderr();
        return r;
    }

    void ExpectDefaults(const Modbus_Server& s) {
        EXPECT_EQ(s.name, "Corvane Modbus Server");
        EXPECT_EQ(s.location, "not set yet");
        EXPECT_EQ(s.ip, "0.0.0.0");
        EXPECT_EQ(s.port, 1502);
        EXPECT_EQ(s.maxConnections, 5);
    }

    testsupport::TempDir dir;
    // Threshold 4: the warnings reach the journal; debug echoes them.
    CorvaneLogger logger{4, true};
};

}  // namespace

TEST_F(ConfigTest, MissingFileKeepsDefaults) {
    setenv("CORVANE_CONFIG", (dir.path() + "/absent.conf").c_str(), 1);
    Modbus_Server server(&logger, nullptr);
    Run r = Read(&server);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out, "I/O error while reading Config. Using default Values!!!.\n");
    EXPECT_EQ(r.err, "");
    ExpectDefaults(server);
}

TEST_F(ConfigTest, AllSettingsAreTaken) {
    Use("Name = \"Hall 3\";\nLocation = \"Rack 7\";\nIP = \"127.0.0.1\";\nPort = \"502\";\n"
        "MaxConnections = \"12\";\n");
    Modbus_Server server(&logger, nullptr);
    Run r = Read(&server);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(server.name, "Hall 3");
    EXPECT_EQ(server.location, "Rack 7");
    EXPECT_EQ(server.ip, "127.0.0.1");
    EXPECT_EQ(server.port, 502);
    EXPECT_EQ(server.maxConnections, 12);
}

TEST_F(ConfigTest, OnlyNameGivesFourSeparateWarnings) {
    Use("Name = \"Only a name\";\n");
    Modbus_Server server(&logger, nullptr);
    const std::string mark = JournalMark();
    Run r = Read(&server);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(server.name, "Only a name");
    EXPECT_EQ(server.location, "not set yet");
    EXPECT_EQ(server.ip, "0.0.0.0");
    EXPECT_EQ(server.port, 1502);
    EXPECT_EQ(server.maxConnections, 5);

    // Each text ends in its own newline; the echo adds one more.
    EXPECT_EQ(r.out,
              "No 'Location' setting in configuration file.\n\n"
              "No 'IP' setting in configuration file. Using Standard: 0.0.0.0\n\n"
              "No 'Port' setting in configuration file.Using Standard: 1502\n\n"
              "No 'MaxConnections' setting in configuration file.Using Standard: 5\n\n");

    auto records = JournalSince(mark, "MaxConnections");
    ASSERT_EQ(records.size(), 4u) << ::testing::PrintToString(Messages(records));
    // libsystemd drops the trailing newline of a printed record.
    const char* expected[] = {
        " W |  No 'Location' setting in configuration file.",
        " W |  No 'IP' setting in configuration file. Using Standard: 0.0.0.0",
        " W |  No 'Port' setting in configuration file.Using Standard: 1502",
        " W |  No 'MaxConnections' setting in configuration file.Using Standard: 5",
    };
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].message, expected[i]);
        EXPECT_EQ(records[i].priority, 4);
    }

    Use("Location = \"x\";\n");
    Modbus_Server other(&logger, nullptr);
    r = Read(&other);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 2),
              "No 'Name'' setting in configuration file.\n\n");
}

TEST_F(ConfigTest, NumbersAreConvertedLikeStoiToSixteenBits) {
    struct Case {
        std::string setting;  // the right-hand side in the file
        uint16_t port;
        bool warned;
    };
    const Case cases[] = {
        {"\"502\"", 502, false},      {"\"70000\"", 4464, false}, {"\"-1\"", 65535, false},
        {"\"1502abc\"", 1502, false}, {"\"  +77\"", 77, false},   {"\"0\"", 0, false},
        {"\"abc\"", 1502, true},      {"\"\"", 1502, true},       {"\"99999999999\"", 1502, true},
        {"502", 1502, true},          {"502.0", 1502, true},      {"true", 1502, true},
        {"[\"502\"]", 1502, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("Port = " + c.setting);
        Use("Name = \"n\";\nLocation = \"l\";\nIP = \"1.2.3.4\";\nPort = " + c.setting +
            ";\nMaxConnections = " + c.setting + ";\n");
        Modbus_Server server(&logger, nullptr);
        Run r = Read(&server);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(server.port, c.port);
        EXPECT_EQ(server.maxConnections, c.warned ? 5 : c.port);
        EXPECT_EQ(server.ip, "1.2.3.4");
        if (c.warned) {
            EXPECT_EQ(r.out,
                      "No 'Port' setting in configuration file.Using Standard: 1502\n\n"
                      "No 'MaxConnections' setting in configuration file.Using Standard: 5\n\n");
        } else {
            EXPECT_EQ(r.out, "");
        }
    }

    // A Name of another type is treated as absent too.
    Use("Name = 12;\nLocation = \"l\";\nIP = \"1.2.3.4\";\nPort = \"1\";\nMaxConnections = "
        "\"0\";\n");
    Modbus_Server server(&logger, nullptr);
    Run r = Read(&server);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(server.name, "Corvane Modbus Server");
    EXPECT_EQ(server.maxConnections, 0);
    EXPECT_EQ(r.out, "No 'Name'' setting in configuration file.\n\n");
}

TEST_F(ConfigTest, SyntaxErrorNamesFileAndLineAndJournalsNothing) {
    const std::string path =
        Use("Name = \"Fine\";\nPort = \"502\";\nLocation = ;\nIP = \"1.2.3.4\";\n");
    Modbus_Server server(&logger, nullptr);
    const std::string mark = JournalMark();
    Run r = Read(&server);
    const std::string endMark = JournalMark();
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out, "");
    const std::string prefix = "Parse error at " + path + ":3 - ";
    EXPECT_EQ(r.err.substr(0, prefix.size()), prefix) << r.err;
    EXPECT_GT(r.err.size(), prefix.size() + 1) << "the parser's text follows";
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    ExpectDefaults(server);

    auto records = JournalSince(mark, endMark);
    EXPECT_EQ(Messages(records), std::vector<std::string>{endMark});
}
