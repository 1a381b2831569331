// Configuration, start and stop of the server: reads the settings, listens,
// and shuts down in order.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libconfig.h++>
#include <poll.h>
#include <stdexcept>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include "config_file.h"
#include "modbus_server.h"
#include "server_loop.h"

// The table sizes follow the address map's tables.
int Nr_Output_Bits = static_cast<int>(std::tuple_size<decltype(MM_OutputBit_Map)>::value);
int Nr_Input_Bits = static_cast<int>(std::tuple_size<decltype(MM_InputBit_Map)>::value);
int Nr_Output_Register = static_cast<int>(std::tuple_size<decltype(MM_OutputRegister_Map)>::value);
int Nr_Input_Register = static_cast<int>(std::tuple_size<decltype(MM_InputRegister_Map)>::value);

namespace {

// A setting's text; false when absent or not a string.
bool LookupText(const libconfig::Config& config, const char* key, std::string* text) {
    try {
        *text = static_cast<const char*>(config.lookup(key));
        return true;
    } catch (const libconfig::SettingNotFoundException&) {
        return false;
    } catch (const libconfig::SettingTypeException&) {
        return false;
    }
}

// Decimal text as std::stoi reads it: 1 with *value, 0 when absent, not a
// string or without leading digits, -1 when beyond the range of int.
int LookupNumber(const libconfig::Config& config, const char* key, int* value, std::string* text) {
    if (!LookupText(config, key, text)) return 0;
    try {
        *value = std::stoi(*text);
        return 1;
    } catch (const std::invalid_argument&) {
        return 0;
    } catch (const std::out_of_range&) {
        return -1;
    }
}

// A setting the server cannot start with: the reason on standard error.
void Unusable(const std::string& why) {
    std::fprintf(stderr, "Config error: %s\n", why.c_str());
    std::fflush(stderr);
}

}  // namespace

Modbus_Server::Modbus_Server(CorvaneLogger* log, Module_Manager* manager)
    : moduleManager(manager), logger(log) {}

int Modbus_Server::ReadCfg() {
    libconfig::Config config;
    const std::string path = os().ConfigPath();
    std::string why;
    if (CheckConfigFiles(path, &why) != 0) {
        Unusable(why);
        return -2;
    }
    try {
        config.readFile(path.c_str());
    } catch (const libconfig::FileIOException&) {
        access = ClientAccess();
        std::fputs("I/O error while reading Config. Using default Values!!!.\n", stdout);
        std::fflush(stdout);
        return -1;
    } catch (const libconfig::ParseException& e) {
        std::fprintf(stderr, "Parse error at %s:%d - %s\n",
                     e.getFile() != nullptr ? e.getFile() : path.c_str(), e.getLine(),
                     e.getError());
        std::fflush(stderr);
        std::string error;
        if (access.ReadUnparsed(path, &error) != 0) logger->Log(LOG_ERR, "[MBS] " + error, false);
        return -1;
    }

    std::string text;
    if (LookupText(config, "Name", &text)) {
        name = text;
    } else {
        logger->Log(LOG_WARNING, "No 'Name'' setting in configuration file.\n", false);
    }
    if (LookupText(config, "Location", &text)) {
        location = text;
    } else {
        logger->Log(LOG_WARNING, "No 'Location' setting in configuration file.\n", false);
    }
    if (LookupText(config, "IP", &text)) {
        ip = text;
    } else {
        logger->Log(LOG_WARNING,
                    "No 'IP' setting in configuration file. Using Standard: " + ip + "\n", false);
    }
    // An address or port the server cannot listen on as written is not
    // replaced by another one (libmodbus would take 255.255.255.255 or a
    // port the 16 bits wrap to): the start fails instead.
    bool usable = true;
    in_addr address{};
    if (inet_pton(AF_INET, ip.c_str(), &address) != 1) {
        Unusable("IP '" + ip + "' is not a dotted IPv4 address");
        usable = false;
    } else if (ip[0] == '0' && address.s_addr != htonl(INADDR_ANY)) {
        // libmodbus listens on every address for any text starting with 0.
        Unusable("IP '" + ip + "' is no address to listen on");
        usable = false;
    }
    int number = 0;
    const int portFound = LookupNumber(config, "Port", &number, &text);
    if (portFound == 0) {
        logger->Log(LOG_WARNING,
                    "No 'Port' setting in configuration file.Using Standard: " +
                        std::to_string(port) + "\n",
                    false);
    } else if (portFound < 0 || number < 1 || number > 65535) {
        Unusable("Port '" + text + "' is outside 1-65535");
        usable = false;
    } else {
        port = static_cast<uint16_t>(number);
    }
    // The backlog only: its low 16 bits are harmless.
    if (LookupNumber(config, "MaxConnections", &number, &text) == 1) {
        maxConnections = static_cast<uint16_t>(number);
    } else {
        logger->Log(LOG_WARNING,
                    "No 'MaxConnections' setting in configuration file.Using Standard: " +
                        std::to_string(maxConnections) + "\n",
                    false);
    }
    std::string error;
    if (access.Read(config, &error) != 0) logger->Log(LOG_ERR, "[MBS] " + error, false);
    return usable ? 0 : -2;
}

Modbus_Server::~Modbus_Server() = default;

int Modbus_Server::StartServer() {
    if (ReadCfg() == -2 || !access.Valid()) return -1;
    logger->Log(LOG_NOTICE,
                "[MBS] Starting " + name + " @ " + location + " (IP: " + ip + ":" +
                    std::to_string(port) + ")",
                false);

    mapping.reset(
        modbus_mapping_new(Nr_Output_Bits, Nr_Input_Bits, Nr_Output_Register, Nr_Input_Register));
    if (!mapping) {
        logger->Log(LOG_ERR, "[MBS] Failed to Start Server", false);
        logger->Log(LOG_ERR, modbus_strerror(errno), false);
        return -1;
    }

    // libmodbus refuses an empty or over-long address text with no context.
    ctx.reset(modbus_new_tcp(ip.c_str(), port));
    serverSocket = ctx ? modbus_tcp_listen(ctx.get(), maxConnections) : -1;
    if (serverSocket == -1) {
        std::fprintf(stderr, "Unable to listen TCP connection: %s\n", std::strerror(errno));
        std::fflush(stderr);
        ctx.reset();
        return -1;
    }

    // accept() runs only when the wait reports a client, but that client
    // may be gone again by then: it must not block.
    const int flags = fcntl(serverSocket, F_GETFL);
    loop = std::make_unique<Loop>();
    if (flags == -1 || fcntl(serverSocket, F_SETFL, flags | O_NONBLOCK) == -1 ||
        (shutdownPipe[0] == -1 && pipe2(shutdownPipe, O_NONBLOCK | O_CLOEXEC) != 0) ||
        !loop->readiness.Ok() || loop->readiness.Add(serverSocket) != 0 ||
        loop->readiness.Add(shutdownPipe[0]) != 0) {
        std::perror("Server request loop");
        ReleaseServer();
        return -1;
    }
    // Only now: a server that does not listen is not up.
    logger->Log(LOG_INFO, "[MBS] " + name + " is up and running :)", false);
    return 0;
}

void Modbus_Server::RequestShutdown(int status) {
    const int savedErrno = errno;
    if (shutdownPipe[1] != -1) {
        // A full pipe already holds a request: dropping this one is fine.
        const ssize_t written = write(shutdownPipe[1], &status, sizeof status);
        static_cast<void>(written);
    }
    errno = savedErrno;
}

void Modbus_Server::ReleaseServer() {
    if (serverSocket != -1) {
        close(serverSocket);
        serverSocket = -1;
    }
    loop.reset();
    ctx.reset();
    mapping.reset();
}

void Modbus_Server::close_sigint_mb(int status) {
    sd_notify(0, "STOPPING=1");
    logger->Log(LOG_INFO, "Aborting..", false);
    moduleManager->StopAllThreads();
    ReleaseServer();
    logger->Log(LOG_NOTICE, "Server stopped and all connections closed", false);
    std::exit(status);
}

int Modbus_Server::WaitForConnection() {
    std::fputs("Waiting for Connection\n", stdout);
    std::fflush(stdout);
    // The listening socket does not block: wait for the client here.
    pollfd readable{serverSocket, POLLIN, 0};
    poll(&readable, 1, -1);
    modbus_tcp_accept(ctx.get(), &serverSocket);
    std::fputs("Connected\n", stdout);
    std::fflush(stdout);
    return 0;
}
