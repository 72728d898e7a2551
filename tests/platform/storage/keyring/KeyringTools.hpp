// The test keyring as other tools see and change it: secret-tool to write, read and list items, and the
// Secret Service's own D-Bus interface to lock the default collection. For tests run under
// scripts/with-keyring.sh, whose keyring is private to the test.
#pragma once

#include <stdio.h>

#include <memory>
#include <string>
#include <string_view>

namespace brisko::platform::testing {

// Runs a shell command, gives it `input` (plain text without quotes) on its standard input and returns
// its standard output.
inline std::string runShell(const std::string& command, const std::string& input = {}) {
    std::string full = input.empty() ? command : "printf %s '" + input + "' | " + command;
    if (full.find("2>") == std::string::npos) full += " 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(full.c_str(), "r"), ::pclose);
    std::string out;
    char buffer[512];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe.get())) out += buffer;
    return out;
}

// `secret-tool store --label=LABEL ATTRIBUTES...` with the secret on its standard input, as a user, an
// import or another program writes an item. Attributes are "name value" pairs of plain words.
inline void secretToolStore(const std::string& label, const std::string& attributes, const std::string& secret) {
    runShell("secret-tool store --label='" + label + "' " + attributes, secret);
}

// The secret of the item with this service and account, as secret-tool reads it ("" when none).
inline std::string secretToolLookup(const std::string& service, const std::string& account) {
    return runShell("secret-tool lookup service '" + service + "' account '" + account + "'");
}

// Every item with this service, with label and attributes, as secret-tool lists them (the attributes
// on its standard error).
inline std::string secretToolSearch(const std::string& service) {
    return runShell("secret-tool search --all service '" + service + "' 2>&1");
}

// Locks the default collection over the Secret Service's D-Bus interface; unlocking it again would need
// the desktop's password prompt, which a test run has not.
inline bool lockDefaultCollection() {
    const std::string call =
        "dbus-send --session --print-reply --dest=org.freedesktop.secrets /org/freedesktop/secrets "
        "org.freedesktop.Secret.Service.";
    const std::string alias = runShell(call + "ReadAlias string:default");
    const auto start = alias.find("object path \"");
    if (start == std::string::npos) return false;
    const auto from = start + std::string_view("object path \"").size();
    const std::string path = alias.substr(from, alias.find('"', from) - from);
    return runShell(call + "Lock array:objpath:" + path).find(path) != std::string::npos;
}

}  // namespace brisko::platform::testing
