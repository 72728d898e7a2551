// A later launch for the single-instance tests: hands its URLs to the running instance.
// Usage: single_instance_client SERVER-NAME [--lock LOCK-PATH] [URL...]; exits 0 when handed over, 3
// when it became the running instance itself, 4 when neither worked, 5 when another process owns the
// lock and did not take the request.
#include <QCoreApplication>

#include <optional>
#include <string>

#include "platform/desktop/SingleInstance.hpp"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 2) return 2;
    int next = 2;
    std::optional<std::string> lock;
    if (argc > 3 && std::string(argv[2]) == "--lock") {
        lock = argv[3];
        next = 4;
    }
    brisko::platform::SingleInstance::Request request;
    for (int i = next; i < argc; ++i) request.urls.emplace_back(argv[i]);
    brisko::platform::SingleInstance instance(argv[1]);
    const auto role = lock ? instance.startOwning(*lock, request, nullptr) : instance.start(request, nullptr);
    switch (role) {
        case brisko::platform::SingleInstance::Role::secondary:
            return 0;
        case brisko::platform::SingleInstance::Role::primary:
            return 3;
        case brisko::platform::SingleInstance::Role::failed:
            return 4;
        case brisko::platform::SingleInstance::Role::blocked:
            return 5;
    }
    return 4;
}
