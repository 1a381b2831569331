// Modbus_Server: the Modbus TCP front end. Reads the configuration, listens,
// serves every client from one select loop on the main thread, decodes each
// request and lets the module manager carry it out.
#pragma once

#include <cstdint>
#include <modbus.h>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "logger.h"
#include "module_manager.h"

// Sizes of the four Modbus tables (the address map's lengths).
extern int Nr_Output_Bits;      // coils: 80
extern int Nr_Input_Bits;       // discrete inputs: 44
extern int Nr_Output_Register;  // holding registers: 158
extern int Nr_Input_Register;   // input registers: 198

// One decoded request. Reused for every request without clearing: fields a
// function code does not write keep their earlier values.
struct modbus_request {
    uint16_t length;       // MBAP length field
    uint8_t function;      // function code
    uint16_t start;        // first address (5, 6: the address written)
    uint16_t count;        // quantity (not written for 5 and 6)
    uint8_t byteCount;     // byte count of 15 and 16
    uint16_t values[125];  // 5, 6: the value; 15: one data byte each; 16: registers
};

// One accepted client.
struct modbus_connection {
    int socket;
    sockaddr_in address;
    std::string name;  // "a.b.c.d:port"
};

class Modbus_Server {
  public:
    Module_Manager* moduleManager;
    CorvaneLogger* logger;
    std::vector<modbus_connection> connections;
    std::string name = "Corvane Modbus Server";
    std::string location = "not set yet";
    std::string ip = "0.0.0.0";
    uint16_t port = 1502;
    uint16_t maxConnections = 5;
    int serverSocket = -1;
    modbus_t* ctx = nullptr;
    modbus_mapping_t* mapping = nullptr;

    Modbus_Server(CorvaneLogger* logger, Module_Manager* moduleManager);
    // Releases the strings and the connection list; closes no socket.
    ~Modbus_Server();

    // Reads the configuration file into the fields. 0 when read (settings
    // may be missing), -1 when it could not be opened or parsed.
    int ReadCfg();
    // Decodes a received frame of `length` bytes into `request`. 0: dispatch
    // it; -1: outside its table, or a frame that does not hold what its
    // header announces (the library answers it).
    int DecryptRAWMessage(uint8_t* frame, modbus_request* request, int length);

    // Reads the configuration, creates the mapping and listens. 0 or -1.
    int StartServer();
    // Serves clients until the process ends.
    int WaitAndHandle();
    // Shuts down in order and ends the process with exit(status).
    [[noreturn]] void close_sigint_mb(int status);
    // Waits for one client with modbus_tcp_accept. 0.
    int WaitForConnection();

    // Async-signal-safe: asks the request loop to shut down with `status`.
    // The loop then calls close_sigint_mb(status) on the main thread.
    void RequestShutdown(int status);

  private:
    // Self-pipe from RequestShutdown to the request loop (read end, write
    // end); created by StartServer, non-blocking and close-on-exec.
    int shutdownPipe[2] = {-1, -1};
};
