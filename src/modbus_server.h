// Modbus_Server: the Modbus TCP front end. Reads the configuration, listens,
// and serves every client from one readiness loop on the main thread: it
// frames each client's requests itself from the bytes that have arrived, so
// that a slow or silent client never holds the others, decodes each request
// and lets the module manager carry it out.
//
// One class, a file per job: server_config.cpp (settings, start, stop),
// server_loop.cpp (the readiness loop: accept, read, frame, serve, drop),
// server_frames.cpp (decoding, refusals, exception replies, answering),
// server_access.cpp (the access settings applied to connections).
#pragma once

#include <cstdint>
#include <memory>
#include <modbus.h>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "access.h"
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

struct ModbusContextFree {
    void operator()(modbus_t* ctx) const { modbus_free(ctx); }
};
struct ModbusMappingFree {
    void operator()(modbus_mapping_t* mapping) const { modbus_mapping_free(mapping); }
};

class Modbus_Server {
  public:
    // Both borrowed, never deleted here: the caller keeps them alive as long
    // as the server (in the service, globals that live until exit).
    Module_Manager* moduleManager;
    CorvaneLogger* logger;
    std::vector<modbus_connection> connections;  // in the order of acceptance
    std::string name = "Corvane Modbus Server";
    std::string location = "not set yet";
    std::string ip = "0.0.0.0";
    uint16_t port = 1502;
    uint16_t maxConnections = 5;
    int serverSocket = -1;
    // Owned; created by StartServer, freed by the shutdown or the destructor.
    std::unique_ptr<modbus_t, ModbusContextFree> ctx;
    std::unique_ptr<modbus_mapping_t, ModbusMappingFree> mapping;

    Modbus_Server(CorvaneLogger* logger, Module_Manager* moduleManager);
    // Releases what the shutdown has not: the strings, the connection list,
    // the loop's buffers, the context and the mapping.
    ~Modbus_Server();

    // Reads the configuration file into the fields. 0 when read (settings
    // may be missing), -1 when it could not be opened or parsed (defaults
    // kept), -2 when the server must not start: the file or one it includes
    // is not a regular file, or the IP or Port cannot be listened on as
    // written; the reason is on standard error. A wrong access setting is
    // logged and leaves access.Valid() false.
    int ReadCfg();
    // Decodes a frame of `length` bytes into `request`, reading no byte
    // beyond it. 0: dispatch it (every function code that is not served
    // goes there, to be refused); -1: outside its table, or a frame that
    // does not hold what its header announces (the library answers it).
    int DecryptRAWMessage(uint8_t* frame, modbus_request* request, int length);

    // Reads the configuration, creates the mapping and listens. 0 or -1
    // (the reason on standard error or in the journal; also for a wrong
    // access setting, before anything is created).
    int StartServer();
    // Serves clients until the process ends.
    int WaitAndHandle();
    // One pass of the request loop: waits up to `timeoutMs` (-1: until
    // something arrives) and serves what is ready, at most one request per
    // connection. Returns how many descriptors and requests it handled, or
    // -1 when the server is to shut down, with the exit status in *status.
    int HandlePass(int timeoutMs, int* status);
    // Shuts down in order and ends the process with exit(status).
    [[noreturn]] void close_sigint_mb(int status);
    // Waits for one client with modbus_tcp_accept. 0.
    int WaitForConnection();

    // Async-signal-safe: asks the request loop to shut down with `status`.
    // The loop then calls close_sigint_mb(status) on the main thread. Before
    // StartServer it does nothing: the start sequence looks for a stop itself.
    void RequestShutdown(int status);

  private:
    ClientAccess access;         // read by ReadCfg
    struct Loop;                 // the readiness wait, the clients' receive buffers
    std::unique_ptr<Loop> loop;  // owned; created by StartServer
    // Self-pipe from RequestShutdown to the request loop (read end, write
    // end); created by StartServer, non-blocking and close-on-exec. Never
    // closed: a late signal must not write into a reused descriptor.
    int shutdownPipe[2] = {-1, -1};

    // The steps of a pass: accept one client; read what a client sent;
    // queue its next request once complete (or drop it when its bytes are
    // no Modbus TCP frame); serve one queued request; drop a client, with
    // the reason logged when it is not the client's own close.
    void AcceptClient();
    void ReadClient(int socket);
    void QueueRequest(int socket);
    void ServeRequest(int socket);
    void DropClient(int socket, const std::string& why);
    // Decodes, dispatches, logs and answers one complete frame: 0, or -1
    // with errno when the answer could not be sent at once. A `readOnly`
    // client's writes are refused before dispatch.
    int Answer(int socket, const std::string& peer, uint8_t* frame, int length, bool readOnly);
    // The access settings in the loop: whether a connection from `address`
    // (accepted, nothing read yet) may stay, a refusal reported now and
    // then; the new connection `client` from `peer` counted as active, and
    // the one idle longest closed when it exceeds the limit; the wait
    // `waitMs` (-1: none) cut to the next idle deadline; closing the
    // connections past it.
    bool Admit(const sockaddr_in& address);
    void MakeRoom(int client, const std::string& peer);
    int IdleWait(int waitMs) const;
    void CloseIdle();
    // The listening socket, the loop with its client sockets, the context
    // and the mapping.
    void ReleaseServer();
};
