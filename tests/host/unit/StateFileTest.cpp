// StateFileTest.cpp — what a state file accepts and how each refusal names place and reason.
#include "host/StateFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using Bridging::StormControl::ThresholdType;
using Host::StateFile;

/// The refusal of `text`, or "accepted".
std::string refusal(const std::string& text) {
  std::string error;
  return StateFile::parse("s.json", text, error) ? "accepted" : error;
}

std::string statusWith(const std::string& classes) {
  return R"({"status": {"slice0": {"Ethernet1/1": )" + classes + "}}}";
}

// A complete file: interfaces, entities, every field, defaults for what is left out.
TEST(StateFileTest, ReadsEveryFieldAndDefaults) {
  const std::string text = R"({
    "interfaces": {"Ethernet1/1": 1, "Ethernet1/2": 4294967295},
    "status": {
      "slice0": {
        "Ethernet1/1": {
          "all": {"level": 500, "units": 1, "drops": 18446744073709551615, "scale": 0},
          "broadcast": {"drops": 3},
          "multicast": {},
          "unknownUnicast": {"level": 1000, "units": 2, "scale": 255}
        },
        "Ethernet9/9": {}
      },
      "slice1": {}
    }
  })";
  std::string error;
  const auto file = StateFile::parse("s.json", text, error);
  ASSERT_TRUE(file) << error;
  ASSERT_EQ(file->interfaces().size(), 2u);
  EXPECT_EQ(file->interfaces()[1].name, "Ethernet1/2");
  EXPECT_EQ(file->ifIndex("Ethernet1/2"), 4294967295u);
  EXPECT_EQ(file->ifIndex("Ethernet1/1"), 1u);
  EXPECT_FALSE(file->ifIndex("Ethernet9/9"));
  ASSERT_EQ(file->entities().size(), 2u);
  EXPECT_EQ(file->entryCount(), 2u);
  const StateFile::Entity* slice0 = file->entity("slice0");
  ASSERT_TRUE(slice0);
  const StateFile::Entry* e = file->entry(*slice0, "Ethernet1/1");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->classes.all.threshold.level, 500u);
  EXPECT_EQ(e->classes.all.threshold.type, ThresholdType::packetsPerSecond);
  EXPECT_EQ(e->classes.all.threshold.scale, 0);
  EXPECT_EQ(e->classes.all.drops, ~0ull);
  EXPECT_EQ(e->classes.broadcast.threshold.level, 10000u);
  EXPECT_EQ(e->classes.broadcast.threshold.scale, 4);
  EXPECT_EQ(e->classes.broadcast.drops, 3u);
  EXPECT_EQ(e->classes.multicast.drops, 0u);
  EXPECT_EQ(e->classes.unknownUnicast.threshold.type, ThresholdType::kilobitsPerSecond);
  EXPECT_EQ(e->classes.unknownUnicast.threshold.scale, 255);
  const StateFile::Entry* empty = file->entry(*slice0, "Ethernet9/9");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->classes.unknownUnicast.threshold.level, 10000u);
  EXPECT_TRUE(file->entity("slice1"));
  EXPECT_FALSE(file->entity("slice2"));
}

// Names with escapes are unescaped; an empty document object is an empty state.
TEST(StateFileTest, AcceptsEscapesAndEmptyState) {
  std::string error;
  const auto file =
      StateFile::parse("s.json", R"({"interfaces": {"Eth\u0065rnet1\/1": 7}})", error);
  ASSERT_TRUE(file) << error;
  EXPECT_EQ(file->ifIndex("Ethernet1/1"), 7u);
  EXPECT_EQ(refusal("{}"), "accepted");
  EXPECT_EQ(refusal(R"({"interfaces": {}, "status": {}})"), "accepted");
}

// Syntax faults name line and column (from 1) of the place the parser stopped.
TEST(StateFileTest, SyntaxErrorsNameLineAndColumn) {
  EXPECT_EQ(refusal(""), "s.json:1:1: empty document");
  EXPECT_EQ(refusal("{\n  \"interfaces\": {\"Ethernet1/1\": 1,\n  \"Eth"),
            "s.json:3:3: unclosed string");
  EXPECT_EQ(refusal("{\"interfaces\":\n {\"E\xff\": 1}}"), "s.json:2:5: invalid UTF-8");
  EXPECT_EQ(refusal("{\"interfaces\": {\"E\tx\": 1}}"), "s.json:1:19: control character in string");
  EXPECT_EQ(refusal("{\"interfaces\": {\n  \"Ethernet1/1\": 1\n  \"Ethernet1/2\": 2}}"),
            "s.json:3:3: expected ',' or '}'");
  EXPECT_EQ(refusal("{}\n  {}"), "s.json:2:3: trailing content after the document");
  EXPECT_EQ(refusal("{\"status\": {\"s\": {\"E1\": {\"all\": {\"level\": 1x}}}}}"),
            "s.json:1:43: invalid number");
  EXPECT_EQ(refusal("{\"interfaces\": {\"E1\" 1}}"), "s.json:1:22: expected ':'");
  EXPECT_EQ(refusal("{\"interfaces\": {\"E1\": 1,}}"), "s.json:1:25: expected a string key");
  EXPECT_EQ(refusal("{\"interfaces\": {\"E1\": 01}}"), "s.json:1:23: invalid number");
  EXPECT_EQ(refusal("{\"interfaces\": {\"E\\x\": 1}}"), "s.json:1:19: invalid escape");
  EXPECT_EQ(refusal("{\"interfaces\": {\"E1\": 1}"), "s.json:1:25: unexpected end of document");
  EXPECT_EQ(refusal("{\"interfaces\": " + std::string(100000, '[')),
            "s.json: at $.interfaces: expected an object");
}

// Validation faults name the JSON path and the reason.
TEST(StateFileTest, RefusesUnknownKeysClassesAndFields) {
  EXPECT_EQ(refusal(R"({"interface": {}})"), "s.json: at $.interface: unknown key \"interface\"");
  EXPECT_EQ(refusal(statusWith(R"({"bcast": {}})")),
            "s.json: at $.status.slice0.Ethernet1/1.bcast: unknown class \"bcast\"");
  EXPECT_EQ(refusal(statusWith(R"({"all": {"lvl": 1}})")),
            "s.json: at $.status.slice0.Ethernet1/1.all.lvl: unknown field \"lvl\"");
  EXPECT_EQ(refusal(R"([])"), "s.json: at $: expected an object");
  EXPECT_EQ(refusal(R"({"status": {"slice0": []}})"),
            "s.json: at $.status.slice0: expected an object");
  EXPECT_EQ(refusal(statusWith(R"({"all": {"level": "5"}})")),
            "s.json: at $.status.slice0.Ethernet1/1.all.level: expected an integer");
  EXPECT_EQ(refusal(statusWith(R"({"all": {"drops": 1, "drops": 2}})")),
            "s.json: at $.status.slice0.Ethernet1/1.all.drops: duplicate key");
  EXPECT_EQ(refusal(statusWith(R"({"all": {}, "all": {}})")),
            "s.json: at $.status.slice0.Ethernet1/1.all: duplicate key");
  EXPECT_EQ(refusal(R"({"status": {}, "status": {}})"), "s.json: at $.status: duplicate key");
}

// Negative, fractional, too large and out-of-range numbers, with each field's own range.
TEST(StateFileTest, RefusesNumbersOutOfRange) {
  const std::string at = "s.json: at $.status.slice0.Ethernet1/1.all.";
  EXPECT_EQ(refusal(statusWith(R"({"all": {"level": -1}})")), at + "level: negative number -1");
  EXPECT_EQ(refusal(statusWith(R"({"all": {"drops": 1.5}})")), at + "drops: fractional number 1.5");
  EXPECT_EQ(refusal(statusWith(R"({"all": {"drops": 1e3}})")), at + "drops: fractional number 1e3");
  EXPECT_EQ(refusal(statusWith(R"({"all": {"level": 18446744073709551616}})")),
            at + "level: number 18446744073709551616 too large");
  EXPECT_EQ(refusal(statusWith(R"({"all": {"units": 3}})")),
            at + "units: number 3 out of range 0..2");
  EXPECT_EQ(refusal(statusWith(R"({"all": {"scale": 256}})")),
            at + "scale: number 256 out of range 0..255");
  EXPECT_EQ(refusal(R"({"interfaces": {"Ethernet1/1": 0}})"),
            "s.json: at $.interfaces.Ethernet1/1: number 0 out of range 1..4294967295");
  EXPECT_EQ(refusal(R"({"interfaces": {"Ethernet1/1": 4294967296}})"),
            "s.json: at $.interfaces.Ethernet1/1: number 4294967296 out of range 1..4294967295");
}

// Interface and entity names, duplicate interfaces and ifIndexes, an interface's status in
// two entities.
TEST(StateFileTest, RefusesBadNamesAndDuplicates) {
  EXPECT_EQ(refusal(R"({"interfaces": {"Ethernet1/1": 5, "Ethernet1/2": 5}})"),
            "s.json: at $.interfaces.Ethernet1/2: ifIndex 5 already belongs to Ethernet1/1");
  EXPECT_EQ(refusal(R"({"interfaces": {"Ethernet1/1": 5, "Ethernet1/1": 6}})"),
            "s.json: at $.interfaces.Ethernet1/1: duplicate key");
  EXPECT_EQ(refusal(R"({"interfaces": {"Ether net": 5}})"),
            "s.json: at $.interfaces.Ether net: invalid interface name");
  EXPECT_EQ(refusal(R"({"interfaces": {"": 5}})"),
            "s.json: at $.interfaces.: invalid interface name");
  EXPECT_EQ(refusal(R"({"status": {"": {}}})"), "s.json: at $.status.: invalid status entity name");
  EXPECT_EQ(refusal(R"({"status": {"a/b": {}}})"),
            "s.json: at $.status.a/b: invalid status entity name");
  EXPECT_EQ(refusal(R"({"status": {"s": {"E\u00e9": {}}}})"),
            "s.json: at $.status.s.E\xc3\xa9: invalid interface name");
  EXPECT_EQ(refusal(R"({"status": {"s": {"E1": {}, "E1": {}}}})"),
            "s.json: at $.status.s.E1: duplicate key");
  EXPECT_EQ(refusal(R"({"status": {"s0": {"E1": {}, "E2": {}}, "s1": {}, "s2": {"E2": {}}}})"),
            "s.json: at $.status.s2.E2: already has a status in entity s0");
}

// A key quoted in a refusal keeps the refusal one line: its control characters are escaped.
TEST(StateFileTest, RefusalQuotingALineBreakIsOneLine) {
  EXPECT_EQ(refusal(R"({"interfaces": {"E\nx": 5}})"),
            R"(s.json: at $.interfaces.E\u000ax: invalid interface name)");
  EXPECT_EQ(refusal(R"({"status": {"s\r\t": {"E1": {"all\u007f": {}}}}})"),
            R"(s.json: at $.status.s\u000d\u0009.E1.all\u007f: unknown class "all\u007f")");
}

// A file that cannot be read is refused with the system's reason.
TEST(StateFileTest, MissingFileIsRefused) {
  std::string error;
  EXPECT_FALSE(StateFile::load("/nonexistent/s.json", error));
  EXPECT_EQ(error, "/nonexistent/s.json: cannot open: No such file or directory");
}

// Only a regular file is read, opened without waiting for a FIFO's writer, and one too large
// is refused from its size before anything is read: each in one line naming the path given.
TEST(StateFileTest, RefusesOtherFileTypesAndOversizeFiles) {
  char pattern[] = "/tmp/statefile-test.XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  const std::string fifo = dir + "/fifo", link = dir + "/link.json", sparse = dir + "/sparse";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(::symlink(fifo.c_str(), link.c_str()), 0);
  // Held open so that a reader that waits for a writer would read an empty file, not hang.
  const int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  const int file = ::open(sparse.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(file, 0);
  ASSERT_EQ(::ftruncate(file, off_t(64) << 30), 0);
  ::close(file);

  std::string error;
  EXPECT_FALSE(StateFile::load(link, error));
  EXPECT_EQ(error, link + ": not a regular file: FIFO");
  EXPECT_FALSE(StateFile::load(dir, error));
  EXPECT_EQ(error, dir + ": not a regular file: directory");
  EXPECT_FALSE(StateFile::load(sparse, error));
  EXPECT_EQ(error, sparse + ": file too large: 68719476736 bytes, at most 268435456");
  ::close(writer);
  std::filesystem::remove_all(dir);
}

// A file that grows or shrinks between its opening and the end of its reading is refused,
// never read in part: the writer's close brings another reload.
TEST(StateFileTest, FileChangingSizeWhileReadIsRefused) {
  char path[] = "/tmp/statefile-test.XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  const auto readAfter = [&](const std::string& before, const std::string& after) {
    std::ofstream(path, std::ios::trunc) << before;
    Host::StateFileLoader loader(path);
    EXPECT_FALSE(loader.readSome([] { return true; }));  // opened, nothing read yet
    std::ofstream(path, std::ios::trunc) << after;
    loader.readSome({});
    EXPECT_FALSE(loader.take());
    return loader.error();
  };
  const std::string changed = std::string(path) + ": file changed size while read";
  EXPECT_EQ(readAfter("{}", R"({"interfaces": {"E1": 1}})"), changed);
  EXPECT_EQ(readAfter(R"({"interfaces": {"E1": 1}})", "{}"), changed);
  std::remove(path);
}

// Read in steps, a file gives what it gives at once; a refusal found in a late step is the
// same refusal.
TEST(StateFileTest, LoaderReadsInSteps) {
  std::string text = R"({"interfaces": {)";
  for (int i = 1; i <= 100; ++i)
    text += (i > 1 ? "," : "") + ("\"E" + std::to_string(i) + "\": ") + std::to_string(i);
  text += R"(}, "status": {"a": {"E1": {}, "E2": {"all": {"drops": 2}}}, "b": {"E3": {}}}})";
  Host::StateFileLoader loader("s.json", text);
  int steps = 0;
  while (!loader.readSome([] { return true; })) ++steps;
  EXPECT_GE(steps, 100 + 2 + 3);
  const auto file = loader.take();
  ASSERT_TRUE(file) << loader.error();
  EXPECT_EQ(file->interfaces().size(), 100u);
  EXPECT_EQ(file->entryCount(), 3u);
  EXPECT_EQ(file->entry(*file->entity("a"), "E2")->classes.all.drops, 2u);
  EXPECT_EQ(file->entries(*file->entity("b")).size(), 1u);

  Host::StateFileLoader refused("s.json", text.substr(0, text.size() - 1) + ", \"x\": 1}");
  while (!refused.readSome([] { return true; })) {
  }
  EXPECT_FALSE(refused.take());
  EXPECT_EQ(refused.error(), "s.json: at $.x: unknown key \"x\"");
}

// A file of several read blocks is read a block per step, and every byte arrives in place:
// the values at the end of the file are those written.
TEST(StateFileTest, LargeFileIsReadInBlocks) {
  char path[] = "/tmp/statefile-test.XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::string padding(9 << 20, ' ');  // more than two read blocks of whitespace
  std::ofstream(path) << R"({"interfaces": {"E1": 7,)" << padding << R"("E2": 4294967295},)"
                      << padding << R"("status": {"a": {"E2": {"all": {"drops": 5}}}}})";
  Host::StateFileLoader loader(path);
  int steps = 0;
  while (!loader.readSome([] { return true; })) ++steps;
  std::remove(path);
  EXPECT_GE(steps, 5);  // open, at least four blocks, index, walk
  const auto file = loader.take();
  ASSERT_TRUE(file) << loader.error();
  EXPECT_EQ(file->ifIndex("E2"), 4294967295u);
  EXPECT_EQ(file->entry(*file->entity("a"), "E2")->classes.all.drops, 5u);
}

}  // namespace
