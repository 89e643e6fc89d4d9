// The licences window against what the built executable really uses, as the system's package
// metadata describes it: every Debian source package of its direct shared libraries (the C and
// C++ runtimes aside) and of the libraries compiled in has exactly one row, and each row's
// licence, holder and address are those of the package's copyright file and home page.

#include "ui/settings/LicensesView.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace pd::ui {
namespace {

namespace fs = std::filesystem;

// The packages whose headers are compiled into the executable.
const std::vector<std::string> kCompiledIn = {"nlohmann-json3-dev", "libboost1.81-dev"};
// The runtimes every program links; not listed.
const std::set<std::string> kRuntimes = {"glibc", "gcc-12"};

std::string run(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen((command + " 2>/dev/null").c_str(), "r"), ::pclose);
  if (!pipe) return {};
  std::string out;
  std::array<char, 4096> buffer{};
  while (const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), pipe.get()))
    out.append(buffer.data(), got);
  return out;
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

std::string trim(std::string text) {
  const auto begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

std::vector<std::string> neededLibraries(const std::string& executable) {
  std::vector<std::string> libraries;
  const std::regex needed(R"(\(NEEDED\)\s+Shared library: \[([^\]]+)\])");
  const std::string dump = run("readelf -d '" + executable + "'");
  for (std::sregex_iterator it(dump.begin(), dump.end(), needed), end; it != end; ++it) libraries.push_back((*it)[1]);
  return libraries;
}

// The binary package that ships the library the dynamic loader finds for the name.
std::string packageOf(const std::string& library) {
  const std::regex entry("\\s" + std::regex_replace(library, std::regex(R"([.+])"), R"(\$&)") +
                         R"( \(libc6,x86-64[^)]*\) => (\S+))");
  const std::string cache = run("/sbin/ldconfig -p");
  std::smatch found;
  if (!std::regex_search(cache, found, entry)) return {};
  const fs::path path = found[1].str();
  std::error_code error;
  const fs::path real = fs::canonical(path, error);
  for (const fs::path& candidate :
       {path, real, fs::path(real.string().substr(real.string().starts_with("/usr") ? 4 : 0))}) {
    const std::string owner = firstLine(run("dpkg -S '" + candidate.string() + "'"));
    if (const auto colon = owner.find(':'); !owner.empty() && colon != std::string::npos) return owner.substr(0, colon);
  }
  return {};
}

std::string field(const std::string& package, const std::string& name) {
  return run("dpkg-query -W -f='${" + name + "}' " + package);
}

// What a package's copyright file says of the package as a whole.
struct Described {
  std::vector<std::string> holders; // in the file's order
  std::string licence; // as the file names it; empty when it only states it in prose
  std::vector<std::string> projectNames;
};

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A machine-readable file: its paragraphs, each a list of fields with their lines (the value on
// the field's own line, if any, then each continuation line, trimmed).
using Paragraph = std::vector<std::pair<std::string, std::vector<std::string>>>;

std::vector<Paragraph> paragraphsOf(const std::string& copyright) {
  std::vector<Paragraph> paragraphs(1);
  std::istringstream in(copyright);
  for (std::string line; std::getline(in, line);) {
    if (trim(line).empty()) {
      if (!paragraphs.back().empty()) paragraphs.emplace_back();
    } else if (line[0] == ' ' || line[0] == '\t') {
      if (!paragraphs.back().empty() && trim(line) != ".") paragraphs.back().back().second.push_back(trim(line));
    } else if (const auto colon = line.find(':'); colon != std::string::npos) {
      std::vector<std::string> lines;
      if (auto value = trim(line.substr(colon + 1)); !value.empty()) lines.push_back(value);
      paragraphs.back().emplace_back(line.substr(0, colon), std::move(lines));
    }
  }
  return paragraphs;
}

const std::vector<std::string>* fieldOf(const Paragraph& paragraph, const std::string& name) {
  for (const auto& [field, lines] : paragraph) {
    if (field == name) return &lines;
  }
  return nullptr;
}

// The holders of the whole package: in a machine-readable file, those of the stanza for every
// file ("Files: *"), or of the first stanza when there is none; in a free-form file, the list
// under "Upstream Authors:", with the licence its text states (the common licence it points to,
// "+" when any later version may be taken).
Described describe(const std::string& copyright) {
  Described described;
  if (!copyright.starts_with("Format:")) {
    const std::regex authors(R"(Upstream Authors:\n((?:[ \t]+\S.*\n)+))");
    std::smatch list;
    if (std::regex_search(copyright, list, authors)) {
      std::istringstream lines(list[1].str());
      for (std::string line; std::getline(lines, line);) described.holders.push_back(trim(line));
    }
    std::smatch common;
    if (std::regex_search(copyright, common, std::regex(R"(/usr/share/common-licenses/([\w.+-]+?)\.?\s)"))) {
      described.licence = common[1].str();
      if (copyright.substr(0, common.position()).find("any later version") != std::string::npos) {
        described.licence += "+";
      }
    }
    return described;
  }
  const auto paragraphs = paragraphsOf(copyright);
  if (const auto* name = fieldOf(paragraphs.front(), "Upstream-Name"); name != nullptr && !name->empty()) {
    described.projectNames.push_back(name->front());
  }
  const Paragraph* main = nullptr;
  for (const auto& paragraph : paragraphs) {
    const auto* files = fieldOf(paragraph, "Files");
    if (files == nullptr || fieldOf(paragraph, "Copyright") == nullptr) continue;
    if (main == nullptr) main = &paragraph;
    if (files->size() == 1 && files->front() == "*") {
      main = &paragraph;
      break;
    }
  }
  if (main == nullptr) return described;
  described.holders = *fieldOf(*main, "Copyright");
  if (const auto* licence = fieldOf(*main, "License"); licence != nullptr && !licence->empty()) {
    described.licence = licence->front();
  }
  return described;
}

// Whether the holder line names the project itself (as a word, outside e-mail addresses).
bool namesProject(const std::string& holder, const std::vector<std::string>& names) {
  const std::string text = lower(std::regex_replace(holder, std::regex("<[^>]*>"), ""));
  for (const auto& name : names) {
    const std::string word = lower(name);
    for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
      const auto end = at + word.size();
      const bool before = at == 0 || !std::isalnum(static_cast<unsigned char>(text[at - 1]));
      const bool after = end == text.size() || !std::isalnum(static_cast<unsigned char>(text[end]));
      if (before && after) return true;
    }
  }
  return false;
}

// The credit a row shows: the project's own authorship line where the holders have one, else
// the first holder; "et al." when the file names more than one.
std::string credit(const Described& described) {
  const auto own = std::find_if(described.holders.begin(), described.holders.end(), [&](const std::string& holder) {
    return namesProject(holder, described.projectNames);
  });
  std::string holder = own != described.holders.end() ? *own : described.holders.front();
  holder = std::regex_replace(holder, std::regex(R"(^Copyright (©|\(C\)) )"), "");
  if (described.holders.size() > 1 && !holder.ends_with("et al.")) holder += " et al.";
  return holder;
}

std::string readFile(const fs::path& file) {
  std::ifstream in(file);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(LicensesMetadata, EveryPackageTheExecutableUsesHasOneRowTrueToItsMetadata) {
  if (run("command -v readelf dpkg-query").empty()) GTEST_SKIP() << "no readelf or dpkg here";

  // Source package -> the binary packages of it that the build uses.
  std::map<std::string, std::set<std::string>> used;
  for (const auto& library : neededLibraries(PD_RECEIVER_EXECUTABLE)) {
    const std::string package = packageOf(library);
    ASSERT_FALSE(package.empty()) << library << " belongs to no package";
    const std::string source = field(package, "source:Package");
    if (!kRuntimes.contains(source)) used[source].insert(package);
  }
  ASSERT_FALSE(used.empty()) << "nothing found in " << PD_RECEIVER_EXECUTABLE;
  for (const auto& package : kCompiledIn) used[field(package, "source:Package")].insert(package);

  std::set<std::string> listed;
  for (const auto& entry : LicensesView::entries()) {
    SCOPED_TRACE(entry.name);
    EXPECT_TRUE(listed.insert(entry.sourcePackage).second) << "two rows for " << entry.sourcePackage;
    const auto packages = used.find(entry.sourcePackage);
    ASSERT_NE(packages, used.end()) << "a row for " << entry.sourcePackage << ", which the build does not use";
    const std::string package = *packages->second.begin();

    std::set<std::string> homepages;
    for (const auto& binary : packages->second) homepages.insert(field(binary, "Homepage"));
    EXPECT_TRUE(homepages.contains(entry.url)) << entry.url;

    const std::string copyright = readFile(fs::path("/usr/share/doc") / package / "copyright");
    ASSERT_FALSE(copyright.empty()) << package;
    Described described = describe(copyright);
    ASSERT_FALSE(described.holders.empty()) << package << " names no holder of the whole package";
    described.projectNames.emplace_back(entry.name);
    EXPECT_EQ(entry.copyright, credit(described));
    if (entry.sourcePackage == std::string_view("ffmpeg")) {
      EXPECT_EQ(entry.licenseType, std::string(avcodec_license())) << "the licence of this build";
    } else {
      EXPECT_EQ(entry.licenseType, described.licence);
    }
  }
  for (const auto& [source, packages] : used) {
    EXPECT_TRUE(listed.contains(source)) << "no row for " << source << " (" << *packages.begin() << ")";
  }
}

} // namespace
} // namespace pd::ui
