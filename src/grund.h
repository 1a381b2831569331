// Grundmodul: the driver of the controller board itself (module number 0).
// Nine digital inputs, one digital output and three LEDs on sysfs GPIO; the
// service's identification registers; the configuration lock that request
// dispatch consults; and the LEDBlinker thread with its connectivity ping.
//
// Channels: coils 0 output, 1-15 reserved; discrete inputs 0-8, 9-15
// reserved; holding registers 0 lock (write only), 1 user LEDs, 2-15
// reserved; input registers 0-11 identification, 12-15 reserved. Reserved
// channels answer CORVANE_ILLEGAL_FUNCTION; channels above 15 report it through
// ModuleError.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "modul.h"

// Kernel GPIO numbers of the board.
constexpr int LL_GPIO_IN_Map[9] = {503, 501, 500, 0, 22, 1, 27, 13, 12};
constexpr int LL_LED_Map[3] = {496, 497, 498};
constexpr int LL_GPIO_OUT_Pin = 502;

// Values of holding register 0.
constexpr unsigned short GRUND_UNLOCK_CODE = 5281;
constexpr unsigned short GRUND_LOCK_CODE = 6914;

// The LED the service shows its clients on: slow blink while no client is
// connected, fast blink while one is (lit steadily with the ping answered).
// LEDs 0 and 1 are the user LEDs of holding register 1.
constexpr int GRUND_CONNECTION_LED = 2;

// LED states.
enum LedStates { LED_OFF = 0, LED_SLOW_BLINK = 1, LED_FAST_BLINK = 2, LED_ON = 3 };

class Grundmodul : public CorvaneModule {
  public:
    // True: writes to configuration entries are refused (request dispatch).
    bool ConfigLocked = false;
    // Set by init once the LED pins are configured.
    bool LedsReady = false;
    // States of LEDs 0-2 (LedStates); guarded by LedMutex.
    int LedState[3] = {0, 0, 0};
    // Major, minor, patch of the software version; 0 before init.
    unsigned short SoftwareVersion[3] = {0, 0, 0};
    // 1234 each after init.
    unsigned short ConstWords[4] = {0, 0, 0, 0};
    // Presence masks of PWM, relay, temperature and analog modules.
    unsigned short PresenceMask[4] = {0, 0, 0, 0};
    std::atomic<bool> BlinkerRunning{false};
    std::thread BlinkerThread;
    std::mutex LedMutex;

    explicit Grundmodul(CorvaneLogger* logger = nullptr);
    // Stops the blinker, unexports the I/O pins, darkens and unexports the LEDs.
    ~Grundmodul() override;

    // Exports the pins, fills the identification, darkens the LEDs and
    // starts the blinker. 0, or -1 at the first pin that fails.
    int init() override;
    // The board is always present: 0.
    int ConnectionTest() override;
    int get_InputBit(unsigned char channel, bool* value) override;
    int set_OutputBit(unsigned char channel, bool value) override;
    int get_OutputBit(unsigned char channel, bool* value) override;
    int get_InputRegister(unsigned char channel, unsigned short* value) override;
    int set_OutputRegister(unsigned char channel, unsigned short value) override;
    int get_OutputRegister(unsigned char channel, unsigned short* value) override;
    // Stops and joins the blinker if it runs. 0.
    int StopThreads() override;

    // Stores the four presence masks (temperature before analog). 0.
    int set_ModuleConnectionStatus(unsigned short pwm, unsigned short relay,
                                   unsigned short temperature, unsigned short analog);
    // Sets an LED's state (led 0-2, state 0-3); writes the pin for states 0
    // and 3. -1 when that pin write fails, else 0.
    int Set_LED(int led, int state);
    // An LED's state.
    int Get_LED(int led);

    // The blinker thread's body: a pass every 500 ms, a ping every 40 passes.
    int LEDBlinker();

  private:
    int setUserLeds(unsigned short value);
};
