// StateFileTest.cpp — what a state file reads as, each refusal's exact line, and what only files
// on disk meet: other file types, sizes, files changing, reads in blocks and in steps.
#include "host/StateFile.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

using Host::StateFile;

/// The whole state `file` holds: interfaces, then entities with each entry's classes.
std::string dump(const StateFile& file) {
  std::string out;
  for (const auto& i : file.interfaces()) out += fmt::format("{}={} ", i.name, i.ifIndex);
  for (const auto& entity : file.entities()) {
    out += fmt::format("| {}: ", entity.name);
    for (const auto& e : file.entries(entity)) {
      out += std::string(e.intfName) + " ";
      for (const auto* c : {&e.classes.all, &e.classes.broadcast, &e.classes.multicast,
                            &e.classes.unknownUnicast}) {
        out += fmt::format("{}/{}/{}/{} ", c->threshold.level, int(c->threshold.type),
                           c->threshold.scale, c->drops);
      }
    }
  }
  return out;
}

// Every field lands where the file puts it, at the edges of its range; what is left out takes
// the model's default (level 10000, units 0, scale 4, no drops); names are unescaped.
TEST(StateFileTest, ReadsEveryFieldAndDefault) {
  std::string error;
  const auto file = StateFile::parse("s.json", R"({
    "interfaces": {"E1": 1, "Eth\u0065rnet\/2": 4294967295},
    "status": {"s0": {"E1": {
        "all": {"level": 500, "units": 1, "drops": 18446744073709551615, "scale": 0},
        "broadcast": {"drops": 3}, "multicast": {},
        "unknownUnicast": {"level": 18446744073709551615, "units": 2, "scale": 255}},
      "E9": {}}, "s1": {}}})",
                                     error);
  ASSERT_TRUE(file) << error;
  EXPECT_EQ(dump(*file),
            "E1=1 Ethernet/2=4294967295 | s0: E1 500/1/0/18446744073709551615 10000/0/4/3 "
            "10000/0/4/0 18446744073709551615/2/255/0 E9 10000/0/4/0 10000/0/4/0 10000/0/4/0 "
            "10000/0/4/0 | s1: ");
  EXPECT_EQ(file->entryCount(), 2u);
  EXPECT_FALSE(file->ifIndex("E9") || file->entity("s2") || file->entry(*file->entity("s1"), "E1"));
  EXPECT_TRUE(StateFile::parse("s.json", "{}", error)) << error;
}

// Each refusal is one line: the file, the place (line and column from 1 of a syntax fault, else
// the JSON path, a key's control characters escaped) and the reason.
TEST(StateFileTest, RefusalNamesPlaceAndReason) {
  const std::string all = R"({"status": {"s": {"E1": {"all": {)";  // then fields, "}}}}}"
  const std::pair<std::string, std::string> cases[] = {
      {"", ":1:1: empty document"},
      {"{\n \"interfaces\": {\"E1\": 1,\n  \"Eth", ":3:3: unclosed string"},
      {"{\"interfaces\":\n {\"E\xff\": 1}}", ":2:5: invalid UTF-8"},
      {"{\"interfaces\": {\"E\tx\": 1}}", ":1:19: control character in string"},
      {"{\"interfaces\": {\n  \"E1\": 1\n  \"E2\": 2}}", ":3:3: expected ',' or '}'"},
      {"{}\n  {}", ":2:3: trailing content after the document"},
      {all + "\"level\": 1x}}}}}", ":1:43: invalid number"},
      {"{\"interfaces\": {\"E1\": 01}}", ":1:23: invalid number"},
      {"{\"interfaces\": {\"E1\" 1}}", ":1:22: expected ':'"},
      {"{\"interfaces\": {\"E1\": 1,}}", ":1:25: expected a string key"},
      {"{\"interfaces\": {\"E\\x\": 1}}", ":1:19: invalid escape"},
      {"{\"interfaces\": {\"E1\": 1}", ":1:25: unexpected end of document"},
      {"{\"interfaces\": " + std::string(100000, '['), ": at $.interfaces: expected an object"},
      {"[]", ": at $: expected an object"},
      {R"({"status": {"s": []}})", ": at $.status.s: expected an object"},
      {R"({"interface": {}})", ": at $.interface: unknown key \"interface\""},
      {R"({"status": {"s": {"E1": {"bc": {}}}}})", ": at $.status.s.E1.bc: unknown class \"bc\""},
      {all + R"("lvl": 1}}}}})", ": at $.status.s.E1.all.lvl: unknown field \"lvl\""},
      {all + R"("level": "5"}}}}})", ": at $.status.s.E1.all.level: expected an integer"},
      {all + R"("level": -1}}}}})", ": at $.status.s.E1.all.level: negative number -1"},
      {all + R"("drops": 1.5}}}}})", ": at $.status.s.E1.all.drops: fractional number 1.5"},
      {all + R"("drops": 1e3}}}}})", ": at $.status.s.E1.all.drops: fractional number 1e3"},
      {all + R"("level": 18446744073709551616}}}}})",
       ": at $.status.s.E1.all.level: number 18446744073709551616 too large"},
      {all + R"("units": 3}}}}})", ": at $.status.s.E1.all.units: number 3 out of range 0..2"},
      {all + R"("scale": 256}}}}})",
       ": at $.status.s.E1.all.scale: number 256 out of range 0..255"},
      {R"({"interfaces": {"E1": 0}})", ": at $.interfaces.E1: number 0 out of range 1..4294967295"},
      {R"({"interfaces": {"E1": 4294967296}})",
       ": at $.interfaces.E1: number 4294967296 out of range 1..4294967295"},
      {R"({"status": {}, "status": {}})", ": at $.status: duplicate key"},
      {R"({"interfaces": {"E1": 5, "E1": 6}})", ": at $.interfaces.E1: duplicate key"},
      {R"({"status": {"s": {}, "s": {}}})", ": at $.status.s: duplicate key"},
      {R"({"status": {"s": {"E1": {}, "E1": {}}}})", ": at $.status.s.E1: duplicate key"},
      {R"({"status": {"s": {"E1": {"all": {}, "all": {}}}}})",
       ": at $.status.s.E1.all: duplicate key"},
      {all + R"("drops": 1, "drops": 2}}}}})", ": at $.status.s.E1.all.drops: duplicate key"},
      {R"({"interfaces": {"E1": 5, "E2": 5}})",
       ": at $.interfaces.E2: ifIndex 5 already belongs to E1"},
      {R"({"interfaces": {"E 1": 5}})", ": at $.interfaces.E 1: invalid interface name"},
      {R"({"interfaces": {"": 5}})", ": at $.interfaces.: invalid interface name"},
      {R"({"status": {"s": {"E\u00e9": {}}}})",
       ": at $.status.s.E\xc3\xa9: invalid interface name"},
      {R"({"status": {"": {}}})", ": at $.status.: invalid status entity name"},
      {R"({"status": {"a/b": {}}})", ": at $.status.a/b: invalid status entity name"},
      {R"({"status": {"s0": {"E1": {}, "E2": {}}, "s1": {}, "s2": {"E2": {}}}})",
       ": at $.status.s2.E2: already has a status in entity s0"},
      {R"({"interfaces": {"E\nx": 5}})", R"(: at $.interfaces.E\u000ax: invalid interface name)"},
      {R"({"status": {"s\r\t": {"E1": {"all\u007f": {}}}}})",
       R"(: at $.status.s\u000d\u0009.E1.all\u007f: unknown class "all\u007f")"},
  };
  for (const auto& [text, refusal] : cases) {
    std::string error;
    EXPECT_FALSE(StateFile::parse("s.json", text, error)) << text;
    EXPECT_EQ(error, "s.json" + refusal) << text;
  }
}

// Only a regular file is read (a FIFO without waiting for a writer; a symlink is followed), one
// too large is refused from its size, one growing or shrinking while read is refused rather than
// read in part: each in one line naming the path given.
TEST(StateFileTest, RefusesWhatIsNoCompleteRegularFile) {
  char pattern[] = "/tmp/statefile-test.XXXXXX";
  const std::string dir = ::mkdtemp(pattern), fifo = dir + "/fifo", link = dir + "/link";
  const std::string sparse = dir + "/sparse", file = dir + "/s.json";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_symlink(fifo, link);
  // Held open so that a reader that waits for a writer would read an empty file, not hang.
  const int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  std::ofstream(sparse).close();
  std::filesystem::resize_file(sparse, std::uintmax_t(64) << 30);
  for (const auto& [path, refusal] :
       {std::pair{link, ": not a regular file: FIFO"},
        std::pair{dir, ": not a regular file: directory"},
        std::pair{std::string("/dev/null"), ": not a regular file: character device"},
        std::pair{sparse, ": file too large: 68719476736 bytes, at most 268435456"},
        std::pair{dir + "/none", ": cannot open: No such file or directory"}}) {
    std::string error;
    EXPECT_FALSE(StateFile::load(path, error));
    EXPECT_EQ(error, path + refusal);
  }
  for (const auto& [before, after] : {std::pair{"{}", R"({"interfaces": {"E1": 1}})"},
                                      std::pair{R"({"interfaces": {"E1": 1}})", "{}"}}) {
    std::ofstream(file, std::ios::trunc) << before;
    Host::StateFileLoader loader(file);
    EXPECT_FALSE(loader.readSome([] { return true; }));  // opened, nothing read yet
    std::ofstream(file, std::ios::trunc) << after;
    loader.readSome({});
    EXPECT_FALSE(loader.take());
    EXPECT_EQ(loader.error(), file + ": file changed size while read");
  }
  ::close(writer);
  std::filesystem::remove_all(dir);
}

// A file of several read blocks read in steps, as a reload reads it, reads as at once: a step
// per block and per interface or status entry, every byte in place; a fault met in a late step
// is the same refusal.
TEST(StateFileTest, ReadInStepsAgreesWithAtOnce) {
  char path[] = "/tmp/statefile-test.XXXXXX";
  ::close(::mkstemp(path));
  std::string text = "{\"interfaces\": {\"E0\": 4294967295", read = "E0=4294967295 ";
  for (int i = 1; i <= 100; ++i) {
    text += fmt::format(", \"E{}\": {}", i, i);
    read += fmt::format("E{}={} ", i, i);
  }
  const std::string status =
      R"(}, "status": {"a": {"E1": {}, "E2": {"all": {"drops": 5}}}, "b": {"E3": {}}})";
  const std::string padding(9 << 20, ' ');  // more than two read blocks
  std::vector<int> counts;
  for (const auto& [pad, end] :
       {std::pair{"", "}"}, {padding.c_str(), "}"}, {padding.c_str(), R"(, "x": 1})"}}) {
    std::ofstream(path, std::ios::trunc) << text << status << pad << end;
    Host::StateFileLoader loader(path);
    int steps = 1;
    while (!loader.readSome([] { return true; })) ++steps;
    std::string error;
    const auto once = StateFile::load(path, error), stepped = loader.take();
    EXPECT_EQ(loader.error(), error);
    ASSERT_EQ(bool(stepped), bool(once)) << error;
    if (!once) {
      EXPECT_EQ(error, path + std::string(": at $.x: unknown key \"x\""));
      continue;
    }
    counts.push_back(steps);
    EXPECT_EQ(dump(*stepped), dump(*once));
    EXPECT_EQ(dump(*stepped),
              read +
                  "| a: E1 10000/0/4/0 10000/0/4/0 10000/0/4/0 10000/0/4/0 E2 10000/0/4/5 "
                  "10000/0/4/0 10000/0/4/0 10000/0/4/0 | b: E3 10000/0/4/0 10000/0/4/0 "
                  "10000/0/4/0 10000/0/4/0 ");
  }
  EXPECT_GE(counts[0], 1 + 1 + 1 + 101 + 2 + 3) << "open, block, index, interfaces, entries";
  EXPECT_GE(counts[1] - counts[0], 2) << "a step per block";
  std::remove(path);
}

}  // namespace
