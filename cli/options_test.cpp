// Reading the batch command's arguments.
#include "cli/options.h"

#include <gtest/gtest.h>


namespace pixelmote::cli {
namespace {

TEST(BatchOptions, DefaultsWithoutOptions) {
  const ParseResult r = parseArguments({"report", "/data/pics"}, "/home/ann", 6);
  ASSERT_TRUE(r.options) << r.error;
  const BatchOptions& o = *r.options;
  EXPECT_EQ(o.operation, batch::Operation::Report);
  EXPECT_EQ(o.folder, "/data/pics");
  EXPECT_EQ(o.settings.sImageExt, "jpg");
  EXPECT_EQ(o.settings.sThumbExt, "jpg");
  EXPECT_EQ(o.settings.sPrefix, "t_");
  EXPECT_EQ(o.settings.iColumns, 5);
  EXPECT_EQ(o.settings.iBorder, 1);
  EXPECT_EQ(o.settings.iSize, 25);
  EXPECT_EQ(o.settings.iQuality, 75);
  EXPECT_EQ(o.settings.iSmooth, 0);
  EXPECT_EQ(o.jobs, 6u);
}

TEST(BatchOptions, EveryOptionInBothForms) {
  const ParseResult r = parseArguments({"remove", "pics", "--source", "GIF", "--thumb=gif", "--prefix", "th",
                                        "--columns=10", "--border", "0", "--size", "100", "--quality=0",
                                        "--smooth", "33", "--jobs", "3"},
                                       "/home/ann", 2);
  ASSERT_TRUE(r.options) << r.error;
  const BatchOptions& o = *r.options;
  EXPECT_EQ(o.operation, batch::Operation::Remove);
  EXPECT_EQ(o.folder, "/home/ann/pics");
  EXPECT_EQ(o.settings.sImageExt, "gif");
  EXPECT_EQ(o.settings.sThumbExt, "gif");
  EXPECT_EQ(o.settings.sPrefix, "th");
  EXPECT_EQ(o.settings.iColumns, 10);
  EXPECT_EQ(o.settings.iBorder, 0);
  EXPECT_EQ(o.settings.iSize, 100);
  EXPECT_EQ(o.settings.iQuality, 0);
  EXPECT_EQ(o.settings.iSmooth, 33);
  EXPECT_EQ(o.jobs, 3u);
}

TEST(BatchOptions, OutOfRangeValuesNameTheOptionAndValue) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"report", "/x", "--columns", "0"}, "invalid --columns '0'"},
      {{"report", "/x", "--size", "101"}, "invalid --size '101'"},
      {{"report", "/x", "--quality", "7.5"}, "invalid --quality '7.5'"},
      {{"report", "/x", "--smooth", ""}, "invalid --smooth ''"},
      {{"report", "/x", "--border", "+3"}, "invalid --border '+3'"},
      {{"report", "/x", "--thumb", "jpeg"}, "invalid --thumb 'jpeg'"},
      {{"report", "/x", "/y"}, "unexpected argument '/y'"},
      {{"report", ""}, "FOLDER must not be empty"},
  };
  for (const auto& [args, message] : cases) {
    const ParseResult r = parseArguments(args, "/", 1);
    EXPECT_FALSE(r.options) << message;
    EXPECT_EQ(r.error.rfind(message, 0), 0u) << r.error;
  }
}

TEST(BatchOptions, HelpAndVersionWinOverEverythingElse) {
  EXPECT_TRUE(parseArguments({"report", "--bogus", "--help"}, "/", 1).help);
  EXPECT_TRUE(parseArguments({"--version"}, "/", 1).version);
}

TEST(BatchOptions, AbsoluteFolderResolvesStepsAndDropsTrailingSlash) {
  EXPECT_EQ(absoluteFolder("pics/", "/home/ann"), "/home/ann/pics");
  EXPECT_EQ(absoluteFolder(".", "/home/ann"), "/home/ann");
  EXPECT_EQ(absoluteFolder("../bob//pics/./", "/home/ann"), "/home/bob/pics");
  EXPECT_EQ(absoluteFolder("/data///x/", "/home/ann"), "/data/x");
  EXPECT_EQ(absoluteFolder("..", "/"), "/");
  EXPECT_EQ(absoluteFolder("/", "/home"), "/");
  EXPECT_EQ(absoluteFolder("a\xff b", "/h"), "/h/a\xff b");  // names are bytes
}

}  // namespace
}  // namespace pixelmote::cli
