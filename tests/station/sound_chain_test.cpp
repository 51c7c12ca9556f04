// The broadcast chain's sound as the encoders get it: real MP3 files through the MP3 input,
// the playlist, the one-format converter and the sound stage.

#include "audio/audio_play_list.h"
#include "sound/sound_stage.h"
#include "sound/track_analyzer.h"
#include "temp_folder.h"
#include "winmedia/au_format_converter.h"
#include "winmedia/mp3_in.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>

namespace sondrix {
namespace {

using testing::TempFolder;

constexpr double kHz = 441.0;

void ffmpeg(const std::string& Args) {
  const std::string command = "ffmpeg -nostdin -v error -y " + Args;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// One 441 Hz tone of amplitude 0.5 (stereo, 44.1 kHz), frames [From, To) of it, LAME-encoded.
void toneCut(const std::string& Path, int From, int To) {
  ffmpeg("-f lavfi -i \"aevalsrc=0.5*sin(2*PI*441*t):s=44100:c=stereo:d=10\" -af "
         "atrim=start_sample=" +
         std::to_string(From) + ":end_sample=" + std::to_string(To) +
         " -c:a libmp3lame -b:a 256k " + Path);
}

struct Chain {
  ComponentPtr<TComponent> owner = MakeComponent<TComponent>();
  TMP3In* in = new TMP3In(owner.get());
  TAudioPlayList* list = new TAudioPlayList(owner.get());
  TAuFormatConverter* conv = new TAuFormatConverter(owner.get());
  TSoundStage* stage = new TSoundStage(owner.get());

  Chain(const std::vector<std::string>& Files, const SoundParams& Params) {
    // As the station sets its input up.
    in->SetLoop(false);
    in->SetEndSample(-1);
    in->SetHighPrecision(true);
    in->SetOutputChannels(TChannelsNumber::cnMaxAvailable);
    list->SetInput(in);
    list->SetFiles(Files);
    conv->SetInput(list);
    stage->SetInput(conv);
    stage->SetItemLookup([this](std::uint64_t Serial) -> std::optional<SoundItem> {
      if (const std::optional<TPlayItem> item = list->PlayItem(Serial))
        return SoundItem{item->Path, item->ListSize};
      return std::nullopt;
    });
    stage->SetParams(Params);
  }

  // Everything to the end of the list, as floats, with the frame where each item is heard.
  std::vector<float> play(std::vector<std::size_t>* Heard = nullptr) {
    stage->Init();
    std::vector<float> out;
    std::uint64_t serial = 0;
    for (;;) {
      void* p = nullptr;
      std::uint32_t bytes = 14112;
      stage->GetData(p, bytes);
      if (bytes == 0)
        break;
      const auto* s = static_cast<const std::int16_t*>(p);
      for (std::size_t i = 0; i < bytes / 2; ++i)
        out.push_back(s[i] / 32768.0f);
      if (Heard != nullptr && stage->AudibleSerial() != serial) {
        serial = stage->AudibleSerial();
        Heard->push_back(out.size() / 2);
      }
    }
    stage->Flush();
    return out;
  }
};

// Level of Hz in the left channel over frames [From, From + N) (amplitude).
double toneLevel(const std::vector<float>& S, double Hz, std::size_t From, std::size_t N) {
  double re = 0, im = 0;
  for (std::size_t i = 0; i < N; ++i) {
    const double a = 2 * std::numbers::pi * Hz * static_cast<double>(i) / 44100;
    re += S[2 * (From + i)] * std::cos(a);
    im += S[2 * (From + i)] * std::sin(a);
  }
  return 2 * std::hypot(re, im) / static_cast<double>(N);
}

TEST(SoundChain, AGaplessPairPlaysAsOneToneAndOtherRatesFollowAtTheirOwnPitch) {
  TempFolder dir;
  // Cut at a frame no MP3 frame boundary meets: only the declared delay and padding, left out
  // by the decoder, make the pair join without a gap or a doubled stretch.
  const int cut = 150001;
  const int end = 310000;
  toneCut(dir / "a1.mp3", 0, cut);
  toneCut(dir / "a2.mp3", cut, end);
  ffmpeg("-f lavfi -i \"aevalsrc=0.5*sin(2*PI*1000*t):s=48000:c=stereo:d=2\" -c:a libmp3lame "
         "-b:a 192k " +
         dir / "s48.mp3");
  ffmpeg("-f lavfi -i \"aevalsrc=0.5*sin(2*PI*1500*t):s=22050:c=mono:d=2\" -c:a libmp3lame "
         "-b:a 64k " +
         dir / "m22.mp3");
  SoundParams exact; // no gain, so what comes out is what the decoder gave
  exact.TargetLufs.reset();
  Chain chain({dir / "a1.mp3", dir / "a2.mp3", dir / "s48.mp3", dir / "m22.mp3"}, exact);
  std::vector<std::size_t> heard;
  const std::vector<float> out = chain.play(&heard);
  ASSERT_EQ(heard.size(), 4u);
  // The pair: exactly its frames, and the tone goes on across the join as if never cut.
  const std::size_t pairEnd = heard[2] - 1;
  EXPECT_NEAR(static_cast<double>(pairEnd), end, 3528); // the next item is seen a block late
  double worst = 0;
  for (int i = cut - 2000; i < cut + 2000; ++i) {
    const double ideal = 0.5 * std::sin(2 * std::numbers::pi * kHz * i / 44100);
    worst = std::max(worst, std::abs(out[2 * static_cast<std::size_t>(i)] - ideal));
  }
  // A single frame dropped or doubled at the join moves the tone by 0.031.
  EXPECT_LT(worst, 0.01) << "the join is not seamless";
  // Where the 48 kHz file starts the pair has ended, sample-exact.
  EXPECT_GE(toneLevel(out, kHz, end - 4410, 4410), 0.45);
  EXPECT_LT(toneLevel(out, 1000, end - 4410, 4410), 0.01);
  // 2 s at 48 kHz and 2 s of 22.05 kHz mono, each at its own pitch and length at 44.1 kHz.
  const std::size_t total = out.size() / 2;
  EXPECT_NEAR(static_cast<double>(total - end), 4 * 44100, 44100 * 0.02);
  EXPECT_GE(toneLevel(out, 1000, end + 22050, 22050), 0.45);
  EXPECT_GE(toneLevel(out, 1500, end + 2 * 44100 + 22050, 22050), 0.45);
  // Mono reaches both channels alike.
  const std::size_t mid = end + 3 * 44100;
  EXPECT_FLOAT_EQ(out[2 * mid], out[2 * mid + 1]);
  // Nothing silent between any two of them.
  for (std::size_t at = 0; at + 441 < total; at += 441) {
    double sum = 0;
    for (std::size_t i = 0; i < 441; ++i)
      sum += out[2 * (at + i)] * out[2 * (at + i)];
    ASSERT_GT(sum / 441, 1e-3) << "silence at " << static_cast<double>(at) / 44100 << " s";
  }
}

} // namespace
} // namespace sondrix
