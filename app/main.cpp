#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>
#include <string_view>

#include "Form1.h"
#include "kez/host/Address.h"

namespace {

// --help and --version only print text, so they run on Qt's offscreen
// platform and answer without a display too (the build makes the manual page
// from them).
void NeedNoDisplayForText(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help" || arg == "--help-all" || arg == "-v" ||
        arg == "--version") {
      if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
      return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  NeedNoDisplayForText(argc, argv);
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
      QString("The TOC server to sign on at, instead of %1:%2; tls://host[:port] signs on "
              "over TLS, on port %3 unless given.")
          .arg(QString::fromUtf8(kez::host::kLocalServerHost.data(),
                                 static_cast<qsizetype>(kez::host::kLocalServerHost.size())))
          .arg(kez::host::kLocalServerPort)
          .arg(kez::host::kTlsServerPort),
      "[tls://]host[:port]");
  parser.addOption(serverOption);
  const QCommandLineOption caFileOption(
      "ca-file",
      "Verify a TLS server with the authorities in this file (PEM) instead of the system's "
      "store.",
      "file");
  parser.addOption(caFileOption);
  const QCommandLineOption reconnectOption(
      "reconnect",
      "Sign on again by itself after a lost connection (after 1 s, doubling up to 5 min), "
      "and join the room again.");
  parser.addOption(reconnectOption);
  const QCommandLineOption notifyOption(
      "notify",
      "While the window is in the tray or minimised, tell of each instant message (a few a "
      "minute per sender) and count the unread ones.");
  parser.addOption(notifyOption);
  parser.process(app);

  kez::host::Address server = kez::host::LocalServer();
  if (parser.isSet(serverOption)) {
    try {
      server = kez::host::ParseAddress(parser.value(serverOption).toStdString(),
                                       {.defaultPort = kez::host::kLocalServerPort,
                                        .defaultTlsPort = kez::host::kTlsServerPort,
                                        .tls = true});
    } catch (const kez::host::AddressError& e) {
      std::fprintf(stderr, "reposa: --server: %s\n", e.what());
      return 2;
    }
  }

  const QString caFile = parser.value(caFileOption);
  if (!caFile.isEmpty() && !server.tls) {
    std::fprintf(stderr, "reposa: --ca-file needs a tls:// server\n");
    return 2;
  }
  Form1 form(server, caFile);
  form.SetReconnect(parser.isSet(reconnectOption));
  form.SetNotify(parser.isSet(notifyOption));
  form.show();
  return QApplication::exec();
}
