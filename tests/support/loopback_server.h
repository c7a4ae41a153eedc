#ifndef VX_LOOPBACK_SERVER_H
#define VX_LOOPBACK_SERVER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "test_support.h"

namespace vxtest {

// Self-signed certificate and key for 127.0.0.1, made once per test process.
struct TestCertificate {
    std::string cert_path;
    std::string key_path;
};
const TestCertificate &GetTestCertificate();
// A new self-signed certificate and key, e.g. ("/CN=h", "DNS:h"), in a
// folder removed at exit.
TestCertificate MakeSelfSignedCertificate(const std::string &subject, const std::string &alt_name);

struct RecordedRequest {
    std::string method;
    std::string path;
    std::string body;
    httplib::Headers headers;
    int remote_port = 0;

    std::string Header(const std::string &name) const;
};

// A real HTTP (or HTTPS) server on 127.0.0.1 and an ephemeral port. Every
// POST that no handler of the test claims is recorded and answered 200.
class HttpServer
{
public:
    explicit HttpServer(bool tls = false);
    // Around a server the caller set up (its certificate, its TLS limits).
    HttpServer(std::unique_ptr<httplib::Server> server, bool tls);
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Register handlers here before Start(); wrap them in Recording() to
    // have their requests recorded too.
    httplib::Server &Server() { return *server; }
    httplib::Server::Handler Recording(httplib::Server::Handler handler);

    void Start();
    void Stop();

    int Port() const { return port; }
    std::string Url(const std::string &path = "/") const;

    std::vector<RecordedRequest> Requests() const;
    size_t RequestCount() const;
    bool WaitForRequests(size_t count,
        std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Connections the recorded requests arrived on (distinct client ports).
    size_t Connections() const;

private:
    void Record(const httplib::Request &req);

    bool tls;
    std::unique_ptr<httplib::Server> server;
    std::thread listener;
    int port = 0;

    mutable std::mutex lock;
    mutable std::condition_variable cond;
    std::vector<RecordedRequest> requests;
};

// A server that speaks just enough HTTP/1.1 by hand to show what the raw
// request looked like (header order, exact lines) and to misbehave on
// purpose: the responder decides what goes back, if anything.
class RawHttpServer
{
public:
    struct Request {
        std::string head; // request line and header lines, ending in CRLF CRLF
        std::string body;
        int connection = 0; // 1-based number of the connection it came on

        // Header lines in the order they were sent, without the request line.
        std::vector<std::string> HeaderLines() const;
    };

    class Connection
    {
    public:
        explicit Connection(int fd, const std::atomic<bool> &stopping)
            : fd(fd), stopping(stopping) { }
        // False once the peer is gone.
        bool Write(const std::string &data);
        void Close(); // orderly close
        void Reset(); // close with RST
        bool IsOpen() const { return fd >= 0; }
        bool Stopping() const { return stopping.load(); }
        int fd;

    private:
        const std::atomic<bool> &stopping;
    };

    // Called with each complete request; the default answers 200 and keeps
    // the connection open.
    using Responder = std::function<void(Connection &, const Request &)>;
    // Called once the head is read, before the body; returning false stops
    // handling the request there (the responder is not called).
    using HeadHook = std::function<bool(Connection &, const Request &)>;

    RawHttpServer();
    ~RawHttpServer();
    RawHttpServer(const RawHttpServer &) = delete;
    RawHttpServer &operator=(const RawHttpServer &) = delete;

    void SetResponder(Responder r) { responder = std::move(r); }
    void SetHeadHook(HeadHook h) { head_hook = std::move(h); }

    void Start();
    void Stop();

    int Port() const { return port; }
    std::string Url(const std::string &path = "/") const;

    std::vector<Request> Requests() const;
    size_t RequestCount() const;
    size_t Connections() const { return connections.load(); }
    bool WaitForRequests(size_t count,
        std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    static std::string Ok(const std::string &body = "", int code = 200,
        const std::string &reason = "OK");

private:
    void AcceptLoop();
    void Serve(int fd, int number);

    Responder responder;
    HeadHook head_hook;
    std::unique_ptr<LoopbackSocket> listener;
    int port = 0;
    std::atomic<bool> stopping{ false };
    std::atomic<size_t> connections{ 0 };
    std::thread acceptor;
    std::mutex workers_lock;
    std::vector<std::thread> workers;

    mutable std::mutex lock;
    mutable std::condition_variable cond;
    std::vector<Request> requests;
};

} // namespace vxtest

#endif
