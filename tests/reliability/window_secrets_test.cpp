// The window against the real server: a wrong password, then the right one,
// typed into the password box. Neither ever shows, clear or roasted, in any
// text the window displays, in Qt's messages, in what the process writes to
// standard output or error, or in the server's log.

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <cstdio>
#include <memory>

#include "Form1.h"
#include "PrivateFile.h"
#include "ServerProcess.h"
#include "XPButton.h"
#include "cSysTray.h"
#include "wire.h"

using reposa::test::PrivateFile;
using reposa::test::ServerProcess;

namespace {

QStringList qtMessages;

void Collect(QtMsgType, const QMessageLogContext&, const QString& text) {
  qtMessages << text;
}

// Standard output and error go to a file while it lives.
class CapturedOutput {
 public:
  CapturedOutput() : file_(std::tmpfile()) {
    std::fflush(stdout);
    std::fflush(stderr);
    savedOut_ = ::dup(1);
    savedErr_ = ::dup(2);
    ::dup2(::fileno(file_), 1);
    ::dup2(::fileno(file_), 2);
  }
  // Restores both and returns what was written meanwhile.
  std::string Stop() {
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(savedOut_, 1);
    ::dup2(savedErr_, 2);
    ::close(savedOut_);
    ::close(savedErr_);
    std::string text;
    std::rewind(file_);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;)
      text.append(buffer, n);
    std::fclose(file_);
    return text;
  }

 private:
  std::FILE* file_;
  int savedOut_ = -1, savedErr_ = -1;
};

}  // namespace

class WindowSecrets : public QObject {
  Q_OBJECT

  template <class T = QLineEdit>
  static T* Find(Form1& form, const char* name) {
    T* child = form.findChild<T*>(name);
    if (!child) qFatal("no control %s", name);
    return child;
  }
  static void Press(Form1& form, const char* button) {
    auto* b = Find<XPButton>(form, button);
    b->setFocus();
    QTest::keyClick(b, Qt::Key_Space);
  }
  static void Type(Form1& form, const char* box, const QString& text) {
    QLineEdit* edit = Find(form, box);
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
  }
  // Every text the window shows or describes itself with.
  static QString Shown(Form1& form) {
    QString all =
        form.windowTitle() + "\n" + form.findChild<cSysTray*>("cSysTray1")->traytip() + "\n";
    for (QWidget* w : form.findChildren<QWidget*>()) {
      all += w->windowTitle() + "\n" + w->toolTip() + "\n" + w->statusTip() + "\n" +
             w->whatsThis() + "\n" + w->accessibleName() + "\n" + w->accessibleDescription() + "\n";
      if (auto* edit = qobject_cast<QLineEdit*>(w))
        all += edit->displayText() + "\n" + edit->placeholderText() + "\n";
      if (auto* label = qobject_cast<QLabel*>(w)) all += label->text() + "\n";
      if (auto* button = qobject_cast<QAbstractButton*>(w)) all += button->text() + "\n";
    }
    return all;
  }

 private slots:
  void passwordsNeverShow() {
    const QStringList secrets = {"S3cret-Win", "Wr0ng-Win"};
    PrivateFile accounts("Some Body:S3cret-Win\n");
    ServerProcess server({"--accounts", accounts.path});
    qInstallMessageHandler(Collect);
    auto output = std::make_unique<CapturedOutput>();
    QString shown;
    {
      Form1 form(kez::host::Address{"127.0.0.1", server.port()});
      form.show();
      QVERIFY(QTest::qWaitForWindowExposed(&form));
      Type(form, "Text1", "Some Body");
      Type(form, "Text2", "Wr0ng-Win");
      Press(form, "XPButton1");
      QTRY_VERIFY_WITH_TIMEOUT(
          (server.Drain(), server.err().find("sign-on refused") != std::string::npos), 5000);
      shown += Shown(form);
      Type(form, "Text2", "S3cret-Win");
      Press(form, "XPButton1");
      QTRY_COMPARE_WITH_TIMEOUT(Find<QLabel>(form, "Label1")->text(), QString("Online"), 5000);
      shown += Shown(form);
      QCOMPARE(Find(form, "Text2")->displayText(), QString(10, '*'));
      Press(form, "XPButton2");
      QCOMPARE(Find<QLabel>(form, "Label1")->text(), QString("Offline"));
      shown += Shown(form);
    }
    const std::string written = output->Stop();
    output.reset();
    qInstallMessageHandler(nullptr);
    server.Signal(SIGTERM);
    QCOMPARE(server.Wait(), std::optional<int>(0));

    const std::string messages = qtMessages.join("\n").toStdString();
    for (const QString& secret : secrets) {
      const std::string clear = secret.toStdString();
      for (const std::string& form : {clear, kez::wire::RoastPassword(clear)}) {
        QVERIFY2(!shown.contains(QString::fromStdString(form)), form.c_str());
        QVERIFY2(messages.find(form) == std::string::npos, form.c_str());
        QVERIFY2(written.find(form) == std::string::npos, form.c_str());
        QVERIFY2(server.err().find(form) == std::string::npos, form.c_str());
        QVERIFY2(server.out().find(form) == std::string::npos, form.c_str());
      }
    }
  }
};

QTEST_MAIN(WindowSecrets)
#include "window_secrets_test.moc"
