// corvane-panel: the board in a browser. A Modbus TCP client of a running
// corvanebs (board or simulator) and a small web server: a live page of the
// fitted modules with their controls, the same snapshot as JSON, writes of
// single coils and registers, and Prometheus metrics. Everything goes
// through the service's Modbus interface, so its rules hold for the panel.
//
//   corvane-panel [--modbus HOST:PORT] [--listen ADDR:PORT] [--interval MS] [--read-only]
//
// Prints the address it serves on standard output once it listens (port 0
// takes a free one). Exit status 0 after SIGINT or SIGTERM, 1 when it
// cannot listen, 2 on a wrong argument.
#include <httplib.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <string>
#include <thread>

#include "page.h"
#include "poller.h"
#include "version.h"
#include "view.h"

namespace {

struct Options {
    std::string modbus_host = "127.0.0.1";
    int modbus_port = 1502;
    std::string listen_host = "127.0.0.1";
    int listen_port = 8080;
    int interval_ms = 500;
    bool read_only = false;
};

constexpr const char* kUsage =
    "usage: corvane-panel [--modbus HOST:PORT] [--listen ADDR:PORT] [--interval MS] "
    "[--read-only]\n"
    "  --modbus     the corvanebs to show (default 127.0.0.1:1502)\n"
    "  --listen     where the page, /api and /metrics are served (default 127.0.0.1:8080;\n"
    "               port 0 takes a free port)\n"
    "  --interval   poll interval in ms, 20-60000 (default 500)\n"
    "  --read-only  no controls on the page; POST /api/write is refused with 403\n";

// A number from `text` in [low, high], or -1.
long Number(const std::string& text, long low, long high) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    const long n = std::stol(text);
    return n >= low && n <= high ? n : -1;
}

// HOST:PORT, [IPv6]:PORT.
bool HostPort(const std::string& text, std::string* host, int* port, long low_port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string h = text.substr(0, colon);
    if (h.size() > 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    const long p = Number(text.substr(colon + 1), low_port, 65535);
    if (p < 0) return false;
    *host = h;
    *port = static_cast<int>(p);
    return true;
}

// 0 when parsed, else the exit status (0 after --help).
int Parse(int argc, char** argv, Options* o, bool* done) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        bool ok = true;
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            *done = true;
            return 0;
        } else if (arg == "--read-only") {
            o->read_only = true;
        } else if (arg == "--modbus") {
            ok = HostPort(value, &o->modbus_host, &o->modbus_port, 1);
            ++i;
        } else if (arg == "--listen") {
            ok = HostPort(value, &o->listen_host, &o->listen_port, 0);
            ++i;
        } else if (arg == "--interval") {
            o->interval_ms = static_cast<int>(Number(value, 20, 60000));
            ok = o->interval_ms > 0;
            ++i;
        } else {
            ok = false;
        }
        if (!ok) {
            const bool valued = arg == "--modbus" || arg == "--listen" || arg == "--interval";
            std::fprintf(stderr, "corvane-panel: bad argument %s%s%s\n%s", arg.c_str(),
                         valued ? " " : "", valued ? value : "", kUsage);
            return 2;
        }
    }
    return 0;
}

void Reply(httplib::Response& res, int status, const nlohmann::json& body) {
    res.status = status;
    res.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                    "application/json");
}

// Validates a write request. Empty when valid, else the reason.
std::string Validate(const nlohmann::json& body, panel::Table* table, int* address,
                     uint16_t* value) {
    if (!body.is_object()) return "the body must be a JSON object";
    const auto t = body.find("table");
    if (t == body.end() || !t->is_string() || (*t != "coil" && *t != "holding"))
        return "table must be \"coil\" or \"holding\"";
    *table = *t == "coil" ? panel::Table::Coil : panel::Table::Holding;
    const int size = panel::TableSize(*table);
    const auto a = body.find("address");
    if (a == body.end() || !a->is_number_integer() || *a < 0 || *a >= size)
        return "address must be an integer 0-" + std::to_string(size - 1) + " for " +
               t->get<std::string>();
    *address = a->get<int>();
    const auto v = body.find("value");
    if (*table == panel::Table::Coil) {
        if (v != body.end() && v->is_boolean()) {
            *value = v->get<bool>();
            return "";
        }
        if (v == body.end() || !v->is_number_integer() || (*v != 0 && *v != 1))
            return "value must be true, false, 0 or 1 for a coil";
    } else if (v == body.end() || !v->is_number_integer() || *v < 0 || *v > 65535) {
        return "value must be an integer 0-65535 for a holding register";
    }
    *value = static_cast<uint16_t>(v->get<int>());
    return "";
}

void HandleWrite(panel::Poller& poller, bool read_only, const httplib::Request& req,
                 httplib::Response& res) {
    if (read_only) return Reply(res, 403, {{"error", "this panel is read-only"}});
    // Another site's page in the operator's browser must not switch relays:
    // a cross-origin request names its origin, and a JSON body cannot be
    // sent cross-origin without a preflight that the panel never grants.
    const std::string origin = req.get_header_value("Origin");
    if (!origin.empty() && origin != "http://" + req.get_header_value("Host"))
        return Reply(res, 403, {{"error", "requests from another origin are refused"}});
    if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0)
        return Reply(res, 415, {{"error", "the body must be application/json"}});
    const nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
    if (body.is_discarded()) return Reply(res, 400, {{"error", "the body is not valid JSON"}});
    panel::Table table = panel::Table::Coil;
    int address = 0;
    uint16_t value = 0;
    const std::string why = Validate(body, &table, &address, &value);
    if (!why.empty()) return Reply(res, 400, {{"error", why}});

    std::string error;
    const int rc = poller.Write(table, address, value, &error);
    if (rc == -1) return Reply(res, 503, {{"ok", false}, {"error", error}});
    nlohmann::json outcome = {{"ok", rc == 0},
                              {"table", panel::TableName(table)},
                              {"address", address},
                              {"value", value}};
    if (rc != 0) {
        outcome["exception"] = rc;
        outcome["meaning"] = panel::ExceptionMeaning(rc);
    }
    Reply(res, 200, outcome);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    bool done = false;
    if (const int status = Parse(argc, argv, &o, &done); status != 0 || done) return status;

    // SIGINT and SIGTERM are taken by one thread, which stops the server;
    // every other thread is started with them blocked.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    panel::Poller poller(o.modbus_host, o.modbus_port, std::chrono::milliseconds(o.interval_ms),
                         !o.read_only);
    httplib::Server server;
    server.set_payload_max_length(4096);
    server.set_default_headers(
        {{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}});
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Content-Security-Policy",
                       "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                       "connect-src 'self'; img-src data:; frame-ancestors 'none'");
        res.set_content(kPanelPage, "text/html; charset=utf-8");
    });
    server.Get("/api/board", [&](const httplib::Request&, httplib::Response& res) {
        Reply(res, 200, panel::BoardJson(poller.Snapshot(), o.read_only, o.interval_ms));
    });
    server.Post("/api/write", [&](const httplib::Request& req, httplib::Response& res) {
        HandleWrite(poller, o.read_only, req, res);
    });
    server.Get("/metrics", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(panel::MetricsText(poller.Snapshot()),
                        "text/plain; version=0.0.4; charset=utf-8");
    });

    const int port = o.listen_port == 0
                         ? server.bind_to_any_port(o.listen_host)
                         : (server.bind_to_port(o.listen_host, o.listen_port) ? o.listen_port : -1);
    if (port <= 0) {
        std::fprintf(stderr, "corvane-panel: cannot listen on %s:%d\n", o.listen_host.c_str(),
                     o.listen_port);
        return 1;
    }
    std::printf("corvane-panel %s: http://%s:%d/ shows the corvanebs at %s:%d\n", CORVANE_VERSION,
                o.listen_host.c_str(), port, o.modbus_host.c_str(), o.modbus_port);
    std::fflush(stdout);

    std::atomic<bool> served{false};
    std::thread signals([&] {
        int signal = 0;
        sigwait(&stop_signals, &signal);
        // The server ignores a stop before it runs.
        while (!server.is_running() && !served)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        server.stop();
    });
    poller.Start();
    server.listen_after_bind();
    served = true;
    pthread_kill(signals.native_handle(), SIGTERM);  // when it ended without a signal
    signals.join();
    poller.Stop();
    return 0;
}
