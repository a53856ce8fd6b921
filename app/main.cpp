#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>

#include "Form1.h"
#include "kez/host/Address.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("reposa");
  QApplication::setApplicationDisplayName("Reposa");
  QApplication::setApplicationVersion(REPOSA_VERSION);
  QGuiApplication::setDesktopFileName("reposa");

  QCommandLineParser parser;
  parser.setApplicationDescription("Keeps one account present on a TOC2 service.");
  parser.addHelpOption();
  parser.addVersionOption();
  const QCommandLineOption serverOption(
      "server",
      QString("The TOC server to sign on at, instead of %1:%2.")
          .arg(QString::fromUtf8(kez::host::kLocalServerHost.data(),
                                 static_cast<qsizetype>(kez::host::kLocalServerHost.size())))
          .arg(kez::host::kLocalServerPort),
      "host[:port]");
  parser.addOption(serverOption);
  const QCommandLineOption reconnectOption(
      "reconnect",
      "Sign on again by itself after a lost connection (after 1 s, doubling up to 5 min), "
      "and join the room again.");
  parser.addOption(reconnectOption);
  parser.process(app);

  kez::host::Address server = kez::host::LocalServer();
  if (parser.isSet(serverOption)) {
    try {
      server = kez::host::ParseAddress(parser.value(serverOption).toStdString(),
                                       {.defaultPort = kez::host::kLocalServerPort});
    } catch (const kez::host::AddressError& e) {
      std::fprintf(stderr, "reposa: --server: %s\n", e.what());
      return 2;
    }
  }

  Form1 form(server);
  form.SetReconnect(parser.isSet(reconnectOption));
  form.show();
  return QApplication::exec();
}
