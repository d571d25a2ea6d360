#include "controlpanel/morvask/program.h"

#include <filesystem>
#include <system_error>

#include "controlpanel/ui/qt_ui_port.h"
#include "platform/com/activation.h"

namespace controlpanel {

std::string ExecutableDirectory() {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::canonical("/proc/self/exe", error);
  return error ? std::string() : exe.parent_path().string();
}

int InitInstance(CControlPanelApp& app, UiPort* ui,
                 const std::function<void(CVantorPropSheet&)>& run) {
  if (app.ProgramDirectory().empty()) app.SetProgramDirectory(ExecutableDirectory());
  const HRESULT entered = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  {
    QtUiPort qt_ui;
    CVantorPropSheet sheet(app, ui != nullptr ? *ui : qt_ui, ServerPages());
    qt_ui.SetParent(&sheet);
    run(sheet);
  }
  // The client's objects belong to the apartment: gone before it is left.
  app.Channel().Release();
  app.Client().ReleaseObjects();
  if (SUCCEEDED(entered)) CoUninitialize();
  return 0;
}

}  // namespace controlpanel
