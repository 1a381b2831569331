#include "link.h"

#include <cerrno>
#include <utility>

ModbusLink::ModbusLink(std::string host, int port) : host_(std::move(host)), port_(port) {}

ModbusLink::~ModbusLink() {
    Close();
}

bool ModbusLink::Connect(std::string* error) {
    if (ctx_ != nullptr) return true;
    ctx_ = modbus_new_tcp_pi(host_.c_str(), std::to_string(port_).c_str());
    if (ctx_ == nullptr) {
        *error = modbus_strerror(errno);
        return false;
    }
    // A service that stops answering is noticed within one timeout, and a
    // write never waits on it for longer.
    modbus_set_response_timeout(ctx_, 2, 0);
    if (modbus_connect(ctx_) == -1) {
        *error = modbus_strerror(errno);
        Close();
        return false;
    }
    return true;
}

void ModbusLink::Close() {
    if (ctx_ == nullptr) return;
    modbus_close(ctx_);
    modbus_free(ctx_);
    ctx_ = nullptr;
}

int ModbusLink::Read(regmap::Table table, int address, int count, uint16_t* values,
                     std::string* error) {
    if (ctx_ == nullptr) return Outcome(-1, error);
    using regmap::Table;
    if (table == Table::Holding)
        return Outcome(modbus_read_registers(ctx_, address, count, values), error);
    if (table == Table::Input)
        return Outcome(modbus_read_input_registers(ctx_, address, count, values), error);
    uint8_t bits[MODBUS_MAX_READ_BITS];
    const int rc = table == Table::Coil ? modbus_read_bits(ctx_, address, count, bits)
                                        : modbus_read_input_bits(ctx_, address, count, bits);
    for (int i = 0; rc == count && i < count; ++i) values[i] = bits[i] != 0;
    return Outcome(rc, error);
}

int ModbusLink::Write(regmap::Table table, int address, uint16_t value, std::string* error) {
    if (ctx_ == nullptr) return Outcome(-1, error);
    const int rc = table == regmap::Table::Coil ? modbus_write_bit(ctx_, address, value != 0)
                                                : modbus_write_register(ctx_, address, value);
    return Outcome(rc, error);
}

int ModbusLink::Outcome(int rc, std::string* error) {
    if (rc != -1) return 0;
    if (ctx_ == nullptr) {
        *error = "not connected";
        return -1;
    }
    // libmodbus reports an exception reply as MODBUS_ENOBASE + its code;
    // everything else (timeouts, resets, malformed replies) ends the link,
    // so no late reply is taken for the answer to a later request.
    const int code = errno - MODBUS_ENOBASE;
    if (code >= 1 && code < MODBUS_EXCEPTION_MAX) return code;
    *error = modbus_strerror(errno);
    Close();
    return -1;
}
