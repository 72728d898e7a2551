// Fuzzes the options-file reader: property-list bytes to options, and every option read back.
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/Options.hpp"

using namespace brisko::core;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto dictionary = Options::optionsDictionaryFromPropertyList(std::span<const std::uint8_t>(data, size));
    if (!dictionary) return 0;
    auto options = std::make_shared<Options>(std::move(*dictionary));
    (void)options->APIKey();
    (void)options->bundleID();
    (void)options->clientID();
    (void)options->ECMSenderID();
    (void)options->projectID();
    (void)options->ezevarAppID();
    (void)options->databaseURL();
    (void)options->storageBucket();
    auto copy = options->copy();
    copy->setEditingLocked(true);
    if (!copy->isEqualToOptions(*options)) __builtin_trap();
    (void)options->hash();
    (void)options->analyticsOptionsDictionaryWithInfoDictionary(options->optionsDictionary());
    return 0;
}
