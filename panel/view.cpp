#include "view.h"

#include <cstdio>
#include <vector>

namespace panel {

namespace {

const char* LockName(Lock lock) {
    return lock == Lock::Locked ? "locked" : lock == Lock::Unlocked ? "unlocked" : "unknown";
}

bool IsBits(Table t) {
    return t == Table::Coil || t == Table::DiscreteInput;
}

// One metric family of the values: by the unit of the meaning table,
// scaled to the unit Prometheus names it in.
struct Family {
    const char* unit;
    const char* name;
    double factor;
    const char* help;
};

constexpr Family kFamilies[] = {
    {"°C", "corvane_temperature_celsius", 1, "Temperature of an input"},
    {"mV", "corvane_voltage_volts", 1e-3, "Voltage measured or set on an analog channel"},
    {"µA", "corvane_current_amperes", 1e-6, "Current measured or set on an analog channel"},
    {"Hz", "corvane_frequency_hertz", 1, "PWM frequency"},
    {"‰", "corvane_ratio", 1e-3, "PWM duty or analog level, as a fraction of the range"},
    {"", "corvane_state", 1, "A bit (0/1), mask, code or count as the register map describes it"},
};

std::string Number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", v);
    return text;
}

}  // namespace

std::string ExceptionMeaning(int code) {
    static const char* const texts[] = {
        "",
        "Illegal function: refused (module not fitted, configuration locked, or not served in "
        "the channel's function)",
        "Illegal data address: outside the register map",
        "Illegal data value: outside the range the channel accepts",
        "Module Communication Fault: the module did not answer as it should",
        "Illegal Module Register",
        "Module Malfunction",
        "Config Acces DENIED",
        "Module not connected"};
    if (code >= 1 && code <= 8) return texts[code];
    return "exception " + std::to_string(code);
}

nlohmann::json BoardJson(const State& state, bool read_only, int interval_ms) {
    using nlohmann::json;
    json modules = json::array();
    for (const Module& module : Modules()) {
        if (!state.plan.Fitted(module.number)) continue;
        json channels = json::array();
        for (const Channel& c : module.channels) {
            const int32_t raw = state.values.Get(c.table, c.address);
            if (raw < 0) continue;
            const bool writable = c.table == Table::Coil || c.table == Table::Holding;
            json value = nullptr;
            if (!Missing(c, raw)) {
                if (IsBits(c.table)) {
                    value = raw != 0;
                } else if (c.meaning != nullptr && c.meaning->divisor != 1) {
                    value = Scaled(c, raw);
                } else {
                    value = static_cast<int>(Scaled(c, raw));
                }
            }
            channels.push_back(
                {{"table", TableName(c.table)},
                 {"address", c.address},
                 {"channel", c.channel},
                 {"meaning", c.meaning ? regmap::MeaningText(*c.meaning, c.channel) : ""},
                 {"unit", c.meaning ? c.meaning->unit : ""},
                 {"writable", writable},
                 {"config", c.config},
                 {"raw", raw},
                 {"value", value}});
        }
        if (channels.empty()) continue;
        json entry = {{"number", module.number},
                      {"name", module.name},
                      {"kind", module.kind},
                      {"channels", channels}};
        if (module.kind == "AIO") {
            json functions = json::array();
            for (int ch = 0; ch < 4; ++ch) {
                const int f = state.plan.Function(module.number, ch);
                functions.push_back(
                    {{"channel", ch + 1},
                     {"function", f},
                     {"name", f >= 0 && f <= 8 ? regmap::kAioFunctions[f] : "unknown"}});
            }
            entry["functions"] = functions;
        }
        modules.push_back(entry);
    }
    return {{"modbus", state.modbus},
            {"connected", state.connected},
            {"since", state.since_ms},
            {"error", state.error},
            {"time", state.time_ms},
            {"poll_seconds", state.poll_seconds},
            {"interval_ms", interval_ms},
            {"read_only", read_only},
            {"lock", LockName(state.lock)},
            {"lock_time", state.lock_ms},
            {"aio_functions", regmap::kAioFunctions},
            {"modules", modules}};
}

std::string MetricsText(const State& state) {
    std::string out;
    auto family = [&out](const char* name, const char* type, const char* help) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    };
    family("corvane_up", "gauge", "1 while the panel reaches the service over Modbus");
    out += std::string("corvane_up ") + (state.connected ? "1" : "0") + "\n";
    family("corvane_poll_duration_seconds", "gauge", "How long the last complete poll took");
    out += "corvane_poll_duration_seconds " + Number(state.poll_seconds) + "\n";
    family("corvane_polls_total", "counter", "Complete polls of the board");
    out += "corvane_polls_total " + std::to_string(state.polls) + "\n";
    family("corvane_modbus_errors_total", "counter",
           "Failed Modbus requests by exception code; code=\"link\": the connection failed");
    for (const auto& [code, count] : state.errors)
        out += "corvane_modbus_errors_total{code=\"" + code + "\"} " + std::to_string(count) + "\n";
    if (state.lock != Lock::Unknown) {
        family("corvane_config_locked", "gauge",
               "1 while the configuration lock is set, as the service last answered the panel");
        out +=
            std::string("corvane_config_locked ") + (state.lock == Lock::Locked ? "1" : "0") + "\n";
    }
    if (!state.connected) return out;
    for (const Family& f : kFamilies) {
        std::string samples;
        for (const Module& module : Modules()) {
            if (!state.plan.Fitted(module.number)) continue;
            for (const Channel& c : module.channels) {
                const int32_t raw = state.values.Get(c.table, c.address);
                const char* unit = c.meaning ? c.meaning->unit : "";
                if (Missing(c, raw) || std::string(unit) != f.unit) continue;
                samples += std::string(f.name) + "{module=\"" + module.name + "\",table=\"" +
                           TableName(c.table) + "\",channel=\"" + std::to_string(c.channel) +
                           "\",address=\"" + std::to_string(c.address) + "\"} " +
                           Number(Scaled(c, raw) * f.factor) + "\n";
            }
        }
        if (samples.empty()) continue;
        family(f.name, "gauge", f.help);
        out += samples;
    }
    return out;
}

}  // namespace panel
