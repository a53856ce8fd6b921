#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>
#include <optional>
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

// What the command line asks of the window.
struct WindowOptions {
  kez::host::Address server = kez::host::LocalServer();
  QString caFile;
  bool reconnect = false;
  bool notify = false;
};

// Reads the options; nothing when they are wrong (said on stderr).
std::optional<WindowOptions> ParseWindowOptions(const QApplication& app) {
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

  WindowOptions options;
  if (parser.isSet(serverOption)) {
    try {
      options.server = kez::host::ParseAddress(parser.value(serverOption).toStdString(),
                                               {.defaultPort = kez::host::kLocalServerPort,
                                                .defaultTlsPort = kez::host::kTlsServerPort,
                                                .tls = true});
    } catch (const kez::host::AddressError& e) {
      std::fprintf(stderr, "reposa: --server: %s\n", e.what());
      return std::nullopt;
    }
  }
  options.caFile = parser.value(caFileOption);
  if (!options.caFile.isEmpty() && !options.server.tls) {
    std::fprintf(stderr, "reposa: --ca-file needs a tls:// server\n");
    return std::nullopt;
  }
  options.reconnect = parser.isSet(reconnectOption);
  options.notify = parser.isSet(notifyOption);
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  NeedNoDisplayForText(argc, argv);
  QApplication app(argc, argv);
  QApplication::setApplicationName("reposa");
  QApplication::setApplicationDisplayName("Reposa");
  QApplication::setApplicationVersion(REPOSA_VERSION);
  QGuiApplication::setDesktopFileName("reposa");

  const std::optional<WindowOptions> options = ParseWindowOptions(app);
  if (!options) return 2;
  Form1 form(options->server, options->caFile);
  form.SetReconnect(options->reconnect);
  form.SetNotify(options->notify);
  form.show();
  return QApplication::exec();
}
