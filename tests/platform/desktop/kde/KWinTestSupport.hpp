// Helpers of the KWin tests: our script's path, foot windows, and KWin's scripting over D-Bus (load,
// look up, and activate a window through a script of the test's own).
#pragma once

#include <QString>
#include <memory>
#include <optional>
#include <string>

#include "platform/desktop/kde/KWinActiveWindow.hpp"
#include "tests/platform/desktop/DesktopTestSupport.hpp"

namespace brisko::test {

QString kwinScriptPath();
// A native Wayland window with the app_id and title (see QtTestWindow.cpp), retitled a second later
// when asked.
std::unique_ptr<ChildProcess> qtWindow(const std::string& appID, const std::string& title,
                                       const std::optional<std::string>& retitle = std::nullopt);
// Runs Qt events until the reported active window has the resource class.
bool waitForActiveClass(const platform::KWinActiveWindow& activeWindow, const std::string& resourceClass);
// Activates the window whose resource class is given, through a script run in KWin.
void activateKWinWindow(const std::string& resourceClass);
int loadKWinScript(const QString& path, const char* pluginName);
bool isKWinScriptLoaded(const char* pluginName);

}  // namespace brisko::test
