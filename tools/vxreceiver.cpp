// vxreceiver: a loopback stand-in for a collector. Answers every POST with
// 200 and prints what it got, so a sink can be watched end to end.
//   vxreceiver [--port N]     (default: a free port, printed on the first line)
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

namespace {

constexpr size_t preview_max = 160;

std::string Preview(const httplib::Request &req)
{
    const std::string type = req.get_header_value("Content-Type");
    std::string text;
    if (type == "application/msgpack") {
        try {
            text = "msgpack, as JSON: " +
                nlohmann::json::from_msgpack(req.body).dump();
        }
        catch (const nlohmann::json::exception &e) {
            return std::string("not valid MessagePack: ") + e.what();
        }
    }
    else
        text = req.body;
    for (char &ch : text)
        if (ch == '\n' || ch == '\r' || ch == '\t') ch = ' ';
    if (text.size() > preview_max) text = text.substr(0, preview_max) + "...";
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    int port = 0;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc)
            port = std::atoi(argv[++i]);
        else {
            fprintf(stderr, "usage: vxreceiver [--port N]\n");
            return 2;
        }
    }

    // Stop requests are taken by a thread of our own, so the server's
    // threads never run a handler.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    httplib::Server server;
    std::mutex print_lock;
    server.Post(".*", [&](const httplib::Request &req, httplib::Response &res) {
        std::lock_guard<std::mutex> guard(print_lock);
        // The target as sent, query included.
        printf("%s %s\n", req.method.c_str(), req.target.c_str());
        for (const auto &[name, value] : req.headers)
            if (name != "REMOTE_ADDR" && name != "REMOTE_PORT" && name != "LOCAL_ADDR" &&
                name != "LOCAL_PORT")
                printf("    %s: %s\n", name.c_str(), value.c_str());
        // The server has already undone any Content-Encoding.
        printf("    body: %zu bytes%s\n", req.body.size(),
            req.has_header("Content-Encoding") ? " after decoding" : "");
        printf("    %s\n\n", Preview(req).c_str());
        fflush(stdout);
        res.status = 200;
    });

    if (port > 0) {
        if (!server.bind_to_port("127.0.0.1", port)) {
            fprintf(stderr, "vxreceiver: cannot bind 127.0.0.1:%d\n", port);
            return 1;
        }
    }
    else if ((port = server.bind_to_any_port("127.0.0.1")) <= 0) {
        fprintf(stderr, "vxreceiver: cannot bind a loopback port\n");
        return 1;
    }
    printf("listening on http://127.0.0.1:%d\n", port);
    fflush(stdout);

    std::thread stopper([&] {
        int sig = 0;
        sigwait(&signals, &sig);
        server.stop();
    });
    server.listen_after_bind();
    // listen ended on its own (an error): release the waiting thread.
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    return 0;
}
