#include "grund.h"

#include <string>
#include <syslog.h>

#include "error.h"
#include "gpio.h"
#include "platform.h"
#include "version.h"

namespace {

constexpr unsigned char kLastChannel = 15;
constexpr unsigned char kInputCount = 9;
constexpr unsigned long kPassMicroseconds = 500000;
constexpr int kPingPass = 40;

// "0.7.18" -> {0, 7, 18}. Parsed at run time from the build's one version
// string, so the registers cannot disagree with what -v prints.
void ParseVersion(const char* text, unsigned short out[3]) {
    int part = 0;
    unsigned value = 0;
    for (const char* c = text; part < 3; ++c) {
        if (*c >= '0' && *c <= '9') {
            value = value * 10 + static_cast<unsigned>(*c - '0');
            continue;
        }
        out[part++] = static_cast<unsigned short>(value);
        value = 0;
        if (*c == '\0') break;
    }
    while (part < 3) out[part++] = 0;
}

}  // namespace

Grundmodul::Grundmodul(CorvaneLogger* logger) : CorvaneModule(logger, "GRUND", 1) {}

Grundmodul::~Grundmodul() {
    StopThreads();
    // The output first, then the inputs as mapped.
    GPIO_Unexport(LL_GPIO_OUT_Pin);
    for (int pin : LL_GPIO_IN_Map) GPIO_Unexport(pin);
    if (LedsReady) {
        for (int led = 0; led < 3; ++led) {
            std::lock_guard<std::mutex> lock(LedMutex);
            LedState[led] = LED_OFF;
            GPIO_Write(LL_LED_Map[led], 0);
        }
    }
    for (int pin : LL_LED_Map) GPIO_Unexport(pin);
}

int Grundmodul::init() {
    if (GPIO_Init(LL_GPIO_OUT_Pin, 1) != 0) return -1;
    for (int pin : LL_GPIO_IN_Map) {
        if (GPIO_Init(pin, 0) != 0) return -1;
    }

    ParseVersion(CORVANE_VERSION, SoftwareVersion);
    for (unsigned short& word : ConstWords) word = 1234;

    for (int pin : LL_LED_Map) {
        if (GPIO_Init(pin, 1) != 0) return -1;
    }
    for (int led = 0; led < 3; ++led) {
        std::lock_guard<std::mutex> lock(LedMutex);
        LedState[led] = LED_OFF;
        GPIO_Write(LL_LED_Map[led], 0);
    }

    LedsReady = true;
    // A second init must not replace a running thread (std::thread would
    // terminate the process).
    if (BlinkerThread.joinable()) return 0;
    BlinkerRunning = true;
    BlinkerThread = std::thread(&Grundmodul::LEDBlinker, this);
    return 0;
}

int Grundmodul::ConnectionTest() {
    return 0;
}

int Grundmodul::get_InputBit(unsigned char channel, bool* value) {
    if (channel > kLastChannel) return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_ERR, "");
    if (channel >= kInputCount) {
        *value = false;
        return CORVANE_ILLEGAL_FUNCTION;
    }
    int level = GPIO_Read(LL_GPIO_IN_Map[channel]);
    if (level < 0) return -1;
    *value = level != 0;
    return 0;
}

int Grundmodul::set_OutputBit(unsigned char channel, bool value) {
    if (channel > kLastChannel) return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_ERR, "");
    if (channel != 0) return CORVANE_ILLEGAL_FUNCTION;
    return GPIO_Write(LL_GPIO_OUT_Pin, value ? 1 : 0) < 0 ? -1 : 0;
}

int Grundmodul::get_OutputBit(unsigned char channel, bool* value) {
    if (channel > kLastChannel) return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_ERR, "");
    if (channel != 0) {
        *value = false;
        return CORVANE_ILLEGAL_FUNCTION;
    }
    int level = GPIO_Read(LL_GPIO_OUT_Pin);
    if (level < 0) return -1;
    *value = level != 0;
    return 0;
}

int Grundmodul::get_InputRegister(unsigned char channel, unsigned short* value) {
    if (channel > kLastChannel) return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_ERR, "");
    if (channel == 0) {
        *value = 0;
    } else if (channel <= 3) {
        *value = SoftwareVersion[channel - 1];
    } else if (channel <= 7) {
        *value = ConstWords[channel - 4];
    } else if (channel <= 11) {
        *value = PresenceMask[channel - 8];
    } else {
        *value = 0;
        return CORVANE_ILLEGAL_FUNCTION;
    }
    return 0;
}

int Grundmodul::set_OutputRegister(unsigned char channel, unsigned short value) {
    if (channel > kLastChannel) return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_ERR, "");
    if (channel == 1) return setUserLeds(value);
    if (channel != 0) return CORVANE_ILLEGAL_FUNCTION;

    // The flag changes first: whoever reads the journal line may act on it.
    if (value == GRUND_UNLOCK_CODE) {
        ConfigLocked = false;
        Logger->Log(LOG_INFO, "Config has been Unlocked", false);
        return 0;
    }
    if (value == GRUND_LOCK_CODE) {
        ConfigLocked = true;
        Logger->Log(LOG_INFO, "Config has been Locked", false);
        return 0;
    }
    return CORVANE_ILLEGAL_DATA_VALUE;
}

int Grundmodul::get_OutputRegister(unsigned char channel, unsigned short* value) {
    if (channel > kLastChannel) return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_ERR, "");
    if (channel == 0) {
        // The lock state is deliberately not readable.
        *value = 0;
        return 0;
    }
    if (channel == 1) {
        *value = static_cast<unsigned short>(Get_LED(0) * 16 + Get_LED(1));
        return 0;
    }
    *value = 0;
    return CORVANE_ILLEGAL_FUNCTION;
}

int Grundmodul::StopThreads() {
    BlinkerRunning = false;
    if (BlinkerThread.joinable()) BlinkerThread.join();
    return 0;
}

int Grundmodul::set_ModuleConnectionStatus(unsigned short pwm, unsigned short relay,
                                           unsigned short temperature, unsigned short analog) {
    PresenceMask[0] = pwm;
    PresenceMask[1] = relay;
    PresenceMask[2] = temperature;
    PresenceMask[3] = analog;
    return 0;
}

int Grundmodul::Set_LED(int led, int state) {
    if (led < 0 || led > 2) return -1;
    std::lock_guard<std::mutex> lock(LedMutex);
    LedState[led] = state;
    int result = 0;
    if (state == LED_OFF) result = GPIO_Write(LL_LED_Map[led], 0);
    if (state == LED_ON) result = GPIO_Write(LL_LED_Map[led], 1);
    return result < 0 ? -1 : 0;
}

int Grundmodul::Get_LED(int led) {
    if (led < 0 || led > 2) return -1;
    std::lock_guard<std::mutex> lock(LedMutex);
    return LedState[led];
}

// Mode per LED: 0 off, 1 blinking, 2 on. Slow blink is a status the service
// set itself, so a client's mode does not override it.
int Grundmodul::setUserLeds(unsigned short value) {
    const int modes[2] = {(value >> 4) & 3, value & 3};  // LED 0, LED 1
    if (modes[0] == 3 || modes[1] == 3) return CORVANE_ILLEGAL_DATA_VALUE;

    for (int led = 1; led >= 0; --led) {
        std::lock_guard<std::mutex> lock(LedMutex);
        if (LedState[led] == LED_SLOW_BLINK) continue;
        LedState[led] = modes[led] == 0 ? LED_OFF : modes[led] + 1;
        if (LedState[led] == LED_OFF) GPIO_Write(LL_LED_Map[led], 0);
        if (LedState[led] == LED_ON) GPIO_Write(LL_LED_Map[led], 1);
    }
    return 0;
}

// Each LED is locked from reading its state until its pin is written, so a
// Set_LED that lands meanwhile is never overwritten with the old pattern.
int Grundmodul::LEDBlinker() {
    if (!BlinkerRunning) return 0;

    const std::string pingCommand = "ping -c1 -W1 -s1 " + os().PingHost() + " > /dev/null 2>&1";
    int pass = 0;
    int slowPhase = 0;
    bool internet = false;

    for (;;) {
        const int fastPhase = pass & 1;
        for (int led = 0; led < 2; ++led) {
            std::lock_guard<std::mutex> lock(LedMutex);
            if (LedState[led] == LED_FAST_BLINK) GPIO_Write(LL_LED_Map[led], fastPhase);
        }
        {
            std::lock_guard<std::mutex> lock(LedMutex);
            if (LedState[GRUND_CONNECTION_LED] == LED_FAST_BLINK)
                GPIO_Write(LL_LED_Map[GRUND_CONNECTION_LED], internet ? 1 : fastPhase);
        }
        if (pass & 1) {
            slowPhase ^= 1;
            for (int led = 0; led < 3; ++led) {
                std::lock_guard<std::mutex> lock(LedMutex);
                if (LedState[led] == LED_SLOW_BLINK) GPIO_Write(LL_LED_Map[led], slowPhase);
            }
        }
        if (pass == kPingPass) {
            // The connection LED shows the result of the latest ping only.
            internet = os().RunCommand(pingCommand) == 0;
            pass = 1;
        } else {
            ++pass;
        }

        os().SleepMicroseconds(kPassMicroseconds);
        if (!BlinkerRunning) return 0;
    }
}
