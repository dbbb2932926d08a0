// Reading the batch command's arguments.
#include "cli/options.h"

#include <gtest/gtest.h>

#include "testsupport/temp_tree.h"

namespace pixelmote::cli {
namespace {

// The fields of a result as one line: operation, folder, settings, jobs, update.
std::string describe(const BatchOptions& o) {
  const batch::BatchSettings& s = o.settings;
  return std::to_string(static_cast<int>(o.operation)) + " " + o.folder + " " + s.sImageExt + ">" + s.sThumbExt + " " +
         s.sPrefix + " c" + std::to_string(s.iColumns) + " b" + std::to_string(s.iBorder) + " s" +
         std::to_string(s.iSize) + " q" + std::to_string(s.iQuality) + " m" + std::to_string(s.iSmooth) + " j" +
         std::to_string(o.jobs) + (o.update ? " update" : "");
}

TEST(BatchOptions, AcceptedArgumentListsAndTheOptionsTheyGive) {
  testing::TempTree tree;
  // Values that do not fit their control are passed over; the others apply.
  const std::string ini = tree.fileWith("a.ini", "[Image]\nType=GIF\nThumb=gif\nColumn=11\nBorder=0\nPrefix=p_\n"
                                                 "Size=76\nQuality=152\nSmooth=x\n");
  const std::string ini2 = tree.fileWith("b.ini", "[Image]\nColumn=10\nBorder=11\nSize=12,5\nType=PNG\n");
  const int report = static_cast<int>(batch::Operation::Report);
  const int remove = static_cast<int>(batch::Operation::Remove);
  const int create = static_cast<int>(batch::Operation::Create);
  const struct {
    std::vector<std::string> args;
    char decimalPoint;
    std::string expected;
  } cases[] = {
      {{"report", "/data/pics"}, '.', std::to_string(report) + " /data/pics jpg>jpg t_ c5 b1 s25 q75 m0 j6"},
      {{"remove", "pics", "--source", "GIF", "--thumb=gif", "--prefix", "th", "--columns=10", "--border", "0", "--size",
        "100", "--quality=0", "--smooth", "33", "--jobs", "3"},
       '.', std::to_string(remove) + " /home/ann/pics gif>gif th c10 b0 s100 q0 m33 j3"},
      {{"create", "..", "--update", "--columns", "1", "--border=10", "--size", "0"}, '.',
       std::to_string(create) + " /home jpg>jpg t_ c1 b10 s0 q75 m0 j6 update"},
      {{"report", "x", "--settings", ini}, '.', std::to_string(report) + " /home/ann/x gif>gif p_ c5 b0 s50 q100 m0 j6"},
      {{"report", "x", "--settings", ini, "--prefix", "q_", "--columns", "2"}, '.',
       std::to_string(report) + " /home/ann/x gif>gif q_ c2 b0 s50 q100 m0 j6"},
      {{"report", "x", "--settings=" + ini2}, ',', std::to_string(report) + " /home/ann/x jpg>jpg t_ c10 b1 s8 q75 m0 j6"},
      {{"report", "--", "--x"}, '.', std::to_string(report) + " /home/ann/--x jpg>jpg t_ c5 b1 s25 q75 m0 j6"},
  };
  for (const auto& c : cases) {
    const ParseResult r = parseArguments(c.args, "/home/ann", 6, c.decimalPoint);
    ASSERT_TRUE(r.options) << c.expected << ": " << r.error;
    EXPECT_EQ(describe(*r.options), c.expected);
  }
  EXPECT_TRUE(parseArguments({"report", "--bogus", "-h"}, "/", 1).help) << "help wins wherever it stands";
  EXPECT_TRUE(parseArguments({"--version"}, "/", 1).version);
}

TEST(BatchOptions, RefusedArgumentListsNameTheOptionAndValue) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "missing OPERATION"},
      {{"scan", "/x"}, "unknown OPERATION 'scan'"},
      {{"report"}, "missing FOLDER"},
      {{"report", ""}, "FOLDER must not be empty"},
      {{"report", "/x", "/y"}, "unexpected argument '/y'"},
      {{"report", "/x", "--columns", "0"}, "invalid --columns '0'"},
      {{"report", "/x", "--columns", "11"}, "invalid --columns '11'"},
      {{"report", "/x", "--border=-1"}, "invalid --border '-1'"},
      {{"report", "/x", "--border", "+3"}, "invalid --border '+3'"},
      {{"report", "/x", "--size", "101"}, "invalid --size '101'"},
      {{"report", "/x", "--size", "abc"}, "invalid --size 'abc'"},
      {{"report", "/x", "--quality", "7.5"}, "invalid --quality '7.5'"},
      {{"report", "/x", "--smooth", ""}, "invalid --smooth ''"},
      {{"report", "/x", "--source", "png"}, "invalid --source 'png'"},
      {{"report", "/x", "--thumb", "jpeg"}, "invalid --thumb 'jpeg'"},
      {{"report", "/x", "--prefix", "a/b"}, "invalid --prefix 'a/b'"},
      {{"report", "/x", "--jobs", "0"}, "invalid --jobs '0'"},
      {{"report", "/x", "--quality"}, "option --quality needs a value"},
      {{"report", "/x", "--colour", "red"}, "unknown option --colour"},
      {{"report", "/x", "--settings", "/nonexistent/a.ini"}, "cannot read --settings file '/nonexistent/a.ini'"},
  };
  for (const auto& [args, message] : cases) {
    const ParseResult r = parseArguments(args, "/", 1);
    EXPECT_FALSE(r.options) << message;
    EXPECT_EQ(r.error.rfind(message, 0), 0u) << r.error;
  }
}

TEST(BatchOptions, AbsoluteFolderResolvesStepsAndDropsTrailingSlash) {
  const std::pair<const char*, const char*> cases[] = {
      {"pics/", "/home/ann/pics"},          {".", "/home/ann"},   {"../bob//pics/./", "/home/bob/pics"},
      {"/data///x/", "/data/x"},            {"/", "/"},           {"../../..", "/"},
      {"a\xff b", "/home/ann/a\xff b"},  // names are bytes
  };
  for (const auto& [folder, absolute] : cases) EXPECT_EQ(absoluteFolder(folder, "/home/ann"), absolute) << folder;
}

}  // namespace
}  // namespace pixelmote::cli
