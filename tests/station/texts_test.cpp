#include "station/station_texts.h"

#include <gtest/gtest.h>

namespace sondrix {
namespace {

using Field = std::string TStationTexts::*;

const std::vector<std::pair<const char*, Field>> kFields = {
    {"Code", &TStationTexts::Code},
    {"StartText", &TStationTexts::StartText},
    {"StopText", &TStationTexts::StopText},
    {"StoppingText", &TStationTexts::StoppingText},
    {"SettingsCaption", &TStationTexts::SettingsCaption},
    {"PortCaption", &TStationTexts::PortCaption},
    {"BitrateCaption", &TStationTexts::BitrateCaption},
    {"MaxListenersCaption", &TStationTexts::MaxListenersCaption},
    {"ShuffleCaption", &TStationTexts::ShuffleCaption},
    {"AddTracksCaption", &TStationTexts::AddTracksCaption},
    {"AddFolderHint", &TStationTexts::AddFolderHint},
    {"RemoveCaption", &TStationTexts::RemoveCaption},
    {"ShowCaption", &TStationTexts::ShowCaption},
    {"AboutCaption", &TStationTexts::AboutCaption},
    {"ExitCaption", &TStationTexts::ExitCaption},
    {"ListenersText", &TStationTexts::ListenersText},
    {"LinkCaption", &TStationTexts::LinkCaption},
    {"NameCaption", &TStationTexts::NameCaption},
    {"CheckPortCaption", &TStationTexts::CheckPortCaption},
    {"WarningText", &TStationTexts::WarningText},
    {"WarningTitle", &TStationTexts::WarningTitle},
    {"DontShowText", &TStationTexts::DontShowText},
    {"PortCheckPage", &TStationTexts::PortCheckPage},
    {"EndedText", &TStationTexts::EndedText},
    {"UrlsRefusedText", &TStationTexts::UrlsRefusedText},
    {"SupportedFilesFilter", &TStationTexts::SupportedFilesFilter},
    {"AudioFilesFilter", &TStationTexts::AudioFilesFilter},
    {"PlaylistsFilter", &TStationTexts::PlaylistsFilter},
    {"IcecastConnectedText", &TStationTexts::IcecastConnectedText},
    {"IcecastRetryText", &TStationTexts::IcecastRetryText},
    {"IcecastSecondsText", &TStationTexts::IcecastSecondsText},
    {"IcecastLostText", &TStationTexts::IcecastLostText},
    {"IcecastLoginRefusedText", &TStationTexts::IcecastLoginRefusedText},
    {"IcecastMountRefusedText", &TStationTexts::IcecastMountRefusedText},
    {"IcecastNotFoundText", &TStationTexts::IcecastNotFoundText},
    {"IcecastBadRequestText", &TStationTexts::IcecastBadRequestText},
    {"IcecastRefusedText", &TStationTexts::IcecastRefusedText},
    {"IcecastServerErrorText", &TStationTexts::IcecastServerErrorText},
    {"IcecastUnreachableText", &TStationTexts::IcecastUnreachableText},
    {"IcecastTimedOutText", &TStationTexts::IcecastTimedOutText},
    {"IcecastUnusableText", &TStationTexts::IcecastUnusableText},
    {"IcecastUnusableReasonText", &TStationTexts::IcecastUnusableReasonText},
};

TEST(Texts, BothLanguagesFillEveryTextWithTheirOwnWords) {
  const TStationTexts& en = stationTexts("en");
  const TStationTexts& ru = stationTexts("ru");
  for (const auto& [name, field] : kFields) {
    EXPECT_FALSE(en.*field == "" || ru.*field == "") << name;
    EXPECT_NE(en.*field, ru.*field) << name;
  }
  for (const TStationTexts* texts : {&en, &ru}) {
    // The start button's states are told apart by these three captions.
    EXPECT_NE(texts->StartText, texts->StopText);
    EXPECT_NE(texts->StopText, texts->StoppingText);
    EXPECT_NE(texts->StartText, texts->StoppingText);
    EXPECT_EQ(texts->ListenersText.back(), ' ') << "the count follows after a blank";
  }
  EXPECT_EQ(en.Code, "en");
  EXPECT_EQ(ru.Code, "ru");
  EXPECT_EQ(en.StartText, "Start");
  EXPECT_EQ(en.StoppingText, "Stopping...");
  EXPECT_EQ(en.ListenersText, "Listeners: ");
  EXPECT_EQ(ru.StartText, "Запуск");
  EXPECT_EQ(ru.StopText, "Остановка");
  EXPECT_EQ(ru.StoppingText, "Остановка...");
  EXPECT_EQ(ru.MaxListenersCaption, "Макс. слуш.");
  EXPECT_EQ(ru.RemoveCaption, "Удалить выделенное");
  EXPECT_EQ(ru.ListenersText, "Слушателей: ");
  EXPECT_EQ(ru.WarningText, "Пожалуйста, не забудьте проверить порт.");
}

TEST(Texts, UnknownCodesSpeakEnglish) {
  for (const char* code : {"", "EN", "Ru", "ru ", "de", "russian"}) {
    EXPECT_EQ(&stationTexts(code), &stationTexts("en")) << code;
    EXPECT_EQ(normalLanguageCode(code), "en") << code;
  }
  EXPECT_EQ(normalLanguageCode("ru"), "ru");
}

TEST(Texts, PortCheckAddressEndsInAddressAndPort) {
  const std::string address = "203.0.113.5";
  for (const char* code : {"en", "ru"}) {
    const std::string& page = stationTexts(code).PortCheckPage;
    const std::string url = portCheckBase(page, address) + "8098";
    EXPECT_EQ(url.rfind(page, 0), 0u) << url;
    EXPECT_TRUE(url.ends_with("#l:port:data:" + address + "|8098")) << url;
  }
  EXPECT_EQ(stationTexts("en").PortCheckPage, "https://portchecker.co/");
  EXPECT_EQ(stationTexts("ru").PortCheckPage, "https://portchecker.co/ru/");
  EXPECT_EQ(portCheckBase("https://p/", ""), "https://p/#l:port:data:|");
}

} // namespace
} // namespace sondrix
