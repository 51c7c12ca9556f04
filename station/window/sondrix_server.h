#pragma once

#include "station/playlist_file.h"
#include "station/station_core.h"

#include <QFont>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

class QAction;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QMenu;
class QCheckBox;
class QPushButton;
class QSpinBox;
class QSystemTrayIcon;
class QTimer;
class QToolButton;

namespace sondrix {

// The station's main window: playlist, settings, start/stop, status line, tray icon. It only
// wires controls to the station core (TStationCore), which holds every decision.
class TSondrixServer : public QWidget, private TStationView {
  Q_OBJECT

public:
  // Dialogs and the outside world, replaceable so tests can answer them.
  struct Hooks {
    std::function<QStringList()> OpenFiles;      // op: chosen paths, empty on cancel
    std::function<QString()> PickFolder;         // pdd: chosen folder, empty on cancel
    std::function<void(const QString&)> OpenUrl; // the operator's browser
    std::function<void(const QString& Title, const QString& Text)> ShowMessage;
    // The port warning; returns whether "do not show" was ticked (with OK).
    std::function<bool()> PortWarning;
    std::function<std::string()> AddressLookup; // the public address
  };

  // Creates the members and the chain, then reads the settings and the playlist (FormCreate).
  explicit TSondrixServer(Hooks Hooks = {});
  // Saves settings and playlist unless a close already did (FormDestroy).
  ~TSondrixServer() override;

  // Settings and playlist: read at creation, written when the window closes.
  void loadini();
  void saveini();
  // Every text in the language "en" or "ru" (others read as "en").
  void language(const std::string& Code);
  const std::string& LanguageCode() const { return FLanguageCode; }
  // The list's paths, in order.
  QStringList Entries() const;
  // Appends paths, expanding playlist files (addtopl).
  void addtopl(const QStringList& Paths);
  // Appends the audio files below Folder while the window stays responsive.
  void ScanFolder(const QString& Folder);
  // The shell's drop, only while idle: existing audio files, and playlists expanded in place.
  void WMDropFiles(const QStringList& Paths);
  QString PortCheckAddress() const;
  TStationCore& Station() { return *FStation; }

  // Members under their layout names.
  QListWidget* pl;
  QPushButton* b1;
  QGroupBox* gb;
  QLabel *Label1, *Label2, *Label3, *Label4, *Label5;
  QSpinBox *pe, *be, *mse;
  QCheckBox* cb;
  // How it sounds: the target loudness (its lowest value reads "off"), crossfade, trimming.
  QGroupBox* sg;
  QLabel *Label6, *Label7;
  QSpinBox *lue, *xfe;
  QCheckBox* tse;
  QPushButton *a_b, *F_b, *D_B;
  QPushButton* nt;       // next track, while on air
  QMenu* PopupMenu3;     // the list's: play now, play next
  QAction *N6, *N7, *N8; // tray: next track; list: play now, play next
  QLineEdit* rname;
  QLineEdit* ling;
  QPushButton* cp;
  QFrame* Bevel1;
  QLabel* l4;
  QToolButton* lngs;
  QToolButton* SpeedButton1;
  QSystemTrayIcon* ti;
  QTimer* Timer1;
  QMenu* PopupMenu1;
  QMenu* PopupMenu2;
  QAction *N1, *N2, *N3, *Language1, *N4, *English1, *N5;
  // The chain, owned by the station core: MP3 input → playlist → (format converter) → output.
  TMP3In* MP3In1 = nullptr;
  TAudioPlayList* au = nullptr;
  TWMStreamedOut* wo = nullptr;

public Q_SLOTS:
  void b1Click();
  void Button1Click(); // a_b
  void F_bClick();
  void Button2Click(); // D_B
  void cpClick();
  void lngsClick();
  void English1Click();
  void N5Click();
  void N1Click();
  void N2Click();
  void N3Click();
  void ntClick();
  // The entry at Row now / after the one on air. On air only.
  void PlayNow(int Row);
  void PlayNext(int Row);
  // Moves the selected entries one place up (Delta -1) or down (+1).
  void MoveSelection(int Delta);
  void minimize_app();
  void restore_app();

protected:
  void closeEvent(QCloseEvent* Event) override;
  void changeEvent(QEvent* Event) override;
  void dragEnterEvent(QDragEnterEvent* Event) override;
  void dropEvent(QDropEvent* Event) override;
  bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
  // The loudness spin's target; nullopt at its "off" value.
  std::optional<std::int32_t> loudnessTarget() const;
  // TStationView
  TStationControls Controls() const override;
  void SetCaption(const std::string& Caption) override;
  void SetTitle(const std::string& Title) override;
  void SetLink(const std::string& Link) override;
  void SetStatus(const std::string& Text) override;
  void ShowOnAir(std::optional<std::uint64_t> OnAir, std::optional<std::uint64_t> Next) override;
  void Lock(bool OnAir) override;
  bool ShowPortWarning() override;

  void createMembers();
  // Runs a handler; an error it raises is shown to the operator and the window goes on.
  void guarded(const std::function<void()>& Handler);
  void appendEntry(const std::string& Path);
  // The list was edited: on air, what plays next follows it.
  void listEdited();
  QListWidgetItem* itemOfKey(std::uint64_t Key) const;

  Hooks FHooks;
  std::unique_ptr<TStationCore> FStation;
  bool FMp3Stream = true;  // no control of its own: kept from the settings file
  std::string FIcecastUrl; // likewise; empty: no Icecast push
  std::string FBind;       // likewise; empty: every address
  std::string FLanguageCode = "en";
  std::uint64_t FNextKey = 0; // the key the next entry gets
  std::string FPortCheckBase;
  TPlaylistEncoding FPlaylistEncoding = TPlaylistEncoding::Ansi;
  bool FScanning = false;
  bool FCloseAfterScan = false;
  bool FSaved = false;
  bool FExitRequested = false; // the tray menu's Exit: the event loop ends with the window
};

// The window's font: Tahoma where it resolves, else a condensed sans; 11 pixels.
QFont windowFont(const QFont& Base);

// Names the application and sets its icon; call once after the QApplication exists.
void configureApplication();

// Puts the chain's events on the Qt event loop: calls from other threads wake the loop, which
// runs them. Call once, on the main thread, after the QApplication exists.
void installQtDispatcher();

} // namespace sondrix
