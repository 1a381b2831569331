// The service's status codes and their texts. 0 is success; 1-8 are the
// service's codes, sent unchanged to Modbus clients as exception codes;
// -1 is the generic failure of the bus and pin layers.
#pragma once

#include <string>

enum CorvaneError {
    CORVANE_ILLEGAL_FUNCTION = 1,
    CORVANE_ILLEGAL_DATA_ADDRESS = 2,
    CORVANE_ILLEGAL_DATA_VALUE = 3,
    CORVANE_COMMUNICATION_FAULT = 4,
    CORVANE_ILLEGAL_MODULE_REGISTER = 5,
    CORVANE_MODULE_MALFUNCTION = 6,
    CORVANE_CONFIG_DENIED = 7,
    CORVANE_NOT_CONNECTED = 8,
    CORVANE_INVALID_DATA = -32768,
};

// The text of a status: the service's own for 1-8 and -32768, the C
// library's strerror text for every other number.
std::string Corvane_strerror(int code);
