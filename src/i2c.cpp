// I2C access over the Linux i2c-dev bus device.
#include "i2c.h"

#include <fcntl.h>

#include "platform.h"

int i2c_open(const char* device) {
    int bus = os().Open(device, O_RDWR);
    return bus < 0 ? -1 : bus;
}

void i2c_close(int bus) {
    os().Close(bus);
}
