// The values of a caller's action-code settings as the out-of-band code requests send them.
#pragma once

#include <memory>
#include <optional>

#include "auth/backend/GetOOBConfirmationCodeRequest.hpp"
#include "auth/providers/ActionCodeSettings.hpp"

namespace brisko::auth {

inline std::optional<ActionCodeSettingsValues>
actionCodeSettingsValues(const std::shared_ptr<const ActionCodeSettings>& settings) {
    if (!settings) return std::nullopt;
    ActionCodeSettingsValues values;
    values.url = settings->url();
    values.handleCodeInApp = settings->handleCodeInApp();
    values.iOSBundleID = settings->iOSBundleID();
    values.androidPackageName = settings->androidPackageName();
    values.androidMinimumVersion = settings->androidMinimumVersion();
    values.androidInstallIfNotAvailable = settings->androidInstallIfNotAvailable();
    values.linkDomain = settings->linkDomain();
    return values;
}

}  // namespace brisko::auth
