#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <stdexcept>

#include "loopback_server.h"
#include "test_support.h"

namespace vxtest {

using namespace std::chrono_literals;

TestCertificate MakeSelfSignedCertificate(const std::string &subject, const std::string &alt_name)
{
    static TempDir dir;
    static std::atomic<int> made{ 0 };
    const std::string stem = (dir.Path() / ("cert" + std::to_string(made++))).string();
    TestCertificate c{ stem + ".pem", stem + ".key" };
    std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '" + subject +
        "' -addext 'subjectAltName=" + alt_name + "' -keyout '" + c.key_path + "' -out '" + c.cert_path +
        "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("cannot make a test certificate with openssl");
    return c;
}

const TestCertificate &GetTestCertificate()
{
    static const TestCertificate cert = MakeSelfSignedCertificate("/CN=127.0.0.1", "IP:127.0.0.1");
    return cert;
}

std::string RecordedRequest::Header(const std::string &name) const
{
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

namespace {

std::unique_ptr<httplib::Server> MakeServer(bool tls)
{
    if (!tls) return std::make_unique<httplib::Server>();
    const auto &cert = GetTestCertificate();
    return std::make_unique<httplib::SSLServer>(cert.cert_path.c_str(), cert.key_path.c_str());
}

} // namespace

HttpServer::HttpServer(bool tls) : HttpServer(MakeServer(tls), tls) { }

HttpServer::HttpServer(std::unique_ptr<httplib::Server> server, bool tls) : tls(tls), server(std::move(server))
{
    this->server->set_keep_alive_max_count(1000000);
    this->server->set_keep_alive_timeout(30);
}

HttpServer::~HttpServer() { Stop(); }

httplib::Server::Handler HttpServer::Recording(httplib::Server::Handler handler)
{
    return [this, handler](const httplib::Request &req, httplib::Response &res) {
        Record(req);
        handler(req, res);
    };
}

void HttpServer::Record(const httplib::Request &req)
{
    RecordedRequest r{ req.method, req.path, req.body, req.headers, req.remote_port };
    {
        std::lock_guard<std::mutex> guard(lock);
        requests.push_back(std::move(r));
    }
    cond.notify_all();
}

void HttpServer::Start()
{
    server->Post(".*", Recording([](const httplib::Request &, httplib::Response &res) {
        res.status = 200;
    }));
    port = server->bind_to_any_port("127.0.0.1");
    if (port <= 0) throw std::runtime_error("cannot bind a loopback port");
    listener = std::thread([this] { server->listen_after_bind(); });
    if (!WaitUntil([this] { return server->is_running(); }, 10s))
        throw std::runtime_error("loopback server did not start");
}

void HttpServer::Stop()
{
    if (listener.joinable()) {
        server->stop();
        listener.join();
    }
}

std::string HttpServer::Url(const std::string &path) const
{
    return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port) + path;
}

std::vector<RecordedRequest> HttpServer::Requests() const
{
    std::lock_guard<std::mutex> guard(lock);
    return requests;
}

size_t HttpServer::RequestCount() const
{
    std::lock_guard<std::mutex> guard(lock);
    return requests.size();
}

bool HttpServer::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> guard(lock);
    return cond.wait_for(guard, timeout, [&] { return requests.size() >= count; });
}

size_t HttpServer::Connections() const
{
    std::lock_guard<std::mutex> guard(lock);
    std::vector<int> ports;
    for (const auto &r : requests) ports.push_back(r.remote_port);
    std::sort(ports.begin(), ports.end());
    return static_cast<size_t>(std::unique(ports.begin(), ports.end()) - ports.begin());
}

std::vector<std::string> RawHttpServer::Request::HeaderLines() const
{
    std::vector<std::string> lines;
    size_t start = head.find("\r\n");
    while (start != std::string::npos) {
        start += 2;
        size_t end = head.find("\r\n", start);
        if (end == std::string::npos || end == start) break;
        lines.push_back(head.substr(start, end - start));
        start = end;
    }
    return lines;
}

bool RawHttpServer::Connection::Write(const std::string &data)
{
    size_t done = 0;
    while (fd >= 0 && done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return fd >= 0;
}

void RawHttpServer::Connection::Close()
{
    if (fd >= 0) {
        shutdown(fd, SHUT_RDWR);
        close(fd);
        fd = -1;
    }
}

void RawHttpServer::Connection::Reset()
{
    if (fd >= 0) {
        linger l{ 1, 0 };
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
        close(fd);
        fd = -1;
    }
}

RawHttpServer::RawHttpServer()
{
    responder = [](Connection &c, const Request &) { c.Write(Ok()); };
}

RawHttpServer::~RawHttpServer() { Stop(); }

std::string RawHttpServer::Ok(const std::string &body, int code, const std::string &reason)
{
    return "HTTP/1.1 " + std::to_string(code) + " " + reason +
        "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

void RawHttpServer::Start()
{
    listener = std::make_unique<LoopbackSocket>();
    listener->Listen(64);
    port = listener->Port();
    acceptor = std::thread([this] { AcceptLoop(); });
}

void RawHttpServer::Stop()
{
    stopping = true;
    if (acceptor.joinable()) acceptor.join();
    std::vector<std::thread> done;
    {
        std::lock_guard<std::mutex> guard(workers_lock);
        done.swap(workers);
    }
    for (auto &w : done) w.join();
    listener.reset();
}

std::string RawHttpServer::Url(const std::string &path) const
{
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

std::vector<RawHttpServer::Request> RawHttpServer::Requests() const
{
    std::lock_guard<std::mutex> guard(lock);
    return requests;
}

size_t RawHttpServer::RequestCount() const
{
    std::lock_guard<std::mutex> guard(lock);
    return requests.size();
}

bool RawHttpServer::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> guard(lock);
    return cond.wait_for(guard, timeout, [&] { return requests.size() >= count; });
}

void RawHttpServer::AcceptLoop()
{
    while (!stopping) {
        pollfd p{ listener->Fd(), POLLIN, 0 };
        if (poll(&p, 1, 20) <= 0) continue;
        int fd = accept(listener->Fd(), nullptr, nullptr);
        if (fd < 0) continue;
        int number = static_cast<int>(++connections);
        std::lock_guard<std::mutex> guard(workers_lock);
        workers.emplace_back([this, fd, number] { Serve(fd, number); });
    }
}

namespace {

// Reads more bytes into `buffer`; false when the peer closed, on error, or
// when the server is stopping.
bool ReadSome(int fd, std::string &buffer, const std::atomic<bool> &stopping)
{
    char chunk[65536];
    while (!stopping) {
        pollfd p{ fd, POLLIN, 0 };
        int ready = poll(&p, 1, 20);
        if (ready < 0) return false;
        if (ready == 0) continue;
        ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
        if (n <= 0) return false;
        buffer.append(chunk, static_cast<size_t>(n));
        return true;
    }
    return false;
}

size_t ContentLength(const std::string &head)
{
    std::string lower(head);
    std::transform(lower.begin(), lower.end(), lower.begin(),
        [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    size_t at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos) return 0;
    return std::strtoul(lower.c_str() + at + 17, nullptr, 10);
}

} // namespace

void RawHttpServer::Serve(int fd, int number)
{
    Connection c(fd, stopping);
    std::string buffer;
    while (c.IsOpen() && !stopping) {
        size_t end;
        while ((end = buffer.find("\r\n\r\n")) == std::string::npos)
            if (!ReadSome(fd, buffer, stopping)) {
                c.Close();
                return;
            }

        Request req;
        req.connection = number;
        req.head = buffer.substr(0, end + 4);
        buffer.erase(0, end + 4);

        if (head_hook && !head_hook(c, req)) {
            std::lock_guard<std::mutex> guard(lock);
            requests.push_back(req);
            cond.notify_all();
            break;
        }

        size_t length = ContentLength(req.head);
        while (buffer.size() < length)
            if (!ReadSome(fd, buffer, stopping)) {
                c.Close();
                return;
            }
        req.body = buffer.substr(0, length);
        buffer.erase(0, length);
        {
            std::lock_guard<std::mutex> guard(lock);
            requests.push_back(req);
        }
        cond.notify_all();
        responder(c, req);
    }
    c.Close();
}

} // namespace vxtest
