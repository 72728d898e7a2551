// The local identity service as a program: `identity-service [--port N] [--api-key K]
// [--id-token-lifetime SECONDS]` prints its port on the first line of its output and serves until
// it is interrupted.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "tests/support/identity-service/IdentityService.hpp"

int main(int argc, char** argv) {
    brisko::testing::IdentityService::Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "identity-service: %s needs a value\n", arg.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--port") {
            options.port = std::atoi(value().c_str());
        } else if (arg == "--api-key") {
            options.apiKey = value();
        } else if (arg == "--id-token-lifetime") {
            options.idTokenLifetime = std::chrono::seconds(std::atol(value().c_str()));
        } else {
            std::fprintf(stderr, "usage: identity-service [--port N] [--api-key K] [--id-token-lifetime SECONDS]\n");
            return 2;
        }
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // the server's threads inherit the mask
    try {
        brisko::testing::IdentityService service(options);
        std::printf("%d\n", service.port());
        std::fflush(stdout);
        int received = 0;
        sigwait(&signals, &received);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "identity-service: %s\n", e.what());
        return 1;
    }
    return 0;
}
