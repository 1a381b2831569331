// The configuration reader on real files: fields taken, warnings for absent
// settings (echoed and read back from the real journal), unreadable files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "journal.h"
#include "modbus_server.h"
#include "service.h"

namespace {

const std::string kPort = "No 'Port' setting in configuration file.Using Standard: 1502\n",
                  kMax = "No 'MaxConnections' setting in configuration file.Using Standard: 5\n";

struct Case {
    std::optional<std::string> file;  // nullopt: there is none
    int result;
    std::vector<std::string> warnings;
    int port = 1502, maxConnections = 5;
    std::string name = "Corvane Modbus Server", location = "not set yet", ip = "0.0.0.0";
    int errorLine = 0;       // a parse error reported on standard error
    std::string error = "";  // else the start of the one line there (result -2)
};

// clang-format off
// Port and MaxConnections both `setting`, read like stoi to 16 bits; no `value`: refused.
Case Number(const std::string& setting, int value = -1) {
    Case c{"Name = \"n\";\nLocation = \"l\";\nIP = \"1.2.3.4\";\nPort = " + setting +
           ";\nMaxConnections = " + setting + ";\n", 0, {}, value, value, "n", "l", "1.2.3.4"};
    if (value < 0) c.warnings = {kPort, kMax}, c.port = 1502, c.maxConnections = 5;
    return c;
}

// A Port outside 1-65535 fails the start; MaxConnections keeps 16 bits (-1: beyond int).
Case BadPort(const std::string& setting, int max) {
    Case c = Number(setting, max);
    c.result = -2, c.port = 1502, c.warnings.clear();
    if (max < 0) c.warnings = {kMax};
    c.error = "Config error: Port '" + setting.substr(1, setting.size() - 2) + "' is outside 1-65535\n";
    return c;
}

const std::vector<Case> kCases = {
    {std::nullopt, -1, {}},
    {"Name = \"Hall 3\";\nLocation = \"Rack 7\";\nIP = \"127.0.0.1\";\nPort = \"502\";\nMaxConnections = \"12\";\n",
     0, {}, 502, 12, "Hall 3", "Rack 7", "127.0.0.1"},
    {"Name = \"Only a name\";\n", 0, {"No 'Location' setting in configuration file.\n",
     "No 'IP' setting in configuration file. Using Standard: 0.0.0.0\n", kPort, kMax}, 1502, 5, "Only a name"},
    // A Name of another type counts as absent.
    {"Name = 12;\nLocation = \"l\";\nIP = \"1.2.3.4\";\nPort = \"1\";\nMaxConnections = \"0\";\n",
     0, {"No 'Name'' setting in configuration file.\n"}, 1, 0, "Corvane Modbus Server", "l", "1.2.3.4"},
    // A syntax error on line 3 keeps every default.
    {"Name = \"Fine\";\nPort = \"502\";\nLocation = ;\nIP = \"1.2.3.4\";\n", -1, {}, 1502, 5,
     "Corvane Modbus Server", "not set yet", "0.0.0.0", 3},
    Number("\"502\"", 502), BadPort("\"70000\"", 4464), BadPort("\"-1\"", 65535), BadPort("\"0\"", 0),
    Number("\"1502abc\"", 1502), Number("\"  +77\"", 77), Number("\"abc\""), Number("\"\""),
    BadPort("\"99999999999\"", -1), Number("502"),
    {"Name = \"n\";\nLocation = \"l\";\nIP = \"0.1.2.3\";\nPort = \"502\";\nMaxConnections = \"5\";\n", -2, {},
     502, 5, "n", "l", "0.1.2.3", 0, "Config error: IP '0.1.2.3' is no address to listen on\n"},
    // libconfig's scanner would end the process reading a directory.
    {"/* @include \".\" */\n@include \".\"\n", -2, {}, 1502, 5, "Corvane Modbus Server", "not set yet",
     "0.0.0.0", 0, "Config error: . (included by "},
};
// clang-format on

TEST(Config, FilesGiveTheirFieldsWarningsAndJournalRecords) {
    ASSERT_TRUE(testsupport::EnsureJournald()) << "no systemd-journald";
    testsupport::TempDir dir;
    const std::string path = dir.path() + "/corvane.conf";
    setenv("CORVANE_CONFIG", path.c_str(), 1);
    CorvaneLogger logger{4, true};  // threshold 4: warnings reach the journal; debug echoes them
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.file.value_or("no file"));
        std::remove(path.c_str());
        if (c.file) std::ofstream(path) << *c.file;
        Modbus_Server server(&logger, nullptr);
        const std::string mark = testsupport::JournalMark();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(server.ReadCfg(), c.result);
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        const std::string endMark = testsupport::JournalMark();
        EXPECT_EQ(
            std::tie(server.name, server.location, server.ip, server.port, server.maxConnections),
            std::tie(c.name, c.location, c.ip, c.port, c.maxConnections));

        // Each warning keeps its own newline on the echo, which adds one; the
        // journal record drops it (libsystemd) and carries the level prefix.
        std::string expectedOut =
            c.file ? "" : "I/O error while reading Config. Using default Values!!!.\n";
        std::vector<std::string> journal;
        for (const std::string& w : c.warnings) {
            expectedOut += w + "\n";
            journal.push_back(" W |  " + w.substr(0, w.size() - 1));
        }
        journal.push_back(endMark);
        EXPECT_EQ(out, expectedOut);
        auto records = testsupport::JournalSince(mark, endMark);
        EXPECT_EQ(testsupport::Messages(records), journal);
        for (size_t i = 0; i + 1 < records.size(); ++i) EXPECT_EQ(records[i].priority, 4);

        // A parse error: one line naming file and line, then the parser's text.
        const std::string prefix =
            "Parse error at " + path + ":" + std::to_string(c.errorLine) + " - ";
        const std::string& start = c.errorLine ? prefix : c.error;
        EXPECT_TRUE(start.empty() ? err.empty()
                                  : err.rfind(start, 0) == 0 && err.find('\n') == err.size() - 1)
            << err;
    }
}

}  // namespace
