// Loading boxes ahead: same results as loading on the spot, in order,
// within the window, and nothing kept once the run moves past it.
#include "imaging/prefetch.h"

#include <gtest/gtest.h>

#include "imaging/codec.h"
#include "imaging/render.h"
#include "testsupport/temp_tree.h"

namespace pixelmote::imaging {
namespace {

using testing::TempTree;

class PrefetchTest : public ::testing::Test {
 protected:
  PrefetchTest() {
    for (int i = 0; i < 8; ++i) {
      Raster r({40 + i * 8, 30 + i * 4});
      for (std::size_t b = 0; b < r.rgb.size(); ++b) r.rgb[b] = static_cast<std::uint8_t>(b * (i + 3));
      paths.push_back(tree.fileWith("p" + std::to_string(i) + ".bmp", encodeBmp(r).value()));
    }
  }
  TempTree tree;
  std::vector<std::string> paths;
};

TEST_F(PrefetchTest, ResultsAreThoseOfLoadingOnTheSpot) {
  BoxPrefetcher prefetcher(3, 4);
  prefetcher.schedule(paths, 50);
  for (const std::string& path : paths) {
    auto ahead = prefetcher.take(path, 50);
    auto direct = loadThumbnailBox(path, 50);
    ASSERT_TRUE(ahead) << ahead.message();
    ASSERT_TRUE(direct);
    EXPECT_EQ(ahead.value(), direct.value()) << path;
  }
}

TEST_F(PrefetchTest, WorkersStayWithinTheWindow) {
  BoxPrefetcher prefetcher(4, 3);
  prefetcher.schedule(paths, 25);
  prefetcher.waitIdle();
  EXPECT_EQ(prefetcher.started(), 3u);  // nothing is taken yet: three loaded ahead
  ASSERT_TRUE(prefetcher.take(paths[0], 25));
  prefetcher.waitIdle();
  EXPECT_EQ(prefetcher.started(), 4u);  // the window moved by one
}

TEST_F(PrefetchTest, SkippedPicturesAreDroppedAndUnqueuedOnesLoadedOnTheSpot) {
  BoxPrefetcher prefetcher(2, 8);
  prefetcher.schedule({paths[0], paths[1], paths[2]}, 25);
  // The run asks for the third first: the first two are dropped.
  ASSERT_TRUE(prefetcher.take(paths[2], 25));
  ASSERT_TRUE(prefetcher.take(paths[0], 25));  // no longer queued: loaded now
  // Another size than queued is another box.
  prefetcher.schedule({paths[3]}, 25);
  auto other = prefetcher.take(paths[3], 50);
  ASSERT_TRUE(other);
  EXPECT_EQ(other->size, loadThumbnailBox(paths[3], 50)->size);
  // A picture that cannot be read gives its failure.
  const std::string bad = tree.fileWith("bad.bmp", "BM but not really");
  prefetcher.schedule({bad}, 25);
  EXPECT_FALSE(prefetcher.take(bad, 25));
}

TEST_F(PrefetchTest, CancelDropsEverythingAndWaitsForTheWorkers) {
  BoxPrefetcher prefetcher(2, 4);
  prefetcher.schedule(paths, 100);
  prefetcher.cancel();
  prefetcher.waitIdle();
  const std::size_t startedBefore = prefetcher.started();
  EXPECT_LE(startedBefore, 4u);
  // Nothing queued any more: a take loads on the spot, nothing else starts.
  ASSERT_TRUE(prefetcher.take(paths[5], 100));
  prefetcher.waitIdle();
  EXPECT_EQ(prefetcher.started(), startedBefore);
}

TEST_F(PrefetchTest, WithoutWorkersEverythingIsLoadedOnTheSpot) {
  BoxPrefetcher prefetcher(0, 4);
  prefetcher.schedule(paths, 25);
  EXPECT_EQ(prefetcher.started(), 0u);
  for (const std::string& path : paths) EXPECT_TRUE(prefetcher.take(path, 25));
  EXPECT_EQ(prefetcher.started(), 0u);
}

TEST_F(PrefetchTest, LoadsAheadStayWithinTheMemoryBudget) {
  // Every load counts 60 units against a budget of 100: only one at a time
  // is loaded ahead, until its box is taken.
  BoxPrefetcher prefetcher(4, 8, 100, [](const std::string&, double) { return std::uint64_t{60}; });
  prefetcher.schedule(paths, 25);
  prefetcher.waitIdle();
  EXPECT_EQ(prefetcher.started(), 1u);
  for (const std::string& path : paths) ASSERT_TRUE(prefetcher.take(path, 25));
  EXPECT_EQ(prefetcher.peakInUse(), 60u);
  // A load larger than the whole budget still runs when nothing else does.
  BoxPrefetcher big(2, 4, 100, [](const std::string&, double) { return std::uint64_t{500}; });
  big.schedule({paths[0], paths[1]}, 25);
  big.waitIdle();
  EXPECT_EQ(big.started(), 1u);
  ASSERT_TRUE(big.take(paths[0], 25));
  ASSERT_TRUE(big.take(paths[1], 25));
  EXPECT_EQ(big.peakInUse(), 500u);
}

TEST_F(PrefetchTest, BudgetHeldByASkippedPictureIsGivenBack) {
  BoxPrefetcher prefetcher(2, 8, 100, [](const std::string&, double) { return std::uint64_t{60}; });
  prefetcher.schedule(paths, 25);
  prefetcher.waitIdle();
  // The run moves straight to the last picture: what was loaded ahead for
  // the others is dropped and its share of the budget returned.
  ASSERT_TRUE(prefetcher.take(paths.back(), 25));
  prefetcher.schedule({paths[0], paths[1]}, 25);
  ASSERT_TRUE(prefetcher.take(paths[0], 25));
  ASSERT_TRUE(prefetcher.take(paths[1], 25));
  prefetcher.cancel();
}

}  // namespace
}  // namespace pixelmote::imaging
