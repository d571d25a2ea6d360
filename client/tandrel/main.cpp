// tandrel: the echo demo program.
#include <QApplication>

#include "client/tandrel/echo_client_dialog.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  return tandrel::EchoClientApp([](tandrel::EchoClientDialog& dialog) { dialog.exec(); });
}
