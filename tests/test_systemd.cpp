// The service as systemd runs it: readiness and stop notifications, the
// unit file, and what `cmake --install` puts on the board.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <regex>
#include <set>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "journal.h"
#include "service.h"

using testsupport::ExitCode;
using testsupport::ReadFile;
using testsupport::Service;
using testsupport::ServiceOptions;
using testsupport::Shell;
using testsupport::TempDir;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// systemd's end of sd_notify: the datagram socket NOTIFY_SOCKET names.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& socketPath) : path(socketPath) {
        sockaddr_un address{AF_UNIX, {}};
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        ok = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~NotifySocket() { close(fd); }

    // The next message; "" if none came in `timeout`.
    std::string Receive(std::chrono::milliseconds timeout) {
        pollfd p{fd, POLLIN, 0};
        char text[512];
        const ssize_t n = poll(&p, 1, static_cast<int>(timeout.count())) == 1
                              ? recv(fd, text, sizeof text, 0)
                              : -1;
        return n > 0 ? std::string(text, static_cast<size_t>(n)) : "";
    }

    const std::string path;
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool ok = false;
};

}  // namespace

// READY=1 once the port listens, and never when it cannot be opened (another program listens
// there); STOPPING=1 on SIGINT.
TEST(Notify, ReadyOnceListeningAndStoppingOnSigint) {
    ASSERT_TRUE(testsupport::EnsureJournald());
    TempDir dir;
    NotifySocket notify(dir.path() + "/notify");
    ASSERT_TRUE(notify.ok);
    ServiceOptions options;
    options.env["NOTIFY_SOCKET"] = notify.path;
    options.waitListening = false;
    options.port = testsupport::FreeLoopbackPort();
    const int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{
        AF_INET, htons(static_cast<uint16_t>(options.port)), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    {
        Service blocked(options);
        ASSERT_TRUE(blocked.Start());
        EXPECT_EQ(ExitCode(blocked.WaitExit(30s)), 255);
        EXPECT_EQ(blocked.Stderr(), "Unable to listen TCP connection: Address already in use\n");
        EXPECT_EQ(notify.Receive(0ms), "");
    }
    close(taken);

    Service service(options);
    ASSERT_TRUE(service.Start());
    EXPECT_EQ(notify.Receive(30s), "READY=1");
    const int client = testsupport::ConnectLoopback(service.port());
    EXPECT_GE(client, 0) << "READY=1 came before the port listened";
    if (client >= 0) close(client);
    kill(service.pid(), SIGINT);
    EXPECT_EQ(notify.Receive(30s), "STOPPING=1");
    EXPECT_EQ(ExitCode(service.WaitExit(30s)), 2);
}

TEST(UnitFile, VerifiesWithoutComplaint) {
    // systemd before 254 has no restart back-off and names its two keys.
    const auto [versionStatus, version] = Shell("systemd-analyze --version");
    ASSERT_EQ(versionStatus, 0) << version;
    const bool oldSystemd = std::stoi(version.substr(version.find(' ') + 1)) < 254;
    const std::regex tolerated(oldSystemd ? ".*Unknown key '(RestartSteps|RestartMaxDelaySec)'.*"
                                          : "^$");

    // A unit naming the binary of this build, as the installed one names the
    // installed binary: systemd-analyze checks that it is there.
    const std::string shipped = ReadFile(CORVANE_SOURCE_DIR "/packaging/corvanebs.service");
    const std::regex execStart("\nExecStart=[^\n]*");
    ASSERT_TRUE(std::regex_search(shipped, execStart));
    // The orderly stops' statuses: SIGINT 2, SIGTERM 15.
    EXPECT_TRUE(std::regex_search(shipped, std::regex("\nSuccessExitStatus=2 15\n")));
    const std::string unit =
        std::regex_replace(shipped, execStart, "\nExecStart=" CORVANE_BOARD_BINARY);
    const std::string broken =
        std::regex_replace(unit, std::regex("KillSignal=SIGINT"), "KillSignal=SIGINTR");
    ASSERT_NE(broken, unit);

    for (const auto& [text, clean] : {std::pair{unit, true}, std::pair{broken, false}}) {
        TempDir dir;
        const std::string path = dir.path() + "/corvanebs.service";
        std::ofstream(path) << text;
        const auto [status, output] = Shell("systemd-analyze verify " + path);
        const std::string complaints = std::regex_replace(output, tolerated, "");
        EXPECT_EQ(status == 0 && complaints.find_first_not_of('\n') == std::string::npos, clean)
            << output;
    }
}

TEST(Install, BoardFilesOnlyAndAnEditedConfigurationKept) {
    TempDir root;
    const std::string install = "env DESTDIR=" + root.path() +
                                " " CORVANE_CMAKE " --install " CORVANE_BINARY_DIR " --prefix /usr";
    const auto [status, output] = Shell(install);
    ASSERT_EQ(status, 0) << output;

    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root.path()))
        if (!entry.is_directory()) files.insert(entry.path().lexically_relative(root.path()));
    EXPECT_EQ(files, (std::set<std::string>{"lib/systemd/system/corvanebs.service",
                                            "lib/systemd/system/corvane-panel.service",
                                            "usr/bin/corvanebs", "usr/bin/corvane-panel",
                                            "usr/etc/corvanebs/corvane.conf"}));
    const std::string config = root.path() + "/usr/etc/corvanebs/corvane.conf";
    EXPECT_EQ(ReadFile(config), ReadFile(CORVANE_SOURCE_DIR "/packaging/corvane.conf"));
    // The unit starts what was installed.
    std::smatch execStart;
    const std::string unit = ReadFile(root.path() + "/lib/systemd/system/corvanebs.service");
    ASSERT_TRUE(std::regex_search(unit, execStart, std::regex("\nExecStart=([^\n]*)")));
    EXPECT_EQ(access((root.path() + execStart[1].str()).c_str(), X_OK), 0) << execStart[1];

    std::ofstream(config) << "Location = \"Hall 3\";\n";
    const auto [again, againOutput] = Shell(install);
    ASSERT_EQ(again, 0) << againOutput;
    EXPECT_EQ(ReadFile(config), "Location = \"Hall 3\";\n");
}
