// ModbusLink: the panel's one Modbus TCP connection to corvanebs, as a
// libmodbus client. Not thread-safe: its owner serialises the calls.
#pragma once

#include <cstdint>
#include <modbus.h>
#include <string>

#include "register_meanings.h"

class ModbusLink {
  public:
    // Nothing is connected until Connect.
    ModbusLink(std::string host, int port);
    ~ModbusLink();
    ModbusLink(const ModbusLink&) = delete;
    ModbusLink& operator=(const ModbusLink&) = delete;

    // Connects (a no-op when connected): true on success, else false with
    // `error` set. Bounded by the 2 s response timeout.
    bool Connect(std::string* error);
    bool connected() const { return ctx_ != nullptr; }
    void Close();

    // Reads `count` values from `address` of `table` into `values` (bits as
    // 0 or 1). Writes one coil (0 or 1) or holding register. Both return 0,
    // the exception code the service answered with (1-255; the link stays
    // up), or -1 when the link failed: it is closed then and `error` says why.
    int Read(regmap::Table table, int address, int count, uint16_t* values, std::string* error);
    int Write(regmap::Table table, int address, uint16_t value, std::string* error);

  private:
    int Outcome(int rc, std::string* error);

    std::string host_;
    int port_;
    modbus_t* ctx_ = nullptr;
};
