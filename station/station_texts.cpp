#include "station/station_texts.h"

namespace sondrix {

namespace {

// Built on first use, so texts asked for during another file's start-up are already there.
const TStationTexts& english() {
  static const TStationTexts texts{
      .Code = "en",
      .StartText = "Start",
      .StopText = "Stop",
      .StoppingText = "Stopping...",
      .SettingsCaption = "Settings",
      .PortCaption = "Port",
      .BitrateCaption = "Bitrate",
      .MaxListenersCaption = "Max.listen.",
      .ShuffleCaption = "Shuffle",
      .AddTracksCaption = "Add tracks...",
      .AddFolderHint = "Add from folder...",
      .RemoveCaption = "Remove selection",
      .ShowCaption = "Show",
      .AboutCaption = "About...",
      .ExitCaption = "Exit",
      .ListenersText = "Listeners: ",
      .LinkCaption = "Link to the broadcast",
      .NameCaption = "Radio name",
      .CheckPortCaption = "Check port",
      .WarningText = "Please do not forget to check the port.",
      .WarningTitle = "Warning",
      .DontShowText = "Do not show this window",
      .PortCheckPage = "https://portchecker.co/",
      .EndedText = "The broadcast ended: no track gave any more sound.",
      .SoundCaption = "Sound",
      .LoudnessCaption = "Loudness, LUFS",
      .LoudnessOffText = "off",
      .CrossfadeCaption = "Crossfade, s",
      .TrimCaption = "Trim silence",
      .BindBadText = "The address to listen on, ",
      .BindBadReasonText = ", is not an IPv4 or IPv6 address",
      .NextTrackCaption = "Next track",
      .PlayNowCaption = "Play now",
      .PlayNextCaption = "Play next",
      .SilentSkippedText = ": nothing but silence, skipped",
      .UrlsRefusedText = "Web addresses cannot be added, only files on this computer:",
      .SupportedFilesFilter = "All supported files",
      .AudioFilesFilter = "Audio files",
      .PlaylistsFilter = "Playlists",
      .IcecastConnectedText = "connected",
      .IcecastRetryText = ", retrying in ",
      .IcecastSecondsText = " s",
      .IcecastLostText = "connection lost",
      .IcecastLoginRefusedText = "login refused (401)",
      .IcecastMountRefusedText = "mount refused (403: wrong mount, or another source has it)",
      .IcecastNotFoundText = "not found (404)",
      .IcecastBadRequestText = "request refused (400)",
      .IcecastRefusedText = "request refused (4xx)",
      .IcecastServerErrorText = "server error (5xx)",
      .IcecastUnreachableText = "server not reachable (connection refused)",
      .IcecastTimedOutText = "timed out",
      .IcecastUnusableText = "Icecast address ",
      .IcecastUnusableReasonText = " is not usable: ",
  };
  return texts;
}

const TStationTexts& russian() {
  static const TStationTexts texts{
      .Code = "ru",
      .StartText = "Запуск",
      .StopText = "Остановка",
      .StoppingText = "Остановка...",
      .SettingsCaption = "Настройки",
      .PortCaption = "Порт",
      .BitrateCaption = "Битрейт",
      .MaxListenersCaption = "Макс. слуш.",
      .ShuffleCaption = "Перемешать",
      .AddTracksCaption = "Добавить треки...",
      .AddFolderHint = "Добавить треки из папки...",
      .RemoveCaption = "Удалить выделенное",
      .ShowCaption = "Показать окно",
      .AboutCaption = "О программе...",
      .ExitCaption = "Выход",
      .ListenersText = "Слушателей: ",
      .LinkCaption = "Ссылка на трансляцию",
      .NameCaption = "Название радиостанции",
      .CheckPortCaption = "Проверка порта",
      .WarningText = "Пожалуйста, не забудьте проверить порт.",
      .WarningTitle = "Внимание",
      .DontShowText = "Не показывать это окно",
      .PortCheckPage = "https://portchecker.co/ru/",
      .EndedText = "Трансляция завершена: треки больше не звучат.",
      .SoundCaption = "Звук",
      .LoudnessCaption = "Громкость, LUFS",
      .LoudnessOffText = "выкл.",
      .CrossfadeCaption = "Переход, с",
      .TrimCaption = "Убирать тишину",
      .BindBadText = "Адрес для приёма слушателей ",
      .BindBadReasonText = " не является адресом IPv4 или IPv6",
      .NextTrackCaption = "Следующий трек",
      .PlayNowCaption = "Играть сейчас",
      .PlayNextCaption = "Играть следующим",
      .SilentSkippedText = ": только тишина, пропущен",
      .UrlsRefusedText = "Веб-адреса не добавляются, только файлы этого компьютера:",
      .SupportedFilesFilter = "Все поддерживаемые файлы",
      .AudioFilesFilter = "Звуковые файлы",
      .PlaylistsFilter = "Списки воспроизведения",
      .IcecastConnectedText = "подключено",
      .IcecastRetryText = ", новая попытка через ",
      .IcecastSecondsText = " с",
      .IcecastLostText = "связь потеряна",
      .IcecastLoginRefusedText = "вход отклонён (401)",
      .IcecastMountRefusedText =
          "точка монтирования отклонена (403: неверная, или её занял другой источник)",
      .IcecastNotFoundText = "не найдено (404)",
      .IcecastBadRequestText = "запрос отклонён (400)",
      .IcecastRefusedText = "запрос отклонён (4xx)",
      .IcecastServerErrorText = "ошибка сервера (5xx)",
      .IcecastUnreachableText = "сервер недоступен (соединение отклонено)",
      .IcecastTimedOutText = "время ожидания истекло",
      .IcecastUnusableText = "Адрес Icecast ",
      .IcecastUnusableReasonText = " не подходит: ",
  };
  return texts;
}

} // namespace

const TStationTexts& stationTexts(const std::string& Code) {
  return Code == "ru" ? russian() : english();
}

std::string normalLanguageCode(const std::string& Code) {
  return stationTexts(Code).Code;
}

std::string refusedUrlsText(const TStationTexts& Texts, const std::vector<std::string>& Entries) {
  std::string text = Texts.UrlsRefusedText;
  for (const std::string& entry : Entries)
    text += "\n" + entry;
  return text;
}

std::string portCheckBase(const std::string& Page, const std::string& Address) {
  return Page + "#l:port:data:" + Address + "|";
}

} // namespace sondrix
