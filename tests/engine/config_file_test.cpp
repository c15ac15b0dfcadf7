#include "engine/config_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/config_error.h"
#include "engine/target_list.h"
#include "tests/common/temp_dir_fixture.h"

namespace {

namespace fs = std::filesystem;
using Hosts = std::vector<std::string>;

ConfigFile Parse(const std::string& text) {
  return ConfigFile::Parse(text, "config.ini");
}

// The hosts the target list reader finds in the file's text.
Hosts ReadBack(const ConfigFile& config) {
  std::istringstream in(config.Text());
  return ReadTargetList(in);
}

TEST(ConfigFile, EditsKeepCommentsBlankLinesAndOrder) {
  ConfigFile config = Parse("# list\n8.8.8.8 # dns\n\n#web\nexample.org\nlast");
  config.Insert(1, {"a", "b"});
  EXPECT_EQ(config.Text(), "# list\n8.8.8.8 # dns\n\n#web\na\nb\nexample.org\nlast");
  // The space before '#' was the host text's, as the reader takes it.
  config.Replace(0, "1.1.1.1 ");
  EXPECT_EQ(config.Text(), "# list\n1.1.1.1 # dns\n\n#web\na\nb\nexample.org\nlast");
  config.Remove({3, 0});
  EXPECT_EQ(config.Text(), "# list\n\n#web\na\nb\nlast");
  config.Insert(config.size(), {"z"});
  EXPECT_EQ(config.Text(), "# list\n\n#web\na\nb\nlast\nz\n");
  EXPECT_EQ(config.Hosts(), (Hosts{"a", "b", "last", "z"}));
  EXPECT_EQ(ReadBack(config), config.Hosts());
  // Removing every host leaves the other lines, the last one's end included.
  config.Remove({3, 1, 0, 2});
  EXPECT_EQ(config.Text(), "# list\n\n#web\n");
}

TEST(ConfigFile, LineEndsAreKeptAndNewLinesEndAsTheFirst) {
  const std::string crlf = "#c\r\na# x\r\n\nb";
  ConfigFile config = Parse(crlf);
  EXPECT_EQ(config.Text(), crlf);
  config.Insert(2, {"n"});
  config.Replace(0, "r");
  EXPECT_EQ(config.Text(), "#c\r\nr# x\r\n\nb\r\nn\r\n");
  // A CR ending the last line is its host's: a line end added after it must keep it so.
  ConfigFile ended = Parse("x\r");
  ended.Insert(1, {"n"});
  EXPECT_EQ(ReadBack(ended), (Hosts{"x\r", "n"}));
}

TEST(ConfigFile, RefusedChangesChangeNothing) {
  const std::string text = "a # keep\n#c\nb";
  ConfigFile config = Parse(text);
  for (const std::string& bad : {std::string(), std::string("x#y"), std::string("x\0y", 3),
                                 std::string("x\ry"), std::string("x\ny")}) {
    EXPECT_THROW(config.Insert(1, {"fine", bad}), std::invalid_argument);
    EXPECT_THROW(config.Replace(1, bad), std::invalid_argument);
  }
  EXPECT_THROW(config.Remove({1, 1}), std::invalid_argument);
  EXPECT_THROW(config.Remove({0, 2}), std::out_of_range);
  EXPECT_THROW(config.Insert(3, {"x"}), std::out_of_range);
  try {
    config.Replace(0, std::string(65535 - 5, 'h'));  // with "# keep": one too many
    ADD_FAILURE() << "a line too long was made";
  } catch (const ConfigError& e) {
    EXPECT_EQ(e.kind, ConfigError::Kind::kLineTooLong);
    EXPECT_STREQ(e.what(), "line 1 of config.ini is longer than 65535 characters");
  }
  try {
    config.Insert(0, Hosts(kMaxTargets - 1, "h"));
    ADD_FAILURE() << "more than the most targets";
  } catch (const ConfigError& e) {
    EXPECT_EQ(e.kind, ConfigError::Kind::kTooManyTargets);
  }
  EXPECT_EQ(config.Text(), text);
}

class ConfigFileTest : public TempDirFixture {
 protected:
  fs::path File() const { return dir_ / "config.ini"; }
};

TEST_F(ConfigFileTest, LoadRefusesAMissingFileOrAFifoWithoutWaiting) {
  try {
    ConfigFile::Load(File().string());
    ADD_FAILURE() << "a missing file loaded";
  } catch (const ConfigError& e) {
    EXPECT_EQ(e.kind, ConfigError::Kind::kCannotRead) << e.what();
  }
  EXPECT_FALSE(fs::exists(File())) << "created";
  ASSERT_EQ(::mkfifo(File().c_str(), 0600), 0);
  try {
    ConfigFile::Load(File().string());
    ADD_FAILURE() << "a FIFO loaded";
  } catch (const ConfigError& e) {
    EXPECT_EQ(e.kind, ConfigError::Kind::kNotRegularFile) << e.what();
  }
}

TEST_F(ConfigFileTest, SaveWritesThroughALinkKeepingModeAndLineEnds) {
  const fs::path real = dir_ / "list.ini";
  std::ofstream(real, std::ios::binary) << "#hosts\r\n127.0.0.1\r\n";
  fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink("list.ini", File());
  ConfigFile config = ConfigFile::Load(File().string());
  config.Insert(1, {"127.0.0.2"});
  ASSERT_FALSE(config.Save(File().string()));
  EXPECT_TRUE(fs::is_symlink(File())) << "the link was replaced";
  std::ifstream in(real, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
            "#hosts\r\n127.0.0.1\r\n127.0.0.2\r\n");
  struct stat status {};
  ASSERT_EQ(::stat(real.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0640u);
}

TEST(ReadHostInput, ProblemsNameTheirLinesAndDuplicatesAreSaid) {
  const std::string longest(253, 'x');
  const HostInput input = ReadHostInput(
      "# pasted\n  example.org  \n\nbad\thost\n" + longest + "y\n" + longest +
          "\n   # spaces "
          "only\n1.2.3.4#note\r\nexample.org\n1.2.3.4\n\xE3\x80\x80wide\xE3\x80\x80\n",
      {"1.2.3.4"});
  EXPECT_EQ(input.hosts,
            (Hosts{"example.org", longest, "1.2.3.4", "example.org", "1.2.3.4", "wide"}));
  ASSERT_EQ(input.problems.size(), 3u);
  EXPECT_EQ(input.problems[0].rfind("第 4 行：", 0), 0u) << input.problems[0];
  EXPECT_EQ(input.problems[1].rfind("第 5 行：", 0), 0u) << input.problems[1];
  EXPECT_NE(input.problems[1].find("253"), std::string::npos) << input.problems[1];
  EXPECT_EQ(input.problems[2].rfind("第 7 行：", 0), 0u) << input.problems[2];
  EXPECT_EQ(input.duplicates, (Hosts{"1.2.3.4", "example.org"}));
  // The host that would be one too many is refused by its line.
  const HostInput full = ReadHostInput("a\n\nb\nc\n", Hosts(kMaxTargets - 1, "h"));
  EXPECT_EQ(full.hosts, Hosts{"a"});
  ASSERT_EQ(full.problems.size(), 1u);
  EXPECT_EQ(full.problems[0].rfind("第 3 行：", 0), 0u) << full.problems[0];
}

}  // namespace
