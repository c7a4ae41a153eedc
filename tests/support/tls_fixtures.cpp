#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <stdexcept>

#include "test_support.h"
#include "tls_fixtures.h"

namespace vxtest {

using namespace std::chrono_literals;

namespace {

void Run(const std::string &command)
{
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
        throw std::runtime_error("openssl failed: " + command);
}

std::string Quote(const std::string &path) { return "'" + path + "'"; }

// An elliptic-curve key: made in a moment, unlike an RSA one.
const char *const kNewKey = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";

// A key and certificate for `subject`, signed by the authority in `dir`.
void MakeSigned(const TempDir &dir, const std::string &name, const std::string &subject,
    const std::string &extensions, int serial)
{
    const std::string base = (dir.Path() / name).string();
    const std::string ext = dir.Write(name + ".ext", extensions);
    Run("openssl req -new" + std::string(kNewKey) + " -subj " + subject + " -keyout " + Quote(base + ".key") +
        " -out " + Quote(base + ".csr"));
    Run("openssl x509 -req -days 2 -in " + Quote(base + ".csr") + " -CA " + Quote((dir.Path() / "ca.pem").string()) +
        " -CAkey " + Quote((dir.Path() / "ca.key").string()) + " -set_serial " + std::to_string(serial) +
        " -extfile " + Quote(ext) + " -out " + Quote(base + ".pem"));
}

void MakeAuthority(const std::string &base, const std::string &subject)
{
    Run("openssl req -x509 -days 2" + std::string(kNewKey) + " -subj " + subject +
        " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign -keyout " +
        Quote(base + ".key") + " -out " + Quote(base + ".pem"));
}

// libcurl's pin form of a public key: the SHA-256 of its DER encoding.
std::string PinOf(const std::string &public_key_pem)
{
    FILE *f = fopen(public_key_pem.c_str(), "r");
    if (f == nullptr) throw std::runtime_error("cannot open " + public_key_pem);
    EVP_PKEY *key = PEM_read_PUBKEY(f, nullptr, nullptr, nullptr);
    fclose(f);
    if (key == nullptr) throw std::runtime_error("cannot read " + public_key_pem);
    unsigned char *der = nullptr;
    const int length = i2d_PUBKEY(key, &der);
    EVP_PKEY_free(key);
    if (length <= 0) throw std::runtime_error("cannot encode " + public_key_pem);
    unsigned char hash[SHA256_DIGEST_LENGTH];
    SHA256(der, static_cast<size_t>(length), hash);
    OPENSSL_free(der);
    unsigned char text[64];
    const int n = EVP_EncodeBlock(text, hash, sizeof(hash));
    return "sha256//" + std::string(reinterpret_cast<const char *>(text), static_cast<size_t>(n));
}

std::string ClientName(const SSL *ssl)
{
    if (ssl == nullptr) return {};
    X509 *cert = SSL_get0_peer_certificate(ssl);
    if (cert == nullptr) return {};
    char name[256] = "";
    X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, name, sizeof(name));
    return name;
}

} // namespace

const TlsMaterials &GetTlsMaterials()
{
    static TempDir dir;
    static const TlsMaterials materials = [] {
        TlsMaterials m;
        auto at = [](const char *name) { return (dir.Path() / name).string(); };
        MakeAuthority(at("ca"), "/CN=vx-test-authority");
        MakeAuthority(at("other-ca"), "/CN=vx-other-authority");
        MakeSigned(dir, "server", "/CN=127.0.0.1",
            "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n", 2);
        MakeSigned(dir, "client", "/CN=vx-client", "basicConstraints=CA:FALSE\nextendedKeyUsage=clientAuth\n", 3);

        m.ca_cert = at("ca.pem");
        m.other_ca_cert = at("other-ca.pem");
        m.server_cert = at("server.pem");
        m.server_key = at("server.key");
        m.client_cert = at("client.pem");
        m.client_key = at("client.key");
        m.client_cn = "vx-client";

        m.client_key_password = "key-Pa55-word";
        m.client_key_encrypted = at("client-encrypted.key");
        Run("openssl pkey -in " + Quote(m.client_key) + " -aes256 -passout pass:" + m.client_key_password +
            " -out " + Quote(m.client_key_encrypted));

        m.server_public_key = at("server-public.pem");
        Run("openssl pkey -in " + Quote(m.server_key) + " -pubout -out " + Quote(m.server_public_key));
        m.server_pin = PinOf(m.server_public_key);

        m.ca_folder = at("authorities");
        std::filesystem::create_directory(m.ca_folder);
        std::filesystem::copy_file(m.ca_cert, m.ca_folder + "/ca.pem");
        Run("openssl rehash " + Quote(m.ca_folder));
        return m;
    }();
    return materials;
}

namespace {

std::unique_ptr<httplib::Server> MakeTlsServer(const TlsServerOptions &options)
{
    const TlsMaterials &m = GetTlsMaterials();
    auto server = std::make_unique<httplib::SSLServer>(m.server_cert.c_str(), m.server_key.c_str());
    if (!server->is_valid()) throw std::runtime_error("TLS server cannot load its certificate");
    SSL_CTX *ctx = server->ssl_context();
    if (options.min_version != 0) SSL_CTX_set_min_proto_version(ctx, options.min_version);
    if (options.max_version != 0) SSL_CTX_set_max_proto_version(ctx, options.max_version);
    if (options.client_cert != ClientCertMode::None) {
        SSL_CTX_load_verify_locations(ctx, m.ca_cert.c_str(), nullptr);
        SSL_CTX_set_client_CA_list(ctx, SSL_load_client_CA_file(m.ca_cert.c_str()));
        int mode = SSL_VERIFY_PEER;
        if (options.client_cert == ClientCertMode::Required) mode |= SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
        SSL_CTX_set_verify(ctx, mode, nullptr);
    }
    return server;
}

} // namespace

TlsServer::TlsServer(TlsServerOptions options) : http(MakeTlsServer(options), true)
{
    http.Server().Post(".*", http.Recording([this](const httplib::Request &req, httplib::Response &res) {
        TlsRequest r{ req.path, req.remote_port, ClientName(req.ssl), req.body };
        {
            std::lock_guard<std::mutex> guard(lock);
            requests.push_back(std::move(r));
        }
        res.status = 200;
    }));
}

std::vector<TlsRequest> TlsServer::Requests() const
{
    std::lock_guard<std::mutex> guard(lock);
    return requests;
}

size_t TlsServer::RequestCount() const
{
    std::lock_guard<std::mutex> guard(lock);
    return requests.size();
}

ConnectProxy::~ConnectProxy() { Stop(); }

void ConnectProxy::Start()
{
    listen_fd = socket(AF_INET, SOCK_STREAM, 0);
    if (listen_fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listen_fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || listen(listen_fd, 16) != 0)
        throw std::runtime_error("cannot listen on loopback");
    socklen_t len = sizeof(addr);
    getsockname(listen_fd, reinterpret_cast<sockaddr *>(&addr), &len);
    port = ntohs(addr.sin_port);
    acceptor = std::thread([this] { AcceptLoop(); });
}

void ConnectProxy::Stop()
{
    stopping = true;
    if (acceptor.joinable()) acceptor.join();
    std::vector<std::thread> done;
    {
        std::lock_guard<std::mutex> guard(workers_lock);
        done.swap(workers);
    }
    for (auto &w : done) w.join();
    if (listen_fd >= 0) {
        close(listen_fd);
        listen_fd = -1;
    }
}

std::vector<std::string> ConnectProxy::Heads() const
{
    std::lock_guard<std::mutex> guard(lock);
    return heads;
}

void ConnectProxy::AcceptLoop()
{
    while (!stopping) {
        pollfd p{ listen_fd, POLLIN, 0 };
        if (poll(&p, 1, 20) <= 0) continue;
        int fd = accept(listen_fd, nullptr, nullptr);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> guard(workers_lock);
        workers.emplace_back([this, fd] { Serve(fd); });
    }
}

namespace {

bool SendAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int ConnectLoopback(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

void ConnectProxy::Serve(int fd)
{
    std::string buffer;
    char chunk[16384];
    size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
        pollfd p{ fd, POLLIN, 0 };
        if (stopping || poll(&p, 1, 20) < 0) {
            close(fd);
            return;
        }
        if (p.revents == 0) continue;
        ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
        if (n <= 0) {
            close(fd);
            return;
        }
        buffer.append(chunk, static_cast<size_t>(n));
    }
    const std::string head = buffer.substr(0, end + 4);
    {
        std::lock_guard<std::mutex> guard(lock);
        heads.push_back(head);
    }

    // Tunnels lead to this machine's loopback only, whatever was asked.
    const std::string connect_prefix = "CONNECT 127.0.0.1:";
    if (head.rfind(connect_prefix, 0) != 0) {
        // Read the body first: closing on unread bytes would reset the
        // connection before the answer is read.
        std::string lower = head;
        std::transform(lower.begin(), lower.end(), lower.begin(),
            [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const size_t at = lower.find("\r\ncontent-length:");
        const size_t length = at == std::string::npos ? 0 : std::strtoul(lower.c_str() + at + 17, nullptr, 10);
        while (buffer.size() < end + 4 + length && !stopping) {
            pollfd p{ fd, POLLIN, 0 };
            if (poll(&p, 1, 20) < 0) break;
            if (p.revents == 0) continue;
            ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
            if (n <= 0) break;
            buffer.append(chunk, static_cast<size_t>(n));
        }
        const std::string answer = head.rfind("CONNECT ", 0) == 0
            ? "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
            : "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        SendAll(fd, answer.data(), answer.size());
        shutdown(fd, SHUT_WR);
        close(fd);
        return;
    }
    const int target = ConnectLoopback(std::atoi(head.c_str() + connect_prefix.size()));
    const std::string answer = target >= 0 ? "HTTP/1.1 200 Connection established\r\n\r\n"
                                           : "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n";
    if (!SendAll(fd, answer.data(), answer.size()) || target < 0) {
        if (target >= 0) close(target);
        close(fd);
        return;
    }
    // Bytes that followed the head already belong to the tunnel.
    bool open = SendAll(target, buffer.data() + end + 4, buffer.size() - end - 4);
    while (open && !stopping) {
        pollfd p[2] = { { fd, POLLIN, 0 }, { target, POLLIN, 0 } };
        if (poll(p, 2, 20) < 0) break;
        for (int i = 0; i < 2 && open; i++) {
            if (p[i].revents == 0) continue;
            ssize_t n = recv(p[i].fd, chunk, sizeof(chunk), 0);
            open = n > 0 && SendAll(p[1 - i].fd, chunk, static_cast<size_t>(n));
        }
    }
    close(target);
    close(fd);
}

} // namespace vxtest
