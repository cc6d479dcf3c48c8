#pragma once
// The desktop's own file manager (org.freedesktop.FileManager1 on the session bus, else
// xdg-open) and its sound settings program, for the model's DesktopActions.
#include "platform/DesktopActions.h"

#include <memory>

namespace lc::dbus {

std::shared_ptr<DesktopActions> systemDesktopActions();

} // namespace lc::dbus
