// Loading boxes ahead: same results as loading on the spot, in order,
// within the window and the memory budget, and nothing kept once the run
// moves past it.
#include "imaging/pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <unistd.h>
#include <utility>

#include "imaging/codec.h"
#include "imaging/render.h"
#include "testsupport/temp_tree.h"
#include "util/program_folder.h"

namespace {
// On this thread, while armed, the allocation after t_failAfter others throws.
thread_local bool t_armed = false;
thread_local int t_failAfter = 0;
}  // namespace

// Out of line: the compiler must not pair a free() it inlines with a new.
[[gnu::noinline]] void* operator new(std::size_t size) {
  if (t_armed && t_failAfter-- == 0) {
    t_armed = false;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace pixelmote::imaging {
namespace {

RenderSettings at(double sizePercent) {
  RenderSettings settings;
  settings.sizePercent = sizePercent;
  return settings;
}

bool made(const PreparedThumbnail& prepared) { return prepared.reached != PreparedThumbnail::Reached::NotLoaded; }

// An estimate that gives every picture the same figures.
using Estimate = std::function<LoadEstimate(const std::string&, double)>;
Estimate needs(std::uint64_t working, std::uint64_t box) {
  return [=](const std::string&, double) { return LoadEstimate{working, box}; };
}

class PipelineTest : public ::testing::Test {
 protected:
  PipelineTest() {
    startImaging();  // the depths GIF writes take
    for (int i = 0; i < 8; ++i) {
      Raster r({40 + i * 8, 30 + i * 4});
      for (std::size_t b = 0; b < r.rgb.size(); ++b) r.rgb[b] = static_cast<std::uint8_t>(b * (i + 3));
      pictureNames.push_back("p" + std::to_string(i) + ".bmp");
      paths.push_back(tree.fileWith(pictureNames.back(), encodeBmp(r).value()));
      direct.push_back(loadThumbnailBox(paths.back(), 25)->box);
    }
  }
  // Takes picture `i` at 25 % and checks it is the box loaded on the spot.
  void takeAsOnTheSpot(ThumbnailPipeline& pipeline, std::size_t i) {
    const PreparedThumbnail box = pipeline.take(paths[i], at(25));
    ASSERT_TRUE(made(box)) << "p" << i << ": " << box.outcome.message;
    EXPECT_EQ(box.loaded.box, direct[i]) << "p" << i;
  }
  std::vector<std::string> namesInTree() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(tree.root())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  testing::TempTree tree;
  std::vector<std::string> pictureNames, paths;
  std::vector<Raster> direct;
};

TEST_F(PipelineTest, WindowAndBudgetBoundWhatIsLoadedAheadAndASkippedBoxGivesItsShareBack) {
  ThumbnailPipeline window(4, 3);
  window.schedule(paths, at(25));
  window.waitIdle();
  EXPECT_EQ(window.started(), 3u);  // nothing taken yet: three loaded ahead
  takeAsOnTheSpot(window, 0);
  window.waitIdle();
  EXPECT_EQ(window.started(), 4u);  // the window moved by one

  // Every box counts 60 of a budget of 100 until it is taken: one at a time.
  ThumbnailPipeline budget(4, 8, 100, needs(0, 60));
  budget.schedule(paths, at(25));
  budget.waitIdle();
  EXPECT_EQ(budget.started(), 1u);
  for (std::size_t i = 0; i < paths.size(); ++i) takeAsOnTheSpot(budget, i);
  EXPECT_EQ(budget.peakInUse(), 60u);

  // The front of the queue runs even when larger than the whole budget,
  // once nothing else runs; the next one waits for it.
  ThumbnailPipeline big(2, 4, 100, needs(400, 100));
  big.schedule({paths[0], paths[1]}, at(25));
  big.waitIdle();
  EXPECT_EQ(big.started(), 1u);
  takeAsOnTheSpot(big, 0);
  takeAsOnTheSpot(big, 1);
  EXPECT_EQ(big.peakInUse(), 500u);

  // The run moves straight to the last picture: what was loaded ahead for
  // the others is dropped and its share of the budget returned.
  ThumbnailPipeline skipping(2, 8, 100, needs(0, 60));
  skipping.schedule(paths, at(25));
  skipping.waitIdle();
  takeAsOnTheSpot(skipping, 7);
  const std::size_t before = skipping.started();
  skipping.schedule({paths[0], paths[1]}, at(25));
  skipping.waitIdle();
  EXPECT_EQ(skipping.started(), before + 1);
  takeAsOnTheSpot(skipping, 0);
  takeAsOnTheSpot(skipping, 1);
  EXPECT_EQ(skipping.peakInUse(), 60u);  // never a dropped box beside the one loading
}

TEST_F(PipelineTest, ThumbnailsMadeAheadWaitUnderTemporaryNamesAndNothingUntakenIsLeft) {
  {
    ThumbnailPipeline pipeline(2, 8);
    pipeline.schedule(paths, at(50));
    pipeline.waitIdle();
    EXPECT_EQ(namesInTree().size(), 2 * paths.size());  // all made, none in place
    // The run takes the third: the two before it are dropped with their files.
    PreparedThumbnail third = pipeline.take(paths[2], at(50));
    ASSERT_EQ(third.outcome.result, RenderResult::Written) << third.outcome.message;
    EXPECT_EQ(third.thumbnail.path(), tree.path("t_p2.jpg"));
    ASSERT_TRUE(third.thumbnail.commit());
    EXPECT_TRUE(carriesThumbnailStamp(tree.path("t_p2.jpg")));
    EXPECT_EQ(namesInTree().size(), 2 * paths.size() - 2);
    takeAsOnTheSpot(pipeline, 0);  // no longer queued: loaded now
  }
  std::vector<std::string> left = pictureNames;
  left.push_back("t_p2.jpg");
  std::sort(left.begin(), left.end());
  EXPECT_EQ(namesInTree(), left);

  // Cancel drops everything made and waits for the workers; a take then
  // loads on the spot and nothing else starts.
  testing::removeTree(tree.path("t_p2.jpg"));
  ThumbnailPipeline cancelled(2, 4);
  cancelled.schedule(paths, at(100));
  cancelled.cancel();
  cancelled.waitIdle();
  const std::size_t startedBefore = cancelled.started();
  EXPECT_EQ(namesInTree(), pictureNames);
  takeAsOnTheSpot(cancelled, 5);
  cancelled.waitIdle();
  EXPECT_EQ(cancelled.started(), startedBefore);
}

TEST_F(PipelineTest, ChangedSettingsMakeTheQueuedThumbnailsAgain) {
  ThumbnailPipeline pipeline(2, 8);
  pipeline.schedule(paths, at(50));
  pipeline.waitIdle();
  ASSERT_EQ(pipeline.started(), paths.size());
  RenderSettings gif = at(50);
  gif.thumbExt = "gif";
  pipeline.changeSettings(gif);
  pipeline.waitIdle();
  EXPECT_EQ(pipeline.started(), 2 * paths.size());
  for (const std::string& path : paths) {
    PreparedThumbnail prepared = pipeline.take(path, gif);
    ASSERT_EQ(prepared.outcome.result, RenderResult::Written) << prepared.outcome.message;
    EXPECT_EQ(prepared.thumbnail.path(), thumbnailPathFor(path, "t_", "gif"));
    ASSERT_TRUE(prepared.thumbnail.commit());
  }
  EXPECT_EQ(pipeline.started(), 2 * paths.size());  // none made on the spot
  EXPECT_EQ(namesInTree().size(), 2 * paths.size());  // no JPEG made ahead is left
}

TEST_F(PipelineTest, ALoadThatRunsOutOfMemoryFailsOnlyItsPictureWithOrWithoutWorkers) {
  // p1's load and p3's estimate run out of memory, p2's load meets a size
  // beyond what a vector can hold: each is that picture's failure.
  const auto estimate = [&](const std::string& path, double) {
    return path == paths[3] ? throw std::bad_alloc() : LoadEstimate{1, 1};
  };
  const ImagingVariables start = imagingVariables();
  const auto loader = [&](const std::string& path, const RenderSettings& settings) {
    if (path == paths[1]) throw std::bad_alloc();
    if (path == paths[2]) throw std::length_error("vector");
    return prepareThumbnail(path, settings, start);
  };
  for (const unsigned workers : {0u, 2u}) {
    ThumbnailPipeline prefetcher(workers, 4, 100, estimate, loader);
    prefetcher.schedule(paths, at(25));
    for (std::size_t i = 0; i < paths.size(); ++i) {
      if (i != 1 && i != 2) {
        takeAsOnTheSpot(prefetcher, i);
        continue;
      }
      PreparedThumbnail box;
      ASSERT_NO_THROW(box = prefetcher.take(paths[i], at(25))) << workers << " workers, p" << i;
      EXPECT_EQ(box.outcome.message, kNoMemoryToLoad) << workers << " workers, p" << i;
    }
  }
}

TEST_F(PipelineTest, MemoryRunningOutAtEachAllocationInTurnFailsThePictureAsFarAsItGot) {
  std::set<PreparedThumbnail::Reached> seen;
  for (int k = 0;; ++k) {
    SCOPED_TRACE(k);
    t_armed = true;
    t_failAfter = k;
    const PreparedThumbnail prepared = prepareThumbnail(paths[0], at(25), imagingVariables());
    if (std::exchange(t_armed, false)) break;  // no allocation failed: all were tried
    const bool loaded = prepared.reached != PreparedThumbnail::Reached::NotLoaded;
    seen.insert(prepared.reached);
    EXPECT_EQ(prepared.outcome.result, loaded ? RenderResult::CannotWrite : RenderResult::Unreadable);
    EXPECT_EQ(prepared.outcome.failedPath, loaded ? tree.path("t_p0.jpg") : "");
    if (!loaded) { EXPECT_EQ(prepared.outcome.message, kNoMemoryToLoad); }
    EXPECT_NE(prepared.outcome.message.find("memory"), std::string::npos) << prepared.outcome.message;
    EXPECT_EQ(namesInTree(), pictureNames) << "a file of its own left in the picture's folder";
    for (const auto& entry : std::filesystem::directory_iterator(util::writableProgramFolder().value())) {
      EXPECT_FALSE(entry.path().filename().string().starts_with("temp" + std::to_string(::getpid()) + "-"))
          << entry.path() << " left in the program's folder";
    }
  }
  EXPECT_EQ(seen.size(), 3u);  // before the load, after it and after the copy
}

TEST_F(PipelineTest, ASlowLoadStartsEarlyAndEachPictureIsLoadedOnce) {
  // p4 needs 59 of 100, more than the slow-load mark: with one worker it
  // goes first, then the others in queue order.
  std::mutex mutex;
  std::vector<std::string> starts;
  const ImagingVariables start = imagingVariables();
  const auto loader = [&](const std::string& path, const RenderSettings& settings) {
    std::lock_guard lock(mutex);
    starts.push_back(path);
    return prepareThumbnail(path, settings, start);
  };
  const auto slow = [&](const std::string& path, double) { return LoadEstimate{path == paths[4] ? 59u : 4u, 1}; };
  ThumbnailPipeline early(1, 8, 100, slow, loader);
  early.startEarlyFrom(50);
  early.schedule(paths, at(25));
  for (std::size_t i = 0; i < paths.size(); ++i) takeAsOnTheSpot(early, i);
  std::vector<std::string> order = paths;
  std::rotate(order.begin(), order.begin() + 4, order.begin() + 5);
  std::lock_guard lock(mutex);
  EXPECT_EQ(starts, order);
}

}  // namespace
}  // namespace pixelmote::imaging
