// Windows only: the tray with its Shell_NotifyIconW calls going through a function of the
// caller's. Tests use it to see what the shell is told and pass each call on.
#ifndef MORVANE_CORE_TRAY_TRAY_WIN_H_
#define MORVANE_CORE_TRAY_TRAY_WIN_H_

#include <windows.h>
#include <shellapi.h>

#include <functional>
#include <memory>

#include "morvane/core/tray/tray.h"

namespace morvane {

// Called on the tray thread with NIM_ADD, NIM_MODIFY or NIM_DELETE; returns what
// Shell_NotifyIconW would.
using NotifyIconCall = std::function<bool(DWORD message, const NOTIFYICONDATAW& data)>;

std::unique_ptr<Tray> start_tray(TrayConfig config, NotifyIconCall notify);

}  // namespace morvane

#endif  // MORVANE_CORE_TRAY_TRAY_WIN_H_
