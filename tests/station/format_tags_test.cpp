// Every audio format the station accepts, through the station's own chain (its MP3 input, which
// reads any format, and the playlist): it decodes, and its own tags reach the item as ID3 does.

#include "audio/audio_play_list.h"
#include "base/text.h"
#include "temp_folder.h"
#include "winmedia/mp3_in.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace sondrix {
namespace {

using testing::TempFolder;

struct Format {
  const char* File;
  const char* Codec;
};

TEST(FormatTags, EveryFormatDecodesAndItsOwnTagsReachTheItem) {
  // Vorbis comments (FLAC, Ogg, Opus), MP4 atoms, ASF attributes, RIFF INFO, and ID3 to compare.
  const std::vector<Format> formats = {{"t.mp3", "libmp3lame -id3v2_version 3"},
                                       {"t.flac", "flac"},
                                       {"t.ogg", "libvorbis"},
                                       {"t.opus", "libopus"},
                                       {"t.m4a", "aac"},
                                       {"t.wav", "pcm_s16le"},
                                       {"t.wma", "wmav2"},
                                       {"T.FLAC", "flac"}};
  TempFolder dir;
  std::vector<std::string> files;
  for (const Format& format : formats) {
    files.push_back(dir / format.File);
    const std::string command =
        std::string("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:duration=0.5 ") +
        "-metadata artist=\"Артист Ä\" -metadata title=\"Title ü\" -metadata album=Album "
        "-metadata genre=Genre -metadata date=2021 -c:a " +
        format.Codec + " " + files.back();
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }

  auto owner = MakeComponent<TComponent>();
  auto* in = new TMP3In(owner.get());
  auto* list = new TAudioPlayList(owner.get());
  list->SetInput(in);
  list->SetFiles(files);
  list->Init();
  std::size_t item = 0;
  std::uint64_t bytes = 0;
  for (;;) {
    void* data = nullptr;
    std::uint32_t size = 65536;
    const std::uint64_t serial = list->ItemSerial();
    list->GetData(data, size);
    if (serial != list->ItemSerial() || size == 0) {
      // The item that just ended: it gave sound, and its tags were read.
      SCOPED_TRACE(formats[item].File);
      const std::optional<TPlayItem> played = list->PlayItem(serial);
      ASSERT_TRUE(played.has_value());
      EXPECT_EQ(played->Path, files[item]);
      EXPECT_GT(bytes, 0u);
      EXPECT_EQ(toNarrow(played->Artist), "Артист Ä");
      EXPECT_EQ(toNarrow(played->Title), "Title ü");
      EXPECT_EQ(toNarrow(played->Album), "Album");
      EXPECT_EQ(toNarrow(played->Genre), "Genre");
      EXPECT_EQ(played->Year.substr(0, 4), "2021");
      ++item;
      bytes = size;
    } else {
      bytes += size;
    }
    if (size == 0)
      break;
  }
  list->Flush();
  EXPECT_EQ(item, formats.size());
}

} // namespace
} // namespace sondrix
