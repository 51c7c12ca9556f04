#include "sondrix_server.h"

#include "base/main_thread_dispatcher.h"
#include "base/text.h"
#include "net/public_address.h"
#include "station/ini_file.h"
#include "station/media_files.h"
#include "station/playlist_import.h"
#include "station/playlist_ops.h"
#include "station/station_settings.h"
#include "station/station_texts.h"
#include "station/window/station_icon.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCursor>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontInfo>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QShortcut>
#include <QSpinBox>
#include <QStyledItemDelegate>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include <algorithm>
#include <climits>
#include <exception>

// The pictures live in a static library, whose resource registration the linker would drop.
static void initWindowResources() {
  Q_INIT_RESOURCE(window);
}

namespace sondrix {

namespace {

QString qs(const std::string& Text) {
  return QString::fromUtf8(Text.data(), static_cast<qsizetype>(Text.size()));
}

std::string narrow(const QString& Text) {
  return Text.toUtf8().toStdString();
}

constexpr int kPathRole = Qt::UserRole;
constexpr int kKeyRole = Qt::UserRole + 1;  // stays with the entry while the list is edited
constexpr int kMarkRole = Qt::UserRole + 2; // kOnAir, kUpNext or nothing
constexpr int kOnAir = 1;
constexpr int kUpNext = 2;

// Draws an entry as its file name, 2 pixels from the left, over the selection colours.
class TPlaylistDelegate : public QStyledItemDelegate {
public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* Painter, const QStyleOptionViewItem& Option,
             const QModelIndex& Index) const override {
    plDrawItem(Painter, Option, Index);
  }

  QSize sizeHint(const QStyleOptionViewItem& Option, const QModelIndex& Index) const override {
    return {QStyledItemDelegate::sizeHint(Option, Index).width(), 13};
  }

private:
  static void plDrawItem(QPainter* Painter, const QStyleOptionViewItem& Option,
                         const QModelIndex& Index) {
    const bool selected = Option.state & QStyle::State_Selected;
    const QPalette& palette = Option.palette;
    Painter->save();
    Painter->fillRect(Option.rect, selected ? palette.highlight() : palette.base());
    Painter->setPen(selected ? palette.highlightedText().color() : palette.text().color());
    QFont font = Option.font;
    QString name = qs(displayName(narrow(Index.data(kPathRole).toString())));
    // The entry on air in bold behind a play sign; the one up next behind an arrow.
    const int mark = Index.data(kMarkRole).toInt();
    if (mark == kOnAir) {
      font.setBold(true);
      name = QStringLiteral("\u25B6 ") + name;
    } else if (mark == kUpNext) {
      font.setItalic(true);
      name = QStringLiteral("\u00BB ") + name;
    }
    Painter->setFont(font);
    Painter->drawText(Option.rect.adjusted(2, 0, 0, 0), Qt::AlignLeft | Qt::AlignTop, name);
    if (Option.state & QStyle::State_HasFocus) {
      Painter->setPen(QPen(palette.text().color(), 1, Qt::DotLine));
      Painter->drawRect(Option.rect.adjusted(0, 0, -1, -1));
    }
    Painter->restore();
  }
};

QSpinBox* makeSpin(QWidget* Parent, int Left, int Top) {
  auto* spin = new QSpinBox(Parent);
  spin->setGeometry(Left, Top, 90, 22);
  // No limits: the value is whatever the operator typed.
  spin->setRange(INT_MIN, INT_MAX);
  spin->setButtonSymbols(QAbstractSpinBox::UpDownArrows);
  return spin;
}

QLabel* makeLabel(QWidget* Parent, int Left, int Top) {
  auto* label = new QLabel(Parent);
  label->move(Left, Top);
  return label;
}

QPushButton* makeButton(QWidget* Parent, int Left, int Top, int Width, int Height) {
  auto* button = new QPushButton(Parent);
  button->setGeometry(Left, Top, Width, Height);
  return button;
}

} // namespace

TSondrixServer::TSondrixServer(Hooks Hooks) : FHooks(std::move(Hooks)) {
  initWindowResources();
  if (!FHooks.OpenFiles)
    FHooks.OpenFiles = [this] {
      return QFileDialog::getOpenFileNames(this, QString(), QString(),
                                           qs(openDialogFilter(FStation->Texts())));
    };
  if (!FHooks.PickFolder)
    FHooks.PickFolder = [this] { return QFileDialog::getExistingDirectory(this); };
  if (!FHooks.OpenUrl)
    FHooks.OpenUrl = [](const QString& Url) { QDesktopServices::openUrl(QUrl(Url)); };
  if (!FHooks.ShowMessage)
    FHooks.ShowMessage = [this](const QString& Title, const QString& Text) {
      QMessageBox::critical(this, Title, Text);
    };
  if (!FHooks.PortWarning)
    FHooks.PortWarning = [this] {
      const TStationTexts& texts = FStation->Texts();
      QMessageBox box(QMessageBox::Warning, qs(texts.WarningTitle), qs(texts.WarningText),
                      QMessageBox::Ok, this);
      auto* dontShow = new QCheckBox(qs(texts.DontShowText), &box);
      box.setCheckBox(dontShow);
      return box.exec() == QMessageBox::Ok && dontShow->isChecked();
    };

  createMembers();
  if (!FHooks.AddressLookup)
    FHooks.AddressLookup = [] { return toNarrow(GetPublicAddress()); };
  FStation = std::make_unique<TStationCore>(static_cast<TStationView&>(*this));
  FStation->SetAddressLookup(FHooks.AddressLookup);
  MP3In1 = FStation->MP3In1;
  au = FStation->au;
  wo = FStation->wo;
  loadini();
}

TSondrixServer::~TSondrixServer() {
  FStation->StopAndWait();
  if (!FSaved)
    saveini();
  // The core's chain goes first: its last events must not reach half-destroyed widgets.
  FStation.reset();
}

void TSondrixServer::createMembers() {
  setWindowTitle(qs(kAppTitle));
  setWindowIcon(stationIcon());
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFixedSize(624, 342);
  setFont(windowFont(this->font()));
  setAcceptDrops(true);

  pl = new QListWidget(this);
  pl->setGeometry(8, 8, 241, 239);
  pl->setSelectionMode(QAbstractItemView::ExtendedSelection);
  pl->setUniformItemSizes(true);
  pl->setItemDelegate(new TPlaylistDelegate(pl));
  pl->installEventFilter(this);
  pl->setDragDropMode(QAbstractItemView::InternalMove);
  pl->setDefaultDropAction(Qt::MoveAction);
  pl->setContextMenuPolicy(Qt::CustomContextMenu);

  nt = makeButton(this, 426, 8, 190, 25);
  nt->setEnabled(false);

  b1 = makeButton(this, 255, 8, 164, 25);
  gb = new QGroupBox(this);
  gb->setGeometry(255, 48, 165, 129);
  Label1 = makeLabel(gb, 3, 24);
  pe = makeSpin(gb, 64, 21);
  pe->setValue(8098);
  Label3 = makeLabel(gb, 3, 52);
  be = makeSpin(gb, 64, 49);
  be->setValue(128);
  Label2 = makeLabel(gb, 3, 81);
  mse = makeSpin(gb, 64, 77);
  mse->setValue(0);
  cb = new QCheckBox(gb);
  cb->setGeometry(8, 104, 145, 17);

  sg = new QGroupBox(this);
  sg->setGeometry(426, 48, 190, 129);
  Label6 = makeLabel(sg, 3, 24);
  lue = makeSpin(sg, 104, 21);
  lue->setFixedWidth(78);
  // One below the lowest target stands for "off": files play as loud as they are.
  lue->setRange(kLoudnessMin - 1, kLoudnessMax);
  lue->setValue(-16);
  Label7 = makeLabel(sg, 3, 52);
  xfe = makeSpin(sg, 104, 49);
  xfe->setFixedWidth(78);
  xfe->setRange(0, kCrossfadeMax);
  xfe->setValue(0);
  tse = new QCheckBox(sg);
  tse->setGeometry(8, 78, 175, 17);
  tse->setChecked(true);

  a_b = makeButton(this, 255, 191, 134, 25);
  F_b = makeButton(this, 395, 191, 25, 25);
  F_b->setText(QStringLiteral("..."));
  D_B = makeButton(this, 255, 222, 164, 25);
  D_B->setToolTip(qs(kRemoveHint));
  Label4 = makeLabel(this, 8, 256);
  rname = new QLineEdit(this);
  rname->setGeometry(8, 270, 412, 21);
  rname->setText(QStringLiteral("My Radio"));
  Label5 = makeLabel(this, 8, 302);
  ling = new QLineEdit(this);
  ling->setGeometry(132, 299, 184, 21);
  ling->setReadOnly(true);
  cp = makeButton(this, 322, 297, 98, 25);

  Bevel1 = new QFrame(this);
  Bevel1->setGeometry(0, 326, 624, 16);
  Bevel1->setFrameShape(QFrame::Panel);
  Bevel1->setFrameShadow(QFrame::Sunken);
  l4 = new QLabel(this);
  l4->setGeometry(1, 328, 517, 13);
  lngs = new QToolButton(this);
  lngs->setGeometry(588, 326, 16, 16);
  lngs->setAutoRaise(true);
  lngs->setIconSize(QSize(16, 16));
  SpeedButton1 = new QToolButton(this);
  SpeedButton1->setGeometry(608, 326, 16, 16);
  SpeedButton1->setAutoRaise(true);
  SpeedButton1->setIconSize(QSize(16, 16));
  SpeedButton1->setIcon(QIcon(QStringLiteral(":/sondrix/about.png")));

  PopupMenu1 = new QMenu(this);
  N1 = PopupMenu1->addAction(QString());
  QFont bold = N1->font();
  bold.setBold(true); // the default item
  N1->setFont(bold);
  N2 = PopupMenu1->addAction(QString());
  N6 = PopupMenu1->addAction(QString());
  N6->setEnabled(false);
  N3 = PopupMenu1->addAction(QString());
  PopupMenu3 = new QMenu(this);
  N7 = PopupMenu3->addAction(QString());
  N8 = PopupMenu3->addAction(QString());
  ti = new QSystemTrayIcon(windowIcon(), this);
  ti->setToolTip(qs(kAppTitle));
  ti->setContextMenu(PopupMenu1);

  PopupMenu2 = new QMenu(this);
  Language1 = PopupMenu2->addAction(qs(kLanguageMenuTitle));
  Language1->setFont(bold);
  N4 = PopupMenu2->addSeparator();
  English1 = PopupMenu2->addAction(QIcon(QStringLiteral(":/sondrix/flag_en.png")),
                                   QStringLiteral("English"));
  N5 = PopupMenu2->addAction(QIcon(QStringLiteral(":/sondrix/flag_ru.png")),
                             QStringLiteral("Русский"));

  Timer1 = new QTimer(this);
  Timer1->setInterval(100);

  connect(b1, &QPushButton::clicked, this, &TSondrixServer::b1Click);
  connect(a_b, &QPushButton::clicked, this, &TSondrixServer::Button1Click);
  connect(F_b, &QPushButton::clicked, this, &TSondrixServer::F_bClick);
  connect(D_B, &QPushButton::clicked, this, &TSondrixServer::Button2Click);
  connect(cp, &QPushButton::clicked, this, &TSondrixServer::cpClick);
  connect(lngs, &QToolButton::clicked, this, &TSondrixServer::lngsClick);
  connect(SpeedButton1, &QToolButton::clicked, this, &TSondrixServer::N2Click);
  connect(English1, &QAction::triggered, this, &TSondrixServer::English1Click);
  connect(N5, &QAction::triggered, this, &TSondrixServer::N5Click);
  connect(N1, &QAction::triggered, this, &TSondrixServer::N1Click);
  connect(N2, &QAction::triggered, this, &TSondrixServer::N2Click);
  connect(N3, &QAction::triggered, this, &TSondrixServer::N3Click);
  connect(nt, &QPushButton::clicked, this, &TSondrixServer::ntClick);
  connect(N6, &QAction::triggered, this, &TSondrixServer::ntClick);
  connect(Timer1, &QTimer::timeout, this, [this] { guarded([this] { FStation->Timer1Timer(); }); });
  auto* nextKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Right), this);
  connect(nextKey, &QShortcut::activated, this, &TSondrixServer::ntClick);
  connect(pl, &QListWidget::itemDoubleClicked, this,
          [this](QListWidgetItem* Item) { PlayNow(pl->row(Item)); });
  connect(pl, &QWidget::customContextMenuRequested, this, [this](const QPoint& At) {
    QListWidgetItem* item = pl->itemAt(At);
    if (item == nullptr || FStation->State() != TBroadcastState::OnAir)
      return;
    const int row = pl->row(item);
    QAction* chosen = PopupMenu3->exec(pl->viewport()->mapToGlobal(At));
    if (chosen == N7)
      PlayNow(row);
    else if (chosen == N8)
      PlayNext(row);
  });
  // A drag within the list moves rows.
  connect(pl->model(), &QAbstractItemModel::rowsMoved, this, [this] { listEdited(); });
  connect(ti, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason Why) {
    if (Why == QSystemTrayIcon::Trigger || Why == QSystemTrayIcon::DoubleClick)
      N1Click();
  });
}

void TSondrixServer::guarded(const std::function<void()>& Handler) {
  try {
    Handler();
  } catch (const std::exception& Error) {
    FHooks.ShowMessage(qs(kAppTitle), qs(Error.what()));
  }
}

void TSondrixServer::loadini() {
  // Both files may fail at one start: each is reported.
  std::vector<std::string> startupErrors;
  try {
    const TIniFile ini(GetSondrixPath() + kSettingsFileName);
    const TStationSettings settings = readSettings(ini);
    move(settings.Left, settings.Top);
    be->setValue(settings.Bitrate);
    mse->setValue(settings.Max);
    pe->setValue(settings.Port);
    cb->setChecked(settings.Random);
    lue->setValue(settings.Loudness.value_or(lue->minimum()));
    xfe->setValue(settings.Crossfade);
    tse->setChecked(settings.TrimSilence);
    FLanguageCode = normalLanguageCode(settings.Language);
    rname->setText(qs(settings.RadioName));
    FStation->SetShowWarning(settings.ShowWarning);
    FMp3Stream = settings.Mp3Stream;
    FIcecastUrl = settings.IcecastUrl;
    FBind = settings.Bind;
  } catch (const std::exception& Error) {
    startupErrors.emplace_back(Error.what());
  }
  const std::string playlist = GetSondrixPath() + kPlaylistFileName;
  try {
    if (QFileInfo::exists(qs(playlist))) {
      const TPlaylistText text = readPlaylistFile(playlist);
      FPlaylistEncoding = text.Encoding;
      for (const std::string& entry : text.Entries)
        appendEntry(entry);
    }
  } catch (const std::exception& Error) {
    startupErrors.emplace_back(Error.what());
  }
  // The texts are set whatever failed above, so the start button always has its caption.
  language(FLanguageCode);
  for (const std::string& error : startupErrors)
    QTimer::singleShot(0, this, [this, error] { FHooks.ShowMessage(qs(kAppTitle), qs(error)); });
}

void TSondrixServer::saveini() {
  FSaved = true;
  const std::string folder = GetSondrixPath();
  try {
    TIniFile ini(folder + kSettingsFileName);
    TStationSettings settings;
    settings.Top = pos().y();
    settings.Left = pos().x();
    settings.Bitrate = spinValue(narrow(be->text()));
    settings.Max = spinValue(narrow(mse->text()));
    settings.Port = spinValue(narrow(pe->text()));
    settings.Random = cb->isChecked();
    settings.Loudness = loudnessTarget();
    settings.Crossfade = xfe->value();
    settings.TrimSilence = tse->isChecked();
    settings.Language = FLanguageCode;
    settings.RadioName = narrow(rname->text());
    settings.ShowWarning = FStation->ShowWarning();
    settings.Mp3Stream = FMp3Stream;
    settings.IcecastUrl = FIcecastUrl;
    settings.Bind = FBind;
    writeSettings(ini, settings);
    ini.UpdateFile();
  } catch (const std::exception& Error) {
    // The operator's list is worth more than the settings: it is saved all the same.
    FHooks.ShowMessage(qs(kAppTitle), qs(Error.what()));
  }
  try {
    std::vector<std::string> entries;
    for (const QString& entry : Entries())
      entries.push_back(narrow(entry));
    writePlaylistFile(folder + kPlaylistFileName, entries, FPlaylistEncoding);
  } catch (const std::exception& Error) {
    FHooks.ShowMessage(qs(kAppTitle), qs(Error.what()));
  }
}

void TSondrixServer::language(const std::string& Code) {
  const TStationTexts& texts = stationTexts(Code);
  gb->setTitle(qs(texts.SettingsCaption));
  Label1->setText(qs(texts.PortCaption));
  Label3->setText(qs(texts.BitrateCaption));
  Label2->setText(qs(texts.MaxListenersCaption));
  cb->setText(qs(texts.ShuffleCaption));
  nt->setText(qs(texts.NextTrackCaption));
  N6->setText(qs(texts.NextTrackCaption));
  N7->setText(qs(texts.PlayNowCaption));
  N8->setText(qs(texts.PlayNextCaption));
  sg->setTitle(qs(texts.SoundCaption));
  Label6->setText(qs(texts.LoudnessCaption));
  lue->setSpecialValueText(qs(texts.LoudnessOffText));
  Label7->setText(qs(texts.CrossfadeCaption));
  tse->setText(qs(texts.TrimCaption));
  a_b->setText(qs(texts.AddTracksCaption));
  F_b->setToolTip(qs(texts.AddFolderHint));
  D_B->setText(qs(texts.RemoveCaption));
  N1->setText(qs(texts.ShowCaption));
  N2->setText(qs(texts.AboutCaption));
  N3->setText(qs(texts.ExitCaption));
  FPortCheckBase = portCheckBase(texts.PortCheckPage, FHooks.AddressLookup());
  Label5->setText(qs(texts.LinkCaption));
  Label4->setText(qs(texts.NameCaption));
  cp->setText(qs(texts.CheckPortCaption));
  for (QLabel* label : {Label1, Label2, Label3, Label4, Label5, Label6, Label7})
    label->adjustSize();
  lngs->setIcon(QIcon(texts.Code == "ru" ? QStringLiteral(":/sondrix/flag_ru.png")
                                         : QStringLiteral(":/sondrix/flag_en.png")));
  FStation->SetTexts(texts);
}

QStringList TSondrixServer::Entries() const {
  QStringList entries;
  for (int i = 0; i < pl->count(); ++i)
    entries.append(pl->item(i)->data(kPathRole).toString());
  return entries;
}

void TSondrixServer::appendEntry(const std::string& Path) {
  auto* item = new QListWidgetItem(qs(displayName(Path)), pl);
  item->setData(kPathRole, qs(Path));
  item->setData(kKeyRole, QVariant::fromValue<qulonglong>(FNextKey++));
  item->setToolTip(qs(Path));
}

void TSondrixServer::listEdited() {
  guarded([this] { FStation->ListChanged(); });
}

QListWidgetItem* TSondrixServer::itemOfKey(std::uint64_t Key) const {
  for (int i = 0; i < pl->count(); ++i)
    if (pl->item(i)->data(kKeyRole).toULongLong() == Key)
      return pl->item(i);
  return nullptr;
}

void TSondrixServer::addtopl(const QStringList& Paths) {
  std::vector<std::string> paths;
  for (const QString& path : Paths)
    paths.push_back(narrow(path));
  try {
    sondrix::addtopl(paths, [this](const std::string& Path) { appendEntry(Path); });
  } catch (const EPlaylistUrls& Urls) {
    listEdited(); // what came beside the refused addresses joined all the same
    throw std::runtime_error(refusedUrlsText(FStation->Texts(), Urls.Entries()));
  } catch (...) {
    listEdited();
    throw;
  }
  listEdited();
}

void TSondrixServer::ScanFolder(const QString& Folder) {
  FScanning = true;
  try {
    sondrix::ScanFolder(
        narrow(Folder), [this](const std::string& Path) { appendEntry(Path); },
        [this] {
          QCoreApplication::processEvents();
          return !FCloseAfterScan;
        });
  } catch (...) {
    FScanning = false;
    throw;
  }
  FScanning = false;
  listEdited();
  if (FCloseAfterScan)
    QTimer::singleShot(0, this, &QWidget::close);
}

void TSondrixServer::WMDropFiles(const QStringList& Paths) {
  for (const QString& path : Paths) {
    const std::string file = narrow(path);
    if (acceptsDroppedFile(file))
      appendEntry(file);
    else if (isPlaylistFile(file) && QFileInfo(path).isFile())
      guarded([this, &path] { addtopl({path}); });
  }
  listEdited();
}

QString TSondrixServer::PortCheckAddress() const {
  return qs(FPortCheckBase) + pe->text();
}

// Slots

void TSondrixServer::b1Click() {
  guarded([this] { FStation->b1Click(); });
}

void TSondrixServer::Button1Click() {
  guarded([this] {
    const QStringList chosen = FHooks.OpenFiles();
    if (!chosen.isEmpty())
      addtopl(chosen);
  });
}

void TSondrixServer::F_bClick() {
  if (FScanning)
    return;
  guarded([this] {
    const QString folder = FHooks.PickFolder();
    if (!folder.isEmpty())
      ScanFolder(folder);
  });
}

void TSondrixServer::Button2Click() {
  const QList<QListWidgetItem*> selected = pl->selectedItems();
  for (QListWidgetItem* item : selected)
    delete pl->takeItem(pl->row(item));
  if (!selected.isEmpty())
    listEdited();
}

void TSondrixServer::ntClick() {
  guarded([this] { FStation->NextTrack(); });
}

void TSondrixServer::PlayNow(int Row) {
  if (QListWidgetItem* item = pl->item(Row))
    guarded([this, item] { FStation->PlayNow(item->data(kKeyRole).toULongLong()); });
}

void TSondrixServer::PlayNext(int Row) {
  if (QListWidgetItem* item = pl->item(Row))
    guarded([this, item] { FStation->PlayNext(item->data(kKeyRole).toULongLong()); });
}

void TSondrixServer::MoveSelection(int Delta) {
  QList<int> rows;
  for (QListWidgetItem* item : pl->selectedItems())
    rows.append(pl->row(item));
  std::sort(rows.begin(), rows.end());
  if (rows.isEmpty() || (Delta < 0 && rows.front() == 0) ||
      (Delta > 0 && rows.back() == pl->count() - 1))
    return;
  if (Delta > 0)
    std::reverse(rows.begin(), rows.end());
  const int current = pl->currentRow();
  for (int row : rows) {
    QListWidgetItem* item = pl->takeItem(row);
    pl->insertItem(row + Delta, item);
    item->setSelected(true);
  }
  if (current >= 0)
    pl->setCurrentRow(current + Delta, QItemSelectionModel::NoUpdate);
  listEdited();
}

void TSondrixServer::cpClick() {
  FHooks.OpenUrl(PortCheckAddress());
}

void TSondrixServer::lngsClick() {
  PopupMenu2->popup(QCursor::pos());
}

void TSondrixServer::English1Click() {
  FLanguageCode = "en";
  language(FLanguageCode);
}

void TSondrixServer::N5Click() {
  FLanguageCode = "ru";
  language(FLanguageCode);
}

void TSondrixServer::N1Click() {
  restore_app();
}

void TSondrixServer::N2Click() {
  QMessageBox::about(this, qs(kAppTitle), qs(kAboutText));
}

void TSondrixServer::N3Click() {
  // Closing a hidden window (the station in the tray) does not end the event loop.
  FExitRequested = true;
  if (close())
    QCoreApplication::quit();
}

void TSondrixServer::minimize_app() {
  // Without a system tray the window would be lost: it stays a normal minimised window.
  if (!QSystemTrayIcon::isSystemTrayAvailable())
    return;
  hide();
  ti->show();
}

void TSondrixServer::restore_app() {
  showNormal();
  ti->hide();
  raise();
  activateWindow();
}

// Events

void TSondrixServer::closeEvent(QCloseEvent* Event) {
  if (FScanning) {
    // The scan runs inside this window's event processing; close once it has unwound.
    FCloseAfterScan = true;
    Event->ignore();
    return;
  }
  FStation->StopAndWait();
  saveini();
  ti->hide();
  Event->accept();
  if (FExitRequested) // a tray Exit that waited for a scan to unwind
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
}

void TSondrixServer::changeEvent(QEvent* Event) {
  if (Event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized))
    QTimer::singleShot(0, this, &TSondrixServer::minimize_app);
  QWidget::changeEvent(Event);
}

void TSondrixServer::dragEnterEvent(QDragEnterEvent* Event) {
  if (Event->mimeData()->hasUrls())
    Event->acceptProposedAction();
}

void TSondrixServer::dropEvent(QDropEvent* Event) {
  QStringList paths;
  for (const QUrl& url : Event->mimeData()->urls())
    if (url.isLocalFile())
      paths.append(url.toLocalFile());
  WMDropFiles(paths);
  Event->acceptProposedAction();
}

bool TSondrixServer::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched == pl && Event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(Event);
    if (key->key() == Qt::Key_Delete) {
      Button2Click();
      return true;
    }
    if (key->matches(QKeySequence::SelectAll)) {
      pl->selectAll();
      return true;
    }
    if ((key->modifiers() & Qt::AltModifier) &&
        (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down)) {
      MoveSelection(key->key() == Qt::Key_Up ? -1 : 1);
      return true;
    }
  }
  return QWidget::eventFilter(Watched, Event);
}

// The station core's view

TStationControls TSondrixServer::Controls() const {
  TStationControls controls;
  for (int i = 0; i < pl->count(); ++i) {
    controls.Entries.push_back(narrow(pl->item(i)->data(kPathRole).toString()));
    controls.Keys.push_back(pl->item(i)->data(kKeyRole).toULongLong());
  }
  controls.PortText = narrow(pe->text());
  controls.BitrateText = narrow(be->text());
  controls.MaxText = narrow(mse->text());
  controls.Shuffle = cb->isChecked();
  if (const std::optional<std::int32_t> target = loudnessTarget())
    controls.Loudness = *target;
  else
    controls.Loudness.reset();
  controls.Crossfade = xfe->value();
  controls.TrimSilence = tse->isChecked();
  controls.RadioName = narrow(rname->text());
  controls.Mp3Stream = FMp3Stream;
  controls.BindAddress = FBind;
  if (!FIcecastUrl.empty())
    controls.IcecastUrls.push_back(FIcecastUrl);
  return controls;
}

void TSondrixServer::SetCaption(const std::string& Caption) {
  b1->setText(qs(Caption));
}

void TSondrixServer::SetTitle(const std::string& Title) {
  setWindowTitle(qs(Title));
}

void TSondrixServer::SetLink(const std::string& Link) {
  ling->setText(qs(Link));
  ling->setCursorPosition(0); // the mms:// link first; the MP3 link follows it
}

void TSondrixServer::SetStatus(const std::string& Text) {
  l4->setText(qs(Text));
}

void TSondrixServer::ShowOnAir(std::optional<std::uint64_t> OnAir,
                               std::optional<std::uint64_t> Next) {
  for (int i = 0; i < pl->count(); ++i)
    pl->item(i)->setData(kMarkRole, QVariant());
  if (Next)
    if (QListWidgetItem* item = itemOfKey(*Next))
      item->setData(kMarkRole, kUpNext);
  if (OnAir)
    if (QListWidgetItem* item = itemOfKey(*OnAir)) {
      item->setData(kMarkRole, kOnAir);
      pl->scrollToItem(item);
    }
}

void TSondrixServer::Lock(bool OnAir) {
  // What needs a new broadcast stays as it was started; the list and the name stay open.
  for (QWidget* control : std::initializer_list<QWidget*>{Label1, Label2, Label3, pe, be, mse, cb,
                                                          Label6, Label7, lue, xfe, tse})
    control->setEnabled(!OnAir);
  nt->setEnabled(OnAir);
  N6->setEnabled(OnAir);
  if (OnAir)
    Timer1->start();
  else
    Timer1->stop();
}

std::optional<std::int32_t> TSondrixServer::loudnessTarget() const {
  if (lue->value() < kLoudnessMin)
    return std::nullopt;
  return lue->value();
}

bool TSondrixServer::ShowPortWarning() {
  return !FHooks.PortWarning();
}

QFont windowFont(const QFont& Base) {
  QFont font = Base;
  font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans")});
  font.setPixelSize(11);
  // A condensed stretch keeps the Russian captions of a wider sans inside controls sized for
  // Tahoma; Tahoma itself is drawn as it is.
  if (QFontInfo(font).family() != QStringLiteral("Tahoma"))
    font.setStretch(QFont::Condensed);
  return font;
}

void configureApplication() {
  initWindowResources();
  QApplication::setApplicationName(QString::fromUtf8(kAppTitle));
  // No display name: the platform would append it to every title, which already says it.
  QApplication::setWindowIcon(stationIcon());
  // Ties the windows to the installed menu entry (its name and icon under Wayland).
  QGuiApplication::setDesktopFileName(QStringLiteral("sondrix-station"));
}

void installQtDispatcher() {
  setMainThreadDispatcher(makeQueueDispatcher([] {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { pumpPending(); }, Qt::QueuedConnection);
  }));
}

} // namespace sondrix
