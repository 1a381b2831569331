// The journal logger, the error texts and module error reports, checked
// against records read back from a real systemd-journald.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "error.h"
#include "journal.h"
#include "logger.h"

using testsupport::Lines;

namespace {

// What `logs` printed, then its journal records as "<priority><MESSAGE>",
// `until` being the text of the last one. Every record carries the
// logger's one code location.
Lines Logged(const std::function<void()>& logs, const std::string& until) {
    EXPECT_TRUE(testsupport::EnsureJournald()) << "no systemd-journald";
    const std::string mark = testsupport::JournalMark();
    testing::internal::CaptureStdout();
    logs();
    Lines lines = {testing::internal::GetCapturedStdout()};
    const std::string tail = "/src/logger.cpp";  // absolute, as the build saw it
    for (const auto& r : testsupport::JournalSince(mark, until)) {
        lines.push_back(std::to_string(r.priority) + r.message);
        EXPECT_EQ(r.codeLine + " " + r.codeFunc + " " + r.codeFile.substr(0, 1), "65 Log /");
        EXPECT_TRUE(r.codeFile.size() > tail.size() &&
                    r.codeFile.compare(r.codeFile.size() - tail.size(), tail.size(), tail) == 0)
            << r.codeFile;
    }
    return lines;
}

}  // namespace

TEST(Logger, PriorityTagLocationThresholdAndEcho) {
    const Lines lines = Logged(
        [] {
            CorvaneLogger quiet(5, false);
            quiet.Log(6, "above threshold even with echo", true);
            quiet.Log(3, "disk on fire", false);
            quiet.Log(4, "echoed warning", true);
            quiet.Log(4, "%s%n %d%% 100%", true);  // text, never a format
            CorvaneLogger chatty(9, true);
            // The journal takes priorities 0-7 only: the rest are clamped.
            const std::pair<int, const char*> more[] = {
                {0, "debug flag echoes"}, {2, "critical"},    {7, "debug detail"}, {5, ""},
                {-4, "negative level"},   {8, "level eight"}, {9, "level nine"},   {6, "last"}};
            for (auto [level, text] : more) chatty.Log(level, text, false);
        },
        "last");
    // libsystemd trims trailing blanks from a printed record: the empty
    // message's tag and blank arrive as " I |".
    EXPECT_EQ(lines, (Lines{"echoed warning\n%s%n %d%% 100%\ndebug flag echoes\ncritical\n"
                            "debug detail\n\nnegative level\nlevel eight\nlevel nine\nlast\n",
                            "3 E |  disk on fire", "4 W |  echoed warning", "4 W |  %s%n %d%% 100%",
                            "0 C |  debug flag echoes", "2 C |  critical", "7 D |  debug detail",
                            "5 I |", "0 C |  negative level", "7 I |  level eight",
                            "7 I |  level nine", "6 I |  last"}));
}

// Codes 1, 3, 4, 6 and 7 show in the module reports of the other tests.
TEST(ErrorTexts, OwnCodesAndTheCLibraryForTheRest) {
    const std::pair<int, const char*> own[] = {{2, "Illegal data address"},
                                               {5, "Illegal Module Register"},
                                               {8, "Module not connected"},
                                               {-32768, "Invalid data"}};
    for (auto [code, text] : own) EXPECT_EQ(Corvane_strerror(code), text);
    for (int code : {0, -1, 9, 32768, -32767, 1000000})
        EXPECT_EQ(Corvane_strerror(code), std::strerror(code)) << code;
}
