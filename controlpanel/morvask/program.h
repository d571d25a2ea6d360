// The control panel program: one modal property sheet in a single-threaded
// apartment, its data files beside the executable.
#pragma once

#include <functional>
#include <string>

#include "controlpanel/model/control_panel_app.h"
#include "controlpanel/ui/prop_sheet.h"

namespace controlpanel {

// The folder of the running executable, symlinks resolved; empty when
// /proc/self/exe cannot be read.
std::string ExecutableDirectory();

// The program's start: enters the apartment, builds the sheet (its program
// folder the executable's unless `app` already names one; `ui` null for the
// real dialogs), lets `run` show it modally, then releases the client's
// objects and leaves the apartment. Returns the exit code, 0.
int InitInstance(CControlPanelApp& app, UiPort* ui,
                 const std::function<void(CVantorPropSheet&)>& run);

}  // namespace controlpanel
