// The service's entry point: the three globals, the command line and the
// start sequence. After a successful start the main thread stays in the
// server's request loop; SIGINT and SIGTERM end the process through the
// server's orderly shutdown, also when they arrive during the start.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <string>
#include <syslog.h>
#include <systemd/sd-daemon.h>

#include "logger.h"
#include "modbus_server.h"
#include "module_manager.h"
#include "platform.h"
#include "version.h"

// Built in this order before main, destroyed in reverse at exit.
CorvaneLogger LL1(5, true);
Module_Manager LMM1(&LL1);
Modbus_Server LMBS1(&LL1, &LMM1);

namespace {
const std::string kSeparator(41, '-');
}

// Examines the first argument only. 0: go on starting; nonzero: stop with
// status 0 (help or version printed).
int CheckArgs(int argc, char** argv) {
    if (argc < 2) return 0;
    const std::string arg = argv[1];
    if (arg == "-h" || arg == "--help") {
        std::fputs("Arguments:)\n", stdout);
        std::fputs("-d or --debug: Debug Messages\n", stdout);
        std::fputs("-v or --version: Print version string\n", stdout);
        std::fflush(stdout);
        return 1;
    }
    if (arg == "-v" || arg == "--version") {
        std::fputs("Corvane Base Software V" CORVANE_VERSION " " CORVANE_BUILD_TYPE
                   " Build for Kernel " CORVANE_BUILD_KERNEL " created at: " CORVANE_BUILD_TIME
                   "\n",
                   stdout);
        std::fflush(stdout);
        return 1;
    }
    if (arg == "-d" || arg == "--debug") {
        std::fputs("VRS launched in Debug Mode\n", stdout);
        std::fflush(stdout);
        LL1.level = 7;
        LL1.debug = true;
    }
    return 0;
}

namespace {
// The stop signal received last, 0 while none came. The request loop learns
// of one through the server; the start sequence looks here.
volatile std::sig_atomic_t stopSignal = 0;

// Carries out a stop that arrived during the start, now that the start has
// reached a step after which it can be done in order.
void StopIfRequested() {
    if (stopSignal != 0) LMBS1.close_sigint_mb(stopSignal);
}
}  // namespace

// SIGINT, SIGTERM: only records the request; the start sequence or the
// request loop carries out the shutdown on the main thread, where logging
// and freeing are safe. The status is the signal's number.
void ExitHandler(int signal) {
    stopSignal = signal;
    LMBS1.RequestShutdown(signal);
}

int main(int argc, char** argv) {
    // Line by line even into a pipe or file: operators tail this output, and
    // the decoder's traces must not sit in a buffer while the service waits.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (PlatformStart() != 0) return -1;
    if (argc > 1 && CheckArgs(argc, argv) != 0) return 0;

    LL1.Log(LOG_INFO, kSeparator, false);
    LL1.Log(LOG_NOTICE, "Corvane Base Software V" CORVANE_VERSION " started", false);
    LL1.Log(LOG_INFO, kSeparator, false);

    // Armed before the modules are touched: a stop during the start must
    // not leave pins exported. A parent may have left the signals blocked,
    // which would make the service unstoppable but by SIGKILL.
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = ExitHandler;
    sigemptyset(&action.sa_mask);
    sigset_t stops;
    sigemptyset(&stops);
    for (int signal : {SIGINT, SIGTERM}) {
        sigaction(signal, &action, nullptr);
        sigaddset(&stops, signal);
    }
    pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);

    if (LMM1.Init() != 0) {
        LL1.Log(LOG_CRIT, "Problem Initialising Corvane", false);
        return -1;
    }
    StopIfRequested();
    if (LMM1.ScanModules() != 0) {
        LL1.Log(LOG_CRIT, "Problem During Module Detection", false);
        return -1;
    }
    StopIfRequested();
    if (LMBS1.StartServer() != 0) {
        LL1.Log(LOG_CRIT, "[VRS] Couldnt Start Corvane Server", false);
        return -1;
    }
    // From here on a stop reaches the request loop through the server.
    StopIfRequested();
    // systemd (Type=notify) counts the service as started from here: the
    // port listens and a stop request is served in order.
    sd_notify(0, "READY=1");

    for (;;) {
        if (LMBS1.WaitAndHandle() != 0) LL1.Log(LOG_ERR, "Broken Request", false);
    }
}
