#pragma once

// Tone tracks for the window's broadcast tests, and what a listener heard of them.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace sondrix::testing {

// A stereo MP3 of a sine of Hertz, Seconds long, with artist and title when given.
inline bool tone(const QString& File, int Hertz, double Seconds, const QString& Artist,
                 const QString& Title, const QStringList& MoreTags = {}) {
  QStringList args{
      QStringLiteral("-nostdin"),
      QStringLiteral("-v"),
      QStringLiteral("error"),
      QStringLiteral("-y"),
      QStringLiteral("-f"),
      QStringLiteral("lavfi"),
      QStringLiteral("-i"),
      QStringLiteral("sine=frequency=%1:sample_rate=44100:duration=%2").arg(Hertz).arg(Seconds),
      QStringLiteral("-ac"),
      QStringLiteral("2"),
      QStringLiteral("-b:a"),
      QStringLiteral("128k")};
  if (!Artist.isEmpty())
    args << QStringLiteral("-metadata") << QStringLiteral("artist=") + Artist
         << QStringLiteral("-metadata") << QStringLiteral("title=") + Title;
  for (const QString& tag : MoreTags)
    args << QStringLiteral("-metadata") << tag;
  args << File;
  return QProcess::execute(QStringLiteral("ffmpeg"), args) == 0;
}

// The tone heard in each quarter second of 44.1 kHz stereo PCM (zero crossings of the left side).
inline std::vector<int> tonesOf(const QByteArray& Pcm) {
  const auto* samples = reinterpret_cast<const std::int16_t*>(Pcm.constData());
  const std::size_t frames = static_cast<std::size_t>(Pcm.size()) / 4;
  const std::size_t window = 44100 / 4;
  std::vector<int> tones;
  for (std::size_t start = 0; start + window <= frames; start += window) {
    int crossings = 0;
    for (std::size_t i = start + 1; i < start + window; ++i)
      crossings += (samples[2 * (i - 1)] < 0) != (samples[2 * i] < 0);
    tones.push_back(static_cast<int>(std::lround(crossings * 2.0 / 10) * 10));
  }
  return tones;
}

// Runs of the same tone, as (tone, quarter seconds).
inline std::vector<std::pair<int, int>> runsOf(const std::vector<int>& Tones) {
  std::vector<std::pair<int, int>> runs;
  for (int tone : Tones) {
    if (!runs.empty() && std::abs(runs.back().first - tone) <= 20)
      ++runs.back().second;
    else
      runs.emplace_back(tone, 1);
  }
  return runs;
}

// What a listener heard: the runs of half a second or more (a quarter that straddles two tones
// is noise), and the same as text for failure messages ("440x15 880x4 ").
struct Heard {
  std::vector<std::pair<int, int>> Runs;
  QString Text;
};
inline Heard heardIn(const QByteArray& Pcm) {
  Heard heard;
  for (const auto& run : runsOf(tonesOf(Pcm)))
    if (run.second >= 2) {
      heard.Runs.push_back(run);
      heard.Text += QStringLiteral("%1x%2 ").arg(run.first).arg(run.second);
    }
  return heard;
}

} // namespace sondrix::testing
