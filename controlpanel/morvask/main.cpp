// morvask: the control panel of a running server.
#include <QApplication>

#include "controlpanel/morvask/program.h"

int main(int argc, char** argv) {
  QApplication qt(argc, argv);
  controlpanel::CControlPanelApp app;
  return controlpanel::InitInstance(app, nullptr,
                                    [](controlpanel::CVantorPropSheet& sheet) { sheet.exec(); });
}
