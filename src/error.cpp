#include "error.h"

#include <cstring>

std::string Corvane_strerror(int code) {
    switch (code) {
        case CORVANE_ILLEGAL_FUNCTION:
            return "Illegal function";
        case CORVANE_ILLEGAL_DATA_ADDRESS:
            return "Illegal data address";
        case CORVANE_ILLEGAL_DATA_VALUE:
            return "Illegal data value";
        case CORVANE_COMMUNICATION_FAULT:
            return "Module Communication Fault";
        case CORVANE_ILLEGAL_MODULE_REGISTER:
            return "Illegal Module Register";
        case CORVANE_MODULE_MALFUNCTION:
            return "Module Malfunction";
        case CORVANE_CONFIG_DENIED:
            return "Config Acces DENIED";
        case CORVANE_NOT_CONNECTED:
            return "Module not connected";
        case CORVANE_INVALID_DATA:
            return "Invalid data";
        default:
            break;
    }
    // strerror's buffer may be shared with other threads (the analog monitor
    // reports errors too); the GNU strerror_r writes into ours when it must.
    char buffer[128];
    return strerror_r(code, buffer, sizeof buffer);
}
