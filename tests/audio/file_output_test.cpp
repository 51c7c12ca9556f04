#include "audio/au_file_out.h"
#include "audio/au_file_stream.h"
#include "raw_pcm_source.h"
#include "tags/id3v2_tags.h"
#include "test_doubles.h"

#include <gtest/gtest.h>

namespace sondrix::testing {
namespace {

// Writes its input's PCM as it comes, to a stream handed in or to its own file.
class RawFileOut : public TAuTaggedFileOut {
public:
  using TAuTaggedFileOut::TAuTaggedFileOut;

protected:
  void StartOutput() override {
    FInput->Init();
    if (!FStreamAssigned) {
      FOwn = std::make_unique<TAuFileStream>(FWideFileName, TAuFileStream::fmCreate);
      FTarget = FOwn.get();
    } else {
      FTarget = FStream;
    }
  }
  bool WriteBlock(bool Abort) override {
    if (Abort)
      return false;
    char block[100];
    bool eof = false;
    const std::uint32_t n = FInput->FillBuffer(block, sizeof block, eof);
    FTarget->Write(block, n);
    return !eof;
  }
  void FinishOutput() override {
    FInput->Flush();
    FOwn.reset();
    FTarget = nullptr;
  }

private:
  std::unique_ptr<TAuFileStream> FOwn;
  TStream* FTarget = nullptr;
};

std::vector<std::uint8_t> readAll(const std::string& name) {
  std::ifstream f(name, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

TEST(FileOutput, WritesTheInputToTheNamedFileAndRewritesIt) {
  TempDir dir;
  const auto source = (dir / "in.raw").string();
  const auto target = (dir / "out.pcm").string();
  writeRawPcm(source, 777);
  {
    std::ofstream old(target, std::ios::binary);
    old << std::string(10000, 'x'); // longer than what will be written
  }
  auto in = MakeComponent<RawPcmIn>();
  in->SetFileName(source);
  auto out = MakeComponent<RawFileOut>();
  out->SetInput(in.get());
  out->SetFileMode(TFileOutputMode::foAppend);
  EXPECT_EQ(out->FileMode(), TFileOutputMode::foRewrite);
  out->SetFileName(target);
  EXPECT_EQ(out->WideFileName(), toWide(target));
  out->BlockingRun();
  const auto written = readAll(target);
  const auto original = readAll(source);
  ASSERT_EQ(written.size(), 777u * 4) << "the old content was not replaced";
  EXPECT_TRUE(std::equal(written.begin(), written.end(), original.begin() + kRawHeaderBytes));

  out->SetWideFileName(toWide((dir / "other.pcm").string()));
  EXPECT_TRUE(out->FileName().empty());
  out->BlockingRun();
  EXPECT_EQ(readAll((dir / "other.pcm").string()), written);
}

TEST(FileOutput, HandedInStreamIsWrittenNotOwned) {
  TempDir dir;
  const auto source = (dir / "in.raw").string();
  writeRawPcm(source, 50);
  auto in = MakeComponent<RawPcmIn>();
  in->SetFileName(source);
  TMemoryStream sink;
  {
    auto out = MakeComponent<RawFileOut>();
    out->SetInput(in.get());
    out->SetStream(&sink);
    EXPECT_EQ(out->Stream(), &sink);
    out->BlockingRun();
  }
  EXPECT_EQ(sink.Size(), 200); // still alive after the output is gone
}

TEST(FileOutput, Id3v2TagsAreCopiedIntoTheOwnedContainer) {
  auto out = MakeComponent<RawFileOut>();
  TId3v2Tags* owned = out->Id3v2Tags();
  TId3v2Tags given;
  given.SetTitle(u"Night Train");
  given.SetArtist(u"Somebody");
  out->SetId3v2Tags(&given);
  EXPECT_EQ(out->Id3v2Tags(), owned) << "the container was replaced";
  EXPECT_EQ(owned->Title(), u"Night Train");
  EXPECT_EQ(owned->Artist(), u"Somebody");
  given.SetTitle(u"Changed later");
  EXPECT_EQ(owned->Title(), u"Night Train") << "a copy, not a reference";
  out->SetId3v2Tags(nullptr);
  EXPECT_TRUE(owned->Title().empty());
  EXPECT_NE(out->Id3v1Tags(), nullptr);
  EXPECT_NE(out->APEv2Tags(), nullptr);
}

} // namespace
} // namespace sondrix::testing
