// The playlist playing real MP3 files through one MP3 input, as the station does.

#include "fixtures.h"
#include "wm_in_helpers.h"

#include "audio/audio_play_list.h"
#include "base/text.h"
#include "tags/common_tags.h"
#include "tests/audio/test_doubles.h"
#include "winmedia/mp3_in.h"

#include <gtest/gtest.h>

namespace sondrix::testing {
namespace {

TEST(WMInPlayList, ThreeMp3FilesPlayEndToEnd) {
  TempDir dir("wm-in-playlist");
  const double seconds[3] = {1.0, 1.5, 0.7};
  const double tones[3] = {330, 550, 770};
  std::vector<std::string> files;
  std::vector<std::uint8_t> expected;
  auto single = MakeComponent<TMP3In>();
  for (int i = 0; i < 3; ++i) {
    ToneOptions tone;
    tone.frequency = tones[i];
    tone.seconds = seconds[i];
    tone.codecArgs = {"-c:a", "libmp3lame", "-b:a", "128k"};
    tone.metadata = {{"title", "Track " + std::to_string(i + 1)}};
    files.push_back((dir / ("t" + std::to_string(i + 1) + ".mp3")).string());
    makeToneFile(files.back(), tone);
    single->SetFileName(files.back());
    const auto pcm = playThrough(*single);
    ASSERT_NEAR(static_cast<double>(pcm.size()) / 4 / 44100, seconds[i], 0.03);
    expected.insert(expected.end(), pcm.begin(), pcm.end());
  }

  auto mp3 = MakeComponent<TMP3In>();
  auto list = MakeComponent<TAudioPlayList>();
  auto out = MakeComponent<RecordingOutput>();
  out->BlockSize = 4096;
  list->SetInput(mp3.get());
  list->SetFiles(files);
  int changes = 0;
  int done = 0;
  list->OnPlayItemChanged = [&](TComponent*) { ++changes; };
  out->OnDone = [&](TComponent*) { ++done; };
  out->SetInput(list.get());
  out->Run();
  ASSERT_TRUE(pumpUntil([&] { return done > 0; }, std::chrono::seconds(30)));
  // Events posted before the end may still be on their way.
  EXPECT_TRUE(pumpUntil([&] { return changes == 3; }, std::chrono::seconds(5)));
  EXPECT_EQ(changes, 3);
  EXPECT_EQ(out->ExceptionMessage(), "");
  EXPECT_EQ(list->CurrentItem(), 2);
  std::lock_guard lock(out->DataMutex);
  EXPECT_EQ(out->Data.size(), expected.size());
  EXPECT_TRUE(out->Data == expected) << "the files' samples did not all arrive in order";
  // The input was left on the last file, with its tags.
  EXPECT_EQ(mp3->FileName(), files[2]);
  EXPECT_TRUE(mp3->Valid());
  EXPECT_EQ(toNarrow(mp3->CommonTags()->Title()), "Track 3");
}

} // namespace
} // namespace sondrix::testing
