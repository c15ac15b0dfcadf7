#include "engine/target_list.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "engine/config_error.h"
#include "tests/common/temp_dir_fixture.h"

namespace {

namespace fs = std::filesystem;
using Hosts = std::vector<std::string>;

Hosts Read(const std::string& text) {
  std::istringstream in(text);
  return ReadTargetList(in);
}

// What reading text (or loading, when text is absent) refuses it for, and the message.
ConfigError Refusal(const std::optional<std::string>& text, const fs::path& file = {}) {
  try {
    text ? Read(*text) : LoadTargetList(file.string());
  } catch (const ConfigError& e) {
    return e;
  }
  ADD_FAILURE() << "read without a refusal";
  return ConfigError(ConfigError::Kind::kCannotRead, "");
}

TEST(ReadTargetList, CommentsEmptyLinesAndLineEnds) {
  EXPECT_EQ(Read("#c\nhost-a\n\nhost-b"), (Hosts{"host-a", "host-b"}));
  EXPECT_EQ(Read("a\r\nb\r\n"), (Hosts{"a", "b"}));
  EXPECT_EQ(Read("a\n\n\n"), (Hosts{"a"}));
  EXPECT_EQ(Read("# only\n\n#comments\n"), Hosts{});
  EXPECT_EQ(Read(""), Hosts{});
  // Nothing is trimmed, and the same text twice is two targets.
  EXPECT_EQ(Read("a # note\n \t\na\n"), (Hosts{"a ", " \t", "a"}));
  EXPECT_EQ(Read(std::string("ab\0cd\nx#\0y", 11)), (Hosts{"ab", "x"}));
  // A byte-order mark is text of the first line.
  EXPECT_EQ(Read("\xEF\xBB\xBF#comment\n1.2.3.4"), (Hosts{"\xEF\xBB\xBF", "1.2.3.4"}));
  EXPECT_EQ(Read("a\rb\n"), (Hosts{"a\rb"})) << "a lone CR belongs to the line";
}

TEST(ReadTargetList, LinesTooLongAreRefusedByNumber) {
  const std::string longest(65535, 'x');
  EXPECT_EQ(Read(longest + "\nb"), (Hosts{longest, "b"}));
  EXPECT_EQ(Read(longest + "\r\nb"), (Hosts{longest, "b"}));
  EXPECT_EQ(Read(longest), (Hosts{longest}));
  // One character more, even in a comment, and the start is refused with the line's number.
  for (const std::string& text :
       {"a\n\n" + longest + "y\nb\n", "a\n\n#" + longest + "\r\nb", "a\n\n" + longest + "\r"}) {
    const ConfigError refusal = Refusal(text);
    EXPECT_EQ(refusal.kind, ConfigError::Kind::kLineTooLong);
    EXPECT_STREQ(refusal.what(), "line 3 of config.ini is longer than 65535 characters");
    EXPECT_EQ(refusal.line, 3u) << "the window's message names the line by this";
  }
}

TEST(ReadTargetList, StopsAtTheFirstTargetTooMany) {
  std::string most;
  for (int i = 0; i < 65536; ++i) {
    most += "h\n#\n";
  }
  EXPECT_EQ(Read(most).size(), 65536u);
  const ConfigError refusal = Refusal(most + "\none-more\n");
  EXPECT_EQ(refusal.kind, ConfigError::Kind::kTooManyTargets);
  EXPECT_STREQ(refusal.what(),
               "config.ini lists more than 65536 targets (the next one is on line 131074); at "
               "most 65536 can be probed at once");
}

TEST(ReadTargetList, AQuitEndsTheReadingSoon) {
  constexpr std::streamoff kTotal = 64 << 20;  // bytes of empty lines
  std::istringstream in(std::string(kTotal, '\n'));
  bool asked = false;
  EXPECT_EQ(ReadTargetList(in, "config.ini", [&asked] { return asked = true; }), Hosts{});
  EXPECT_TRUE(asked);
  EXPECT_LT(in.rdbuf()->pubseekoff(0, std::ios::cur, std::ios::in), kTotal / 8)
      << "read on after the quit";
}

// Each test in a fresh folder of its own, which holds the target list file.
class LoadTargetListTest : public TempDirFixture {
 protected:
  fs::path File() const { return dir_ / "config.ini"; }
};

TEST_F(LoadTargetListTest, AMissingFileIsWrittenWithTwoSampleTargets) {
  const Hosts hosts = LoadTargetList(File());
  ASSERT_EQ(hosts.size(), 2u);
  std::ifstream in(File(), std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(text.back(), '\n') << "no line end after the last target";
  EXPECT_EQ(Read(text), hosts) << "written and loaded differ";
  EXPECT_EQ(LoadTargetList(File()), hosts) << "not the same when read again";
}

// Nothing but a regular file is read: each is refused at once, naming what it is, and
// none is replaced by a file of our own.
TEST_F(LoadTargetListTest, RefusesWhatIsNotARegularFileAtOnce) {
  const auto expect_refused = [this](const std::string& what) {
    const fs::file_type type = fs::symlink_status(File()).type();
    const ConfigError refusal = Refusal(std::nullopt, File());
    EXPECT_EQ(fs::symlink_status(File()).type(), type) << what << " was replaced";
    EXPECT_EQ(refusal.kind, ConfigError::Kind::kNotRegularFile) << refusal.what();
    EXPECT_NE(std::string(refusal.what()).find("config.ini is " + what), std::string::npos)
        << refusal.what();
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 1) << "something was left";
    fs::remove(File());
  };
  fs::create_directory(File());
  expect_refused("a directory");
  ASSERT_EQ(::mkfifo(File().c_str(), 0600), 0);
  expect_refused("a FIFO");
  fs::create_symlink("/dev/zero", File());
  expect_refused("a link to a character device");
  fs::create_symlink(dir_ / "missing" / "config.ini", File());
  expect_refused("a link to a file that does not exist");
  fs::create_symlink(File(), File());
  expect_refused("a link that cannot be followed");
  // A link to a regular file is read through.
  std::ofstream(dir_ / "list") << "127.0.0.1\n";
  fs::create_symlink("list", File());
  EXPECT_EQ(LoadTargetList(File()), Hosts{"127.0.0.1"});
}

// A huge file is refused without being held: 100 million short lines, read in a child
// process whose memory is measured (and, where no sanitizer reserves address space of
// its own, limited).
TEST_F(LoadTargetListTest, HundredMillionLinesWithinAQuarterGigabyte) {
  constexpr long kLimitKib = 256 * 1024;
  {
    std::string lines(1'000'000, 'a');  // half a million lines of "a"
    for (std::size_t i = 1; i < lines.size(); i += 2) {
      lines[i] = '\n';
    }
    std::ofstream out(File());
    for (int i = 0; i < 200 && out; ++i) {
      out << lines;
    }
    ASSERT_TRUE(out.flush());
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    const rlimit limit{kLimitKib * 1024, kLimitKib * 1024};
    ::setrlimit(RLIMIT_AS, &limit);
#endif
    try {
      LoadTargetList(File());
    } catch (const ConfigError& e) {
      ::_exit(e.kind == ConfigError::Kind::kTooManyTargets ? 0 : 1);
    } catch (...) {
      ::_exit(2);  // out of memory, most likely
    }
    ::_exit(3);
  }
  int status = 0;
  rusage usage{};
  ASSERT_EQ(::wait4(child, &status, 0, &usage), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_LE(usage.ru_maxrss, kLimitKib);
}

}  // namespace
