// The window on a real X server (Xvfb), driven by real mouse events (xdotool through XTest):
// an entry dragged in the list on air, "Next track" clicked, an entry double-clicked. A
// listener hears exactly that order.
#include "listener_tones.h"
#include "station/window/sondrix_server.h"
#include "tests/net/local_server.h"

#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>

using namespace sondrix;
using sondrix::testing::heardIn;
using sondrix::testing::tone;

class RealMouseTest : public QObject {
  Q_OBJECT

private:
  QTemporaryDir FFolder;
  QProcess FMouse;

  // Runs xdotool's commands in the background, so that the window goes on taking events (a
  // drag runs a loop of its own until the button is released).
  void mouse(const QStringList& Commands) {
    FMouse.waitForFinished(5000);
    FMouse.start(QStringLiteral("xdotool"), Commands);
    QVERIFY(FMouse.waitForStarted(5000));
  }
  static QStringList at(const QPoint& Global) {
    return {QStringLiteral("mousemove"), QString::number(Global.x()), QString::number(Global.y())};
  }
  static QPoint rowPoint(QListWidget* List, int Row, double Height = 0.5) {
    const QRect r = List->visualItemRect(List->item(Row));
    return List->viewport()->mapToGlobal(
        QPoint(r.left() + 30, r.top() + static_cast<int>(r.height() * Height)));
  }
  static QPoint centre(QWidget* Widget) { return Widget->mapToGlobal(Widget->rect().center()); }

private Q_SLOTS:
  void initTestCase() {
    if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty())
      QSKIP("xdotool or ffmpeg is not installed");
    if (QGuiApplication::platformName() != QStringLiteral("xcb"))
      QSKIP("needs a real X server");
    qputenv("XDG_CONFIG_HOME", FFolder.filePath(QStringLiteral("cfg")).toUtf8());
    qputenv("XDG_CACHE_HOME", FFolder.filePath(QStringLiteral("cache")).toUtf8());
    installQtDispatcher();
  }

  void anOperatorsMouseDragsSkipsAndPlaysOnAir() {
    const QString a = FFolder.filePath(QStringLiteral("a.mp3"));
    const QString b = FFolder.filePath(QStringLiteral("b.mp3"));
    const QString c = FFolder.filePath(QStringLiteral("c.mp3"));
    QVERIFY(tone(a, 440, 8, QString(), QString()));
    QVERIFY(tone(b, 660, 8, QString(), QString()));
    QVERIFY(tone(c, 880, 8, QString(), QString()));
    TSondrixServer::Hooks hooks;
    hooks.AddressLookup = [] { return std::string("127.0.0.1"); };
    hooks.PortWarning = [] { return true; };
    hooks.ShowMessage = [](const QString&, const QString& Text) { QFAIL(qPrintable(Text)); };
    TSondrixServer w(hooks);
    w.pe->setValue(testing::unusedPort());
    w.addtopl({a, b, c});
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTest::qWait(300);
    const auto mark = [&w](int Row) { return w.pl->item(Row)->data(Qt::UserRole + 2).toInt(); };

    mouse(at(centre(w.b1)) << QStringLiteral("click") << QStringLiteral("1"));
    QTRY_COMPARE_WITH_TIMEOUT(w.b1->text(), QStringLiteral("Stop"), 10000);
    QProcess listener;
    listener.start(
        QStringLiteral("ffmpeg"),
        {QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error"),
         QStringLiteral("-t"), QStringLiteral("9"), QStringLiteral("-i"),
         QStringLiteral("http://127.0.0.1:") + w.pe->text() + QStringLiteral("/stream.mp3"),
         QStringLiteral("-f"), QStringLiteral("s16le"), QStringLiteral("-ac"), QStringLiteral("2"),
         QStringLiteral("-ar"), QStringLiteral("44100"), QStringLiteral("-")});
    QTRY_COMPARE_WITH_TIMEOUT(mark(0), 1, 5000);

    // c dragged above b: it comes after a.
    QStringList drag = at(rowPoint(w.pl, 2)) << QStringLiteral("mousedown") << QStringLiteral("1");
    for (double step : {0.8, 0.4, 0.0})
      drag << QStringLiteral("sleep") << QStringLiteral("0.15")
           << at(rowPoint(w.pl, 1, step + 0.1));
    drag << QStringLiteral("sleep") << QStringLiteral("0.3") << QStringLiteral("mouseup")
         << QStringLiteral("1");
    mouse(drag);
    QTRY_COMPARE_WITH_TIMEOUT(w.Entries(), QStringList({a, c, b}), 5000);
    QTRY_COMPARE(mark(1), 2);

    // "Next track": c at once.
    mouse(at(centre(w.nt)) << QStringLiteral("click") << QStringLiteral("1"));
    QTRY_COMPARE_WITH_TIMEOUT(mark(1), 1, 3000);
    QTest::qWait(2500);
    // b double-clicked: b at once.
    mouse(at(rowPoint(w.pl, 2)) << QStringLiteral("click") << QStringLiteral("--repeat")
                                << QStringLiteral("2") << QStringLiteral("--delay")
                                << QStringLiteral("80") << QStringLiteral("1"));
    QTRY_COMPARE_WITH_TIMEOUT(mark(2), 1, 3000);

    QTRY_VERIFY_WITH_TIMEOUT(listener.state() == QProcess::NotRunning, 30000);
    const auto [runs, heard] = heardIn(listener.readAllStandardOutput());
    qInfo("heard %s", qPrintable(heard));
    QVERIFY2(runs.size() == 3, qPrintable(heard));
    QVERIFY2(std::abs(runs[0].first - 440) <= 20, qPrintable(heard));
    QVERIFY2(std::abs(runs[1].first - 880) <= 20 && runs[1].second >= 8, qPrintable(heard));
    QVERIFY2(std::abs(runs[2].first - 660) <= 20, qPrintable(heard));
    mouse(at(centre(w.b1)) << QStringLiteral("click") << QStringLiteral("1"));
    QTRY_COMPARE_WITH_TIMEOUT(w.b1->text(), QStringLiteral("Start"), 15000);
    FMouse.waitForFinished(5000);
  }
};

QTEST_MAIN(RealMouseTest)
#include "real_mouse_test.moc"
