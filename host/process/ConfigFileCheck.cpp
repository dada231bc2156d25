// host/process/ConfigFileCheck.cpp — the -C file and its includes, checked as net-snmp will read
// them.
#include "ConfigFileCheck.h"

// net-snmp wants its configuration header first.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <utility>
#include <vector>

namespace Host {
namespace {

class ConfigScan {
 public:
  explicit ConfigScan(std::string& error) : error_(error) {}

  /// Checks the file `path`, named at `where` ("FILE:LINE: DIRECTIVE " or "" for -C itself),
  /// then the files it includes. A -C file (`required`) must exist and be readable.
  bool file(const std::string& path, const std::string& where, bool required) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return !required || cannotRead(path);
    if (!S_ISREG(st.st_mode)) return refuse(where + path + " is not a regular file");
    if (!seen_.insert({st.st_dev, st.st_ino}).second) return true;
    const std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(path.c_str(), "re"), &std::fclose);
    if (!in) return !required || cannotRead(path);
    char line[STRINGMAX];  // net-snmp's line buffer: a longer line goes on as the next one
    for (unsigned number = 1; std::fgets(line, sizeof line, in.get()); ++number) {
      if (!this->line(path, number, line)) return false;
    }
    return true;
  }

 private:
  /// One line of `path`, as read_config() takes it apart.
  bool line(const std::string& path, unsigned number, char* text) {
    const std::size_t length = std::strlen(text);
    if (length && text[length - 1] == '\n') text[length - 1] = '\0';
    char* rest = skip_white(text);  // null for a blank line or a comment
    if (!rest) return true;
    char token[STRINGMAX];
    rest = copy_nword(rest, token, sizeof token);
    // The library takes a directive only with a lower-case 'i', the rest in any case.
    if (token[0] != 'i' || !rest) return true;
    const std::string where = path + ":" + std::to_string(number) + ": ";
    if (strcasecmp(token, "includefile") == 0) {
      return file(includedPath(path, rest), where + "includeFile ", false);
    }
    if (strcasecmp(token, "includedir") == 0) return folder(rest, where + "includeDir ");
    if (strcasecmp(token, "includesearch") == 0) {
      return refuse(where + "includeSearch is not supported: there is no configuration path");
    }
    return true;
  }

  /// The entries of `path` that net-snmp reads, each checked.
  bool folder(const std::string& path, const std::string& where) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
      while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name[0] != '.' && name.size() > 5 && name.ends_with(".conf")) names.push_back(name);
      }
      closedir(dir);
    }
    for (const std::string& name : names) {
      if (!file(path + "/" + name, where, false)) return false;
    }
    return true;
  }

  /// `name` as includeFile in `includer` means it: absolute, or beside the including file.
  static std::string includedPath(const std::string& includer, const std::string& name) {
    if (name[0] == '/') return name;
    const std::size_t slash = includer.rfind('/');
    return (slash == std::string::npos ? std::string() : includer.substr(0, slash + 1)) + name;
  }

  bool cannotRead(const std::string& path) {
    return refuse("cannot read " + path + ": " + std::strerror(errno));
  }

  bool refuse(std::string message) {
    error_ = "-C: " + std::move(message);
    return false;
  }

  std::string& error_;
  std::set<std::pair<dev_t, ino_t>> seen_;  // files scanned: each once, so includes end
};

}  // namespace

bool checkConfigFile(const std::string& path, std::string& error) {
  if (path.find(',') != std::string::npos || path[0] == '-') {
    error = "-C: '" + path +
            "': net-snmp would read a name with ',' as a list of files, and "
            "one starting with '-' without it";
    return false;
  }
  return ConfigScan(error).file(path, "", true);
}

}  // namespace Host
