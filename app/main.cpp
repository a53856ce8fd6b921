#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>

#include "Form1.h"
#include "ServerAddress.h"

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
          .arg(QString::fromUtf8(kTOCServerHost.data(), kTOCServerHost.size()))
          .arg(kTOCServerPort),
      "host[:port]");
  parser.addOption(serverOption);
  const QCommandLineOption reconnectOption(
      "reconnect",
      "Sign on again by itself after a lost connection: after 1 s, doubling up to 5 min.");
  parser.addOption(reconnectOption);
  parser.process(app);

  ServerAddress server;
  if (parser.isSet(serverOption)) {
    const auto parsed = ParseServerAddress(parser.value(serverOption).toStdString());
    if (!parsed) {
      std::fprintf(stderr,
                   "reposa: --server wants HOST or HOST:PORT (port 1 to 65535), not \"%s\"\n",
                   qPrintable(parser.value(serverOption)));
      return 2;
    }
    server = *parsed;
  }

  Form1 form(server);
  form.SetReconnect(parser.isSet(reconnectOption));
  form.show();
  return QApplication::exec();
}
