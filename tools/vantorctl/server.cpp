// vantorctl server: the suite's server through VantorConnection, which starts it when none
// runs.
//   server status                         version, process id, uptime and connections
//   server ping [--count N] [--size B]    round trips of B bytes, with their times
//   server watch [--count N]              a line for every active-user change the server relays
//   server stop                           the shutdown request, with the server's token
#include "commands.h"

#include <vantor/VantorConnection.h>
#include <vantor/server_client.h>

#include <ysl/ydiag.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

// A connection that said hello; null (with the reasons on the error log) when there is none.
std::unique_ptr<VantorConnection> connect(std::unique_ptr<orvane::ServerSession>& session)
{
    // The construction reports its own failures; a connection it could not make shows as a
    // failed hello, without a second attempt at starting the server.
    auto connection = std::make_unique<VantorConnection>();
    session = std::make_unique<orvane::ServerSession>(*connection);
    if (!session->hello()) {
        YErrTrace_DumpContextToYErrLog("vantorctl: no connection to the server");
        return nullptr;
    }
    return connection;
}

int fail(const char* what)
{
    YErrTrace_DumpContextToYErrLog("vantorctl: %s failed", what);
    return 1;
}

int status()
{
    std::unique_ptr<orvane::ServerSession> session;
    auto connection = connect(session);
    if (!connection)
        return 1;
    orvane::protocol::status_info info;
    if (!session->status(info))
        return fail("server status");
    std::printf("vantor.exe %s, protocol %u, process %lu\n", info.server_version.c_str(),
                static_cast<unsigned>(info.protocol_version), static_cast<unsigned long>(info.process_id));
    std::printf("up %.3f s, %lu connections now, %llu served\n", static_cast<double>(info.uptime_ms) / 1000.0,
                static_cast<unsigned long>(info.connections_now),
                static_cast<unsigned long long>(info.connections_served));
    return 0;
}

int ping(int count, int size)
{
    std::unique_ptr<orvane::ServerSession> session;
    auto connection = connect(session);
    if (!connection)
        return 1;
    std::string payload(static_cast<std::size_t>(size), '\0');
    for (int i = 0; i < size; ++i)
        payload[static_cast<std::size_t>(i)] = static_cast<char>('a' + i % 26);
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        std::string echoed;
        const auto start = std::chrono::steady_clock::now();
        if (!session->ping(payload, echoed))
            return fail("server ping");
        const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
        if (echoed != payload) {
            std::fprintf(stderr, "vantorctl: ping %d came back altered\n", i + 1);
            return 1;
        }
        times.push_back(us);
        std::printf("%d bytes from vantor.exe: seq=%d time=%.1f us\n", size, i + 1, us);
    }
    std::sort(times.begin(), times.end());
    std::printf("%d pings: min %.1f us, median %.1f us, max %.1f us\n", count, times.front(), times[times.size() / 2],
                times.back());
    return 0;
}

int watch(int count)
{
    std::unique_ptr<orvane::ServerSession> session;
    auto connection = connect(session);
    if (!connection)
        return 1;
    if (!session->watch())
        return fail("server watch");
    std::fflush(stdout);
    for (int seen = 0; count == 0 || seen < count; ++seen) {
        std::uint64_t changes = 0;
        if (!session->next_event(changes))
            return fail("server watch");
        std::printf("active user changed (%llu)\n", static_cast<unsigned long long>(changes));
        std::fflush(stdout);
    }
    return 0;
}

int stop()
{
    std::string token;
    // Without the token no stop is possible, and connecting would start a server first.
    if (!orvane::read_server_token(token))
        return fail("server stop");
    std::unique_ptr<orvane::ServerSession> session;
    auto connection = connect(session);
    if (!connection)
        return 1;
    if (!session->shutdown(token))
        return fail("server stop");
    std::printf("vantor.exe stopped\n");
    return 0;
}

}  // namespace

void add_server_command(CLI::App& app)
{
    CLI::App* server = app.add_subcommand("server", "the suite's server vantor.exe");
    server->require_subcommand(1);

    server->add_subcommand("status", "version, process id, uptime and connections of the server")->callback([] {
        if (int rc = status())
            throw CLI::RuntimeError(rc);
    });

    CLI::App* ping_cmd = server->add_subcommand("ping", "round trips to the server (which starts if none runs)");
    static int count = 4;
    static int size = 64;
    ping_cmd->add_option("--count", count, "number of pings")->check(CLI::Range(1, 1000000));
    ping_cmd->add_option("--size", size, "bytes per ping")->check(CLI::Range(0, 1 << 20));
    ping_cmd->callback([] {
        if (int rc = ping(count, size))
            throw CLI::RuntimeError(rc);
    });

    CLI::App* watch_cmd = server->add_subcommand("watch", "print a line for every active-user change");
    static int changes = 0;
    watch_cmd->add_option("--count", changes, "end after this many changes")->check(CLI::PositiveNumber);
    watch_cmd->callback([] {
        if (int rc = watch(changes))
            throw CLI::RuntimeError(rc);
    });

    server->add_subcommand("stop", "stop the server cleanly")->callback([] {
        if (int rc = stop())
            throw CLI::RuntimeError(rc);
    });
}
