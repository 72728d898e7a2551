// A later launch for the single-instance tests: hands its URLs to the running instance.
// Usage: single_instance_client SERVER-NAME [URL...]; exits 0 when handed over, 3 when it became the
// running instance itself, 4 when neither worked.
#include <QCoreApplication>

#include "platform/desktop/SingleInstance.hpp"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 2) return 2;
    brisko::platform::SingleInstance::Request request;
    for (int i = 2; i < argc; ++i) request.urls.emplace_back(argv[i]);
    brisko::platform::SingleInstance instance(argv[1]);
    switch (instance.start(request, nullptr)) {
        case brisko::platform::SingleInstance::Role::secondary:
            return 0;
        case brisko::platform::SingleInstance::Role::primary:
            return 3;
        case brisko::platform::SingleInstance::Role::failed:
            return 4;
    }
    return 4;
}
