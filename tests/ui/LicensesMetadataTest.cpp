// The licences window against what the built executable really uses, as the system's package
// metadata describes it: every Debian source package of its direct shared libraries (the C and
// C++ runtimes aside) and of the libraries compiled in has exactly one row, and each row's
// licence, holder and address are those of the package's copyright file and home page.

#include "ui/settings/LicensesView.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <gtest/gtest.h>

#include <array>
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

struct Described {
  std::string licence;
  std::string holder;
};

// The "Files: *" stanza's licence and first holder ("et al." when it names more than one).
std::optional<Described> mainStanza(const std::string& copyright) {
  std::istringstream in(copyright);
  std::vector<std::vector<std::string>> paragraphs(1);
  for (std::string line; std::getline(in, line);) {
    if (trim(line).empty()) {
      if (!paragraphs.back().empty()) paragraphs.emplace_back();
    } else {
      paragraphs.back().push_back(line);
    }
  }
  for (const auto& paragraph : paragraphs) {
    if (paragraph.empty() || !std::regex_match(paragraph[0], std::regex(R"(Files:\s*\*\s*)"))) continue;
    Described described;
    std::vector<std::string> holders;
    bool inCopyright = false;
    for (const auto& line : paragraph) {
      const bool continuation = line[0] == ' ' || line[0] == '\t';
      if (!continuation) inCopyright = false;
      if (line.starts_with("License:")) described.licence = trim(line.substr(8));
      if (line.starts_with("Copyright:")) {
        inCopyright = true;
        if (auto first = trim(line.substr(10)); !first.empty()) holders.push_back(first);
      } else if (inCopyright && continuation) {
        holders.push_back(trim(line));
      }
    }
    if (holders.empty()) return std::nullopt;
    described.holder = std::regex_replace(holders[0], std::regex(R"(^Copyright (©|\(C\)) )"), "");
    if (holders.size() > 1 && !described.holder.ends_with("et al.")) described.holder += " et al.";
    return described;
  }
  return std::nullopt;
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
    if (entry.sourcePackage == std::string_view("avahi")) {
      // An older free-form file: its upstream authors and the licence its text states.
      EXPECT_NE(copyright.find("GNU Lesser General Public"), std::string::npos);
      EXPECT_NE(copyright.find("version 2 of the License, or (at your option) any later version"), std::string::npos);
      EXPECT_NE(copyright.find("LGPL-2.1"), std::string::npos);
      EXPECT_EQ(entry.licenseType, std::string("LGPL-2.1+"));
      const std::regex authors(R"(Upstream Authors:\n\s+(.+)\n\s+\S)");
      std::smatch first;
      ASSERT_TRUE(std::regex_search(copyright, first, authors));
      EXPECT_EQ(entry.copyright, trim(first[1]) + " et al.");
      continue;
    }
    if (entry.sourcePackage == std::string_view("libjpeg-turbo")) {
      // No stanza for every file: the row names the first library stanza's holders and licence.
      std::string holder(entry.copyright);
      holder.resize(holder.size() - std::string(" et al.").size());
      EXPECT_NE(copyright.find("Copyright: " + holder), std::string::npos) << entry.copyright;
      EXPECT_NE(copyright.find("License: " + std::string(entry.licenseType)), std::string::npos) << entry.licenseType;
      continue;
    }
    const auto described = mainStanza(copyright);
    ASSERT_TRUE(described.has_value()) << package << " has no main copyright stanza";
    EXPECT_EQ(entry.copyright, described->holder);
    if (entry.sourcePackage == std::string_view("ffmpeg")) {
      EXPECT_EQ(entry.licenseType, std::string(avcodec_license())) << "the licence of this build";
    } else {
      EXPECT_EQ(entry.licenseType, described->licence);
    }
  }
  for (const auto& [source, packages] : used) {
    EXPECT_TRUE(listed.contains(source)) << "no row for " << source << " (" << *packages.begin() << ")";
  }
}

} // namespace
} // namespace pd::ui
