// The window on air: the real chain, a real listener, the operator's clicks.
#include "audio/audio_play_list.h"
#include "listener_tones.h"
#include "sound/sound_stage.h"
#include "station/playlist_file.h"
#include "station/station_settings.h"
#include "station/window/sondrix_server.h"
#include "tags/id3v2_tags.h"
#include "tests/net/local_server.h"
#include "winmedia/mp3_in.h"
#include "winmedia/wm_streamed_out.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

using namespace sondrix;
using sondrix::testing::heardIn;
using sondrix::testing::tone;

class BroadcastTest : public QObject {
  Q_OBJECT

private:
  QTemporaryDir FMusic;
  std::unique_ptr<QTemporaryDir> FHome;
  QString A, J, B, C;
  int FWarnings = 0;
  bool FTickDontShow = false;

  QString music(const char* Name) const { return FMusic.filePath(QString::fromLatin1(Name)); }

  std::unique_ptr<TSondrixServer> openWindow() {
    TSondrixServer::Hooks hooks;
    hooks.AddressLookup = [] { return std::string("127.0.0.1"); };
    hooks.PortWarning = [this] {
      ++FWarnings;
      return FTickDontShow;
    };
    hooks.ShowMessage = [](const QString&, const QString& Text) {
      QFAIL(qPrintable(QStringLiteral("unexpected message: ") + Text));
    };
    auto window = std::make_unique<TSondrixServer>(hooks);
    window->pe->setValue(testing::unusedPort());
    return window;
  }

  static void waitIdle(TSondrixServer& W) {
    QTRY_COMPARE_WITH_TIMEOUT(W.b1->text(), QStringLiteral("Start"), 15000);
  }

private Q_SLOTS:
  void initTestCase() {
    installQtDispatcher();
    QProcess probe;
    probe.start(QStringLiteral("ffmpeg"), {QStringLiteral("-version")});
    if (!probe.waitForFinished(10000) || probe.exitCode() != 0)
      QSKIP("ffmpeg is not installed");
    A = music("a.mp3");
    J = music("jingle.mp3");
    B = music("b.mp3");
    C = music("c.mp3");
    QVERIFY(tone(A, 440, 4, QStringLiteral("Alpha"), QStringLiteral("First")));
    QVERIFY(tone(J, 1320, 1, QString(), QString()));
    QVERIFY(tone(B, 660, 4, QString(), QString()));
    QVERIFY(tone(C, 880, 4, QStringLiteral("Gamma"), QStringLiteral("Third")));
  }

  void init() {
    FHome = std::make_unique<QTemporaryDir>();
    qputenv("XDG_CONFIG_HOME", FHome->path().toUtf8());
    qputenv("XDG_CACHE_HOME", FHome->path().toUtf8()); // the loudness analyses
    FWarnings = 0;
    FTickDontShow = false;
  }

  // One listening session covers start, both track changes, a short track, the wrap back to the
  // first track, the listener count in both languages and the stop.
  void aListenerHearsTheWholeListAroundAndTheWindowFollows() {
    auto window = openWindow();
    TSondrixServer& w = *window;
    w.addtopl({A, J, B, C});
    w.rname->setText(QStringLiteral("Test FM"));
    w.lue->setValue(-20);
    w.xfe->setValue(1);
    w.tse->setChecked(false);
    const QString port = w.pe->text();
    w.b1->click();
    // The sound controls reach the stage and are locked with the other settings.
    const SoundParams sound = w.Station().sound->Params();
    QCOMPARE(sound.TargetLufs, std::optional<double>(-20.0));
    QCOMPARE(sound.CrossfadeSeconds, 1.0);
    QVERIFY(!sound.TrimSilence);
    QVERIFY(!w.lue->isEnabled() && !w.xfe->isEnabled() && !w.tse->isEnabled());
    QCOMPARE(w.b1->text(), QStringLiteral("Stop"));
    const QString link = QStringLiteral("mms://127.0.0.1:") + port;
    QCOMPARE(w.windowTitle(),
             QStringLiteral("Sondrix Radio Station [") + link + QStringLiteral("]"));
    QCOMPARE(w.ling->text(),
             link + QStringLiteral("  http://127.0.0.1:") + port + QStringLiteral("/stream.mp3"));
    QCOMPARE(FWarnings, 1);
    // What needs a new broadcast is locked; the list and the name stay open on air.
    QVERIFY(w.pl->isEnabled() && !w.pe->isEnabled() && w.rname->isEnabled() && w.nt->isEnabled());
    QVERIFY(w.cp->isEnabled() && w.b1->isEnabled());
    QCOMPARE(w.Station().wo->Id3v2Tags()->Title(), std::u16string(u"Test FM"));
    w.WMDropFiles({A}); // joins the list on air, after C
    QCOMPARE(w.pl->count(), 5);

    QProcess listener;
    listener.start(QStringLiteral("ffmpeg"),
                   {QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error"),
                    QStringLiteral("-t"), QStringLiteral("16"), QStringLiteral("-i"),
                    QStringLiteral("mmsh://127.0.0.1:") + port + QStringLiteral("/"),
                    QStringLiteral("-f"), QStringLiteral("s16le"), QStringLiteral("-ac"),
                    QStringLiteral("2"), QStringLiteral("-ar"), QStringLiteral("44100"),
                    QStringLiteral("-")});
    QTRY_VERIFY_WITH_TIMEOUT(w.l4->text().endsWith(QStringLiteral("Listeners: 1")), 10000);
    // A language switch keeps the state: only the words change.
    w.N5Click();
    QCOMPARE(w.b1->text(), QStringLiteral("Остановка"));
    QVERIFY2(w.l4->text().endsWith(QStringLiteral("Слушателей: 1")), qPrintable(w.l4->text()));
    w.English1Click();
    QCOMPARE(w.b1->text(), QStringLiteral("Stop"));
    // The tags follow the track on air: Alpha's tags never stay on an untagged track.
    QTRY_COMPARE_WITH_TIMEOUT(w.Station().au->CurrentItem(), std::uint16_t(2), 10000);
    QTRY_COMPARE(w.Station().wo->Id3v2Tags()->Artist(), std::u16string(u" - "));
    QTRY_COMPARE_WITH_TIMEOUT(w.Station().au->CurrentItem(), std::uint16_t(3), 10000);
    QTRY_COMPARE(w.Station().wo->Id3v2Tags()->Artist(), std::u16string(u"Gamma - Third"));

    // The event loop keeps running meanwhile, as it does for the operator.
    QTRY_VERIFY_WITH_TIMEOUT(listener.state() == QProcess::NotRunning, 40000);
    QCOMPARE(listener.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(w.l4->text().endsWith(QStringLiteral("Listeners: 0")), 10000);
    const QByteArray pcm = listener.readAllStandardOutput();
    QVERIFY2(pcm.size() >= 15 * 44100 * 4, qPrintable(QString::number(pcm.size())));

    // What was heard, in order: A, the jingle once and whole, B, C, then A again; every track
    // whole (4 s: 15 or 16 quarters), less the half second a crossfade takes of a cold ending.
    const auto [runs, heard] = heardIn(pcm);
    qInfo("heard %s", qPrintable(heard));
    const auto is = [](const std::pair<int, int>& Run, int Hertz) {
      return std::abs(Run.first - Hertz) <= 20;
    };
    auto at = std::find_if(runs.begin(), runs.end(), [&is](auto& r) { return is(r, 440); });
    QVERIFY2(at != runs.end() && runs.end() - at >= 5, qPrintable(heard));
    QVERIFY2(is(at[1], 1320) && at[1].second >= 3 && at[1].second <= 5, qPrintable(heard));
    QVERIFY2(is(at[2], 660) && is(at[3], 880) && is(at[4], 440), qPrintable(heard));
    for (int i : {0, 2, 3})
      QVERIFY2(at[i].second >= 13 && at[i].second <= 16, qPrintable(heard));

    w.b1->click();
    QCOMPARE(w.b1->text(), QStringLiteral("Stopping..."));
    w.N5Click();
    QCOMPARE(w.b1->text(), QStringLiteral("Остановка..."));
    w.English1Click();
    QCOMPARE(w.b1->text(), QStringLiteral("Stopping..."));
    w.b1->click(); // a second click while stopping changes nothing
    QCOMPARE(w.b1->text(), QStringLiteral("Stopping..."));
    QCOMPARE(w.windowTitle(), QStringLiteral("Sondrix Radio Station"));
    QVERIFY(w.ling->text().isEmpty());
    waitIdle(w);
    QVERIFY(w.l4->text().isEmpty());
    QVERIFY(w.pl->isEnabled() && w.pe->isEnabled() && w.lue->isEnabled() && w.tse->isEnabled());
  }

  // The operator on air: what plays is marked and shown with its time, a request is queued,
  // a skip cuts to it, and the list is edited; a listener hears exactly that order.
  void anOperatorSkipsQueuesAndEditsTheListOnAir() {
    auto window = openWindow();
    TSondrixServer& w = *window;
    FTickDontShow = true;
    w.addtopl({A, J, B, C});
    const QString port = w.pe->text();
    w.b1->click();
    const auto mark = [&w](int Row) { return w.pl->item(Row)->data(Qt::UserRole + 2).toInt(); };
    QTRY_COMPARE_WITH_TIMEOUT(mark(0), 1, 5000); // A on air...
    QCOMPARE(mark(1), 2);                        // ...the jingle up next
    QTRY_VERIFY_WITH_TIMEOUT(w.l4->text().startsWith(QStringLiteral("\u25B6 Alpha - First  0:0")),
                             5000);
    QVERIFY2(w.l4->text().contains(QStringLiteral(" / 0:04")), qPrintable(w.l4->text()));
    QProcess listener;
    listener.start(QStringLiteral("ffmpeg"),
                   {QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error"),
                    QStringLiteral("-t"), QStringLiteral("12"), QStringLiteral("-i"),
                    QStringLiteral("http://127.0.0.1:") + port + QStringLiteral("/stream.mp3"),
                    QStringLiteral("-f"), QStringLiteral("s16le"), QStringLiteral("-ac"),
                    QStringLiteral("2"), QStringLiteral("-ar"), QStringLiteral("44100"),
                    QStringLiteral("-")});
    QTRY_VERIFY_WITH_TIMEOUT(w.l4->text().endsWith(QStringLiteral("Listeners: 1")), 10000);
    QTest::qWait(1000);
    // C requested next, then A skipped: C comes at once, the list's order after it.
    w.PlayNext(3);
    QTRY_COMPARE(mark(3), 2);
    QCOMPARE(mark(1), 0);
    // The name changes on air: listeners get it with the next track.
    w.rname->setText(QStringLiteral("Night FM"));
    w.ntClick();
    QTRY_COMPARE_WITH_TIMEOUT(mark(3), 1, 3000);
    QTRY_COMPARE(w.Station().wo->Id3v2Tags()->Title(), std::u16string(u"Night FM"));
    QVERIFY2(w.l4->text().startsWith(QStringLiteral("\u25B6 Gamma - Third  0:0")),
             qPrintable(w.l4->text()));
    // While C plays, B is moved to the top and the jingle removed: A then follows C, and B
    // comes round first.
    w.pl->setCurrentRow(2);
    QTest::keyClick(w.pl, Qt::Key_Up, Qt::AltModifier);
    QTest::keyClick(w.pl, Qt::Key_Up, Qt::AltModifier);
    QCOMPARE(w.Entries(), QStringList({B, A, J, C}));
    w.pl->setCurrentRow(2);
    w.Button2Click();
    QCOMPARE(w.Entries(), QStringList({B, A, C}));
    QTRY_COMPARE(mark(0), 2); // after the last entry the first: B
    if (const QByteArray folder = qgetenv("SONDRIX_SCREENSHOT_DIR"); !folder.isEmpty()) {
      w.show();
      QVERIFY(QTest::qWaitForWindowExposed(&w));
      w.grab().save(QString::fromUtf8(folder) + QStringLiteral("/window-on-air.png"));
      w.N5Click();
      QTest::qWait(200); // a tick, for the status line in Russian
      w.grab().save(QString::fromUtf8(folder) + QStringLiteral("/window-on-air-ru.png"));
      w.English1Click();
    }
    QTRY_VERIFY_WITH_TIMEOUT(listener.state() == QProcess::NotRunning, 30000);
    const auto [runs, heard] = heardIn(listener.readAllStandardOutput());
    qInfo("heard %s", qPrintable(heard));
    // A cut short, C whole, then B, never the jingle.
    QVERIFY2(runs.size() >= 3, qPrintable(heard));
    QVERIFY2(std::abs(runs[0].first - 440) <= 20 && runs[0].second <= 12, qPrintable(heard));
    QVERIFY2(std::abs(runs[1].first - 880) <= 20 && runs[1].second >= 15, qPrintable(heard));
    QVERIFY2(std::abs(runs[2].first - 660) <= 20, qPrintable(heard));
    for (const auto& run : runs)
      QVERIFY2(std::abs(run.first - 1320) > 20, qPrintable(heard));
    w.b1->click();
    waitIdle(w);
    QCOMPARE(mark(0), 0);
  }

  void aStopMidListResumesThereAndShuffleFillsAPermutation() {
    auto window = openWindow();
    TSondrixServer& w = *window;
    FTickDontShow = true;
    const QStringList five{A, B, C, A, B};
    w.addtopl(five);
    w.b1->click();
    QTRY_COMPARE_WITH_TIMEOUT(w.Station().au->CurrentItem(), std::uint16_t(2), 15000);
    w.b1->click();
    waitIdle(w);
    w.b1->click();
    QCOMPARE(w.Station().MP3In1->FileName(), C.toStdString());
    w.b1->click();
    waitIdle(w);
    QCOMPARE(FWarnings, 1); // ticked once: not shown again

    w.cb->setChecked(true);
    w.b1->click();
    std::vector<std::string> played = w.Station().au->Files(), listed;
    for (const QString& entry : five)
      listed.push_back(entry.toStdString());
    QVERIFY(std::is_permutation(played.begin(), played.end(), listed.begin(), listed.end()));
    // Closing while on air stops the broadcast and saves settings and playlist.
    w.close();
    QVERIFY(!w.Station().wo->IsBusy());
    window.reset();
    const TPlaylistText saved = readPlaylistFile(GetSondrixPath() + "playlist.spl");
    QCOMPARE(saved.Entries, listed);
    auto again = openWindow();
    QVERIFY(again->cb->isChecked());
    again->b1->click();
    QCOMPARE(again->b1->text(), QStringLiteral("Stop"));
    QCOMPARE(FWarnings, 1); // the tick was remembered across the restart
    again->b1->click();
    waitIdle(*again);
  }

  // The stream's tags follow the track on air: album, genre and year too, and none stays on
  // a track without them.
  void theStreamTagsHoldTheTracksAlbumGenreAndYear() {
    const QString tagged = music("tagged.mp3");
    QVERIFY(tone(tagged, 550, 1.5, QStringLiteral("Delta"), QStringLiteral("Fourth"),
                 {QStringLiteral("album=Каталог"), QStringLiteral("genre=Ambient"),
                  QStringLiteral("date=1999")}));
    auto window = openWindow();
    TSondrixServer& w = *window;
    w.addtopl({tagged, J});
    w.b1->click();
    const auto tags = [&w] { return w.Station().wo->Id3v2Tags(); };
    QTRY_COMPARE_WITH_TIMEOUT(tags()->Album(), std::u16string(u"Каталог"), 10000);
    QCOMPARE(tags()->Artist(), std::u16string(u"Delta - Fourth"));
    QCOMPARE(tags()->Genre(), std::u16string(u"Ambient"));
    QCOMPARE(tags()->Year(), std::string("1999"));
    QTRY_COMPARE_WITH_TIMEOUT(w.Station().au->CurrentItem(), std::uint16_t(1), 10000);
    QTRY_COMPARE(tags()->Album(), std::u16string());
    QCOMPARE(tags()->Genre(), std::u16string());
    QCOMPARE(tags()->Year(), std::string());
    w.b1->click();
    waitIdle(w);
  }

  void failuresStayInTheStatusLineUntilTheNextStart() {
    auto window = openWindow();
    TSondrixServer& w = *window;
    // An empty list: the click only sets the tags.
    w.rname->setText(QStringLiteral("Quiet FM"));
    w.b1->click();
    QCOMPARE(w.b1->text(), QStringLiteral("Start"));
    QCOMPARE(w.Station().wo->Id3v2Tags()->Title(), std::u16string(u"Quiet FM"));
    QCOMPARE(FWarnings, 0);

    // A missing track: the failure names it and stays after the station is idle again.
    w.addtopl({music("missing.mp3")});
    w.b1->click();
    waitIdle(w);
    QVERIFY2(w.l4->text().startsWith(QStringLiteral("missing.mp3: ")), qPrintable(w.l4->text()));

    // A list that runs out of sound by itself says so.
    const QString empty = music("empty.wav");
    {
      // A valid WAV file without a single frame.
      const char header[] = "RIFF\x24\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xac\0\0"
                            "\x10\xb1\x02\0\x04\0\x10\0data\0\0\0\0";
      std::ofstream(empty.toStdString(), std::ios::binary).write(header, sizeof header - 1);
    }
    w.pl->clear();
    w.addtopl({empty});
    const QString link = QStringLiteral("mms://127.0.0.1:") + w.pe->text();
    w.b1->click();
    waitIdle(w);
    QCOMPARE(w.l4->text(), QStringLiteral("The broadcast ended: no track gave any more sound."));
    // Only a stop click takes the address away: an end by itself leaves title and link.
    QCOMPARE(w.windowTitle(),
             QStringLiteral("Sondrix Radio Station [") + link + QStringLiteral("]"));
    QCOMPARE(w.ling->text(), link + QStringLiteral("  http://127.0.0.1:") + w.pe->text() +
                                 QStringLiteral("/stream.mp3"));

    // A port in use: reported, idle, and the old failure is gone.
    const int taken = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    QCOMPARE(::bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    QCOMPARE(::listen(taken, 1), 0);
    socklen_t len = sizeof a;
    ::getsockname(taken, reinterpret_cast<sockaddr*>(&a), &len);
    w.pl->clear();
    w.addtopl({A});
    w.pe->setValue(ntohs(a.sin_port));
    w.b1->click();
    waitIdle(w);
    ::close(taken);
    QVERIFY2(w.l4->text().contains(QStringLiteral("Cannot create file")), qPrintable(w.l4->text()));
  }
};

QTEST_MAIN(BroadcastTest)
#include "broadcast_test.moc"
