#ifndef VX_TLS_FIXTURES_H
#define VX_TLS_FIXTURES_H

// TLS servers and a CONNECT proxy on 127.0.0.1, with a private authority
// and the certificates it signed, all made in the test process.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "loopback_server.h"

namespace vxtest {

// Made once per test process with the openssl command, in a folder removed
// at exit. Every certificate expires in two days.
struct TlsMaterials {
    std::string ca_cert;        // the private authority
    std::string ca_folder;      // a folder holding only it, under its hash name
    std::string other_ca_cert;  // an authority that signed nothing used here
    std::string server_cert;    // 127.0.0.1, signed by the private authority
    std::string server_key;
    std::string server_public_key; // the server's public key, PEM
    std::string server_pin;        // "sha256//" and its hash, in base64
    std::string client_cert;       // subject "vx-client", for client authentication
    std::string client_key;
    std::string client_key_encrypted; // the same key under client_key_password
    std::string client_key_password;
    std::string client_cn;
};
const TlsMaterials &GetTlsMaterials();

enum class ClientCertMode {
    None,      // never asks for one
    Requested, // asks, and takes a connection without one
    Required,  // refuses a connection without one
};

struct TlsServerOptions {
    int min_version = 0; // TLS1_2_VERSION, TLS1_3_VERSION; 0 leaves OpenSSL's
    int max_version = 0;
    ClientCertMode client_cert = ClientCertMode::None;
};

struct TlsRequest {
    std::string path;
    int remote_port = 0;
    std::string client_cn; // empty when the client showed no certificate
    std::string body;
};

// An HTTPS server with the private authority's certificate for 127.0.0.1.
// Every POST is recorded and answered 200.
class TlsServer
{
public:
    explicit TlsServer(TlsServerOptions options = {});

    void Start() { http.Start(); }
    void Stop() { http.Stop(); }

    std::string Url(const std::string &path = "/") const { return http.Url(path); }
    int Port() const { return http.Port(); }
    std::vector<TlsRequest> Requests() const;
    size_t RequestCount() const;
    // Connections the recorded requests arrived on (distinct client ports).
    size_t Connections() const { return http.Connections(); }

private:
    // Before the server: its threads record here until it has stopped.
    mutable std::mutex lock;
    std::vector<TlsRequest> requests;
    HttpServer http;
};

// A forward proxy that opens CONNECT tunnels to 127.0.0.1 only, and answers
// any other request 200 itself. Records the head of every request.
class ConnectProxy
{
public:
    ConnectProxy() = default;
    ~ConnectProxy();
    ConnectProxy(const ConnectProxy &) = delete;
    ConnectProxy &operator=(const ConnectProxy &) = delete;

    void Start();
    void Stop();

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port); }
    int Port() const { return port; }
    // Request heads, in arrival order ("CONNECT 127.0.0.1:443 HTTP/1.1\r\n...").
    std::vector<std::string> Heads() const;

private:
    void AcceptLoop();
    void Serve(int fd);

    int listen_fd = -1;
    int port = 0;
    std::atomic<bool> stopping{ false };
    std::thread acceptor;
    std::mutex workers_lock;
    std::vector<std::thread> workers;
    mutable std::mutex lock;
    std::vector<std::string> heads;
};

} // namespace vxtest

#endif
