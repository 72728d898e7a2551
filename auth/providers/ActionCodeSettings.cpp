// The action-code settings' starting values.
#include "auth/providers/ActionCodeSettings.hpp"

#include "platform/storage/Bundle.hpp"

namespace brisko::auth {

SendableActionCodeSettings::SendableActionCodeSettings() : iOSBundleID(platform::Bundle::main()->bundleIdentifier()) {}

}  // namespace brisko::auth
