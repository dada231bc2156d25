// StateFileTest.cpp — what a state file reads as, at once and in steps, each refusal's exact
// line, and what only files on disk meet: other file types, sizes, files changing.
#include "host/StateFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "InputsFixture.h"

namespace HostTest {
namespace {

using Host::StateFile;

/// The whole state `file` holds: interfaces, then entities with each entry's classes.
std::string dump(const StateFile& file) {
  std::string out;
  for (const auto& i : file.interfaces()) out += fmt::format("{}={} ", i.name, i.ifIndex);
  for (const auto& entity : file.entities()) {
    out += fmt::format("| {}: ", entity.name);
    for (const auto& e : file.entries(entity)) {
      out += std::string(e.intfName);
      for (const auto* c : classesOf(e.classes))
        out += fmt::format(" {}", fmt::join(fieldsOf(*c), "/"));
      out += " ";
    }
  }
  return out;
}

// A file of several read blocks read in steps, as a reload reads it, reads as at once: a step
// per block and per interface or status entry, every field where the file puts it, at the edges
// of its range, what is left out the model's default (level 10000, units 0, scale 4, no drops),
// names unescaped. A fault met in a late step is the same refusal.
TEST(StateFileTest, ReadsEveryFieldAtOnceAndInSteps) {
  const TempDir dir;
  const std::string path = dir.path + "/s.json", padding(9 << 20, ' ');  // over two blocks
  std::string text = R"({"interfaces": {"Eth\u0065rnet\/2": 4294967295)",
              read = "Ethernet/2=4294967295 ";
  for (int i = 1; i <= 100; ++i) {
    text += fmt::format(", \"E{}\": {}", i, i);
    read += fmt::format("E{}={} ", i, i);
  }
  text += R"(}, "status": {"s0": {"E1": {
        "all": {"level": 500, "units": 1, "drops": 18446744073709551615, "scale": 0},
        "broadcast": {"drops": 3}, "multicast": {},
        "unknownUnicast": {"level": 18446744073709551615, "units": 2, "scale": 255}},
      "E109": {}}, "s1": {}})";
  read +=
      "| s0: E1 500/1/0/18446744073709551615 10000/0/4/3 10000/0/4/0 18446744073709551615/2/255/0 "
      "E109 10000/0/4/0 10000/0/4/0 10000/0/4/0 10000/0/4/0 | s1: ";
  std::vector<int> counts;
  for (const auto& [pad, end] :
       {std::pair{"", "}"}, {padding.c_str(), "}"}, {padding.c_str(), R"(, "x": 1})"}}) {
    std::ofstream(path, std::ios::trunc) << text << pad << end;
    Host::StateFileLoader loader(path);
    int steps = 1;
    while (!loader.readSome([] { return true; })) ++steps;
    std::string error;
    const auto once = StateFile::load(path, error), stepped = loader.take();
    EXPECT_EQ(loader.error(), error);
    ASSERT_EQ(bool(stepped), bool(once)) << error;
    if (!once) {
      EXPECT_EQ(error, path + ": at $.x: unknown key \"x\"");
      continue;
    }
    counts.push_back(steps);
    EXPECT_EQ(dump(*stepped), dump(*once));
    EXPECT_EQ(dump(*stepped), read);
    EXPECT_EQ(stepped->entryCount(), 2u);
    EXPECT_FALSE(once->ifIndex("E109") || once->entity("s2") ||
                 once->entry(*once->entity("s1"), "E1"));
  }
  EXPECT_GE(counts[0], 1 + 1 + 1 + 101 + 2 + 2) << "open, block, index, interfaces, entries";
  EXPECT_GE(counts[1] - counts[0], 2) << "a step per block";
  EXPECT_EQ(dump(*parsed("{}")), "");
}

// Each refusal is one line: the file, the place (line and column from 1 of a syntax fault, else
// the JSON path, a key's control characters escaped) and the reason. A fragment goes `in` the
// file as it is (' ' for a syntax fault, '$' for a path) or in a wrapper whose path it extends.
TEST(StateFileTest, RefusalNamesPlaceAndReason) {
  const std::map<char, std::pair<std::string, std::string>> wrappers = {
      {' ', {"", ""}},
      {'$', {"", ": at $"}},
      {'i', {R"({"interfaces": {)", ": at $.interfaces"}},
      {'s', {R"({"status": {)", ": at $.status"}},
      {'c', {R"({"status": {"s": {"E1": {"all": {)", ": at $.status.s.E1.all"}}};
  const struct {
    char in;
    std::string text, refusal;
  } cases[] = {
      {' ', "", ":1:1: empty document"},
      {' ', "{\n \"interfaces\": {\"E1\": 1,\n  \"Eth", ":3:3: unclosed string"},
      {' ', "{\"interfaces\":\n {\"E\xff\": 1}}", ":2:5: invalid UTF-8"},
      {' ', "{\"interfaces\": {\"E\tx\": 1}}", ":1:19: control character in string"},
      {' ', "{\"interfaces\": {\n  \"E1\": 1\n  \"E2\": 2}}", ":3:3: expected ',' or '}'"},
      {' ', "{}\n  {}", ":2:3: trailing content after the document"},
      {' ', R"({"status": {"s": {"E1": {"all": {"level": 1x}}}}})", ":1:43: invalid number"},
      {' ', R"({"interfaces": {"E1": 01}})", ":1:23: invalid number"},
      {' ', R"({"interfaces": {"E1" 1}})", ":1:22: expected ':'"},
      {' ', R"({"interfaces": {"E1": 1,}})", ":1:25: expected a string key"},
      {' ', R"({"interfaces": {"E\x": 1}})", ":1:19: invalid escape"},
      {' ', R"({"interfaces": {"E1": 1})", ":1:25: unexpected end of document"},
      {'$', "{\"interfaces\": " + std::string(100000, '['), ".interfaces: expected an object"},
      {'$', "[]", ": expected an object"},
      {'$', R"({"interface": {}})", ".interface: unknown key \"interface\""},
      {'$', R"({"status": {}, "status": {}})", ".status: duplicate key"},
      {'s', R"("s": [])", ".s: expected an object"},
      {'s', R"("s": {"E1": {"bc": {}}})", ".s.E1.bc: unknown class \"bc\""},
      {'s', R"("s": {}, "s": {})", ".s: duplicate key"},
      {'s', R"("s": {"E1": {}, "E1": {}})", ".s.E1: duplicate key"},
      {'s', R"("s": {"E1": {"all": {}, "all": {}}})", ".s.E1.all: duplicate key"},
      {'s', R"("s": {"E\u00e9": {}})", ".s.E\xc3\xa9: invalid interface name"},
      {'s', R"("": {})", ".: invalid status entity name"},
      {'s', R"("a/b": {})", ".a/b: invalid status entity name"},
      {'s', R"("s0": {"E1": {}, "E2": {}}, "s1": {}, "s2": {"E2": {}})",
       ".s2.E2: already has a status in entity s0"},
      {'s', R"("s\r\t": {"E1": {"all\u007f": {}}})",
       R"(.s\u000d\u0009.E1.all\u007f: unknown class "all\u007f")"},
      {'c', R"("lvl": 1)", ".lvl: unknown field \"lvl\""},
      {'c', R"("level": "5")", ".level: expected an integer"},
      {'c', R"("level": -1)", ".level: negative number -1"},
      {'c', R"("drops": 1.5)", ".drops: fractional number 1.5"},
      {'c', R"("drops": 1e3)", ".drops: fractional number 1e3"},
      {'c', R"("level": 18446744073709551616)", ".level: number 18446744073709551616 too large"},
      {'c', R"("units": 3)", ".units: number 3 out of range 0..2"},
      {'c', R"("scale": 256)", ".scale: number 256 out of range 0..255"},
      {'c', R"("drops": 1, "drops": 2)", ".drops: duplicate key"},
      {'i', R"("E1": 0)", ".E1: number 0 out of range 1..4294967295"},
      {'i', R"("E1": 4294967296)", ".E1: number 4294967296 out of range 1..4294967295"},
      {'i', R"("E1": 5, "E1": 6)", ".E1: duplicate key"},
      {'i', R"("E1": 5, "E2": 5)", ".E2: ifIndex 5 already belongs to E1"},
      {'i', R"("E 1": 5)", ".E 1: invalid interface name"},
      {'i', R"("": 5)", ".: invalid interface name"},
      {'i', R"("E\nx": 5)", R"(.E\u000ax: invalid interface name)"}};
  for (const auto& [in, text, refusal] : cases) {
    const auto& [open, place] = wrappers.at(in);
    const std::string file =
        open + text + std::string(std::count(open.begin(), open.end(), '{'), '}');
    std::string error;
    EXPECT_FALSE(StateFile::parse("s.json", file, error)) << file;
    EXPECT_EQ(error, "s.json" + place + refusal) << file;
  }
}

// Only a regular file is read (a FIFO without waiting for a writer; a symlink is followed), one
// too large is refused from its size, one growing or shrinking while read is refused rather than
// read in part: each in one line naming the path given.
TEST(StateFileTest, RefusesWhatIsNoCompleteRegularFile) {
  const TempDir temp;
  const std::string &dir = temp.path, fifo = dir + "/fifo", link = dir + "/link";
  const std::string sparse = dir + "/sparse", file = dir + "/s.json";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_symlink(fifo, link);
  // Held open so that a reader that waits for a writer would read an empty file, not hang.
  const int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  std::ofstream(sparse).close();
  std::filesystem::resize_file(sparse, std::uintmax_t(64) << 30);
  for (const auto& [path, refusal] :
       {std::pair{link, ": not a regular file: FIFO"},
        {dir, ": not a regular file: directory"},
        {"/dev/null", ": not a regular file: character device"},
        {sparse, ": file too large: 68719476736 bytes, at most 268435456"},
        {dir + "/none", ": cannot open: No such file or directory"}}) {
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
}

}  // namespace
}  // namespace HostTest
