// The register map as documented: docs/register-map.csv and docs/register-map.md
// are what corvane-map prints from the address tables now.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "service.h"

namespace {

std::string MapOutput(const std::string& format) {
    std::string out;
    FILE* pipe = popen((CORVANE_MAP_BINARY " " + format).c_str(), "r");
    char buffer[4096];
    for (size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    EXPECT_TRUE(pipe != nullptr && pclose(pipe) == 0) << format;
    return out;
}

TEST(RegisterMap, CommittedDocumentsMatchTheTables) {
    const std::string source = CORVANE_SOURCE_DIR;
    const std::string csv = MapOutput("--csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 1 + 80 + 44 + 158 + 198);
    EXPECT_EQ(csv, testsupport::ReadFile(source + "/docs/register-map.csv"))
        << "regenerate it: build/corvane-map --csv > docs/register-map.csv";

    EXPECT_EQ(MapOutput("--markdown"), testsupport::ReadFile(source + "/docs/register-map.md"))
        << "regenerate it: build/corvane-map --markdown > docs/register-map.md";
}

}  // namespace
