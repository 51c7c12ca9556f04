#include "cast_config.h"

#include "base/text.h"
#include "station/playlist_import.h"
#include "station/playlist_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

namespace sondrix {
namespace {

// Far beyond any hand-written file; stops a wrong path (a device, a log) from being slurped.
constexpr std::size_t kMaxConfigBytes = 1 << 20;

enum class Section { None, Settings, Window };

struct Key {
  const char* Name;
  Section In;
  std::optional<CastSetting> Sets; // nullopt: Playlist, or a key of the window's only
  bool Repeats = false;
};

const Key kKeys[] = {
    {"Port", Section::Settings, CastSetting::Port},
    {"Bitrate", Section::Settings, CastSetting::Bitrate},
    {"Max", Section::Settings, CastSetting::MaxListeners},
    {"Random", Section::Settings, CastSetting::Shuffle},
    {"RadioName", Section::Settings, CastSetting::Name},
    {"Mp3Stream", Section::Settings, CastSetting::Mp3},
    {"IcecastUrl", Section::Settings, CastSetting::Icecast, true},
    {"Loudness", Section::Settings, CastSetting::Loudness},
    {"Crossfade", Section::Settings, CastSetting::Crossfade},
    {"TrimSilence", Section::Settings, CastSetting::TrimSilence},
    {"Bind", Section::Settings, CastSetting::Bind},
    {"Address", Section::Settings, CastSetting::Address},
    {"Playlist", Section::Settings, std::nullopt},
    {"Language", Section::Settings, std::nullopt},
    {"ShowWarning", Section::Settings, std::nullopt},
    {"Top", Section::Window, std::nullopt},
    {"Left", Section::Window, std::nullopt},
};

// Closes a descriptor on every way out.
struct FdCloser {
  int Fd;
  ~FdCloser() { ::close(Fd); }
};

// The system's reason why Path cannot be read, or an empty text.
std::string readProblem(const std::string& Path) {
  const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return std::strerror(errno);
  const FdCloser closer{fd};
  struct stat info {};
  const bool folder = ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
  return folder ? std::strerror(EISDIR) : std::string();
}

std::string readConfigText(const std::string& Path) {
  const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    throw ECastConfig(Path + ": cannot be read (" + std::strerror(errno) + ")");
  const FdCloser closer{fd};
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      throw ECastConfig(Path + ": cannot be read (" + std::strerror(errno) + ")");
    if (n == 0)
      return text;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMaxConfigBytes)
      throw ECastConfig(Path + ": cannot be read (larger than a configuration file can be)");
  }
}

bool worldReadable(const std::string& Path) {
  struct stat info {};
  return ::stat(Path.c_str(), &info) == 0 && (info.st_mode & S_IROTH) != 0;
}

} // namespace

CastConfig readCastConfig(const std::string& Path, CastOptions Base) {
  std::string text = readConfigText(Path);
  if (text.starts_with("\xEF\xBB\xBF"))
    text.erase(0, 3);
  CastConfig config{std::move(Base), {}, 0, {}};
  CastOptions& o = config.Options;
  bool servers = false; // the file's first IcecastUrl replaces Base's servers
  Section section = Section::None;
  std::vector<std::pair<const Key*, std::size_t>> seen;
  std::size_t number = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    ++number;
    const auto fail = [&](const std::string& Why) {
      return ECastConfig(Path + ":" + std::to_string(number) + ": " + Why);
    };
    if (line.ends_with('\r'))
      line.remove_suffix(1);
    line = trimBlanks(line);
    if (line.empty() || line.front() == ';' || line.front() == '#')
      continue;
    if (line.front() == '[' && line.back() == ']') {
      const std::string_view name = trimBlanks(line.substr(1, line.size() - 2));
      if (sameTextAscii(name, "Settings"))
        section = Section::Settings;
      else if (sameTextAscii(name, "Window"))
        section = Section::Window;
      else
        throw fail("unknown section \"" + std::string(line) +
                   "\" (sections: [Settings], [Window])");
      continue;
    }
    const std::size_t eq = line.find('=');
    const std::string name(trimBlanks(line.substr(0, eq == std::string_view::npos ? 0 : eq)));
    if (eq == std::string_view::npos || name.empty())
      // Not quoted: the line may be a server URL with its password.
      throw fail("not a key=value line, a [section] line or a comment");
    const std::string value(trimBlanks(line.substr(eq + 1)));
    if (section == Section::None)
      throw fail("\"" + name + "\" stands before any section: the keys go under [Settings]");
    const Key* key = nullptr;
    for (const Key& k : kKeys)
      if (k.In == section && sameTextAscii(k.Name, name))
        key = &k;
    if (key == nullptr)
      throw fail("unknown key \"" + name + "\"" +
                 (section == Section::Window ? std::string(" in [Window]") : std::string()));
    for (const auto& [earlier, at] : seen)
      if (earlier == key && !key->Repeats)
        throw fail(std::string(key->Name) + " is given twice (first on line " + std::to_string(at) +
                   ")");
    seen.emplace_back(key, number);
    try {
      if (std::string_view(key->Name) == "Playlist") {
        o.Paths.clear();
        config.Playlist.clear();
        if (value.empty())
          continue;
        std::string path = value;
        if (path.front() != '/')
          path = (std::filesystem::path(Path).parent_path() / path).string();
        if (!isImportedPlaylist(path) && lowerExtension(path) != ".spl")
          throw std::invalid_argument("Playlist needs a .spl, .m3u, .m3u8 or .pls file, not \"" +
                                      value + "\"");
        o.Paths = {path};
        config.Playlist = path;
        config.PlaylistLine = number;
      } else if (!key->Sets) {
        // The window's own: a copied config.cfg is welcome.
      } else if (*key->Sets == CastSetting::Icecast) {
        if (!servers)
          o.IcecastUrls.clear();
        servers = true;
        // The window writes the key empty when it has no server.
        if (!value.empty())
          setCastValue(o, CastSetting::Icecast, key->Name, value);
      } else if (value.empty() &&
                 (*key->Sets == CastSetting::Bind || *key->Sets == CastSetting::Address)) {
        (*key->Sets == CastSetting::Bind ? o.Bind : o.Address).clear();
      } else {
        setCastValue(o, *key->Sets, key->Name, value);
      }
    } catch (const std::invalid_argument& e) {
      throw fail(e.what());
    }
  }
  if (!o.IcecastUrls.empty() && servers && worldReadable(Path))
    config.Notes.push_back(Path +
                           " holds an Icecast password and every user can read it "
                           "(chmod o-r " +
                           Path + ")");
  return config;
}

CastOptions castOptionsOf(const std::vector<std::string>& args, std::vector<std::string>* Notes) {
  const CastOptions given = parseCastOptions(args);
  if (given.Config.empty() || given.Help)
    return given;
  CastConfig config = readCastConfig(given.Config);
  if (Notes != nullptr)
    Notes->insert(Notes->end(), config.Notes.begin(), config.Notes.end());
  // The file's playlist is read now and at every SIGHUP; PATHs given replace it.
  if (given.Paths.empty() && !config.Playlist.empty())
    if (const std::string problem = readProblem(config.Playlist); !problem.empty())
      throw ECastConfig(given.Config + ":" + std::to_string(config.PlaylistLine) + ": Playlist " +
                        config.Playlist + ": cannot be read (" + problem + ")");
  config.Options.Config = given.Config;
  CastOptions o = parseCastOptions(args, std::move(config.Options));
  if (o.Paths.empty())
    throw std::invalid_argument(
        "no audio file or playlist given: neither a PATH nor Playlist= in " + o.Config);
  return o;
}

} // namespace sondrix
